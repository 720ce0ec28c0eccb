#include "householdfixture.h"

#include "devices/evchargerac.h"

#include "tavro/thing.h"

#include <QtTest>

using Access = CycleProbe;

// enabled: planned actions switched on (T time requirement, S surplus, M spot market).
struct PrecedenceCase {
    QString enabled;
    bool withMeter;
    uint limit;
    double meterCurrent, ownCurrent;
    int mode;
    QStringList expected;
    int waitingReason = ChargingState::WaitingReasonNone;
    bool switchedOn = false;  // the charger is on already
    bool overloadCut = false; // the overload cut switched it off before
};
Q_DECLARE_METATYPE(PrecedenceCase)

// One of two chargers competing for the fuse: the issuer of its planned
// action (T, S, M), the action's current and what it draws now (A), its
// deadline in hours (0: none), the current it is expected to charge with
// (0: it waits), and the current per phase its deadline plan counts on (0:
// none planned).
struct Contender {
    char issuer;
    double actionCurrent, drawCurrent;
    int deadlineHours;
    double expected;
    double planned = 0;
};
Q_DECLARE_METATYPE(Contender)

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
    void commandOrder_data();
    void commandOrder();
    void commandsOnlyOnChange_data();
    void commandsOnlyOnChange();
    void unpluggedChargerSwitchedOff();
};

void TestAdjustment::precedence_data()
{
    QTest::addColumn<PrecedenceCase>("c");
    const int deadline = ChargingState::ModeTimeRequirement;
    const QStringList on15{"maxChargingCurrent=15", "power=true"};
    // A deadline charge takes what the meter has left less 1 A plus what it
    // draws itself, within the charger's range; no limit counts as its maximum.
    QTest::newRow("time requirement beats all, no limit") << PrecedenceCase{"TSM", true, 0, 0, 0, deadline, on15};
    QTest::newRow("no limit, own current capped at maximum")
            << PrecedenceCase{"T", true, 0, 0, 10, deadline, {"maxChargingCurrent=16", "power=true"}};
    QTest::newRow("2 A left while drawing 10 A")
            << PrecedenceCase{"T", true, 16, 14, 10, deadline, {"maxChargingCurrent=11", "power=true"}};
    QTest::newRow("limit without root meter: as no limit") << PrecedenceCase{"T", false, 16, 0, 0, deadline, on15};
    QTest::newRow("surplus") << PrecedenceCase{
            "S", true, 0, 0, 0, ChargingState::ModeSurplusCharging, {"maxChargingCurrent=10", "power=true"}};
    QTest::newRow("spot market") << PrecedenceCase{
            "M", true, 0, 0, 0, ChargingState::ModeSpotMarketCharging, {"maxChargingCurrent=12", "power=true"}};
    // Every command is fitted to the fuse: 25 A less 14 A for the house less 1 A.
    QTest::newRow("spot market under a heat pump") << PrecedenceCase{
            "M", true, 25, 14, 0, ChargingState::ModeSpotMarketCharging, {"maxChargingCurrent=10", "power=true"}};
    // Not even the minimum fits: no start into an overload.
    // The charger is off already: only the current goes out.
    const QStringList staysOff{"maxChargingCurrent=10"};
    QTest::newRow("spot market, 5 A left: waits for the fuse") << PrecedenceCase{
            "M", true, 25, 20, 0, ChargingState::ModeIdle, staysOff, ChargingState::WaitingReasonPhasePowerLimit};
    QTest::newRow("deadline, 4 A left: waits for the fuse") << PrecedenceCase{
            "T", true, 16, 12, 0, ChargingState::ModeIdle, staysOff, ChargingState::WaitingReasonPhasePowerLimit};
    // Between the minimum and the minimum plus the 1 A margin: a start may
    // spend the margin, a restart after the overload cut waits for it, a
    // running charger keeps its minimum (the charger is at 6 A already: no
    // current to send).
    QTest::newRow("off, 6.5 A left for a 6 A minimum: starts on the margin")
            << PrecedenceCase{"S", true, 16, 9.5, 0, ChargingState::ModeSurplusCharging, {"power=true"}};
    QTest::newRow("off after the overload cut, 6.5 A left: waits for the margin") << PrecedenceCase{
            "S",   true, 16, 9.5, 0, ChargingState::ModeIdle, staysOff, ChargingState::WaitingReasonPhasePowerLimit,
            false, true};
    QTest::newRow("cut, yet drawing 6 A with 6.5 A left: keeps its minimum") << PrecedenceCase{
            "S",  true, 16, 15.5, 6, ChargingState::ModeSurplusCharging, {}, ChargingState::WaitingReasonNone,
            true, true};
    // Idle keeps the first planned current (surplus first) and switches off.
    QTest::newRow("nothing enabled: idle") << PrecedenceCase{"", true, 0, 0, 0, ChargingState::ModeIdle, staysOff};
}

