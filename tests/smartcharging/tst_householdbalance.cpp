#include <QtTest>
#include "settingssandbox.h"

#include "devices/evchargerdc.h"
#include "devices/rootmeter.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/householdbalance.h"
#include "tavro/thingmanager.h"

#include <limits>

// levels: % per home battery (none: no battery), power: W of all of them
// (> 0 charging); limits as fractions. Expected: the mean level, whether it
// is below the lower limit or above the upper one, the surplus term (W) and
// the tolerance the surplus shares with (context tolerance 0.5).
struct BatteryCase {
    QList<int> levels;
    double power;
    double lowerLimit;
    double upperLimit;
    double level;
    bool belowLower;
    bool dischargeUsable;
    double surplusTerm;
    double tolerance;
};
Q_DECLARE_METATYPE(BatteryCase)

// meter: W in all (< 0 export) and A per phase; limit A per phase, 0 none;
// spent: A this cycle's commands took on all phases before the DC chargers.
struct BudgetCase {
    bool meter;
    double rootPower;
    QVector<double> phaseCurrents;
    uint limit;
    double reserved;
    double spent;
    double acGrid;     // availableAcChargingPower, no AC charger drawing
    double dcByLimit;  // availableDcChargingPowerByPhaseLimit
    double dcHeadroom; // dcPhaseLimitHeadroom
};
Q_DECLARE_METATYPE(BudgetCase)

class TestHouseholdBalance : public QObject
{
    Q_OBJECT

    SettingsSandbox m_dir;
    ThingManager *m_manager = nullptr;

    Thing *addBattery(int level, double power)
    {
        Thing *battery = m_manager->addConfiguredThing(QStringLiteral("homeBattery"), QStringLiteral("Battery"));
        battery->setStateValue(QStringLiteral("batteryLevel"), level);
        battery->setStateValue(QStringLiteral("currentPower"), power);
        return battery;
    }

private slots:
    void initTestCase()
    {
        m_dir.apply();
        m_manager = new ThingManager(this);
    }

    void homeBattery_data()
    {
        QTest::addColumn<BatteryCase>("c");
        QTest::newRow("no battery: nothing to add, the owner's tolerance")
                << BatteryCase{{}, 0, 0.5, 0.9, 0, false, false, 0, 0.5};
        QTest::newRow("charging above the lower limit: the surplus's")
                << BatteryCase{{60}, 1500, 0.5, 0.9, 60, false, false, 1500, 1.0};
        QTest::newRow("at the lower limit is not below it")
                << BatteryCase{{50}, 1500, 0.5, 0.9, 50, false, false, 1500, 1.0};
        QTest::newRow("a point below the lower limit: 500 W under its most count against the surplus")
                << BatteryCase{{49}, 1500, 0.5, 0.9, 49, true, false, -500, 1.0};
        QTest::newRow("below the lower limit charging faster than seen before: none of it is surplus")
                << BatteryCase{{49}, 2500, 0.5, 0.9, 49, true, false, 0, 1.0};
        QTest::newRow("mean 50.5 % rounds up to the lower limit of 51 %")
                << BatteryCase{{50, 51}, 1500, 0.51, 0.9, 51, false, false, 1500, 1.0};
        QTest::newRow("discharging at the upper limit counts against the surplus")
                << BatteryCase{{90}, -800, 0.5, 0.9, 90, false, false, -800, 1.0};
        QTest::newRow("discharging above the upper limit may feed the cars")
                << BatteryCase{{91}, -800, 0.5, 0.9, 91, false, true, 0, 0.5};
        QTest::newRow("discharging below the lower limit: the discharge and its most count against")
                << BatteryCase{{20}, -800, 0.5, 0.9, 20, true, false, -2800, 1.0};
    }
    void homeBattery()
    {
        QFETCH(BatteryCase, c);
        ChargingContext context(nullptr, m_manager, nullptr, nullptr);
        context.batteryLevelLowerLimit = c.lowerLimit;
        context.batteryLevelUpperLimit = c.upperLimit;
        context.acquisitionTolerance = 0.5;
        // The most the batteries were seen to charge with while below the lower limit.
        context.batteryChargeSeen = 2000;
        QList<Thing *> batteries;
        for (int i = 0; i < c.levels.count(); i++) {
            // The power is the batteries' sum: the first one carries it.
            batteries << addBattery(c.levels.at(i), i == 0 ? c.power : 0.0);
            context.energyStorages << batteries.last();
        }
        const HouseholdBalance balance(context);
        const HouseholdBalance::HomeBattery battery = balance.homeBattery();
        QCOMPARE(battery.count, c.levels.count());
        QCOMPARE(battery.level, c.level);
        QCOMPARE(battery.power, c.power);
        QCOMPARE(battery.belowLowerLimit, c.belowLower);
        QCOMPARE(battery.dischargeUsable, c.dischargeUsable);
        QCOMPARE(battery.surplusTerm, c.surplusTerm);
        QCOMPARE(balance.surplusAcquisitionTolerance(), c.tolerance);
        // The surplus budget: the export plus the battery's term, less what is reserved.
        Thing *gridMeter = m_manager->addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Grid"));
        gridMeter->setStateValue(QStringLiteral("currentPower"), -3000.0);
        context.rootMeter = new RootMeter(gridMeter);
        QCOMPARE(balance.availableAcSurplusChargingPower({}, 200), qMax(0.0, 3000 + c.surplusTerm - 200));
        m_manager->removeConfiguredThing(gridMeter->id());
        for (Thing *thing : qAsConst(batteries))
            m_manager->removeConfiguredThing(thing->id());
    }

