#include "householdfixture.h"

#include "devices/evchargerac.h"
#include "smartcharging/smartchargingmanager.h"

#include "tavro/thing.h"
#include "tavro/thingmanager.h"

#include <QSignalSpy>
#include <QtTest>

class SmartChargingManagerTestAccess
{
public:
    static EvChargerAc *adapter(SmartChargingManager *manager, Thing *charger)
    {
        return manager->m_evChargersAc.value(charger->id());
    }
    static void prepare(SmartChargingManager *manager, const QDateTime &now) { manager->prepareInformation(now); }
    static bool hasInfo(SmartChargingManager *manager, Thing *charger)
    {
        return manager->m_acProcessInfos.contains(adapter(manager, charger));
    }
    static ChargingProcessInfo &info(SmartChargingManager *manager, Thing *charger)
    {
        return manager->m_acProcessInfos[adapter(manager, charger)];
    }
    static bool hasActions(SmartChargingManager *manager, Thing *charger)
    {
        return manager->m_acChargingActions.contains(adapter(manager, charger));
    }
    static QHash<ChargingAction::ChargingActionIssuer, ChargingAction> actions(SmartChargingManager *manager, Thing *charger)
    {
        return manager->m_acChargingActions.value(adapter(manager, charger));
    }
    static ChargingSchedules &schedules(SmartChargingManager *manager, Thing *charger)
    {
        return manager->m_acChargingSchedules[adapter(manager, charger)];
    }
};

using Access = SmartChargingManagerTestAccess;

namespace {

void configure(SmartChargingManager *manager, Thing *charger, Thing *car, ChargingConfiguration::ChargingMode mode,
               uint target = 80, bool stopOnTarget = false, const QDateTime &end = QDateTime())
{
    ChargingConfiguration configuration = manager->chargingConfiguration(charger->id());
    configuration.setAssignedCarId(car ? car->id() : ThingId());
    configuration.setChargingMode(mode);
    configuration.setTargetPercentage(target);
    configuration.setStopOnTargetPercentage(stopOnTarget);
    configuration.setEndDateTime(end);
    configuration.setDailySpotMarketPercentage(20);
    QCOMPARE(manager->setChargingConfiguration(configuration), EnergyManager::EnergyErrorNoError);
}

}

class TestPreparation : public QObject
{
    Q_OBJECT

private slots:
    void chargingTime_data();
    void chargingTime();
    void phases_data();
    void phases();
    void chargerWithoutCar_data();
    void chargerWithoutCar();
    void targetPercentageReached_data();
    void targetPercentageReached();
};

void TestPreparation::chargingTime_data()
{
    QTest::addColumn<uint>("phaseLimit");
    QTest::addColumn<int>("batteryLevel");
    QTest::addColumn<double>("phaseLimitPower");
    QTest::addColumn<double>("fullHours");
    QTest::addColumn<int>("remainingPercentage");
    QTest::addColumn<double>("remainingHours");
    QTest::addColumn<int>("projectedSeconds");

    // Charger 6..16 A on 3 fixed phases, car 3 phases, 32 A, 60 kWh, 10 % loss, target 80 %.
    QTest::newRow("household limit above the charger") << 25u << 40 << 3680.0 << 6.038647 << 40 << 2.415459 << 8695;
    QTest::newRow("household limit below the charger") << 10u << 40 << 2300.0 << 9.661836 << 40 << 3.864734 << 13913;
    QTest::newRow("household limit unset") << 0u << 40 << 3680.0 << 6.038647 << 40 << 2.415459 << 8695;
    QTest::newRow("battery above target") << 25u << 90 << 3680.0 << 6.038647 << 0 << 0.0 << 0;
}