void TestAdjustment::precedence()
{
    QFETCH(PrecedenceCase, c);
    HouseholdFixture household;
    if (c.withMeter)
        HouseholdFixture::setMeterCurrents(household.addThing("gridMeter", "Grid"), c.meterCurrent, c.meterCurrent,
                                           c.meterCurrent);
    Thing *charger =
            household.addThing("evChargerAc", "Garage",
                               {{"pluggedIn", true}, {"power", c.switchedOn}, {"currentPower", c.ownCurrent * 690}});
    SmartChargingManager *manager = household.createManager();
    manager->setPhasePowerLimit(c.limit);
    QCOMPARE(household.setMode(charger, ChargingConfiguration::ChargingModeEco), EnergyManager::EnergyErrorNoError);
    household.thingManager()->clearActionLog();

    Access::prepare(
            manager, charger,
            {ChargingAction(c.enabled.contains('T'), 16, 3, ChargingAction::ChargingActionIssuerTimeRequirement, false),
             ChargingAction(c.enabled.contains('S'), 10, 3, ChargingAction::ChargingActionIssuerSurplusCharging, false),
             ChargingAction(c.enabled.contains('M'), 12, 3, ChargingAction::ChargingActionIssuerSpotMarketCharging,
                            false)});
    if (c.overloadCut)
        Access::noteOverloadCut(manager, charger);
    Access::adjust(manager, household.now());
    household.processEvents();

    QCOMPARE(household.commands(charger), c.expected);
    QCOMPARE(int(manager->chargingState(charger->id()).mode()), c.mode);
    const ChargingState::WaitingReason reason = manager->chargingState(charger->id()).waitingReason();
    QCOMPARE(reason == ChargingState::WaitingReasonPhasePowerLimit,
             c.waitingReason == ChargingState::WaitingReasonPhasePowerLimit);
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

    HouseholdFixture household;
    Thing *charger = household.addThing("evChargerAc", "Garage", {{"pluggedIn", true}, {"power", true}});
    SmartChargingManager *manager = household.createManager();
    QCOMPARE(household.setMode(charger, ChargingConfiguration::ChargingModeEco), EnergyManager::EnergyErrorNoError);

    // Switching off starts the on/off lock.
    EvChargerAc *adapter = Access::ac(manager, charger);
    adapter->setChargingEnabled(false, household.now(), false, true);
    household.processEvents();
    QVERIFY(adapter->chargingEnabledLocked());
    household.thingManager()->clearActionLog();

    household.advance(60);
    Access::execute(manager, charger,
                    ChargingAction(true, 10, 3, ChargingAction::ChargingActionIssuerSurplusCharging, force),
                    household.now());
    household.processEvents();

    QTEST(household.commands(charger), "expected");
    QCOMPARE(charger->stateValue(QStringLiteral("power")).toBool(), force);
}

