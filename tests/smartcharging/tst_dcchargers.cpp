#include "householdfixture.h"

#include "config/energymanagerconfiguration.h"

#include "tavro/tavrosettings.h"
#include "tavro/thing.h"

#include <QFile>
#include <QtTest>

#include <cmath>

namespace {

// Grid meter (optional) and bidirectional DC chargers, each with its own car
// reporting 60 % of 50 kWh; discharge floor 30 %, target 80 %.
struct Household {
    explicit Household(bool withMeter = true, int chargerCount = 1)
    {
        if (withMeter)
            meter = fixture.addThing(QStringLiteral("gridMeter"), QStringLiteral("Grid"));
        for (int i = 0; i < chargerCount; i++) {
            chargers.append(fixture.addThing(QStringLiteral("evChargerDc"), QStringLiteral("DC %1").arg(i),
                                             {{"pluggedIn", true},
                                              {"minChargingPower", 1500},
                                              {"maxChargingPower", 11000},
                                              {"minDischargingPower", 1000},
                                              {"maxDischargingPower", 11000}}));
            cars.append(fixture.addThing(QStringLiteral("electricVehicleConnected"), QStringLiteral("Car %1").arg(i),
                                         {{"batteryLevel", 60}, {"capacity", 50}}));
            cars.last()->setSettingValue(QStringLiteral("chargingEnergyLoss"), 0);
        }
        manager = fixture.createManager();
    }

    bool configure(int index, ChargingConfiguration::ChargingMode mode, bool assignCar = true,
                   const QDateTime &end = QDateTime(), uint dailySpotMarketPercentage = 0)
    {
        return fixture.configure(chargers.at(index), [&](ChargingConfiguration &configuration) {
            configuration.setAssignedCarId(assignCar ? cars.at(index)->id() : ThingId());
            configuration.setChargingMode(mode);
            configuration.setTargetPercentage(80);
            configuration.setDischargeFloorPercentage(30);
            configuration.setEndDateTime(end);
            configuration.setDailySpotMarketPercentage(dailySpotMarketPercentage);
        }) == EnergyManager::EnergyErrorNoError;
    }

    // Commands received by the charger so far.
    int sent(int index = 0) const { return fixture.commands(chargers.at(index)).count(); }

    // A one-phase AC charger in eco mode to 100 % with a car at 30 % of
    // 60 kWh that takes at most maxCurrent (A); nullptr where it cannot be
    // configured.
    Thing *addEcoAcCharger(int maxCurrent)
    {
        Thing *ac = fixture.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Wallbox"),
                                     {{"pluggedIn", true}, {"phaseCount", 1}});
        Thing *car = fixture.addThing(
                QStringLiteral("electricVehicleConnected"), QStringLiteral("AC car"),
                {{"batteryLevel", 30}, {"capacity", 60}, {"acMaxChargingCurrent", maxCurrent}, {"acPhaseCount", 1}});
        const bool configured = fixture.configure(ac, [&](ChargingConfiguration &configuration) {
            configuration.setAssignedCarId(car->id());
            configuration.setChargingMode(ChargingConfiguration::ChargingModeEco);
            configuration.setTargetPercentage(100);
        }) == EnergyManager::EnergyErrorNoError;
        return configured ? ac : nullptr;
    }

    void setRootPower(double power)
    {
        HouseholdFixture::setStates(meter, {{"currentPower", power}});
        fixture.processEvents();
    }

    HouseholdFixture fixture;
    Thing *meter = nullptr;
    QList<Thing *> chargers;
    QList<Thing *> cars;
    SmartChargingManager *manager = nullptr;
};

// The setpoint a DC charger was told (W, 0 while off) and the current an AC
// charger was told (A, 0 while off).
double dcSetpointOf(const Thing *charger)
{
    return charger->stateValue(QStringLiteral("power")).toBool()
                   ? charger->stateValue(QStringLiteral("chargingPower")).toDouble()
                   : 0.0;
}

double acCurrentOf(const Thing *charger)
{
    return charger->stateValue(QStringLiteral("power")).toBool()
                   ? charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble()
                   : 0.0;
}

// An AC charger in eco mode with a target time: 80 % of its car by end.
bool configureAcDeadline(HouseholdFixture &fixture, Thing *charger, const Thing *car, const QDateTime &end)
{
    return fixture.configure(charger, [&](ChargingConfiguration &configuration) {
        configuration.setAssignedCarId(car->id());
        configuration.setChargingMode(ChargingConfiguration::ChargingModeEcoWithTargetTime);
        configuration.setTargetPercentage(80);
        configuration.setEndDateTime(end);
    }) == EnergyManager::EnergyErrorNoError;
}

}

struct GridCase {
    bool withMeter;
    double rootPower;
    int soc;
    QString capabilities;
    double expectedPower;
    ChargingState::Mode mode;
    ChargingState::WaitingReason reason;
};
Q_DECLARE_METATYPE(GridCase)

struct HandBackCase {
    ChargingConfiguration::ChargingMode mode;
    bool pluggedIn;
    bool assignCar;
    double expectedPower;
    ChargingState::WaitingReason expectedReason;
};
Q_DECLARE_METATYPE(HandBackCase)

struct FrameCase {
    int cheapHour;
    double expectedPower;
    ChargingState::Mode expectedMode;
    ChargingState::WaitingReason expectedReason;
};
Q_DECLARE_METATYPE(FrameCase)

// Who charges on the sun beside the other car.
enum Split { DcAlone, Both, AcAlone, AcBack };

class TestDcChargers : public QObject
{
    Q_OBJECT

private slots:
    void gridDecision_data();
    void gridDecision();
    void twoChargersShareSurplusByFairness_data();
    void runningChargesRideADipOutTogether_data();
    void runningChargesRideADipOutTogether();
    void twoChargersShareSurplusByFairness();
    void surplusGoesToWhoCanTakeIt_data();
    void surplusGoesToWhoCanTakeIt();
    void targetTimeForcesFullPower_data();
    void targetTimeForcesFullPower();
    void surplusDipBridgedWithinTheTolerance_data();
    void surplusDipBridgedWithinTheTolerance();
    void surplusShortOfTheMinimumWithinTheTolerance_data();
    void surplusShortOfTheMinimumWithinTheTolerance();
    void halfwayReadingsWaitForTheCycle_data();
    void halfwayReadingsWaitForTheCycle();
    void sunAfterAStopEndsADischarge_data();
    void sunAfterAStopEndsADischarge();
    void runningTargetChargeRunsOn_data();
    void runningTargetChargeRunsOn();
    void phaseLimitedForceHoldsItsSetpoint();
    void dischargeFollowsTheHouseBesideAHomeBattery_data();
    void dischargeFollowsTheHouseBesideAHomeBattery();
    void runningDischargesKeepTheirMinimums_data();
    void runningDischargesKeepTheirMinimums();
    void spotMarketFrameWithoutRootMeter_data();
    void spotMarketFrameWithoutRootMeter();
    void sunTakesPartOfThePlan_data();
    void sunTakesPartOfThePlan();
    void reserveComesLast_data();
    void reserveComesLast();
    void chargerHandedBack_data();
    void chargerHandedBack();
    void commandsOfOneMinuteAddUp_data();
    void commandsOfOneMinuteAddUp();
    void deadlinesTakeTheFuseInOrder_data();
    void deadlinesTakeTheFuseInOrder();
    void earlierAcDeadlineTakesTheFuseFromTheDc_data();
    void earlierAcDeadlineTakesTheFuseFromTheDc();
    void carLossCountsInTheDeadline_data();
    void carLossCountsInTheDeadline();
    void stopWhileAStartIsUnderWay_data();
    void stopWhileAStartIsUnderWay();
    void restartAfterManyStops_data();
    void restartAfterManyStops();
    void narrowRestartWaitsWithoutTolerance_data();
    void narrowRestartWaitsWithoutTolerance();
    void homeBatteryBelowItsLowerLimitGoesFirst_data();
    void homeBatteryBelowItsLowerLimitGoesFirst();
    void dcDeadlineTakesTheSunFromAnAcEcoCar_data();
    void dcDeadlineTakesTheSunFromAnAcEcoCar();
    void chargeLeavesTheReliefOfACutDischarge_data();
    void chargeLeavesTheReliefOfACutDischarge();
    void dischargeAtItsFloorLendsNoRoom_data();
    void dischargeAtItsFloorLendsNoRoom();
    void dcOvershootDoesNotStopAnAcCarAtItsMinimum();
};

void TestDcChargers::gridDecision_data()
{
    QTest::addColumn<GridCase>("c");
    using S = ChargingState;
    QTest::newRow("export charges with the surplus")
            << GridCase{true, -3000, 60, "bidirectional", 3000, S::ModeSurplusCharging, S::WaitingReasonNone};
    QTest::newRow("import discharges toward the floor")
            << GridCase{true, 2000, 60, "bidirectional", -2000, S::ModeDischarging, S::WaitingReasonNone};
    QTest::newRow("import at the floor stays idle")
            << GridCase{true, 2000, 30, "bidirectional", 0, S::ModeIdle, S::WaitingReasonSurplusPower};
    QTest::newRow("import below the discharge minimum")
            << GridCase{true, 800, 60, "bidirectional", 0, S::ModeIdle, S::WaitingReasonSurplusPower};
    QTest::newRow("export below the owner's share of the charge minimum")
            << GridCase{true, -700, 60, "bidirectional", 0, S::ModeIdle, S::WaitingReasonSurplusPower};
    QTest::newRow("charge-only charger never discharges")
            << GridCase{true, 2000, 60, "charging", 0, S::ModeIdle, S::WaitingReasonSurplusPower};
    QTest::newRow("discharge-only charger never charges")
            << GridCase{true, -3000, 60, "discharging", 0, S::ModeIdle, S::WaitingReasonNone};
    QTest::newRow("no root meter neither charges nor discharges")
            << GridCase{false, 0, 60, "bidirectional", 0, S::ModeIdle, S::WaitingReasonNone};
}

