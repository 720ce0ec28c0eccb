#include "householdfixture.h"

#include "config/energysettings.h"
#include "devices/evchargerac.h"
#include "smartcharging/smartchargingmanager.h"

#include "tavro-energy/energymanager.h"
#include "tavro/thing.h"

#include <QLoggingCategory>
#include <QSignalSpy>
#include <QtTest>

namespace {
// Counts the update cycles by their header line.
int s_updateCount = 0;
QtMessageHandler s_previousHandler = nullptr;

void countingHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (qstrcmp(context.category, "TavroEnergy") == 0
        && message.contains(QLatin1String("==================== Updating smart charging ====================")))
        s_updateCount++;
    if (type != QtDebugMsg && s_previousHandler)
        s_previousHandler(type, context, message);
}
}

struct LimitsCase {
    double lower;
    double upper;
    int considerationSignals;
    int limitsSignals;
    double storedLower;
    double storedUpper;
};
Q_DECLARE_METATYPE(LimitsCase)

struct TriggerCase {
    int sampleRate;
    int offsetSeconds;
    int expectedCycles;
};
Q_DECLARE_METATYPE(TriggerCase)

class TestManagerLifecycle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void acquisitionToleranceClamping_data();
    void acquisitionToleranceClamping();
    void batteryLevelLimitsSignals_data();
    void batteryLevelLimitsSignals();
    void settingsSurviveRestart();
    void progressAfterHardRestart_data();
    void progressAfterHardRestart();
    void updateTrigger_data();
    void updateTrigger();
    void ascendingPhases_data();
    void ascendingPhases();
};

void TestManagerLifecycle::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("TavroEnergy.debug=true"));
    s_previousHandler = qInstallMessageHandler(countingHandler);
}

void TestManagerLifecycle::cleanupTestCase()
{
    qInstallMessageHandler(s_previousHandler);
}

void TestManagerLifecycle::acquisitionToleranceClamping_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("stored");

    QTest::newRow("inside") << 0.7 << 0.7;
    QTest::newRow("upper bound") << 1.0 << 1.0;
    QTest::newRow("above one") << 1.5 << 1.0;
    QTest::newRow("zero") << 0.0 << 0.0;
    QTest::newRow("negative") << -0.2 << 0.0;
}

void TestManagerLifecycle::acquisitionToleranceClamping()
{
    QFETCH(double, value);
    QFETCH(double, stored);

    HouseholdFixture household;
    SmartChargingManager *manager = household.createManager();
    QSignalSpy spy(manager, &SmartChargingManager::acquisitionToleranceChanged);
    manager->setAcquisitionTolerance(value);

    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toDouble(), stored);
    QCOMPARE(manager->acquisitionTolerance(), stored);
    EnergySettings settings;
    QCOMPARE(settings.value(QStringLiteral("acquisitionTolerance")).toDouble(), stored);

    // The comparison uses the raw value: one out of range differs from the
    // stored one every time and is emitted again; the stored value is not.
    manager->setAcquisitionTolerance(value);
    QCOMPARE(spy.count(), value == stored ? 1 : 2);
    manager->setAcquisitionTolerance(stored);
    QCOMPARE(spy.count(), value == stored ? 1 : 2);
}

void TestManagerLifecycle::batteryLevelLimitsSignals_data()
{
    QTest::addColumn<LimitsCase>("row");

    // Defaults are 0.9 / 1.0.
    QTest::newRow("unchanged") << LimitsCase{0.9, 1.0, 0, 0, 0.9, 1.0};
    QTest::newRow("only upper changed") << LimitsCase{0.9, 0.95, 0, 1, 0.9, 0.95};
    QTest::newRow("only lower changed") << LimitsCase{0.2, 1.0, 1, 1, 0.2, 1.0};
    QTest::newRow("both clamped to unchanged") << LimitsCase{0.9, 1.7, 0, 0, 0.9, 1.0};
    QTest::newRow("lower above upper kept") << LimitsCase{0.8, 0.5, 1, 1, 0.8, 0.5};
    QTest::newRow("negative lower clamped") << LimitsCase{-1.0, 1.0, 1, 1, 0.0, 1.0};
}