void TestPreparation::chargingTime()
{
    QFETCH(uint, phaseLimit);
    QFETCH(int, batteryLevel);
    QFETCH(double, phaseLimitPower);
    QFETCH(double, fullHours);
    QFETCH(int, remainingPercentage);
    QFETCH(double, remainingHours);
    QFETCH(int, projectedSeconds);

    HouseholdFixture household;
    Thing *charger = household.addThing("evChargerAcBasic", "Garage", {{"pluggedIn", true}});
    // A car reporting its own level: no manual estimate replaces it.
    Thing *car = household.addThing("electricVehicleConnected", "Car", {{"acPhaseCount", 3}, {"acMaxChargingCurrent", 32},
                                                               {"acMinChargingCurrent", 0}, {"capacity", 60},
                                                               {"batteryLevel", batteryLevel}});
    car->setSettingValue("chargingEnergyLoss", 10);
    SmartChargingManager *manager = household.createManager();
    manager->setPhasePowerLimit(phaseLimit);
    configure(manager, charger, car, ChargingConfiguration::ChargingModeEco);
    household.processEvents();

    // The daily counters survive the rebuild of the record.
    Access::info(manager, charger).chargedEnergyToday = 3.5;
    Access::info(manager, charger).lastTotalEnergyCharged = 120;
    Access::prepare(manager, household.now());

    const ChargingProcessInfo info = Access::info(manager, charger);
    QCOMPARE(info.minChargingCurrent, 6u);
    QCOMPARE(info.maxChargingCurrent, 16u);
    QCOMPARE(info.maxPhaseCount, 3u);
    QCOMPARE(info.chargerPhaseLimitPower, 3680.0);
    QCOMPARE(info.phaseLimitPower, phaseLimitPower);
    QVERIFY2(qAbs(info.fullChargingHours - fullHours) < 1e-5, qPrintable(QString::number(info.fullChargingHours)));
    QCOMPARE(info.remainingPercentage, remainingPercentage);
    QVERIFY2(qAbs(info.remainingChargingHours - remainingHours) < 1e-5, qPrintable(QString::number(info.remainingChargingHours)));
    QCOMPARE(info.projectedEndTime, household.now().addSecs(projectedSeconds));
    QCOMPARE(info.dailySpotMarketEnergy, 12.0);
    QVERIFY(info.dailySpotMarketRequired);
    QCOMPARE(info.chargedEnergyToday, 3.5);
    QCOMPARE(info.lastTotalEnergyCharged, 120.0);
}

void TestPreparation::phases_data()
{
    QTest::addColumn<QString>("chargerClass");
    QTest::addColumn<QVariantMap>("chargerStates");
    QTest::addColumn<int>("carPhases");
    QTest::addColumn<bool>("switching");
    QTest::addColumn<bool>("singlePhaseCar");
    QTest::addColumn<uint>("effectiveCount");
    QTest::addColumn<int>("effectivePhases");
    QTest::addColumn<uint>("minPhaseCount");
    QTest::addColumn<uint>("maxPhaseCount");
    QTest::addColumn<int>("maxPhases");

    const QVariantMap none;
    QTest::newRow("switchable charger, 3-phase car") << "evChargerAc" << none << 3 << true << false << 3u << 7 << 1u << 3u << 7;
    QTest::newRow("switchable charger, 1-phase car") << "evChargerAc" << none << 1 << false << true << 1u << 1 << 1u << 1u << 1;
    QTest::newRow("switchable charger on 1 phase, 3-phase car")
            << "evChargerAc" << QVariantMap{{"phaseCount", 1}} << 3 << true << false << 1u << 1 << 1u << 3u << 7;
    QTest::newRow("fixed charger, 2-phase car") << "evChargerAcBasic" << none << 2 << false << false << 2u << 3 << 2u << 2u << 3;
    QTest::newRow("charger without phase switching, 1-phase car")
            << "evChargerAcSinglePhase" << none << 1 << false << false << 1u << 1 << 1u << 1u << 1;
    QTest::newRow("metered phases A and C override the count")
            << "evChargerAc" << QVariantMap{{"currentPower", 2760}, {"currentPhaseA", 6}, {"currentPhaseC", 6}}
            << 3 << true << false << 2u << 5 << 1u << 3u << 7;
}

void TestPreparation::phases()
{
    QFETCH(QString, chargerClass);
    QFETCH(QVariantMap, chargerStates);
    QFETCH(int, carPhases);

    HouseholdFixture household;
    Thing *charger = household.addThing(chargerClass, "Garage", {{"pluggedIn", true}});
    Thing *car = household.addThing("electricVehicle", "Car", {{"acPhaseCount", carPhases}});
    SmartChargingManager *manager = household.createManager();
    configure(manager, charger, car, ChargingConfiguration::ChargingModeEco);
    household.processEvents();
    HouseholdFixture::setStates(charger, chargerStates);
    Access::prepare(manager, household.now());

    const ChargingProcessInfo info = Access::info(manager, charger);
    QTEST(info.phaseSwitchingPossible, "switching");
    QTEST(info.carLimitedToSinglePhase, "singlePhaseCar");
    QTEST(info.effectivePhaseCount, "effectiveCount");
    QTEST(int(info.effectivePhases), "effectivePhases");
    QTEST(info.minPhaseCount, "minPhaseCount");
    QTEST(info.maxPhaseCount, "maxPhaseCount");
    QTEST(int(info.maxPhases), "maxPhases");

    // The planners start from "off" at the minimum current and phase count.
    const auto actions = Access::actions(manager, charger);
    QCOMPARE(actions.count(), 3);
    for (auto it = actions.constBegin(); it != actions.constEnd(); ++it) {
        QCOMPARE(it.value().issuer(), it.key());
        QVERIFY(!it.value().chargingEnabled());
        QCOMPARE(it.value().maxChargingCurrent(), double(info.minChargingCurrent));
        QCOMPARE(it.value().desiredPhaseCount(), info.minPhaseCount);
    }
}