void TestDcChargers::gridDecision()
{
    QFETCH(GridCase, c);
    const bool withMeter = c.withMeter;
    const double expectedPower = c.expectedPower;
    Household household(withMeter);
    Thing *charger = household.chargers.first();
    HouseholdFixture::setStates(charger, {{"chargingCapabilities", c.capabilities}});
    HouseholdFixture::setStates(household.cars.first(), {{"batteryLevel", c.soc}});
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEco));
    household.fixture.thingManager()->clearActionLog();

    if (withMeter)
        household.setRootPower(c.rootPower);
    household.fixture.runCycle();

    QCOMPARE(charger->stateValue(QStringLiteral("chargingPower")).toDouble(), expectedPower);
    QCOMPARE(charger->stateValue(QStringLiteral("power")).toBool(), expectedPower != 0.0);
    const ChargingState state = household.manager->chargingState(charger->id());
    QCOMPARE(state.mode(), c.mode);
    QCOMPARE(state.waitingReason(), c.reason);
    const int sent = household.sent();
    QCOMPARE(sent, expectedPower != 0.0 ? 2 : 0);

    // An unchanged intent sends nothing.
    household.fixture.advance(60);
    household.fixture.runCycle();
    QCOMPARE(household.sent(), sent);
}

void TestDcChargers::dischargeFollowsTheHouseBesideAHomeBattery_data()
{
    QTest::addColumn<double>("batteryPower");
    QTest::addColumn<double>("firstMinute");
    QTest::addColumn<double>("pastTheStopDelay");

    // The meter reads 0: the home battery balances it while the car gives
    // 1500 W; the discharge minimum is 1000 W.
    QTest::newRow("house fell to 1400 W: the battery takes the rest") << 100.0 << -1400.0 << -1400.0;
    QTest::newRow("house rose to 3800 W: the battery covers the rest") << -2300.0 << -3800.0 << -3800.0;
    QTest::newRow("house at 600 W: on at the minimum") << 900.0 << -1000.0 << -1000.0;
    QTest::newRow("house at 200 W: the minimum until the stop delay") << 1300.0 << -1000.0 << 0.0;
}

void TestDcChargers::dischargeFollowsTheHouseBesideAHomeBattery()
{
    QFETCH(double, batteryPower);

    Household household;
    Thing *charger = household.chargers.first();
    household.fixture.addThing(QStringLiteral("homeBattery"), QStringLiteral("Battery"),
                               {{"batteryLevel", 60}, {"currentPower", batteryPower}});
    household.manager->setBatteryLevelLimits(0.2, 0.9);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEco));
    household.setRootPower(0);
    HouseholdFixture::setStates(charger, {{"power", true}, {"chargingPower", -1500.0}, {"currentPower", -1500.0}});
    ChargingState discharging = household.manager->chargingState(charger->id());
    discharging.setMode(ChargingState::ModeDischarging);
    CycleProbe::commitState(household.manager, discharging);

    household.fixture.advance(60);
    household.fixture.runCycle();
    QTEST(charger->stateValue(QStringLiteral("chargingPower")).toDouble(), "firstMinute");
    // One minute past the configured stop delay.
    const int minutes = static_cast<int>(EnergyManagerConfiguration().surplusStopDelay() / 60);
    for (int minute = 0; minute < minutes; minute++) {
        household.fixture.advance(60);
        household.fixture.runCycle();
    }
    QTEST(charger->stateValue(QStringLiteral("chargingPower")).toDouble(), "pastTheStopDelay");
}

void TestDcChargers::runningDischargesKeepTheirMinimums_data()
{
    QTest::addColumn<double>("house"); // W the house draws while both cars feed it
    QTest::addColumn<double>("each");  // W each car is then told to give
    // Minimums 1000 W each. Between one minimum and both, one car alone
    // could cover it: the other stays on at its minimum all the same.
    QTest::newRow("house above one minimum, below both: both at their minimums") << 1400.0 << -1000.0;
    QTest::newRow("house just below half of both: both bridged at their minimums") << 900.0 << -1000.0;
    QTest::newRow("house above both minimums: shared") << 2600.0 << -1300.0;
}

void TestDcChargers::runningDischargesKeepTheirMinimums()
{
    QFETCH(double, house);

    Household household(true, 2);
    for (int i = 0; i < 2; i++) {
        Thing *charger = household.chargers.at(i);
        QVERIFY(household.configure(i, ChargingConfiguration::ChargingModeEco));
        HouseholdFixture::setStates(charger,
                                    {{"power", true}, {"chargingPower", -house / 2}, {"currentPower", -house / 2}});
        ChargingState discharging = household.manager->chargingState(charger->id());
        discharging.setMode(ChargingState::ModeDischarging);
        CycleProbe::commitState(household.manager, discharging);
    }
    // The cars cover the house: the meter reads nothing.
    household.setRootPower(0);
    household.fixture.advance(60);
    household.fixture.runCycle();
    for (Thing *charger : qAsConst(household.chargers)) {
        QVERIFY2(charger->stateValue(QStringLiteral("power")).toBool(), qPrintable(charger->name()));
        QTEST(charger->stateValue(QStringLiteral("chargingPower")).toDouble(), "each");
    }
}

void TestDcChargers::twoChargersShareSurplusByFairness_data()
{
    QTest::addColumn<double>("surplus");
    QTest::addColumn<double>("minimumPower");
    QTest::addColumn<QList<double>>("first"); // W of the first and the second in turn
    QTest::addColumn<QList<double>>("later"); // the same after a turn of an hour

    // 4000 W wanted by each. A second start waits while the first can take
    // the whole surplus: two minimums would stop and start with every cloud.
    QTest::newRow("beyond the first's most: equal split")
            << 5000.0 << 1000.0 << QList<double>{2500, 2500} << QList<double>{2500, 2500};
    QTest::newRow("the first takes it all: the second waits, then joins it")
            << 3500.0 << 1000.0 << QList<double>{3500, 0} << QList<double>{1750, 1750};
    QTest::newRow("one minimum fits: the first in turn, then the second")
            << 5000.0 << 3000.0 << QList<double>{4000, 0} << QList<double>{0, 4000};
}

void TestDcChargers::twoChargersShareSurplusByFairness()
{
    QFETCH(double, surplus);
    QFETCH(double, minimumPower);

    Household household(true, 2);
    for (int i = 0; i < 2; i++) {
        HouseholdFixture::setStates(household.chargers.at(i),
                                    {{"minChargingPower", minimumPower}, {"maxChargingPower", 4000}});
        QVERIFY(household.configure(i, ChargingConfiguration::ChargingModeEco));
    }
    // Equal fairness counters: the smaller id text goes first.
    QList<Thing *> order = household.chargers;
    if (order.at(1)->id().toString() < order.at(0)->id().toString())
        std::swap(order[0], order[1]);
    const auto powers = [&order]() {
        return QList<double>{order.at(0)->stateValue(QStringLiteral("chargingPower")).toDouble(),
                             order.at(1)->stateValue(QStringLiteral("chargingPower")).toDouble()};
    };

    household.setRootPower(-surplus);
    household.fixture.runCycle();
    QTEST(powers(), "first");

    // The counters rotate every 15 minutes; one charging keeps its place for
    // a turn of an hour before the other, left out longer, comes first.
    for (int i = 0; i < 4; i++) {
        household.fixture.advance(15 * 60);
        household.fixture.runCycle();
        QTEST(powers(), "first");
    }
    household.fixture.advance(15 * 60);
    household.fixture.runCycle();
    household.fixture.advance(60);
    household.fixture.runCycle();
    QTEST(powers(), "later");
}

void TestDcChargers::runningChargesRideADipOutTogether_data()
{
    QTest::addColumn<double>("tolerance");
    QTest::addColumn<QList<int>>("on"); // chargers on at 1, 5, 10 and 20 minutes of the dip
    // Minimums 1500 W each; a cloud leaves 2000 W, which covers either
    // minimum alone but not both. Both ride it out at their minimums as one
    // car alone would: for the stop delay's worth of what the owner lets
    // the grid cover, and only where the surplus covers its share of both.
    QTest::newRow("tolerance 0: the whole stop delay, then one stops") << 0.0 << QList<int>{2, 2, 2, 1};
    QTest::newRow("tolerance 0.5: half of it") << 0.5 << QList<int>{2, 2, 1, 1};
    QTest::newRow("tolerance 0.75: 2000 W is short of 3/4 of both minimums") << 0.75 << QList<int>{1, 1, 1, 1};
    QTest::newRow("tolerance 1: no grid, one stops at once") << 1.0 << QList<int>{1, 1, 1, 1};
}