void TestManagerLifecycle::batteryLevelLimitsSignals()
{
    QFETCH(LimitsCase, row);
    const auto &[lower, upper, considerationSignals, limitsSignals, storedLower, storedUpper] = row;

    HouseholdFixture household;
    SmartChargingManager *manager = household.createManager();
    QSignalSpy considerationSpy(manager, &SmartChargingManager::batteryLevelConsiderationChanged);
    QSignalSpy limitsSpy(manager, &SmartChargingManager::batteryLevelLimitsChanged);
    manager->setBatteryLevelLimits(lower, upper);

    QCOMPARE(considerationSpy.count(), considerationSignals);
    QCOMPARE(limitsSpy.count(), limitsSignals);
    QCOMPARE(manager->batteryLevelLowerLimit(), storedLower);
    QCOMPARE(manager->batteryLevelConsideration(), storedLower);
    QCOMPARE(manager->batteryLevelUpperLimit(), storedUpper);
    if (limitsSignals) {
        QCOMPARE(limitsSpy.at(0).at(0).toDouble(), storedLower);
        QCOMPARE(limitsSpy.at(0).at(1).toDouble(), storedUpper);
    }
}

void TestManagerLifecycle::settingsSurviveRestart()
{
    HouseholdFixture household;
    SmartChargingManager *manager = household.createManager();
    QSignalSpy spy(manager, &SmartChargingManager::phasePowerLimitChanged);
    manager->setPhasePowerLimit(0);
    QCOMPARE(spy.count(), 0);
    manager->setPhasePowerLimit(16);
    manager->setPhasePowerLimit(16);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), 16);
    manager->setAcquisitionTolerance(0.25);
    manager->setBatteryLevelLimits(0.3, 0.8);

    manager = household.createManager();
    QCOMPARE(manager->phasePowerLimit(), 16u);
    QCOMPARE(manager->acquisitionTolerance(), 0.25);
    QCOMPARE(manager->batteryLevelLowerLimit(), 0.3);
    QCOMPARE(manager->batteryLevelUpperLimit(), 0.8);
}

void TestManagerLifecycle::progressAfterHardRestart_data()
{
    QTest::addColumn<QString>("progress");

    QTest::newRow("manual-SoC session of the plug-in") << "session";
    QTest::newRow("session of a plug-in that ended while down") << "session, unplugged";
    QTest::newRow("owner told the target is out of reach") << "unreachable";
    QTest::newRow("on/off lock") << "lock";
    QTest::newRow("fairness counter") << "fairness";
}

void TestManagerLifecycle::progressAfterHardRestart()
{
    QFETCH(QString, progress);
    using Access = CycleProbe;

    HouseholdFixture household;
    Thing *phone = household.addThing(QStringLiteral("pushNotifications"), QStringLiteral("Phone"));
    Thing *charger = household.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Garage"),
                                        {{QStringLiteral("pluggedIn"), true}});
    // A car whose level the owner types in.
    Thing *car = household.addThing(QStringLiteral("electricVehicle"), QStringLiteral("Car"),
                                    {{QStringLiteral("batteryLevel"), 40}, {QStringLiteral("capacity"), 50}});
    SmartChargingManager *manager = household.createManager();
    const QDateTime target = household.now().addSecs(3600);
    QCOMPARE(household.configure(charger,
                                 [&](ChargingConfiguration &configuration) {
                                     configuration.setAssignedCarId(car->id());
                                     configuration.setChargingMode(
                                             ChargingConfiguration::ChargingModeEcoWithTargetTime);
                                     configuration.setEndDateTime(target);
                                 }),
             EnergyManager::EnergyErrorNoError);
    household.processEvents();
    const ThingId other = ThingId::createUuid();
    auto reportUnreachable = [&]() {
        manager->steps().surplus.reportTargetTimeUnreachable(charger->id(),
                                                             manager->chargingConfiguration(charger->id()), target,
                                                             ChargingProcessInfo(), household.now());
        household.processEvents();
    };

    if (progress.startsWith(QLatin1String("session"))) {
        Access::endManualSoc(manager, charger);
        QVERIFY(Access::initializeManualSoc(manager, charger));
    } else if (progress == QLatin1String("unreachable")) {
        reportUnreachable();
    } else if (progress == QLatin1String("lock")) {
        Access::ac(manager, charger)->setChargingEnabled(true, household.now(), false, true);
        household.processEvents();
        QVERIFY(Access::ac(manager, charger)->chargingEnabledLocked());
    } else {
        ShareRounds &shares = manager->steps().shares;
        shares.updateChargingShareFairness(1, household.now());
        shares.storeChargingShareServedChargers({other}, 1);
        shares.updateChargingShareFairness(1, household.now().addSecs(3600));
        QCOMPARE(shares.fairness(other), 1u);
    }
    household.processEvents();
    const int notifiedBefore = household.actionLog(phone, QStringLiteral("notify")).count();
    if (progress == QLatin1String("session") || progress == QLatin1String("unreachable"))
        QVERIFY(notifiedBefore > 0);
    // As the last cycle before the kill leaves it.
    manager->steps().progress.store();

    household.advance(60);
    manager = household.restartHard([&]() {
        if (progress == QLatin1String("session, unplugged"))
            HouseholdFixture::setStates(charger, {{QStringLiteral("pluggedIn"), false}});
    });
    household.processEvents();

    if (progress == QLatin1String("session")) {
        QVERIFY(Access::hasManualSocSession(manager, charger));
        QVERIFY(!Access::initializeManualSoc(manager, charger));
    } else if (progress == QLatin1String("session, unplugged")) {
        QVERIFY(!Access::hasManualSocSession(manager, charger));
    } else if (progress == QLatin1String("unreachable")) {
        reportUnreachable();
    } else if (progress == QLatin1String("lock")) {
        QVERIFY(Access::ac(manager, charger)->chargingEnabledLocked());
        QVERIFY(!Access::ac(manager, charger)->setChargingEnabled(false, household.now(), false, true));
    } else {
        QCOMPARE(manager->steps().shares.fairness(other), 1u);
    }
    QCOMPARE(household.actionLog(phone, QStringLiteral("notify")).count(), notifiedBefore);
}

