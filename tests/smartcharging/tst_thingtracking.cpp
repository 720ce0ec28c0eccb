#include "householdfixture.h"

#include "devices/evchargerac.h"
#include "smartcharging/chargingbook.h"

#include "tavro/thing.h"

#include <QSignalSpy>
#include <QtTest>

using Access = CycleProbe;

struct OperationCase {
    bool knownCharger;
    ChargingState initial;
    int operation;
    int argument;
    ChargingState expected;
    int emissions;
};
Q_DECLARE_METATYPE(OperationCase)

class TestThingTracking : public QObject
{
    Q_OBJECT

private slots:
    void chargerAddedOncePerId_data();
    void chargerAddedOncePerId();
    void removalSignalOrder_data();
    void removalSignalOrder();
    void stateOperations_data();
    void stateOperations();
    void lockCountdownNotBroadcast();
};

void TestThingTracking::chargerAddedOncePerId_data()
{
    QTest::addColumn<QString>("thingClass");
    QTest::addColumn<bool>("ac");

    QTest::newRow("ac charger") << "evChargerAc" << true;
    QTest::newRow("ac charger without meter") << "evChargerAcBasic" << true;
    QTest::newRow("dc charger") << "evChargerDc" << false;
}

void TestThingTracking::chargerAddedOncePerId()
{
    QFETCH(QString, thingClass);
    QFETCH(bool, ac);

    HouseholdFixture household;
    SmartChargingManager *manager = household.createManager();
    QSignalSpy configurationAdded(manager, &SmartChargingManager::chargingConfigurationAdded);
    QSignalSpy stateAdded(manager, &SmartChargingManager::chargingStateAdded);

    Thing *charger = household.addThing(thingClass, QStringLiteral("Charger"));
    QCOMPARE(configurationAdded.count(), 1);
    QCOMPARE(stateAdded.count(), 1);
    QCOMPARE(configurationAdded.first().first().value<ChargingConfiguration>().evChargerId(), charger->id());
    QCOMPARE(Access::tracksAc(manager, charger->id()), ac);
    QCOMPARE(Access::tracksDc(manager, charger->id()), !ac);
    QCOMPARE(manager->chargingState(charger->id()).powerLockDuration(), 300);

    // A second set-up of the same thing keeps configuration and state.
    Access::thingAdded(manager, charger);
    QCOMPARE(configurationAdded.count(), 1);
    QCOMPARE(stateAdded.count(), 1);
    QCOMPARE(manager->chargingConfigurations().count(), 1);

    // Cars, batteries and meters are no chargers.
    household.addThing(QStringLiteral("electricVehicle"), QStringLiteral("Car"));
    household.addThing(QStringLiteral("homeBattery"), QStringLiteral("Battery"));
    QCOMPARE(configurationAdded.count(), 1);
    QCOMPARE(manager->chargingStates().count(), 1);
}

void TestThingTracking::removalSignalOrder_data()
{
    QTest::addColumn<QString>("thingClass");
    QTest::addColumn<bool>("planned");
    QTest::addColumn<QStringList>("signalOrder");

    const QStringList withSchedules = {"configurationRemoved", "stateRemoved", "schedulesChanged"};
    const QStringList withoutSchedules = {"configurationRemoved", "stateRemoved"};
    QTest::newRow("ac charger with schedules") << "evChargerAc" << true << withSchedules;
    QTest::newRow("ac charger without schedules") << "evChargerAc" << false << withoutSchedules;
    QTest::newRow("dc charger with time frames") << "evChargerDc" << true << withSchedules;
    QTest::newRow("car") << "electricVehicle" << false << QStringList();
}