void TestDcChargers::runningChargesRideADipOutTogether()
{
    QFETCH(double, tolerance);

    Household household(true, 2);
    household.manager->setAcquisitionTolerance(tolerance);
    // 6000 W of sun is more than one takes: both start.
    for (int i = 0; i < 2; i++) {
        HouseholdFixture::setStates(household.chargers.at(i), {{"maxChargingPower", 4000}});
        QVERIFY(household.configure(i, ChargingConfiguration::ChargingModeEco));
    }
    // The meter shows what the chargers draw less the export of the sun.
    const auto minute = [&household](double sun) {
        double draw = 0;
        int on = 0;
        for (Thing *charger : qAsConst(household.chargers)) {
            const bool enabled = charger->stateValue(QStringLiteral("power")).toBool();
            const double setpoint = enabled ? charger->stateValue(QStringLiteral("chargingPower")).toDouble() : 0.0;
            HouseholdFixture::setStates(charger, {{"currentPower", setpoint}});
            draw += setpoint;
            on += enabled ? 1 : 0;
        }
        household.setRootPower(draw - sun);
        household.fixture.advance(60);
        household.fixture.runCycle();
        return on;
    };
    minute(6000);
    QCOMPARE(minute(6000), 2);
    QList<int> on;
    for (int i = 1; i <= 21; i++) {
        const int running = minute(2000);
        if (i == 2 || i == 6 || i == 11 || i == 21) // set in the minute before
            on.append(running);
    }
    QTEST(on, "on");
}

struct TakerCase {
    ChargingConfiguration::ChargingMode mode;
    uint dailySpotMarketPercentage;
    int secondSoc;   // -1: no second charger
    int endMinutes;  // the first car's target time from now
    double exported; // W at the meter, no charger drawing yet
    double firstPower, secondPower;
};
Q_DECLARE_METATYPE(TakerCase)

void TestDcChargers::surplusGoesToWhoCanTakeIt_data()
{
    QTest::addColumn<TakerCase>("c");
    using C = ChargingConfiguration;
    // At most 4000 W per charger; the first car needs 10 kWh, 2.5 hours at
    // that: a target time in 2 hours charges it from the grid now.
    QTest::newRow("eco: the surplus") << TakerCase{C::ChargingModeEco, 0, -1, 600, 5000, 4000, 0};
    QTest::newRow("target time hours away: the sun meanwhile")
            << TakerCase{C::ChargingModeEcoWithTargetTime, 0, -1, 600, 5000, 4000, 0};
    QTest::newRow("daily share: the sun beside it") << TakerCase{C::ChargingModeEco, 20, -1, 600, 5000, 4000, 0};
    QTest::newRow("the other car takes half") << TakerCase{C::ChargingModeEco, 0, 60, 600, 5000, 2500, 2500};
    QTest::newRow("the other car is full: none of it") << TakerCase{C::ChargingModeEco, 0, 100, 600, 5000, 4000, 0};
    // What the sun gives the car due later its deadline need not buy; the
    // eco car only charges sooner.
    QTest::newRow("target time hours away beside an eco car: the sun first")
            << TakerCase{C::ChargingModeEcoWithTargetTime, 0, 60, 600, 5000, 4000, 1000};
    // The deadline's draw comes out of the sun first; the eco car gets only
    // what it leaves, not the sun while the deadline buys from the grid.
    QTest::newRow("deadline takes 4000 of 5000: the eco car the rest")
            << TakerCase{C::ChargingModeEcoWithTargetTime, 0, 60, 120, 5000, 4000, 1000};
    QTest::newRow("deadline takes more than the sun: the eco car none")
            << TakerCase{C::ChargingModeEcoWithTargetTime, 0, 60, 120, 3500, 4000, 0};
}

void TestDcChargers::surplusGoesToWhoCanTakeIt()
{
    QFETCH(TakerCase, c);
    const int count = c.secondSoc < 0 ? 1 : 2;
    Household household(true, count);
    const QDateTime end = household.fixture.now().addSecs(c.endMinutes * 60);
    for (int i = 0; i < count; i++) {
        HouseholdFixture::setStates(household.chargers.at(i), {{"minChargingPower", 1000}, {"maxChargingPower", 4000}});
        QVERIFY(household.configure(
                i, i == 0 ? c.mode : ChargingConfiguration::ChargingModeEco, true,
                i == 0 && c.mode == ChargingConfiguration::ChargingModeEcoWithTargetTime ? end : QDateTime(),
                i == 0 ? c.dailySpotMarketPercentage : 0));
    }
    if (count == 2)
        HouseholdFixture::setStates(household.cars.at(1), {{"batteryLevel", c.secondSoc}});

    household.setRootPower(-c.exported);
    household.fixture.runCycle();
    const auto setpoint = [&](int index) { return dcSetpointOf(household.chargers.at(index)); };
    QCOMPARE(setpoint(0), c.firstPower);
    if (count == 2)
        QCOMPARE(setpoint(1), c.secondPower);
}

void TestDcChargers::targetTimeForcesFullPower_data()
{
    QTest::addColumn<bool>("withMeter");
    QTest::newRow("importing without surplus") << true;
    QTest::newRow("no root meter") << false;
}

void TestDcChargers::targetTimeForcesFullPower()
{
    QFETCH(bool, withMeter);

    // 60 % → 80 % of 50 kWh at 11 kW takes 55 minutes; the end is in 30.
    Household household(withMeter);
    Thing *charger = household.chargers.first();
    const QDateTime end = household.fixture.now().addSecs(30 * 60);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEcoWithTargetTime, true, end));

    if (withMeter)
        household.setRootPower(1000);
    household.fixture.runCycle();

    QCOMPARE(charger->stateValue(QStringLiteral("chargingPower")).toDouble(), 11000.0);
    QVERIFY(charger->stateValue(QStringLiteral("power")).toBool());
    const ChargingState state = household.manager->chargingState(charger->id());
    QCOMPARE(state.mode(), ChargingState::ModeTimeRequirement);
    // Projected end in 3273 s, internal target 600 s before the end.
    QCOMPARE(state.targetTimeOvershot(), 3273 - (30 * 60 - 600));
}

void TestDcChargers::surplusDipBridgedWithinTheTolerance_data()
{
    QTest::addColumn<double>("tolerance");
    QTest::addColumn<QList<double>>("power"); // W set at 1, 5 and 10 minutes of the dip
    // The grid may cover half of the minimum: 15 minutes of stop delay
    // last 7.5 minutes at the minimum, then the charge stops.
    QTest::newRow("tolerance 0.5: bridged at the minimum, then stopped") << 0.5 << QList<double>{1500, 1500, 0};
    QTest::newRow("tolerance 1: no grid for the surplus, stopped at once") << 1.0 << QList<double>{0, 0, 0};
    QTest::newRow("tolerance 0: the whole stop delay") << 0.0 << QList<double>{1500, 1500, 1500};
}

void TestDcChargers::surplusDipBridgedWithinTheTolerance()
{
    QFETCH(double, tolerance);
    QFETCH(QList<double>, power);

    Household household;
    Thing *charger = household.chargers.first();
    household.manager->setAcquisitionTolerance(tolerance);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEco));
    household.setRootPower(-4000);
    household.fixture.runCycle();
    QCOMPARE(charger->stateValue(QStringLiteral("chargingPower")).toDouble(), 4000.0);

    // A cloud: the charger still draws 4000 W, all of it from the grid.
    HouseholdFixture::setStates(charger, {{"currentPower", 4000}});
    household.setRootPower(4000);
    QList<double> seen;
    for (int minute = 1; minute <= 10; minute++) {
        household.fixture.advance(60);
        household.fixture.runCycle();
        const bool on = charger->stateValue(QStringLiteral("power")).toBool();
        const double setpoint = on ? charger->stateValue(QStringLiteral("chargingPower")).toDouble() : 0.0;
        if (minute == 1 || minute == 5 || minute == 10)
            seen.append(setpoint);
        HouseholdFixture::setStates(charger, {{"currentPower", setpoint}});
        household.setRootPower(setpoint);
    }
    QCOMPARE(seen, power);
}

void TestDcChargers::surplusShortOfTheMinimumWithinTheTolerance_data()
{
    QTest::addColumn<double>("tolerance");
    QTest::addColumn<bool>("homeBattery"); // one below its upper limit, which may not pay for the car
    QTest::addColumn<QString>("surplus");  // per minute W beside the car: "S" 3000, "m" 1000, "l" 500
    QTest::addColumn<QString>("expected"); // per minute: "x" above the minimum, "1" at it, "-" off
    // Minimum 1500 W. At 0.5 a surplus of 1000 W covers the owner's share
    // of it: a running car charges on at the minimum as long as that lasts;
    // a start waits for the whole minimum.
    QTest::newRow("tolerance 0.5: a surplus over half the minimum keeps it on")
            << 0.5 << false << "S" + QString(20, 'm') << "x" + QString(20, '1');
    QTest::newRow("tolerance 0.5: but starts none") << 0.5 << false << QString(5, 'm') + "S" << "-----x";
    // Below the share the dip is ridden out for half the stop delay (7.5
    // minutes of 15).
    QTest::newRow("tolerance 0.5: below half the minimum, ridden out, then off")
            << 0.5 << false << "S" + QString(10, 'l') << "x" + QString(8, '1') + "--";
    QTest::newRow("tolerance 1: no grid for the surplus, off at once")
            << 1.0 << false << "S" + QString(5, 'm') << "x-----";
    QTest::newRow("tolerance 0.5 beside a home battery that may not pay: ridden out, then off")
            << 0.5 << true << "S" + QString(12, 'm') << "x" + QString(8, '1') + "----";
}

