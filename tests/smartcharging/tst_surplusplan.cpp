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
    static void plan(SmartChargingManager *manager, const QDateTime &now)
    {
        manager->prepareInformation(now);
        manager->planSurplusCharging(now);
    }
    static ChargingAction action(SmartChargingManager *manager, Thing *charger, ChargingAction::ChargingActionIssuer issuer)
    {
        return manager->m_acChargingActions.value(adapter(manager, charger)).value(issuer);
    }
    static ChargingSchedules schedules(SmartChargingManager *manager, Thing *charger)
    {
        return manager->m_acChargingSchedules.value(adapter(manager, charger));
    }
    static double coverage(SmartChargingManager *manager, Thing *charger)
    {
        return manager->calculateSurplusCoverage(charger->id());
    }
    static void updateCoverage(SmartChargingManager *manager, Thing *charger)
    {
        manager->updateChargingStateSurplusCoverage(charger->id());
    }
};

using Access = SmartChargingManagerTestAccess;

namespace {

const ChargingAction::ChargingActionIssuer surplusIssuer = ChargingAction::ChargingActionIssuerSurplusCharging;
const ChargingAction::ChargingActionIssuer timeRequirementIssuer = ChargingAction::ChargingActionIssuerTimeRequirement;

// Grid meter as root, an idle switchable 6..32 A charger and a 3-phase car
// limited to 6..16 A (60 kWh, 20 %), in the given mode.
struct Household
{
    explicit Household(ChargingConfiguration::ChargingMode mode, double tolerance, const QDateTime &end = QDateTime())
    {
        meter = fixture.addThing("gridMeter", "Grid");
        charger = fixture.addThing("evChargerAc", "Garage", {{"pluggedIn", true}});
        car = fixture.addThing("electricVehicle", "Car", {{"acPhaseCount", 3}, {"acMinChargingCurrent", 6},
                                                          {"acMaxChargingCurrent", 16}, {"capacity", 60},
                                                          {"batteryLevel", 20}});
        manager = fixture.createManager();
        manager->setAcquisitionTolerance(tolerance);
        ChargingConfiguration configuration = manager->chargingConfiguration(charger->id());
        configuration.setAssignedCarId(car->id());
        configuration.setChargingMode(mode);
        configuration.setTargetPercentage(80);
        configuration.setEndDateTime(end);
        accepted = manager->setChargingConfiguration(configuration) == EnergyManager::EnergyErrorNoError;
        fixture.processEvents();
    }

    HouseholdFixture fixture;
    Thing *meter = nullptr;
    Thing *charger = nullptr;
    Thing *car = nullptr;
    SmartChargingManager *manager = nullptr;
    bool accepted = false;
};

}

class TestSurplusPlan : public QObject
{
    Q_OBJECT

private slots:
    void surplus_data();
    void surplus();
    void targetTime_data();
    void targetTime();
    void coverage_data();
    void coverage();
};

void TestSurplusPlan::surplus_data()
{
    QTest::addColumn<double>("exportPower");
    QTest::addColumn<double>("tolerance");
    QTest::addColumn<int>("batteryLevel"); // -1: no home battery
    QTest::addColumn<double>("batteryPower");
    QTest::addColumn<double>("upperLimit");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<double>("current");
    QTest::addColumn<uint>("phases");

    QTest::newRow("3000 W: one phase, 13.04 A rounded to the step") << 3000.0 << 1.0 << -1 << 0.0 << 1.0 << true << 13.0 << 1u;
    QTest::newRow("1000 W, tolerance 0.5: acquisition up to the minimum") << 1000.0 << 0.5 << -1 << 0.0 << 1.0 << true << 6.0 << 1u;
    QTest::newRow("500 W, tolerance 0.5: below the required current") << 500.0 << 0.5 << -1 << 0.0 << 1.0 << false << 6.0 << 3u;
    QTest::newRow("5000 W: three phases above 3 x minimum") << 5000.0 << 1.0 << -1 << 0.0 << 1.0 << true << 7.0 << 3u;
    // Lower battery limit 50 %; a blocked charger keeps its present 11 A and phases.
    QTest::newRow("battery below the lower limit blocks surplus") << 3000.0 << 0.5 << 40 << 2000.0 << 1.0 << false << 11.0 << 3u;
    QTest::newRow("battery charging at the lower limit: its power is surplus") << 1000.0 << 0.5 << 50 << 2000.0 << 1.0 << true << 13.0 << 1u;
    QTest::newRow("discharge above the upper limit: tolerance kept") << 1000.0 << 0.5 << 80 << -1000.0 << 0.7 << true << 6.0 << 1u;
    QTest::newRow("discharge below the upper limit: removed, tolerance 1") << 1000.0 << 0.5 << 60 << -1000.0 << 0.7 << false << 6.0 << 3u;
}

void TestSurplusPlan::surplus()
{
    QFETCH(double, exportPower);
    QFETCH(double, tolerance);
    QFETCH(int, batteryLevel);
    QFETCH(double, batteryPower);
    QFETCH(double, upperLimit);
    QFETCH(bool, enabled);

    Household house(ChargingConfiguration::ChargingModeEco, tolerance);
    QVERIFY(house.accepted);
    if (batteryLevel >= 0) {
        house.fixture.addThing("homeBattery", "Battery", {{"batteryLevel", batteryLevel}, {"currentPower", batteryPower}});
        house.manager->setBatteryLevelLimits(0.5, upperLimit);
        house.fixture.processEvents();
    }
    HouseholdFixture::setStates(house.meter, {{"currentPower", -exportPower}});
    HouseholdFixture::setStates(house.charger, {{"maxChargingCurrent", 11}});
    Access::plan(house.manager, house.fixture.now());

    const ChargingAction action = Access::action(house.manager, house.charger, surplusIssuer);
    QCOMPARE(action.chargingEnabled(), enabled);
    QTEST(action.maxChargingCurrent(), "current");
    QTEST(action.desiredPhaseCount(), "phases");
    const ChargingState state = house.manager->chargingState(house.charger->id());
    const bool blocked = batteryLevel >= 0 && batteryLevel < 50;
    QCOMPARE(state.batteryLevelConsiderationActive(), blocked);
    if (!enabled) {
        QCOMPARE(state.waitingReason(), blocked ? ChargingState::WaitingReasonHomeBattery
                                                : ChargingState::WaitingReasonSurplusPower);
    }
}