void TestAdjustment::executionOrder_data()
{
    QTest::addColumn<bool>("phaseSwitching");
    QTest::addColumn<bool>("carSinglePhase");
    QTest::addColumn<uint>("phases");
    QTest::addColumn<QStringList>("expected");
    // The charger starts at the other phase count, so the count goes out.

    QTest::newRow("switchable: phases, current, on")
            << true << false << 3u << QStringList{"desiredPhaseCount=3", "maxChargingCurrent=10", "power=true"};
    // The charger offers 1 and 3: a two-phase car is charged with 3.
    QTest::newRow("two-phase car: a count the charger accepts")
            << true << false << 2u << QStringList{"desiredPhaseCount=3", "maxChargingCurrent=10", "power=true"};
    QTest::newRow("single-phase car: always one phase")
            << false << true << 3u << QStringList{"desiredPhaseCount=1", "maxChargingCurrent=10", "power=true"};
    QTest::newRow("no switching: no phase command")
            << false << false << 3u << QStringList{"maxChargingCurrent=10", "power=true"};
}

void TestAdjustment::executionOrder()
{
    HouseholdFixture household;
    QFETCH(bool, phaseSwitching);
    QFETCH(bool, carSinglePhase);
    Thing *charger = household.addThing("evChargerAc", "Garage",
                                        {{"pluggedIn", true}, {"desiredPhaseCount", carSinglePhase ? 3 : 1}});
    SmartChargingManager *manager = household.createManager();
    household.thingManager()->clearActionLog();

    ChargingProcessInfo &info = Access::prepare(manager, charger, {});
    QFETCH(uint, phases);
    info.phaseSwitchingPossible = phaseSwitching;
    info.carLimitedToSinglePhase = carSinglePhase;
    Access::execute(manager, charger,
                    ChargingAction(true, 10, phases, ChargingAction::ChargingActionIssuerSurplusCharging, false),
                    household.now());
    household.processEvents();

    QTEST(household.commands(charger), "expected");
}

void TestAdjustment::commandOrder_data()
{
    QTest::addColumn<uint>("limit");
    QTest::addColumn<double>("house");
    QTest::addColumn<Contender>("x");
    QTest::addColumn<Contender>("y");

    // 16 A, 3 A for the house, 1 A kept free: room for one of them.
    QTest::newRow("spot market before surplus")
            << 16u << 3.0 << Contender{'S', 10, 0, 0, 0} << Contender{'M', 10, 0, 0, 10};
    QTest::newRow("spot market before surplus, other charger")
            << 16u << 3.0 << Contender{'M', 10, 0, 0, 10} << Contender{'S', 10, 0, 0, 0};
    QTest::newRow("the earlier deadline first")
            << 16u << 3.0 << Contender{'T', 10, 0, 7, 0} << Contender{'T', 10, 0, 6, 10};
    QTest::newRow("the earlier deadline first, other charger")
            << 16u << 3.0 << Contender{'T', 10, 0, 6, 10} << Contender{'T', 10, 0, 7, 0};
    // 25 A, 2 A for the house and 13 A of x: x comes down to 6 A first, so
    // the deadline gets its 10 A and not the 9 A x still held.
    QTest::newRow("coming down before going up")
            << 25u << 2.0 << Contender{'M', 6, 13, 0, 6} << Contender{'T', 10, 0, 6, 10};
    // 16 A, 3 A for the house and 6 A of surplus charging (bought, at a
    // tolerance of 0): the deadline plan counts on 10 A, the surplus charge
    // stops for it; with room for both, or for what the plan counts on, it
    // stays. Spot-market charging is not surplus: it keeps its fuse.
    QTest::newRow("surplus charging stops for a deadline short of its plan")
            << 16u << 3.0 << Contender{'S', 6, 6, 0, 0} << Contender{'T', 10, 0, 6, 10, 10};
    QTest::newRow("surplus charging stops for a deadline short of its plan, other charger")
            << 16u << 3.0 << Contender{'T', 10, 0, 6, 10, 10} << Contender{'S', 6, 6, 0, 0};
    QTest::newRow("room for both: surplus charging stays")
            << 25u << 3.0 << Contender{'S', 6, 6, 0, 6} << Contender{'T', 10, 0, 6, 10, 10};
    QTest::newRow("room for what the plan counts on: surplus charging stays")
            << 16u << 3.0 << Contender{'S', 6, 6, 0, 6} << Contender{'T', 16, 0, 6, 6, 6};
    QTest::newRow("spot-market charging keeps its fuse")
            << 16u << 3.0 << Contender{'M', 6, 6, 0, 6} << Contender{'T', 10, 0, 6, 6, 10};
}