void TestDcChargers::surplusShortOfTheMinimumWithinTheTolerance()
{
    QFETCH(double, tolerance);
    QFETCH(bool, homeBattery);
    QFETCH(QString, surplus);
    QFETCH(QString, expected);

    Household household;
    Thing *charger = household.chargers.first();
    if (homeBattery) {
        household.fixture.addThing(QStringLiteral("homeBattery"), QStringLiteral("Battery"),
                                   {{"batteryLevel", 60}, {"currentPower", 0}});
        household.manager->setBatteryLevelLimits(0.2, 0.9);
    }
    household.manager->setAcquisitionTolerance(tolerance);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEco));
    QString done;
    double setpoint = 0;
    for (const QChar weather : surplus) {
        const double sun = weather == 'S' ? 3000 : (weather == 'm' ? 1000 : 500);
        HouseholdFixture::setStates(charger, {{"currentPower", setpoint}});
        household.setRootPower(setpoint - sun);
        household.fixture.runCycle();
        setpoint = dcSetpointOf(charger);
        done += setpoint > 1500 ? QStringLiteral("x") : (setpoint > 0 ? QStringLiteral("1") : QStringLiteral("-"));
        household.fixture.advance(60);
    }
    QCOMPARE(done, expected);
}

void TestDcChargers::halfwayReadingsWaitForTheCycle_data()
{
    QTest::addColumn<bool>("charging");       // on the surplus at 4000 W before, else idle
    QTest::addColumn<double>("batteryPower"); // W the home battery reports halfway
    QTest::addColumn<double>("rootPower");    // W the meter reports halfway
    QTest::addColumn<double>("halfway");      // W set after the halfway reading (0: off)
    QTest::addColumn<double>("cycle");        // W set by the next cycle

    // No grid for the surplus (tolerance 1): the cycle stops at once.
    QTest::newRow("a dip read halfway: on at the minimum until the cycle") << true << 0.0 << 4000.0 << 1500.0 << 0.0;
    // The battery still answers a charge that ended: the house seems to draw.
    QTest::newRow("a house draw read halfway: no discharge until the cycle")
            << false << -2000.0 << 0.0 << 0.0 << -2000.0;
    // The meter shows the sun before the battery its charge: one start a
    // minute, by the cycle (random household 10015 switched off and on
    // within a minute at its home battery's lower limit).
    QTest::newRow("a surplus read halfway: no start until the cycle") << false << 0.0 << -3000.0 << 0.0 << 3000.0;
}

void TestDcChargers::halfwayReadingsWaitForTheCycle()
{
    QFETCH(bool, charging);
    QFETCH(double, batteryPower);
    QFETCH(double, rootPower);

    Household household;
    Thing *charger = household.chargers.first();
    Thing *battery = household.fixture.addThing(QStringLiteral("homeBattery"), QStringLiteral("Battery"),
                                                {{"batteryLevel", 60}, {"currentPower", 0}});
    household.manager->setBatteryLevelLimits(0.2, 0.9);
    household.manager->setAcquisitionTolerance(1.0);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEco));
    household.setRootPower(charging ? -4000 : 0);
    household.fixture.runCycle();
    HouseholdFixture::setStates(charger, {{"currentPower", charging ? 4000 : 0}});
    household.setRootPower(0);
    QCOMPARE(charger->stateValue(QStringLiteral("power")).toBool(), charging);

    const auto setpoint = [charger]() { return dcSetpointOf(charger); };
    household.fixture.advance(60);
    HouseholdFixture::setStates(battery, {{"currentPower", batteryPower}});
    household.setRootPower(rootPower);
    QTEST(setpoint(), "halfway");
    household.fixture.runCycle();
    QTEST(setpoint(), "cycle");
}

void TestDcChargers::sunAfterAStopEndsADischarge_data()
{
    QTest::addColumn<bool>("discharging"); // the car fed the house since the stop
    QTest::addColumn<double>("power");     // W set when the sun is back
    // Going over from discharging switches nothing on: no start delay.
    QTest::newRow("discharging: charges from the sun at once") << true << 4000.0;
    QTest::newRow("idle: waits for the start delay") << false << 0.0;
}

void TestDcChargers::sunAfterAStopEndsADischarge()
{
    QFETCH(bool, discharging);

    Household household;
    Thing *charger = household.chargers.first();
    QFile file(TavroSettings::storagePath() + QStringLiteral("/energy-manager-configuration.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"({"surplusStartDelay": 600})");
    file.close();
    household.fixture.reloadConfiguration();
    household.manager = household.fixture.manager();
    household.manager->setAcquisitionTolerance(1.0);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEco));
    const auto minute = [&household, charger](double draw, double root) {
        HouseholdFixture::setStates(charger, {{"currentPower", draw}});
        household.setRootPower(root);
        household.fixture.advance(60);
        household.fixture.runCycle();
        return charger->stateValue(QStringLiteral("power")).toBool()
                       ? charger->stateValue(QStringLiteral("chargingPower")).toDouble()
                       : 0.0;
    };
    QCOMPARE(minute(0, -4000), 4000.0);
    // A cloud stops the charge (no grid for the surplus).
    QCOMPARE(minute(4000, 4000), 0.0);
    // The house draws 2000 W, or nothing.
    QCOMPARE(minute(0, discharging ? 2000 : 0), discharging ? -2000.0 : 0.0);
    // The sun is back with 4000 W for the car.
    const double draw = discharging ? -2000 : 0;
    QTEST(minute(draw, draw - 4000), "power");
}

void TestDcChargers::runningTargetChargeRunsOn_data()
{
    QTest::addColumn<int>("soc");
    QTest::addColumn<bool>("forced");
    // A minute later the internal target is 19 minutes away; a percent
    // takes 2.7 minutes at 11 kW.
    QTest::newRow("2.6 minutes to spare: runs on") << 74 << true;
    QTest::newRow("16.3 minutes to spare: stops") << 79 << false;
}

void TestDcChargers::runningTargetChargeRunsOn()
{
    QFETCH(int, soc);
    QFETCH(bool, forced);

    Household household;
    Thing *charger = household.chargers.first();
    const QDateTime end = household.fixture.now().addSecs(30 * 60);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEcoWithTargetTime, true, end));
    household.setRootPower(1000);
    household.fixture.runCycle();
    QVERIFY(charger->stateValue(QStringLiteral("power")).toBool());

    HouseholdFixture::setStates(household.cars.first(), {{"batteryLevel", soc}});
    HouseholdFixture::setStates(charger, {{"currentPower", 11000}});
    household.setRootPower(12000);
    household.fixture.advance(60);
    household.fixture.runCycle();

    QCOMPARE(charger->stateValue(QStringLiteral("power")).toBool(), forced);
    QCOMPARE(household.manager->chargingState(charger->id()).mode() == ChargingState::ModeTimeRequirement, forced);
}

void TestDcChargers::phaseLimitedForceHoldsItsSetpoint()
{
    Household household;
    Thing *charger = household.chargers.first();
    const QDateTime end = household.fixture.now().addSecs(30 * 60);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEcoWithTargetTime, true, end));
    household.manager->setPhasePowerLimit(25);

    // 5 A left per phase, 1 A of it kept free: 2760 W.
    HouseholdFixture::setMeterCurrents(household.meter, 20, 20, 20);
    household.fixture.runCycle();
    QCOMPARE(charger->stateValue(QStringLiteral("chargingPower")).toDouble(), 2760.0);

    // The charger now draws it: the phases sit at the margin, the setpoint holds.
    HouseholdFixture::setStates(charger, {{"currentPower", 2760}});
    HouseholdFixture::setMeterCurrents(household.meter, 24, 24, 24);
    household.fixture.thingManager()->clearActionLog();
    household.fixture.advance(60);
    household.fixture.runCycle();
    QCOMPARE(charger->stateValue(QStringLiteral("chargingPower")).toDouble(), 2760.0);
    QCOMPARE(household.sent(), 0);

    // The house takes 1.5 A more on phase B, 0.5 A past the limit: the
    // charger still drawing 2760 W gives back the 1.5 A and the margin.
    HouseholdFixture::setMeterCurrents(household.meter, 24, 25.5, 24);
    household.fixture.advance(60);
    household.fixture.runCycle();
    QCOMPARE(charger->stateValue(QStringLiteral("chargingPower")).toDouble(), 2760.0 - 1.5 * 690);
}

void TestDcChargers::spotMarketFrameWithoutRootMeter_data()
{
    QTest::addColumn<FrameCase>("row");

    QTest::newRow("inside the frame charges")
            << FrameCase{12, 11000.0, ChargingState::ModeSpotMarketCharging, ChargingState::WaitingReasonNone};
    QTest::newRow("before the frame waits")
            << FrameCase{15, 0.0, ChargingState::ModeIdle, ChargingState::WaitingReasonSpotMarketWindow};
}

void TestDcChargers::spotMarketFrameWithoutRootMeter()
{
    QFETCH(FrameCase, row);
    const auto &[cheapHour, expectedPower, expectedMode, expectedReason] = row;

    Household household(false);
    Thing *charger = household.chargers.first();
    TestMarketProvider *provider = household.fixture.addMarket();
    const QDateTime midnight(household.fixture.now().date(), QTime(0, 0));
    provider->setEntries(TestMarketProvider::priceSlots(midnight, 24, 60, {{midnight.addSecs(cheapHour * 3600), 1.0}}));

    // 20 % of 50 kWh at 11 kW: 55 minutes from the cheapest hour.
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEco, true, QDateTime(), 20));
    household.fixture.runCycle();

    QCOMPARE(charger->stateValue(QStringLiteral("chargingPower")).toDouble(), expectedPower);
    const ChargingState state = household.manager->chargingState(charger->id());
    QCOMPARE(state.mode(), expectedMode);
    QCOMPARE(state.waitingReason(), expectedReason);
    const ChargingSchedules schedules = household.manager->chargingSchedules();
    QCOMPARE(schedules.count(), 1);
    QCOMPARE(schedules.first().evChargerId(), charger->id());
    QCOMPARE(schedules.first().startDateTime().time().hour(), cheapHour);
    QCOMPARE(schedules.first().durationMinutes(), qint64(55));
}