void TestSurplusPlan::targetTime_data()
{
    QTest::addColumn<int>("hoursToEnd");
    QTest::addColumn<bool>("forced");
    QTest::addColumn<int>("overshoot");
    QTest::addColumn<int>("scheduleStart");
    QTest::addColumn<int>("scheduleEnd");
    QTest::addColumn<int>("schedulesSignals");

    // 60 % of 60 kWh at 3 x 16 A need 13043 s (217 min); planned again one minute later.
    QTest::newRow("deadline too close: full power now") << 2 << true << 13103 - 6600 << 60 << 6600 << 1;
    QTest::newRow("enough time: window before the target") << 10 << false << 0 << 35400 - 217 * 60 << 35400 << 0;
}

void TestSurplusPlan::targetTime()
{
    QFETCH(int, hoursToEnd);
    QFETCH(bool, forced);
    QFETCH(int, scheduleStart);
    QFETCH(int, scheduleEnd);

    const QDateTime start = QDateTime(QDate(2026, 1, 5), QTime(12, 0, 30));
    Household house(ChargingConfiguration::ChargingModeEcoWithTargetTime, 1.0, start.addSecs(hoursToEnd * 3600));
    HouseholdFixture *fixture = &house.fixture;
    QVERIFY(house.accepted);
    QCOMPARE(fixture->now(), start);
    // Enough export for surplus charging, which a forced charger must not plan.
    HouseholdFixture::setStates(house.meter, {{"currentPower", -3000}});
    Access::plan(house.manager, fixture->now());
    fixture->advance(60);
    QSignalSpy schedulesSpy(house.manager, &SmartChargingManager::chargingSchedulesChanged);
    Access::plan(house.manager, fixture->now());

    const ChargingAction timeRequirement = Access::action(house.manager, house.charger, timeRequirementIssuer);
    QCOMPARE(timeRequirement.chargingEnabled(), forced);
    if (forced) {
        QCOMPARE(timeRequirement.maxChargingCurrent(), 16.0);
        QCOMPARE(timeRequirement.desiredPhaseCount(), 3u);
        QVERIFY(!timeRequirement.force());
    }
    QCOMPARE(Access::action(house.manager, house.charger, surplusIssuer).chargingEnabled(), !forced);

    const ChargingState state = house.manager->chargingState(house.charger->id());
    QTEST(state.targetTimeOvershot(), "overshoot");
    if (!forced)
        QCOMPARE(state.waitingReason(), ChargingState::WaitingReasonTargetTimeWindow);

    const ChargingSchedules schedules = Access::schedules(house.manager, house.charger).filterByIssuer(timeRequirementIssuer);
    QCOMPARE(schedules.count(), 1);
    QCOMPARE(schedules.first().startDateTime(), start.addSecs(scheduleStart));
    QCOMPARE(schedules.first().endDateTime(), start.addSecs(scheduleEnd));
    QTEST(schedulesSpy.count(), "schedulesSignals");
}

void TestSurplusPlan::coverage_data()
{
    QTest::addColumn<double>("rootPower");
    QTest::addColumn<double>("batteryPower");
    QTest::addColumn<double>("chargerPower");
    QTest::addColumn<double>("expected");

    QTest::newRow("1000 W import, charger 4000 W") << 1000.0 << 0.0 << 4000.0 << 0.75;
    QTest::newRow("export covers everything") << -2000.0 << 0.0 << 4000.0 << 1.0;
    QTest::newRow("import above the charger power") << 5000.0 << 0.0 << 4000.0 << 0.0;
    QTest::newRow("charging battery counts like import") << -500.0 << 1000.0 << 4000.0 << 0.75;
    QTest::newRow("idle charger: not applicable") << 1000.0 << 0.0 << 0.0 << -1.0;
}

void TestSurplusPlan::coverage()
{
    QFETCH(double, rootPower);
    QFETCH(double, batteryPower);
    QFETCH(double, chargerPower);
    QFETCH(double, expected);

    Household house(ChargingConfiguration::ChargingModeEco, 0.5);
    house.fixture.addThing("homeBattery", "Battery", {{"batteryLevel", 95}, {"currentPower", batteryPower}});
    HouseholdFixture::setStates(house.meter, {{"currentPower", rootPower}});
    HouseholdFixture::setStates(house.charger, {{"currentPower", chargerPower}});

    QCOMPARE(Access::coverage(house.manager, house.charger), expected);
    Access::updateCoverage(house.manager, house.charger);
    QCOMPARE(house.manager->chargingState(house.charger->id()).surplusCoverage(), expected);
    QSignalSpy stateSpy(house.manager, &SmartChargingManager::chargingStateChanged);
    Access::updateCoverage(house.manager, house.charger);
    QCOMPARE(stateSpy.count(), 0);
}

QTEST_GUILESS_MAIN(TestSurplusPlan)
#include "tst_surplusplan.moc"