void TestAdjustment::commandOrder()
{
    QFETCH(uint, limit);
    QFETCH(double, house);
    QFETCH(Contender, x);
    QFETCH(Contender, y);

    HouseholdFixture household;
    Thing *meter = household.addThing("gridMeter", "Grid");
    QList<Thing *> chargers;
    const QList<Contender> contenders{x, y};
    double drawn = 0;
    // x sorts before y by id: the order of the ids must not decide.
    const QStringList ids{"{00000000-0000-0000-0000-00000000000a}", "{00000000-0000-0000-0000-00000000000b}"};
    for (const Contender &contender : contenders) {
        Thing *charger = household.thingManager()->addConfiguredThing(
                QStringLiteral("evChargerAc"), chargers.isEmpty() ? "X" : "Y", ThingId(ids.at(chargers.count())));
        HouseholdFixture::setStates(charger, {{"pluggedIn", true},
                                              {"power", contender.drawCurrent > 0},
                                              {"currentPower", contender.drawCurrent * 690}});
        chargers.append(charger);
        drawn += contender.drawCurrent;
    }
    HouseholdFixture::setMeterCurrents(meter, house + drawn, house + drawn, house + drawn);
    SmartChargingManager *manager = household.createManager();
    manager->setPhasePowerLimit(limit);
    for (Thing *charger : qAsConst(chargers))
        QCOMPARE(household.setMode(charger, ChargingConfiguration::ChargingModeEco), EnergyManager::EnergyErrorNoError);
    for (int i = 0; i < 2; i++) {
        const Contender &c = contenders.at(i);
        const auto action = [&](char issuer, ChargingAction::ChargingActionIssuer id) {
            return ChargingAction(c.issuer == issuer, c.actionCurrent, 3, id, false);
        };
        ChargingProcessInfo &info =
                Access::prepare(manager, chargers.at(i),
                                {action('T', ChargingAction::ChargingActionIssuerTimeRequirement),
                                 action('S', ChargingAction::ChargingActionIssuerSurplusCharging),
                                 action('M', ChargingAction::ChargingActionIssuerSpotMarketCharging)});
        if (c.deadlineHours > 0)
            info.deadline = household.now().addSecs(c.deadlineHours * 3600);
        if (c.planned > 0)
            info.phaseLimitPower = c.planned * info.voltage;
    }

    Access::adjust(manager, household.now());
    household.processEvents();

    for (int i = 0; i < 2; i++) {
        const double expected = contenders.at(i).expected;
        QCOMPARE(chargers.at(i)->stateValue(QStringLiteral("power")).toBool(), expected > 0);
        if (expected > 0)
            QCOMPARE(chargers.at(i)->stateValue(QStringLiteral("maxChargingCurrent")).toDouble(), expected);
    }
}

void TestAdjustment::commandsOnlyOnChange_data()
{
    QTest::addColumn<QString>("charger");
    QTest::addColumn<int>("moreSunAtCycle");
    QTest::addColumn<QList<int>>("expected");
    // The first cycle starts the charge; after it nothing goes out while
    // nothing changes.
    QTest::newRow("steady: silence after the start") << "takes" << -1 << QList<int>{2, 0, 0, 0};
    QTest::newRow("more sun: one current command") << "takes" << 2 << QList<int>{2, 0, 1, 0};
    // A command the charger did not take must go out again: the value it
    // reports is what counts, not what it was told.
    QTest::newRow("charger ignores the current: sent again") << "ignores" << -1 << QList<int>{2, 1, 1, 1};
    QTest::newRow("charger refuses the current: sent again") << "refuses" << -1 << QList<int>{2, 1, 1, 1};
}