void TestDcChargers::sunTakesPartOfThePlan_data()
{
    QTest::addColumn<bool>("target");
    QTest::addColumn<double>("sunPower"); // W from 16:00 to 17:00
    QTest::addColumn<qint64>("plannedMinutes");

    // A daily share of 20 % of 50 kWh at 11 kW: 55 minutes; the target
    // (80 % by 23:00, from 60 %) as much.
    QTest::newRow("daily share, no sun") << false << 0.0 << qint64(55);
    QTest::newRow("daily share, half an hour of sun") << false << 5500.0 << qint64(25);
    QTest::newRow("target, half an hour of sun") << true << 5500.0 << qint64(25);
    QTest::newRow("target, the sun gives it all") << true << 22000.0 << qint64(0);
}

void TestDcChargers::sunTakesPartOfThePlan()
{
    QFETCH(bool, target);
    QFETCH(double, sunPower);
    QFETCH(qint64, plannedMinutes);

    Household household(false);
    TestMarketProvider *provider = household.fixture.addMarket();
    const QDateTime now = household.fixture.now();
    const QDateTime midnight(now.date(), QTime(0, 0));
    provider->setEntries(TestMarketProvider::priceSlots(midnight, 48, 60, {{midnight.addSecs(15 * 3600), 1.0}}));
    QVERIFY(household.configure(
            0, target ? ChargingConfiguration::ChargingModeEcoWithTargetTime : ChargingConfiguration::ChargingModeEco,
            true, target ? midnight.addSecs(23 * 3600) : QDateTime(), target ? 0 : 20));

    SolarCoverage &sun = household.manager->steps().context.sun;
    sun.addSample(now.addSecs(-60), 0, 0);
    SolarForecastSlots forecast;
    for (int quarter = 0; quarter < 4; quarter++) {
        const QDateTime start = midnight.addSecs(16 * 3600 + quarter * 900);
        forecast.append(SolarForecastSlot(start, start.addSecs(900), sunPower / 4));
    }
    sun.setForecast(forecast, 1.0);
    household.manager->steps().dc.updateDcChargers(now);

    qint64 minutes = 0;
    for (const ChargingSchedule &schedule : household.manager->chargingSchedules())
        minutes += schedule.durationMinutes();
    QCOMPARE(minutes, plannedMinutes);
}

void TestDcChargers::reserveComesLast_data()
{
    QTest::addColumn<double>("afterPrice"); // the hour after the two cheap ones (1); the one before 3, the others 10
    QTest::addColumn<QString>("expectedFrames");

    // 44 % of 50 kWh at 11 kW by 18:00 under a fuse: 121 minutes and an
    // 18-minute reserve. Before the cheap hours it runs first and leaves
    // their last minutes unused (3 - 1 lost); after them, 4 - 3 more when needed.
    QTest::newRow("the hour after little dearer: the reserve after the cheap minutes")
            << 4.0 << QStringLiteral("13:59-16:18");
    // 5.5 - 3 more when needed is more than the 3 - 1 lost.
    QTest::newRow("the hour after much dearer: the reserve before them") << 5.5 << QStringLiteral("13:41-16:00");
}

void TestDcChargers::reserveComesLast()
{
    QFETCH(double, afterPrice);
    QFETCH(QString, expectedFrames);

    Household household;
    TestMarketProvider *provider = household.fixture.addMarket();
    const QDateTime midnight(household.fixture.now().date(), QTime(0, 0));
    const auto at = [&midnight](int hour) { return midnight.addSecs(hour * 3600); };
    provider->setEntries(TestMarketProvider::priceSlots(
            midnight, 48, 60, {{at(13), 3.0}, {at(14), 1.0}, {at(15), 1.0}, {at(16), afterPrice}}));
    HouseholdFixture::setStates(household.cars.first(), {{"batteryLevel", 36}});
    household.manager->setPhasePowerLimit(25);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEcoWithTargetTime, true, at(18)));
    HouseholdFixture::setMeterCurrents(household.meter, 2, 2, 2);
    household.setRootPower(1000);
    household.fixture.runCycle();

    QStringList frames;
    for (const ChargingSchedule &schedule : household.manager->chargingSchedules())
        frames << schedule.startDateTime().toString(QStringLiteral("hh:mm")) + QLatin1Char('-')
                          + schedule.endDateTime().toString(QStringLiteral("hh:mm"));
    QCOMPARE(frames.join(QLatin1Char(' ')), expectedFrames);
}

void TestDcChargers::chargerHandedBack_data()
{
    QTest::addColumn<HandBackCase>("row");

    QTest::newRow("normal mode is left alone") << HandBackCase{ChargingConfiguration::ChargingModeNormal, true, true,
                                                               5000.0, ChargingState::WaitingReasonNone};
    QTest::newRow("unplugged is stopped") << HandBackCase{ChargingConfiguration::ChargingModeEco, false, true, 0.0,
                                                          ChargingState::WaitingReasonVehicleNotPluggedIn};
    QTest::newRow("no vehicle is stopped") << HandBackCase{ChargingConfiguration::ChargingModeEco, true, false, 0.0,
                                                           ChargingState::WaitingReasonVehicleUnavailable};
}

void TestDcChargers::chargerHandedBack()
{
    QFETCH(HandBackCase, row);
    const auto &[mode, pluggedIn, assignCar, expectedPower, expectedReason] = row;

    Household household;
    Thing *charger = household.chargers.first();
    QVERIFY(household.configure(0, mode, assignCar));
    // Running at 5 kW, set by hand or by an earlier cycle.
    HouseholdFixture::setStates(charger, {{"pluggedIn", pluggedIn}, {"power", true}, {"chargingPower", 5000}});
    household.fixture.processEvents();
    household.fixture.thingManager()->clearActionLog();

    household.setRootPower(-3000);
    household.fixture.runCycle();

    QCOMPARE(charger->stateValue(QStringLiteral("chargingPower")).toDouble(), expectedPower);
    QCOMPARE(charger->stateValue(QStringLiteral("power")).toBool(), expectedPower > 0);
    if (mode == ChargingConfiguration::ChargingModeNormal)
        QCOMPARE(household.sent(), 0);
    const ChargingState state = household.manager->chargingState(charger->id());
    QCOMPARE(state.mode(), ChargingState::ModeIdle);
    QCOMPARE(state.waitingReason(), expectedReason);
}

void TestDcChargers::deadlinesTakeTheFuseInOrder_data()
{
    QTest::addColumn<int>("firstDue");    // the charger due in 30 minutes; the other in 40
    QTest::addColumn<bool>("laterDraws"); // the later one already charges at 11 kW
    QTest::newRow("charger 0 due first") << 0 << false;
    QTest::newRow("charger 1 due first") << 1 << false;
    QTest::newRow("the later one draws the fuse: it gives way") << 0 << true;
}

void TestDcChargers::deadlinesTakeTheFuseInOrder()
{
    QFETCH(int, firstDue);
    QFETCH(bool, laterDraws);

    // Both need 10 kWh at 11 kW (55 minutes): neither is done in time. The
    // fuse leaves 19 A per phase beside the house (13110 W): the earlier
    // deadline takes what it can, the later one the rest. Shared alike,
    // both would miss.
    Household household(true, 2);
    household.manager->setPhasePowerLimit(25);
    const int later = 1 - firstDue;
    const QDateTime now = household.fixture.now();
    QVERIFY(household.configure(firstDue, ChargingConfiguration::ChargingModeEcoWithTargetTime, true,
                                now.addSecs(30 * 60)));
    QVERIFY(household.configure(later, ChargingConfiguration::ChargingModeEcoWithTargetTime, true,
                                now.addSecs(40 * 60)));
    const double laterDraw = laterDraws ? 11000 : 0;
    HouseholdFixture::setStates(household.chargers.at(later), {{"currentPower", laterDraw}});
    const double houseAndLater = 5 + laterDraw / 690;
    HouseholdFixture::setMeterCurrents(household.meter, houseAndLater, houseAndLater, houseAndLater);
    household.fixture.runCycle();

    const auto setpoint = [&](int index) { return dcSetpointOf(household.chargers.at(index)); };
    QCOMPARE(setpoint(firstDue), 11000.0);
    QCOMPARE(qRound(setpoint(later)), 13110 - 11000);
}

void TestDcChargers::carLossCountsInTheDeadline_data()
{
    QTest::addColumn<int>("loss"); // % of the grid energy the car loses
    QTest::addColumn<bool>("forced");
    // 10 kWh at 11 kW; the internal target is 60 minutes away.
    QTest::newRow("no loss: 55 minutes, it waits") << 0 << false;
    QTest::newRow("20 % loss: 68 minutes, it starts now") << 20 << true;
}

void TestDcChargers::carLossCountsInTheDeadline()
{
    QFETCH(int, loss);
    QFETCH(bool, forced);

    Household household;
    Thing *charger = household.chargers.first();
    household.cars.first()->setSettingValue(QStringLiteral("chargingEnergyLoss"), loss);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEcoWithTargetTime, true,
                                household.fixture.now().addSecs(70 * 60)));
    household.setRootPower(1000);
    household.fixture.runCycle();

    QCOMPARE(charger->stateValue(QStringLiteral("power")).toBool(), forced);
    QCOMPARE(household.manager->chargingState(charger->id()).mode() == ChargingState::ModeTimeRequirement, forced);
}