void TestThingTracking::removalSignalOrder()
{
    QFETCH(QString, thingClass);
    QFETCH(bool, planned);
    QFETCH(QStringList, signalOrder);

    HouseholdFixture household;
    Thing *other = household.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Other charger"));
    Thing *thing = household.addThing(thingClass, QStringLiteral("Removed"));
    SmartChargingManager *manager = household.createManager();
    const ThingId id = thing->id();
    if (planned)
        Access::planHour(manager, thing, household.now());

    QStringList emitted;
    connect(manager, &SmartChargingManager::chargingConfigurationRemoved, this, [&emitted, id](const ThingId &removed) {
        QCOMPARE(removed, id);
        emitted << "configurationRemoved";
    });
    connect(manager, &SmartChargingManager::chargingStateRemoved, this, [&emitted, id](const ThingId &removed) {
        QCOMPARE(removed, id);
        emitted << "stateRemoved";
    });
    connect(manager, &SmartChargingManager::chargingSchedulesChanged, this,
            [&emitted]() { emitted << "schedulesChanged"; });

    QVERIFY(household.thingManager()->removeConfiguredThing(id));
    QCOMPARE(emitted, signalOrder);
    QCOMPARE(manager->chargingConfiguration(id).evChargerId(), ThingId());
    QCOMPARE(manager->chargingState(id).evChargerId(), ThingId());
    QVERIFY(!Access::tracksAc(manager, id));
    QVERIFY(!Access::tracksDc(manager, id));
    QVERIFY(manager->chargingSchedules().isEmpty());
    // The other charger is untouched.
    QCOMPARE(manager->chargingConfiguration(other->id()).evChargerId(), other->id());
    household.processEvents();
}

namespace {
enum Operation {
    SetMode,
    SetWaitingReason,
    SetBatteryLevelConsideration,
    SetOvershot,
    ResetTransient
};

ChargingState makeState(ChargingState::Mode mode, ChargingState::WaitingReason reason, bool batteryFlag = false,
                        int overshot = 0)
{
    ChargingState state;
    state.setMode(mode);
    state.setWaitingReason(reason);
    state.setBatteryLevelConsiderationActive(batteryFlag);
    state.setTargetTimeOvershot(overshot);
    return state;
}
}

void TestThingTracking::stateOperations_data()
{
    QTest::addColumn<OperationCase>("row");

    using S = ChargingState;
    const S idle = makeState(S::ModeIdle, S::WaitingReasonNone);
    QTest::newRow("mode surplus clears reason")
            << OperationCase{true,
                             makeState(S::ModeIdle, S::WaitingReasonSurplusPower),
                             int(SetMode),
                             int(S::ModeSurplusCharging),
                             makeState(S::ModeSurplusCharging, S::WaitingReasonNone),
                             1};
    QTest::newRow("mode idle keeps reason")
            << OperationCase{true,
                             makeState(S::ModeSurplusCharging, S::WaitingReasonSurplusPower),
                             int(SetMode),
                             int(S::ModeIdle),
                             makeState(S::ModeIdle, S::WaitingReasonSurplusPower),
                             1};
    QTest::newRow("mode unchanged is silent") << OperationCase{true, idle, int(SetMode), int(S::ModeIdle), idle, 0};
    QTest::newRow("reason unchanged is silent") << OperationCase{true,
                                                                 makeState(S::ModeIdle, S::WaitingReasonHomeBattery),
                                                                 int(SetWaitingReason),
                                                                 int(S::WaitingReasonHomeBattery),
                                                                 makeState(S::ModeIdle, S::WaitingReasonHomeBattery),
                                                                 0};
    QTest::newRow("battery active sets home battery reason") << OperationCase{
            true, idle, int(SetBatteryLevelConsideration), 1, makeState(S::ModeIdle, S::WaitingReasonHomeBattery, true),
            1};
    QTest::newRow("battery inactive clears home battery reason") << OperationCase{
            true, makeState(S::ModeIdle, S::WaitingReasonHomeBattery, true), int(SetBatteryLevelConsideration), 0, idle,
            1};
    QTest::newRow("battery inactive keeps other reason") << OperationCase{
            true, makeState(S::ModeIdle, S::WaitingReasonTargetTimeWindow, true), int(SetBatteryLevelConsideration),
            0,    makeState(S::ModeIdle, S::WaitingReasonTargetTimeWindow),       1};
    QTest::newRow("overshot changed") << OperationCase{
            true, idle, int(SetOvershot), 900, makeState(S::ModeIdle, S::WaitingReasonNone, false, 900), 1};
    QTest::newRow("reset transient") << OperationCase{
            true,
            makeState(S::ModeTimeRequirement, S::WaitingReasonNone, true, 120),
            int(ResetTransient),
            int(S::WaitingReasonVehicleNotPluggedIn),
            makeState(S::ModeIdle, S::WaitingReasonVehicleNotPluggedIn),
            1};
    QTest::newRow("reset transient on idle state is silent")
            << OperationCase{true, idle, int(ResetTransient), int(S::WaitingReasonNone), idle, 0};
    QTest::newRow("unknown id mode") << OperationCase{false, idle, int(SetMode), int(S::ModeSurplusCharging), idle, 0};
}