void TestPreparation::chargerWithoutCar_data()
{
    QTest::addColumn<bool>("carRemoved");
    QTest::addColumn<bool>("hadSchedules");

    QTest::newRow("no car assigned, nothing planned") << false << false;
    QTest::newRow("no car assigned, schedules dropped") << false << true;
    QTest::newRow("assigned car gone, schedules dropped") << true << true;
}

void TestPreparation::chargerWithoutCar()
{
    QFETCH(bool, carRemoved);
    QFETCH(bool, hadSchedules);

    HouseholdFixture household;
    Thing *charger = household.addThing("evChargerAc", "Garage", {{"pluggedIn", true}});
    Thing *car = household.addThing("electricVehicle", "Car");
    SmartChargingManager *manager = household.createManager();
    if (carRemoved) {
        configure(manager, charger, car, ChargingConfiguration::ChargingModeEco);
        household.thingManager()->removeConfiguredThing(car->id());
        household.processEvents();
    }
    Access::info(manager, charger) = ChargingProcessInfo();
    if (hadSchedules)
        Access::schedules(manager, charger).append(ChargingSchedule(charger->id(), TimeFrame(household.now(), household.now().addSecs(3600))));

    QSignalSpy schedulesSpy(manager, &SmartChargingManager::chargingSchedulesChanged);
    Access::prepare(manager, household.now());

    QCOMPARE(schedulesSpy.count(), hadSchedules ? 1 : 0);
    QVERIFY(!Access::hasInfo(manager, charger));
    QVERIFY(!Access::hasActions(manager, charger));
    QVERIFY(manager->chargingSchedules().isEmpty());
    QCOMPARE(manager->chargingState(charger->id()).waitingReason(), ChargingState::WaitingReasonVehicleUnavailable);
}

void TestPreparation::targetPercentageReached_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("stopOnTarget");
    QTest::addColumn<uint>("target");
    QTest::addColumn<int>("batteryLevel");
    QTest::addColumn<bool>("stops");

    const int eco = ChargingConfiguration::ChargingModeEco;
    QTest::newRow("eco, exactly at target") << eco << true << 80u << 80 << true;
    QTest::newRow("eco with target time, above target") << int(ChargingConfiguration::ChargingModeEcoWithTargetTime)
                                                        << true << 80u << 95 << true;
    QTest::newRow("one percent below target") << eco << true << 80u << 79 << false;
    QTest::newRow("target 100 never stops") << eco << true << 100u << 100 << false;
    QTest::newRow("normal mode never stops") << int(ChargingConfiguration::ChargingModeNormal) << true << 80u << 90 << false;
    QTest::newRow("stop on target not set") << eco << false << 80u << 90 << false;
}

void TestPreparation::targetPercentageReached()
{
    QFETCH(int, mode);
    QFETCH(bool, stopOnTarget);
    QFETCH(uint, target);
    QFETCH(int, batteryLevel);
    QFETCH(bool, stops);

    HouseholdFixture household;
    Thing *charger = household.addThing("evChargerAc", "Garage", {{"pluggedIn", true}});
    Thing *car = household.addThing("electricVehicleConnected", "Car", {{"batteryLevel", batteryLevel}});
    SmartChargingManager *manager = household.createManager();
    configure(manager, charger, car, ChargingConfiguration::ChargingMode(mode), target, stopOnTarget,
              household.now().addSecs(8 * 3600));
    household.processEvents();

    // Charging, and the on/off lock holds.
    EvChargerAc *adapter = Access::adapter(manager, charger);
    adapter->setChargingEnabled(true, household.now(), true, true);
    household.processEvents();
    HouseholdFixture::setStates(charger, {{"charging", true}});
    QVERIFY(adapter->chargingEnabledLocked());
    household.thingManager()->clearActionLog();

    Access::prepare(manager, household.now());
    household.processEvents();

    QList<QVariant> powerCommands;
    for (const ThingManager::ActionLogEntry &entry : household.thingManager()->actionLog()) {
        if (entry.thingId == charger->id() && entry.actionTypeName == "power")
            powerCommands.append(entry.params.value(0).value());
    }
    QCOMPARE(powerCommands, stops ? QList<QVariant>{false} : QList<QVariant>());
    QCOMPARE(charger->stateValue(QStringLiteral("power")).toBool(), !stops);
    const ChargingState state = manager->chargingState(charger->id());
    QCOMPARE(state.targetPercentageReached(), stops);
    if (stops)
        QCOMPARE(state.mode(), ChargingState::ModeIdle);
}

QTEST_GUILESS_MAIN(TestPreparation)
#include "tst_preparation.moc"