void TestManagerLifecycle::updateTrigger_data()
{
    QTest::addColumn<TriggerCase>("row");

    // The clock stands at 12:00:30.
    QTest::newRow("current minute") << TriggerCase{1, 0, 1};
    QTest::newRow("start of current minute") << TriggerCase{1, -30, 1};
    QTest::newRow("previous minute") << TriggerCase{1, -31, 0};
    QTest::newRow("next minute") << TriggerCase{1, 30, 0};
    QTest::newRow("fifteen-minute rate") << TriggerCase{15, 0, 0};
    QTest::newRow("same minute one day later") << TriggerCase{1, 86400, 0};
}

void TestManagerLifecycle::updateTrigger()
{
    QFETCH(TriggerCase, row);
    const auto &[sampleRate, offsetSeconds, expectedCycles] = row;

    HouseholdFixture household;
    household.createManager();
    s_updateCount = 0;
    const PowerBalanceLogEntry entry(household.now().addSecs(offsetSeconds), 0, 0, 0, 0);
    household.energyManager()->logs()->addPowerBalanceEntry(static_cast<EnergyLogs::SampleRate>(sampleRate), entry);
    QCOMPARE(s_updateCount, expectedCycles);

    // A second entry of the same minute runs a second cycle.
    household.energyManager()->logs()->addPowerBalanceEntry(static_cast<EnergyLogs::SampleRate>(sampleRate), entry);
    QCOMPARE(s_updateCount, 2 * expectedCycles);
}

void TestManagerLifecycle::ascendingPhases_data()
{
    QTest::addColumn<uint>("count");
    QTest::addColumn<int>("phases");

    QTest::newRow("0 phases") << 0u << int(Electricity::PhaseA);
    QTest::newRow("1 phase") << 1u << int(Electricity::PhaseA);
    QTest::newRow("2 phases") << 2u << int(Electricity::PhaseA | Electricity::PhaseB);
    QTest::newRow("3 phases") << 3u << int(Electricity::PhaseAll);
    QTest::newRow("4 phases") << 4u << int(Electricity::PhaseA);
}

void TestManagerLifecycle::ascendingPhases()
{
    QFETCH(uint, count);
    QFETCH(int, phases);
    QCOMPARE(int(SmartChargingManager::getAscendingPhasesForCount(count)), phases);
}

QTEST_GUILESS_MAIN(TestManagerLifecycle)
#include "tst_managerlifecycle.moc"