    void surplusBudgetLeavesOutDcFeedIn_data()
    {
        // W each DC charger draws (< 0: its car feeds the house), W the
        // meter exports; the budget keeps 200 W reserved.
        QTest::addColumn<QList<double>>("dcPowers");
        QTest::addColumn<double>("exportPower");
        QTest::addColumn<double>("budget");
        QTest::newRow("the export is a car's discharge: nothing to share") << QList<double>{-3000} << 3000.0 << 0.0;
        QTest::newRow("a discharge winding down beside the sun: the sun's part")
                << QList<double>{-1000} << 4000.0 << 2800.0;
        QTest::newRow("a car charging is neither added nor taken") << QList<double>{2000} << 3000.0 << 2800.0;
        QTest::newRow("one feeds, one charges: only the feed is left out")
                << QList<double>{-1000, 1500} << 2500.0 << 1300.0;
    }
    void surplusBudgetLeavesOutDcFeedIn()
    {
        QFETCH(QList<double>, dcPowers);
        QFETCH(double, exportPower);
        ChargingContext context(nullptr, m_manager, nullptr, nullptr);
        Thing *gridMeter = m_manager->addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Grid"));
        gridMeter->setStateValue(QStringLiteral("currentPower"), -exportPower);
        context.rootMeter = new RootMeter(gridMeter);
        QList<Thing *> things;
        for (double power : qAsConst(dcPowers)) {
            things << m_manager->addConfiguredThing(QStringLiteral("evChargerDc"), QStringLiteral("DC"));
            things.last()->setStateValue(QStringLiteral("currentPower"), power);
            context.evChargersDc.insert(things.last()->id(), new EvChargerDc(m_manager, things.last()));
        }
        const HouseholdBalance balance(context);
        QTEST(balance.availableAcSurplusChargingPower({}, 200), "budget");
        qDeleteAll(context.evChargersDc);
        m_manager->removeConfiguredThing(gridMeter->id());
        for (Thing *thing : qAsConst(things))
            m_manager->removeConfiguredThing(thing->id());
    }

    void budgets_data()
    {
        QTest::addColumn<BudgetCase>("c");
        const double infinite = std::numeric_limits<double>::infinity();
        const QVector<double> phases{10, 12, 5}; // 4 A left on B under 16 A
        QTest::newRow("export and the phase limit's headroom, less the reserve")
                << BudgetCase{true, -2000, phases, 16, 500, 0, 2000 + 4 * 690 - 500, 4 * 690, 3 * 690};
        QTest::newRow("what the AC commands took is not the DC chargers'")
                << BudgetCase{true, -2000, phases, 16, 500, 1, 2000 + 4 * 690 - 500, 3 * 690, 2 * 690};
        QTest::newRow("the margin takes the last ampere")
                << BudgetCase{true, 1000, phases, 16, 0, 3, 4 * 690, 1 * 690, 0};
        QTest::newRow("a phase over: no headroom, the DC chargers must come down")
                << BudgetCase{true, 5000, {10, 18, 5}, 16, 0, 0, 0, 0, -3 * 690};
        QTest::newRow("import beyond the headroom: nothing for the grid share")
                << BudgetCase{true, 5000, phases, 16, 3000, 0, 0, 4 * 690, 3 * 690};
        QTest::newRow("no limit: only the export, the DC chargers unbounded")
                << BudgetCase{true, -2000, phases, 0, 500, 0, 1500, -1, infinite};
        QTest::newRow("no meter: nothing but what the chargers draw")
                << BudgetCase{false, -2000, phases, 16, 500, 0, 0, -1, infinite};
    }
    void budgets()
    {
        QFETCH(BudgetCase, c);
        ChargingContext context(nullptr, m_manager, nullptr, nullptr);
        context.phasePowerLimit = c.limit;
        Thing *gridMeter = m_manager->addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Grid"));
        gridMeter->setStateValue(QStringLiteral("currentPower"), c.rootPower);
        gridMeter->setStateValue(QStringLiteral("currentPhaseA"), c.phaseCurrents.at(0));
        gridMeter->setStateValue(QStringLiteral("currentPhaseB"), c.phaseCurrents.at(1));
        gridMeter->setStateValue(QStringLiteral("currentPhaseC"), c.phaseCurrents.at(2));
        if (c.meter)
            context.rootMeter = new RootMeter(gridMeter);
        // The cycle's headroom as the manager's update() opens it.
        context.cycle.begin(QDateTime(QDate(2026, 5, 10), QTime(12, 0)));
        context.cycle.openHeadroom(context.measuredHeadroom());
        context.cycle.spend(Electricity::PhaseAll, c.spent);
        const HouseholdBalance balance(context);
        QCOMPARE(balance.availableAcChargingPower({}, c.reserved), c.acGrid);
        QCOMPARE(balance.availableDcChargingPowerByPhaseLimit(), c.dcByLimit);
        QCOMPARE(balance.availableDcOverloadThrottlePower(), qMax(0.0, c.dcByLimit));
        QCOMPARE(balance.dcPhaseLimitHeadroom(), c.dcHeadroom);
        m_manager->removeConfiguredThing(gridMeter->id());
    }
};

QTEST_GUILESS_MAIN(TestHouseholdBalance)
#include "tst_householdbalance.moc"
