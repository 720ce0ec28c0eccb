#include "householdfixture.h"

#include "devices/evchargerac.h"
#include "smartcharging/smartchargingmanager.h"

#include "tavro/thing.h"
#include "tavro/thingmanager.h"

#include <QtTest>

class SmartChargingManagerTestAccess
{
public:
    static EvChargerAc *adapter(SmartChargingManager *manager, Thing *charger)
    {
        return manager->m_evChargersAc.value(charger->id());
    }
    // 6..16 A, three phases in use.
    static void prepare(SmartChargingManager *manager, Thing *charger, const QList<ChargingAction> &actions,
                        bool phaseSwitching = false, bool carSinglePhase = false)
    {
        ChargingProcessInfo info;
        info.minChargingCurrent = 6;
        info.maxChargingCurrent = 16;
        info.maxPhaseCount = info.effectivePhaseCount = 3;
        info.effectivePhases = Electricity::PhaseAll;
        info.phaseSwitchingPossible = phaseSwitching;
        info.carLimitedToSinglePhase = carSinglePhase;
        info.batteryLevel = 20;
        info.remainingPercentage = 60;
        EvChargerAc *charger_ = adapter(manager, charger);
        manager->m_acProcessInfos.insert(charger_, info);
        manager->m_acChargingActions.remove(charger_);
        for (const ChargingAction &action : actions)
            manager->m_acChargingActions[charger_].insert(action.issuer(), action);
    }
    static void adjust(SmartChargingManager *manager, const QDateTime &now) { manager->adjustEvChargers(now); }
    static void execute(SmartChargingManager *manager, Thing *charger, const ChargingAction &action, const QDateTime &now)
    {
        manager->executeChargingAction(adapter(manager, charger), action, now);
    }
};

using Access = SmartChargingManagerTestAccess;

namespace {

// "name=value" of every action the thing received, in order.
QStringList commands(ThingManager *thingManager, Thing *thing)
{
    QStringList result;
    for (const ThingManager::ActionLogEntry &entry : thingManager->actionLog()) {
        if (entry.thingId == thing->id())
            result.append(entry.actionTypeName + "=" + entry.params.value(0).value().toString());
    }
    return result;
}

void setMode(SmartChargingManager *manager, Thing *charger, ChargingConfiguration::ChargingMode mode, Thing *car = nullptr)
{
    ChargingConfiguration configuration = manager->chargingConfiguration(charger->id());
    configuration.setChargingMode(mode);
    if (car)
        configuration.setAssignedCarId(car->id());
    QCOMPARE(manager->setChargingConfiguration(configuration), EnergyManager::EnergyErrorNoError);
}

const ChargingAction::ChargingActionIssuer timeRequirementIssuer = ChargingAction::ChargingActionIssuerTimeRequirement;
const ChargingAction::ChargingActionIssuer surplusIssuer = ChargingAction::ChargingActionIssuerSurplusCharging;
const ChargingAction::ChargingActionIssuer spotMarketIssuer = ChargingAction::ChargingActionIssuerSpotMarketCharging;

}

class TestAdjustment : public QObject
{
    Q_OBJECT

private slots:
    void precedence_data();
    void precedence();
    void lockedChargerRestart_data();
    void lockedChargerRestart();
    void executionOrder_data();
    void executionOrder();
    void steadyCycleSendsNoNews();
};