namespace {
// Runs one cycle a minute later with the charger drawing its last set-point;
// returns the new one (0: off).
double nextMinute(Household &household, double batteryPower, double rootPower, Thing *battery = nullptr)
{
    Thing *charger = household.chargers.first();
    const bool on = charger->stateValue(QStringLiteral("power")).toBool();
    HouseholdFixture::setStates(charger,
                                {{"currentPower", on ? charger->stateValue(QStringLiteral("chargingPower")) : 0}});
    household.fixture.advance(60);
    if (battery)
        HouseholdFixture::setStates(battery, {{"currentPower", batteryPower}});
    household.setRootPower(rootPower);
    household.fixture.runCycle();
    return charger->stateValue(QStringLiteral("power")).toBool()
                   ? charger->stateValue(QStringLiteral("chargingPower")).toDouble()
                   : 0.0;
}
}

void TestDcChargers::restartAfterManyStops_data()
{
    QTest::addColumn<double>("sun");   // W the house exports when the sun is back the fifth time
    QTest::addColumn<double>("power"); // W set then (0: off)
    // The minimum is 1500 W; after four stops a day a restart waits ten
    // minutes longer, except on a surplus that a dip of half leaves covered.
    QTest::newRow("2000 W covers the minimum: waits") << 2000.0 << 0.0;
    QTest::newRow("3000 W is twice the minimum: at once") << 3000.0 << 3000.0;
}

void TestDcChargers::restartAfterManyStops()
{
    QFETCH(double, sun);

    Household household;
    // No grid for the surplus: every cloud stops the charge.
    household.manager->setAcquisitionTolerance(1.0);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEco));
    for (int cloud = 0; cloud < 4; cloud++) {
        QCOMPARE(nextMinute(household, 0, -4000), 4000.0);
        QCOMPARE(nextMinute(household, 0, 4000), 0.0);
    }
    QTEST(nextMinute(household, 0, -sun), "power");
}

void TestDcChargers::narrowRestartWaitsWithoutTolerance_data()
{
    QTest::addColumn<double>("tolerance");
    QTest::addColumn<QList<double>>("sun");   // W the house exports minute by minute after the stop
    QTest::addColumn<QList<double>>("power"); // W set then (0: off)
    // The minimum is 1500 W. Without grid for the surplus a dip cannot be
    // ridden out: a restart on a surplus that only covers the minimum
    // waits until it has lasted a minute.
    QTest::newRow("no grid, 2000 W: a minute later") << 1.0 << QList<double>{2000, 2000} << QList<double>{0, 2000};
    QTest::newRow("no grid, 2000 W for a minute, then a dip: never on")
            << 1.0 << QList<double>{2000, 1000} << QList<double>{0, 0};
    QTest::newRow("no grid, 3000 W is twice the minimum: at once") << 1.0 << QList<double>{3000} << QList<double>{3000};
    QTest::newRow("half of the minimum from the grid, 2000 W: at once")
            << 0.5 << QList<double>{2000} << QList<double>{2000};
}

void TestDcChargers::narrowRestartWaitsWithoutTolerance()
{
    QFETCH(double, tolerance);
    QFETCH(QList<double>, sun);

    Household household;
    household.manager->setAcquisitionTolerance(tolerance);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEco));
    QCOMPARE(nextMinute(household, 0, -4000), 4000.0);
    // A cloud that leaves the house on its own, long enough to stop the
    // car on any tolerance: the meter shows just the car.
    double draw = 4000;
    for (int cloud = 0; draw > 0; cloud++) {
        QVERIFY(cloud < 30);
        draw = nextMinute(household, 0, draw);
    }
    QList<double> power;
    for (double export_ : sun)
        power.append(nextMinute(household, 0, -export_));
    QTEST(power, "power");
}

void TestDcChargers::homeBatteryBelowItsLowerLimitGoesFirst_data()
{
    // Minute by minute: the home battery's level (%) and the W it charges
    // with, W at the meter (with the car drawing its last set-point) and W
    // set (0: off).
    QTest::addColumn<QList<int>>("batteryLevel");
    QTest::addColumn<QList<double>>("batteryPower");
    QTest::addColumn<QList<double>>("rootPower");
    QTest::addColumn<QList<double>>("power");

    // The battery's lower limit is 50 %; the car's minimum is 1500 W, the
    // owner lets the grid pay half of it in a dip.
    QTest::newRow("charging at its most: the car takes what it cannot")
            << QList<int>{30, 30} << QList<double>{2000, 2000} << QList<double>{-4000, 0} << QList<double>{4000, 4000};
    QTest::newRow("charging 1000 W less than its most: the car leaves it that")
            << QList<int>{30, 30} << QList<double>{2000, 1000} << QList<double>{-4000, 0} << QList<double>{4000, 3000};
    QTest::newRow("a dip the surplus does not cover: not ridden out on the battery")
            << QList<int>{30, 30, 30} << QList<double>{2000, 200, 200} << QList<double>{-4000, 2500, 0}
            << QList<double>{4000, 1500, 0};
    QTest::newRow("not charging: the minimum, then off; the sun must last a minute to restart")
            << QList<int>{30, 30, 30, 30, 30} << QList<double>{2000, -500, -500, 2000, 2000}
            << QList<double>{-4000, 0, 0, -4000, -4000} << QList<double>{4000, 1500, 0, 0, 4000};
    // Back at the limit after the stop, the battery charging at its most and
    // 1000 W going out: its charge is the car's again only two points above.
    QTest::newRow("back at and a point above the lower limit: still the battery's; two above: the car's")
            << QList<int>{49, 49, 49, 50, 51, 52} << QList<double>{2000, -500, -500, 2000, 2000, 2000}
            << QList<double>{-4000, 0, 0, -1000, -1000, -1000} << QList<double>{4000, 1500, 0, 0, 0, 3000};
    QTest::newRow("at the lower limit without having given way: the car's at once")
            << QList<int>{50} << QList<double>{2000} << QList<double>{-1000} << QList<double>{3000};
}

void TestDcChargers::homeBatteryBelowItsLowerLimitGoesFirst()
{
    QFETCH(QList<int>, batteryLevel);
    QFETCH(QList<double>, batteryPower);
    QFETCH(QList<double>, rootPower);

    Household household;
    Thing *battery = household.fixture.addThing(QStringLiteral("homeBattery"), QStringLiteral("Battery"),
                                                {{"batteryLevel", batteryLevel.first()}, {"currentPower", 0}});
    household.manager->setBatteryLevelLimits(0.5, 0.9);
    household.manager->setAcquisitionTolerance(0.5);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEco));
    QList<double> power;
    for (int minute = 0; minute < batteryPower.count(); minute++) {
        HouseholdFixture::setStates(battery, {{"batteryLevel", batteryLevel.at(minute)}});
        power.append(nextMinute(household, batteryPower.at(minute), rootPower.at(minute), battery));
    }
    QTEST(power, "power");
}

void TestDcChargers::chargeLeavesTheReliefOfACutDischarge_data()
{
    QTest::addColumn<bool>("cycleBeforeTheMeter"); // a cycle runs before the meter shows the cut

    QTest::newRow("cut between cycles") << false;
    QTest::newRow("a cycle before the meter shows the cut") << true;
}

void TestDcChargers::chargeLeavesTheReliefOfACutDischarge()
{
    QFETCH(bool, cycleBeforeTheMeter);

    // DC 0 charges for its deadline at the edge of a 16 A fuse, DC 1
    // discharges to cover the house, all of it on phase B (15 A): its 5 A
    // per phase relieve A and C as well. The house falls to 5 A: the
    // discharge follows it down to 1.67 A, which takes 3.33 A of relief off
    // every phase. The charge may rise by the 10 A the meter shows free on
    // B less those 3.33 A (8050 W), not by all 10 A (10350 W: 18.3 A on B).
    Household household(true, 2);
    household.manager->setPhasePowerLimit(16);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEcoWithTargetTime, true,
                                household.fixture.now().addSecs(60 * 60)));
    QVERIFY(household.configure(1, ChargingConfiguration::ChargingModeEco));

    const auto setpoint = [&](int index) { return dcSetpointOf(household.chargers.at(index)); };
    // The cars draw what they were told; returns the most loaded phase (A).
    const auto follow = [&](double houseOnB) {
        double net = 0;
        for (int i = 0; i < household.chargers.count(); i++) {
            HouseholdFixture::setStates(household.chargers.at(i), {{"currentPower", setpoint(i)}});
            net += setpoint(i);
        }
        HouseholdFixture::setMeterCurrents(household.meter, net / 690, houseOnB + net / 690, net / 690);
        return houseOnB + net / 690;
    };
    for (int minute = 0; minute < 4; minute++) {
        follow(15);
        household.fixture.runCycle();
        household.fixture.advance(60);
    }
    QCOMPARE(setpoint(0), 3450.0);
    QCOMPARE(setpoint(1), -3450.0);

    // The house falls; the meter shows it before the cars follow the
    // commands it brings.
    HouseholdFixture::setMeterCurrents(household.meter, 0, 5, 0);
    household.fixture.processEvents();
    if (cycleBeforeTheMeter)
        household.fixture.runCycle();
    const QString figures = QStringLiteral("DC 0 %1 W, DC 1 %2 W").arg(setpoint(0)).arg(setpoint(1));
    QCOMPARE(setpoint(1), -1150.0);
    QVERIFY2(follow(5) <= 16, qPrintable(figures));
    QVERIFY2(qFuzzyCompare(setpoint(0), 8050.0), qPrintable(figures));

    household.fixture.advance(60);
    household.fixture.runCycle();
    QVERIFY2(follow(5) <= 16, qPrintable(figures));
    QCOMPARE(setpoint(0), 8050.0);
}