void TestAdjustment::commandsOnlyOnChange()
{
    QFETCH(QString, charger);
    QFETCH(int, moreSunAtCycle);
    QFETCH(QList<int>, expected);
    HouseholdFixture household;
    Thing *meter = household.addThing("gridMeter", "Grid");
    Thing *solar = household.addThing("evChargerAc", "Solar", {{"pluggedIn", true}});
    Thing *idle = household.addThing("evChargerAc", "Idle", {{"pluggedIn", false}});
    household.createManager();
    for (Thing *thing : {solar, idle})
        QCOMPARE(household.setMode(
                         thing, ChargingConfiguration::ChargingModeEco,
                         household.addThing("electricVehicle", thing->name() + " car", {{"batteryLevel", 20}})),
                 EnergyManager::EnergyErrorNoError);
    HouseholdFixture::setMeterCurrents(meter, -5000.0 / 690, -5000.0 / 690, -5000.0 / 690);
    if (charger != QLatin1String("takes")) {
        const bool refuses = charger == QLatin1String("refuses");
        household.thingManager()->setActionHandler(solar->id(), [refuses](Thing *thing, const Action &action) {
            if (thing->thingClass().stateTypes().findById(action.actionTypeId()).name() != "maxChargingCurrent")
                return ThingManager::applyStateAction(thing, action);
            return refuses ? Thing::ThingErrorHardwareFailure : Thing::ThingErrorNoError;
        });
    }

    QList<int> perCycle;
    QStringList log;
    for (int cycle = 0; cycle < expected.size(); cycle++) {
        if (cycle == moreSunAtCycle)
            HouseholdFixture::setMeterCurrents(meter, -6000.0 / 690, -6000.0 / 690, -6000.0 / 690);
        household.thingManager()->clearActionLog();
        household.advance(60);
        household.runCycle();
        const QStringList sent = household.commands(solar) + household.commands(idle);
        perCycle.append(sent.size());
        log.append(QString::number(cycle) + ": " + sent.join(", "));
    }
    QVERIFY(solar->stateValue(QStringLiteral("power")).toBool());
    QVERIFY(!idle->stateValue(QStringLiteral("power")).toBool());
    QVERIFY2(perCycle == expected, qPrintable(log.join("; ")));
}

void TestAdjustment::unpluggedChargerSwitchedOff()
{
    HouseholdFixture household;
    Thing *meter = household.addThing("gridMeter", "Grid");
    HouseholdFixture::setMeterCurrents(meter, -10, -10, -10);
    Thing *charger = household.addThing("evChargerAc", "Garage", {{"pluggedIn", true}});
    SmartChargingManager *manager = household.createManager();
    QCOMPARE(household.setMode(charger, ChargingConfiguration::ChargingModeEco,
                               household.addThing("electricVehicle", "Car", {{"batteryLevel", 20}})),
             EnergyManager::EnergyErrorNoError);
    QVERIFY(charger->stateValue(QStringLiteral("power")).toBool());

    // Unplugged once the on/off lock of the start is over.
    household.advance(360);
    HouseholdFixture::setStates(charger, {{"pluggedIn", false}});
    household.runCycle();

    QVERIFY(!charger->stateValue(QStringLiteral("power")).toBool());
    QCOMPARE(manager->chargingState(charger->id()).waitingReason(), ChargingState::WaitingReasonVehicleNotPluggedIn);
}

QTEST_GUILESS_MAIN(TestAdjustment)
#include "tst_adjustment.moc"