void TestAdjustment::precedence_data()
{
    QTest::addColumn<QString>("enabled"); // T time requirement, S surplus, M spot market
    QTest::addColumn<bool>("withMeter");
    QTest::addColumn<uint>("limit");
    QTest::addColumn<double>("meterCurrent");
    QTest::addColumn<double>("ownCurrent");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("expected");

    const int deadline = ChargingState::ModeTimeRequirement;
    // A deadline charge takes what the meter has left less 1 A plus what it
    // draws itself, within the charger's range; no limit counts as its maximum.
    QTest::newRow("time requirement beats all, no limit") << "TSM" << true << 0u << 0.0 << 0.0 << deadline
                                                          << QStringList{"maxChargingCurrent=15", "power=true"};
    QTest::newRow("no limit, own current capped at maximum") << "T" << true << 0u << 0.0 << 10.0 << deadline
                                                             << QStringList{"maxChargingCurrent=16", "power=true"};
    QTest::newRow("2 A left while drawing 10 A") << "T" << true << 16u << 14.0 << 10.0 << deadline
                                                 << QStringList{"maxChargingCurrent=11", "power=true"};
    QTest::newRow("limit without root meter: as no limit") << "T" << false << 16u << 0.0 << 0.0 << deadline
                                                           << QStringList{"maxChargingCurrent=15", "power=true"};
    QTest::newRow("surplus") << "S" << true << 0u << 0.0 << 0.0 << int(ChargingState::ModeSurplusCharging)
                             << QStringList{"maxChargingCurrent=10", "power=true"};
    QTest::newRow("spot market") << "M" << true << 0u << 0.0 << 0.0 << int(ChargingState::ModeSpotMarketCharging)
                                 << QStringList{"maxChargingCurrent=12", "power=true"};
    // Idle keeps the first planned current (surplus first) and switches off.
    QTest::newRow("nothing enabled: idle") << "" << true << 0u << 0.0 << 0.0 << int(ChargingState::ModeIdle)
                                           << QStringList{"maxChargingCurrent=10", "power=false"};
}

void TestAdjustment::precedence()
{
    QFETCH(QString, enabled);
    QFETCH(bool, withMeter);
    QFETCH(uint, limit);
    QFETCH(double, meterCurrent);
    QFETCH(double, ownCurrent);
    QFETCH(int, mode);
    QFETCH(QStringList, expected);

    HouseholdFixture household;
    if (withMeter)
        HouseholdFixture::setMeterCurrents(household.addThing("gridMeter", "Grid"), meterCurrent, meterCurrent, meterCurrent);
    Thing *charger = household.addThing("evChargerAc", "Garage", {{"pluggedIn", true}, {"currentPower", ownCurrent * 690}});
    SmartChargingManager *manager = household.createManager();
    manager->setPhasePowerLimit(limit);
    setMode(manager, charger, ChargingConfiguration::ChargingModeEco);
    household.processEvents();
    household.thingManager()->clearActionLog();

    Access::prepare(manager, charger, {ChargingAction(enabled.contains('T'), 16, 3, timeRequirementIssuer, false),
                                       ChargingAction(enabled.contains('S'), 10, 3, surplusIssuer, false),
                                       ChargingAction(enabled.contains('M'), 12, 3, spotMarketIssuer, false)});
    Access::adjust(manager, household.now());
    household.processEvents();

    QCOMPARE(commands(household.thingManager(), charger), expected);
    QCOMPARE(int(manager->chargingState(charger->id()).mode()), mode);
}

void TestAdjustment::lockedChargerRestart_data()
{
    QTest::addColumn<bool>("force");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("unforced: nothing sent") << false << QStringList();
    QTest::newRow("forced: goes through") << true << QStringList{"maxChargingCurrent=10", "power=true"};
}

void TestAdjustment::lockedChargerRestart()
{
    QFETCH(bool, force);
    QFETCH(QStringList, expected);

    HouseholdFixture household;
    Thing *charger = household.addThing("evChargerAc", "Garage", {{"pluggedIn", true}, {"power", true}});
    SmartChargingManager *manager = household.createManager();
    setMode(manager, charger, ChargingConfiguration::ChargingModeEco);

    // Switching off starts the on/off lock.
    EvChargerAc *adapter = Access::adapter(manager, charger);
    adapter->setChargingEnabled(false, household.now(), false, true);
    household.processEvents();
    QVERIFY(adapter->chargingEnabledLocked());
    household.thingManager()->clearActionLog();

    household.advance(60);
    Access::execute(manager, charger, ChargingAction(true, 10, 3, surplusIssuer, force), household.now());
    household.processEvents();

    QCOMPARE(commands(household.thingManager(), charger), expected);
    QCOMPARE(charger->stateValue(QStringLiteral("power")).toBool(), force);
}