void TestThingTracking::stateOperations()
{
    QFETCH(OperationCase, row);
    auto [knownCharger, initial, operation, argument, expected, emissions] = row;

    // The book on its own: the coverage is not under test here, so it stays
    // what every state already holds.
    ChargingBook book;
    const double coverage = 0.25;
    book.setCoverageSource([coverage](const ThingId &) { return coverage; });
    const ThingId charger = ThingId::createUuid();
    book.addState(charger, 0);
    const ThingId id = knownCharger ? charger : ThingId::createUuid();
    for (ChargingState *state : {&initial, &expected}) {
        state->setEvChargerId(id);
        state->setSurplusCoverage(coverage);
    }
    if (knownCharger)
        book.commitState(initial);

    QSignalSpy spy(&book, &ChargingBook::chargingStateChanged);
    switch (operation) {
    case SetMode:
        book.setMode(id, static_cast<ChargingState::Mode>(argument));
        break;
    case SetWaitingReason:
        book.setWaitingReason(id, static_cast<ChargingState::WaitingReason>(argument));
        break;
    case SetBatteryLevelConsideration:
        book.setBatteryLevelConsiderationActive(id, argument != 0);
        break;
    case SetOvershot:
        book.setTargetTimeOvershot(id, argument);
        break;
    case ResetTransient:
        book.resetTransient(id, static_cast<ChargingState::WaitingReason>(argument));
        break;
    }

    QCOMPARE(spy.count(), emissions);
    if (!knownCharger) {
        QCOMPARE(book.states().count(), 1);
        QVERIFY(!book.hasState(id));
        return;
    }
    QCOMPARE(book.state(id), expected);
    if (emissions)
        QCOMPARE(spy.first().first().value<ChargingState>(), expected);
}

void TestThingTracking::lockCountdownNotBroadcast()
{
    HouseholdFixture household;
    Thing *thing = household.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger"),
                                      {{QStringLiteral("pluggedIn"), true}});
    SmartChargingManager *manager = household.createManager();
    EvChargerAc *charger = Access::ac(manager, thing);
    QVERIFY(charger);

    QSignalSpy spy(manager, &SmartChargingManager::chargingStateChanged);
    charger->setChargingEnabled(true, household.now(), false, true);
    household.processEvents();
    QVERIFY(charger->chargingEnabledLocked());
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.last().first().value<ChargingState>().powerLockSeconds(), 300);

    // The running countdown is stored but not announced.
    household.advance(5);
    charger->evaluateChargingEnabledLock(household.now());
    QCOMPARE(spy.count(), 1);
    QCOMPARE(manager->chargingState(thing->id()).powerLockSeconds(), 295);

    // The lock's end is announced once.
    household.advance(300);
    charger->evaluateChargingEnabledLock(household.now());
    QCOMPARE(spy.count(), 2);
    QCOMPARE(manager->chargingState(thing->id()).powerLockSeconds(), -1);
}

QTEST_GUILESS_MAIN(TestThingTracking)
#include "tst_thingtracking.moc"