void TestDcChargers::dischargeAtItsFloorLendsNoRoom_data()
{
    QTest::addColumn<int>("soc"); // of the discharging car; its floor is 30 %

    QTest::newRow("two points above the floor: the relief is lent") << 32;
    QTest::newRow("a point above the floor: it is not") << 31;
}

void TestDcChargers::dischargeAtItsFloorLendsNoRoom()
{
    QFETCH(int, soc);

    // An AC car charges for its deadline on a 16 A fuse, phase B carries
    // 8 A of the house; the DC car discharges to cover what the house
    // draws, and its relief lets the AC car have more than the 8 A the fuse
    // leaves. The discharge stops in the cycle the DC car reaches its
    // floor, after the AC charger was adjusted: near the floor the AC
    // charger may not count on the relief.
    Household household;
    Thing *dc = household.chargers.first();
    Thing *ac = household.fixture.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Wallbox"),
                                           {{"pluggedIn", true}, {"phaseCount", 3}});
    Thing *acCar = household.fixture.addThing(
            QStringLiteral("electricVehicleConnected"), QStringLiteral("AC car"),
            {{"batteryLevel", 40}, {"capacity", 50}, {"acMaxChargingCurrent", 16}, {"acPhaseCount", 3}});
    household.manager->setPhasePowerLimit(16);
    HouseholdFixture::setStates(household.cars.first(), {{"batteryLevel", soc}});
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEco));
    QVERIFY(configureAcDeadline(household.fixture, ac, acCar, household.fixture.now().addSecs(60 * 60)));

    const auto dcSetpoint = [&]() { return dcSetpointOf(dc); };
    const auto acCurrent = [&]() { return acCurrentOf(ac); };
    // The cars draw what they were told; returns phase B (A).
    const auto follow = [&]() {
        HouseholdFixture::setStates(dc, {{"currentPower", dcSetpoint()}});
        HouseholdFixture::setStates(ac, {{"currentPower", acCurrent() * 690}, {"charging", acCurrent() > 0}});
        const double cars = dcSetpoint() / 690 + acCurrent();
        HouseholdFixture::setMeterCurrents(household.meter, cars, 8 + cars, cars);
        return 8 + cars;
    };
    for (int minute = 0; minute < 4; minute++) {
        follow();
        household.fixture.runCycle();
        household.fixture.advance(60);
    }
    QCOMPARE(dcSetpoint(), -1840.0);
    // Far from the floor the charge counts on the discharge's relief.
    if (soc > 31)
        QVERIFY(acCurrent() > 8);

    // The DC car runs down to its floor: the discharge stops that minute,
    // and the AC car must already fit without it.
    for (int level = soc - 1; level >= 30; level--) {
        HouseholdFixture::setStates(household.cars.first(), {{"batteryLevel", level}});
        household.fixture.runCycle();
        const QString figures =
                QStringLiteral("at %1 %: AC %2 A, DC %3 W").arg(level).arg(acCurrent()).arg(dcSetpoint());
        QVERIFY2(follow() <= 16, qPrintable(figures));
        household.fixture.advance(60);
    }
    QCOMPARE(dcSetpoint(), 0.0);
}

QTEST_GUILESS_MAIN(TestDcChargers)

#include "tst_dcchargers.moc"

void TestDcChargers::commandsOfOneMinuteAddUp_data()
{
    QTest::addColumn<bool>("dcFirst");

    QTest::newRow("AC car first, DC car between cycles") << false;
    QTest::newRow("DC car first, AC car in a second cycle") << true;
}

void TestDcChargers::commandsOfOneMinuteAddUp()
{
    QFETCH(bool, dcFirst);

    // Both cars need all they can get; the fuse leaves 23 A per phase, so
    // together they must stay within 23 × 690 W.
    Household household;
    Thing *dc = household.chargers.first();
    Thing *ac = household.fixture.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Wallbox"),
                                           {{"pluggedIn", dcFirst ? false : true}, {"phaseCount", 3}});
    Thing *acCar = household.fixture.addThing(QStringLiteral("electricVehicleConnected"), QStringLiteral("AC car"),
                                              {{"batteryLevel", 20}, {"capacity", 50}});
    HouseholdFixture::setStates(dc, {{"pluggedIn", dcFirst}});
    household.manager->setPhasePowerLimit(25);
    HouseholdFixture::setMeterCurrents(household.meter, 2, 2, 2);
    // 10 kWh at 11 kW and 30 kWh at 11 kW: neither is done in 50 minutes.
    const QDateTime end = household.fixture.now().addSecs(50 * 60);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEcoWithTargetTime, true, end));
    QCOMPARE(household.fixture.configure(ac,
                                         [&](ChargingConfiguration &configuration) {
                                             configuration.setAssignedCarId(acCar->id());
                                             configuration.setChargingMode(
                                                     ChargingConfiguration::ChargingModeEcoWithTargetTime);
                                             configuration.setTargetPercentage(80);
                                             configuration.setEndDateTime(end);
                                         }),
             EnergyManager::EnergyErrorNoError);
    household.fixture.runCycle();

    // The other car plugs in within the same minute; the meter does not
    // show the first one's draw yet.
    if (dcFirst) {
        QVERIFY(dc->stateValue(QStringLiteral("power")).toBool());
        HouseholdFixture::setStates(ac, {{"pluggedIn", true}});
        household.fixture.runCycle();
    } else {
        QVERIFY(ac->stateValue(QStringLiteral("power")).toBool());
        HouseholdFixture::setStates(dc, {{"pluggedIn", true}});
        emit household.fixture.energyManager()->powerBalanceChanged();
        household.fixture.processEvents();
    }

    const double acPower = ac->stateValue(QStringLiteral("power")).toBool()
                                   ? ac->stateValue(QStringLiteral("maxChargingCurrent")).toDouble() * 690
                                   : 0.0;
    const double dcPower = dc->stateValue(QStringLiteral("power")).toBool()
                                   ? dc->stateValue(QStringLiteral("chargingPower")).toDouble()
                                   : 0.0;
    QVERIFY2(acPower + dcPower <= 23 * 690, qPrintable(QStringLiteral("AC %1 W + DC %2 W on a fuse that leaves %3 W")
                                                               .arg(acPower)
                                                               .arg(dcPower)
                                                               .arg(23 * 690)));
    QVERIFY(acPower + dcPower > 0);
}

void TestDcChargers::stopWhileAStartIsUnderWay_data()
{
    QTest::addColumn<bool>("underWay"); // the charger runs the start only after the next cycle

    QTest::newRow("the start has run: the cycle stops the charge") << false;
    QTest::newRow("the start is still under way: the stop goes out after it") << true;
}

void TestDcChargers::stopWhileAStartIsUnderWay()
{
    QFETCH(bool, underWay);

    Household household;
    Thing *charger = household.chargers.first();
    ThingManager *things = household.fixture.thingManager();
    QList<Action> held;
    if (underWay)
        things->setActionHandler(charger->id(), [&held](Thing *, const Action &action) {
            held.append(action);
            return Thing::ThingErrorNoError;
        });
    // No grid for the surplus: a charge without it stops in the cycle.
    household.manager->setAcquisitionTolerance(1.0);
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEco));
    household.setRootPower(-4000);
    household.fixture.runCycle();

    // The sun is gone: what the charger draws comes from the grid.
    const double draw = underWay ? 0.0 : 4000.0;
    HouseholdFixture::setStates(charger, {{"currentPower", draw}});
    household.fixture.advance(60);
    household.setRootPower(draw);
    household.fixture.runCycle();

    // The charger runs what it was sent, in order.
    things->setActionHandler(charger->id(), nullptr);
    for (const Action &action : qAsConst(held)) {
        const StateType stateType = charger->thingClass().getStateType(action.actionTypeId());
        charger->setStateValue(stateType.id(), action.paramValue(stateType.id()));
    }
    QVERIFY(!underWay || !held.isEmpty());
    QCOMPARE(charger->stateValue(QStringLiteral("power")).toBool(), false);
}

void TestDcChargers::earlierAcDeadlineTakesTheFuseFromTheDc_data()
{
    QTest::addColumn<bool>("acFirst"); // the AC car is due before the DC car
    QTest::addColumn<int>("acPhases");
    QTest::addColumn<bool>("dcMakesWay");

    QTest::newRow("AC due first: the running DC charge makes way") << true << 3 << true;
    QTest::newRow("DC due first: it keeps the fuse") << false << 3 << false;
    // Freeing 10 A on phase A would take 10 A off each of the DC car's phases.
    QTest::newRow("one-phase AC car due first: the DC charge keeps the fuse") << true << 1 << false;
}