void TestAdjustment::executionOrder_data()
{
    QTest::addColumn<bool>("phaseSwitching");
    QTest::addColumn<bool>("carSinglePhase");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("switchable: phases, current, on")
            << true << false << QStringList{"desiredPhaseCount=3", "maxChargingCurrent=10", "power=true"};
    QTest::newRow("single-phase car: always one phase")
            << false << true << QStringList{"desiredPhaseCount=1", "maxChargingCurrent=10", "power=true"};
    QTest::newRow("no switching: no phase command") << false << false << QStringList{"maxChargingCurrent=10", "power=true"};
}

void TestAdjustment::executionOrder()
{
    QFETCH(bool, phaseSwitching);
    QFETCH(bool, carSinglePhase);
    QFETCH(QStringList, expected);

    HouseholdFixture household;
    Thing *charger = household.addThing("evChargerAc", "Garage", {{"pluggedIn", true}});
    SmartChargingManager *manager = household.createManager();
    household.thingManager()->clearActionLog();

    Access::prepare(manager, charger, {}, phaseSwitching, carSinglePhase);
    Access::execute(manager, charger, ChargingAction(true, 10, 3, surplusIssuer, false), household.now());
    household.processEvents();

    QCOMPARE(commands(household.thingManager(), charger), expected);
}

void TestAdjustment::steadyCycleSendsNoNews()
{
    HouseholdFixture household;
    Thing *meter = household.addThing("gridMeter", "Grid");
    Thing *solar = household.addThing("evChargerAc", "Solar", {{"pluggedIn", true}});
    Thing *idle = household.addThing("evChargerAc", "Idle", {{"pluggedIn", false}});
    SmartChargingManager *manager = household.createManager();
    setMode(manager, solar, ChargingConfiguration::ChargingModeEco,
            household.addThing("electricVehicle", "Car 1", {{"batteryLevel", 20}}));
    setMode(manager, idle, ChargingConfiguration::ChargingModeEco,
            household.addThing("electricVehicle", "Car 2", {{"batteryLevel", 20}}));
    HouseholdFixture::setMeterCurrents(meter, -3000.0 / 690, -3000.0 / 690, -3000.0 / 690);

    QList<QStringList> perCycle;
    for (int cycle = 0; cycle < 3; cycle++) {
        household.thingManager()->clearActionLog();
        household.advance(60);
        household.runCycle();
        QStringList sent;
        for (Thing *charger : {solar, idle}) {
            for (const QString &command : commands(household.thingManager(), charger))
                sent.append(charger->name() + ":" + command);
        }
        perCycle.append(sent);
    }

    QVERIFY(solar->stateValue(QStringLiteral("power")).toBool());
    QVERIFY(!idle->stateValue(QStringLiteral("power")).toBool());
    // Once settled, a cycle repeats the present setpoints once each: no
    // toggling, no duplicates, no changed values.
    QStringList settled = perCycle.at(2);
    QCOMPARE(settled, perCycle.at(1));
    QVERIFY(!settled.isEmpty());
    QCOMPARE(settled.removeDuplicates(), 0);
    for (const QString &command : qAsConst(settled)) {
        Thing *thing = command.startsWith("Solar:") ? solar : idle;
        const QString setting = command.section(':', 1);
        QCOMPARE(thing->stateValue(setting.section('=', 0, 0)).toString(), setting.section('=', 1));
    }
}

QTEST_GUILESS_MAIN(TestAdjustment)
#include "tst_adjustment.moc"