void TestDcChargers::earlierAcDeadlineTakesTheFuseFromTheDc()
{
    QFETCH(bool, acFirst);
    QFETCH(int, acPhases);
    QFETCH(bool, dcMakesWay);

    // The DC car charges for its deadline at 11 kW (15.9 A per phase); the
    // house takes 4 A, the fuse is 25 A: 5.1 A are left, less than the AC
    // car's minimum of 6 A. The AC car needs 5 kWh at 10 A (6.9 kW, 44
    // minutes), due in 45 minutes: it makes it served first (on one phase
    // 1 kWh, 26 minutes, due in 35). The DC car needs 10 kWh at 11 kW (55
    // minutes), due in 55 or 35 minutes. Both are forced. The DC charger commands after the AC one, so unless it
    // makes way the earlier AC deadline never gets the fuse the plan gave
    // it first.
    Household household;
    Thing *dc = household.chargers.first();
    Thing *ac = household.fixture.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Wallbox"),
                                           {{"pluggedIn", true}, {"phaseCount", acPhases}});
    Thing *acCar = household.fixture.addThing(QStringLiteral("electricVehicleConnected"), QStringLiteral("AC car"),
                                              {{"batteryLevel", acPhases == 3 ? 70 : 78},
                                               {"capacity", 50},
                                               {"acMaxChargingCurrent", 10},
                                               {"acPhaseCount", acPhases}});
    acCar->setSettingValue(QStringLiteral("chargingEnergyLoss"), 0);
    household.manager->setPhasePowerLimit(25);
    HouseholdFixture::setStates(dc, {{"power", true}, {"chargingPower", 11000}, {"currentPower", 11000}});
    HouseholdFixture::setMeterCurrents(household.meter, 4 + 11000 / 690.0, 4 + 11000 / 690.0, 4 + 11000 / 690.0);
    const QDateTime now = household.fixture.now();
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEcoWithTargetTime, true,
                                now.addSecs((acFirst ? 55 : 35) * 60)));
    QVERIFY(configureAcDeadline(household.fixture, ac, acCar, now.addSecs((acPhases == 3 ? 45 : 35) * 60)));

    const auto dcSetpoint = [&]() { return dcSetpointOf(dc); };
    const auto acCurrent = [&]() { return acCurrentOf(ac); };
    // Two minutes, each with the meter showing what the cars were told.
    double dcDraw = dcSetpoint();
    double acDraw = acCurrent() * 690;
    for (int minute = 0; minute < 2; minute++) {
        HouseholdFixture::setStates(dc, {{"currentPower", dcDraw}});
        HouseholdFixture::setStates(ac, {{"currentPower", acDraw}});
        const double phase = 4 + (dcDraw + acDraw) / 690;
        HouseholdFixture::setMeterCurrents(household.meter, phase, phase, phase);
        household.fixture.runCycle();
        dcDraw = dcSetpoint();
        acDraw = acCurrent() * 690;
        household.fixture.advance(60);
    }

    const QString figures = QStringLiteral("DC %1 W, AC %2 A").arg(dcSetpoint()).arg(acCurrent());
    QVERIFY2(dcSetpoint() + acCurrent() * 230 * acPhases <= 21 * 690 + 1, qPrintable(figures));
    if (dcMakesWay) {
        // The AC car gets its 10 A; the DC car charges on with the rest.
        QVERIFY2(qFuzzyCompare(acCurrent(), 10.0), qPrintable(figures));
        QVERIFY2(dcSetpoint() > 0, qPrintable(figures));
    } else {
        QVERIFY2(qFuzzyIsNull(acCurrent()), qPrintable(figures));
        QVERIFY2(qFuzzyCompare(dcSetpoint(), 11000.0), qPrintable(figures));
    }
}

void TestDcChargers::dcDeadlineTakesTheSunFromAnAcEcoCar_data()
{
    QTest::addColumn<int>("mode"); // the DC car's ChargingConfiguration::ChargingMode
    QTest::addColumn<int>("dcSoc");
    QTest::addColumn<double>("sun"); // W
    QTest::addColumn<int>("split");  // who charges at the end, see Split
    using C = ChargingConfiguration;
    // The AC car charges on the sun at its 16 A on one phase (3680 W) when
    // the DC car plugs in. The DC car's minimum is 1000 W.
    QTest::newRow("DC car due in 10 hours: the AC car gives the sun up")
            << int(C::ChargingModeEcoWithTargetTime) << 60 << 4000.0 << int(DcAlone);
    QTest::newRow("DC car in eco: the AC car leaves it its minimum and what the AC car cannot take")
            << int(C::ChargingModeEco) << 60 << 4000.0 << int(Both);
    QTest::newRow("DC car in eco, the AC car below its most: the AC car keeps it")
            << int(C::ChargingModeEco) << 60 << 3500.0 << int(AcAlone);
    QTest::newRow("DC car at its target: as in eco")
            << int(C::ChargingModeEcoWithTargetTime) << 80 << 4000.0 << int(Both);
    // Its own limit holds the car below the plugin's target: switched on,
    // it draws nothing, and the AC car takes the sun back.
    QTest::newRow("DC car in eco that draws nothing: the AC car takes it back")
            << int(C::ChargingModeEco) << 60 << 4000.0 << int(AcBack);
}

void TestDcChargers::dcDeadlineTakesTheSunFromAnAcEcoCar()
{
    QFETCH(int, mode);
    QFETCH(int, dcSoc);
    QFETCH(double, sun);
    QFETCH(int, split);

    Household household;
    Thing *dc = household.chargers.first();
    HouseholdFixture::setStates(dc, {{"minChargingPower", 1000}});
    HouseholdFixture::setStates(household.cars.first(), {{"batteryLevel", dcSoc}});
    Thing *ac = household.addEcoAcCharger(16);
    QVERIFY(ac);
    const auto acDraw = [&]() {
        return ac->stateValue(QStringLiteral("power")).toBool()
                       ? ac->stateValue(QStringLiteral("maxChargingCurrent")).toDouble() * 230
                       : 0.0;
    };
    const auto dcDraw = [&]() {
        return dc->stateValue(QStringLiteral("power")).toBool()
                       ? dc->stateValue(QStringLiteral("chargingPower")).toDouble()
                       : 0.0;
    };
    // Every minute the meter shows what the cars were told, less the sun.
    const auto minute = [&]() {
        HouseholdFixture::setStates(ac, {{"currentPower", acDraw()}});
        const double dcDrawn = split == AcBack ? 0.0 : dcDraw();
        HouseholdFixture::setStates(dc, {{"currentPower", dcDrawn}});
        household.setRootPower(acDraw() + dcDrawn - sun);
        household.fixture.runCycle();
        household.fixture.advance(60);
    };
    // The AC car alone first: it takes the sun in whole amperes.
    const double acAlone = std::floor(qMin(sun, 3680.0) / 230) * 230;
    HouseholdFixture::setStates(dc, {{"pluggedIn", false}});
    for (int i = 0; i < 15; i++)
        minute();
    QCOMPARE(acDraw(), acAlone);

    HouseholdFixture::setStates(dc, {{"pluggedIn", true}});
    QVERIFY(household.configure(0, static_cast<ChargingConfiguration::ChargingMode>(mode), true,
                                household.fixture.now().addSecs(10 * 3600)));
    for (int i = 0; i < 30; i++)
        minute();
    const QString figures = QStringLiteral("DC %1 W, AC %2 W").arg(dcDraw()).arg(acDraw());
    switch (split) {
    case DcAlone:
        QVERIFY2(qFuzzyIsNull(acDraw()), qPrintable(figures));
        QVERIFY2(qFuzzyCompare(dcDraw(), sun), qPrintable(figures));
        break;
    case Both:
        // Whole amperes for the AC car, the watt for the DC car: none of the sun is left.
        QVERIFY2(acDraw() >= 1380 && dcDraw() >= 1000, qPrintable(figures));
        QVERIFY2(qAbs(acDraw() + dcDraw() - sun) < 1, qPrintable(figures));
        break;
    case AcBack:
        QVERIFY2(qFuzzyCompare(acDraw(), acAlone), qPrintable(figures));
        break;
    default:
        QVERIFY2(qFuzzyCompare(acDraw(), acAlone), qPrintable(figures));
        QVERIFY2(qFuzzyIsNull(dcDraw()), qPrintable(figures));
    }
}

void TestDcChargers::dcOvershootDoesNotStopAnAcCarAtItsMinimum()
{
    // The AC car can take only its minimum, 6 A on one phase (1380 W); the
    // DC car in eco takes the rest of the sun and draws 30 W more than it
    // is told, so the meter shows 30 W of import every minute.
    Household household;
    household.manager->setAcquisitionTolerance(1.0);
    Thing *dc = household.chargers.first();
    HouseholdFixture::setStates(dc, {{"minChargingPower", 1000}, {"pluggedIn", false}});
    Thing *ac = household.addEcoAcCharger(6);
    QVERIFY(ac);
    double sun = 1400;
    double overshoot = 0;
    bool acStopped = false;
    const auto minute = [&]() {
        const double acDrawn = acCurrentOf(ac) * 230;
        const double dcDrawn = dcSetpointOf(dc) > 0 ? dcSetpointOf(dc) + overshoot : 0.0;
        HouseholdFixture::setStates(ac, {{"currentPower", acDrawn}});
        HouseholdFixture::setStates(dc, {{"currentPower", dcDrawn}});
        household.setRootPower(acDrawn + dcDrawn - sun);
        household.fixture.runCycle();
        household.fixture.advance(60);
        acStopped = acStopped || (acDrawn > 0 && acCurrentOf(ac) <= 0);
    };
    for (int i = 0; i < 15; i++)
        minute();
    QCOMPARE(acCurrentOf(ac), 6.0);

    sun = 4400;
    overshoot = 30;
    HouseholdFixture::setStates(dc, {{"pluggedIn", true}});
    QVERIFY(household.configure(0, ChargingConfiguration::ChargingModeEco));
    for (int i = 0; i < 40; i++)
        minute();
    const QString figures = QStringLiteral("DC told %1 W, AC %2 A").arg(dcSetpointOf(dc)).arg(acCurrentOf(ac));
    // The import is the DC car's to shed: the AC car, which cannot step
    // down, runs on beside it and the DC car keeps the rest of the sun.
    QVERIFY2(!acStopped && qFuzzyCompare(acCurrentOf(ac), 6.0), qPrintable(figures));
    QVERIFY2(qAbs(dcSetpointOf(dc) + 1380 - sun) <= overshoot, qPrintable(figures));
}
