#include "householdfixture.h"

#include "smartcharging/smartchargingmanager.h"

#include "tavro-energy/energymanager.h"
#include "tavro/thing.h"
#include "tavro/thingactioninfo.h"
#include "tavro/thingmanager.h"

#include <QSignalSpy>
#include <algorithm>
#include <QtTest>

// Things disappear at the worst moments: while an action the manager sent them
// is still queued or executing, and the root meter in the middle of an
// overload. Nothing may touch a removed thing or its adapter afterwards (the
// sanitizer build turns any such access into a failure), and the rest of the
// household stays managed.

namespace {

// Per-phase powers (W); the total comes last and announces the new power
// balance, which runs the overload check at once.
void setPhasePowers(Thing *meter, double a, double b, double c)
{
    HouseholdFixture::setMeterCurrents(meter, a / 230, b / 230, c / 230);
}

// A user action at the charger, which is what sets the manual values.
void userAction(ThingManager *thingManager, Thing *thing, const QString &stateName, const QVariant &value)
{
    const StateTypeId id = thing->thingClass().stateTypes().findByName(stateName).id();
    Action action(id, thing->id(), Action::TriggeredByUser);
    action.setParams(ParamList() << Param(id, value));
    thingManager->executeAction(action);
    HouseholdFixture::processEvents();
}

int actionsInFlight(ThingManager *thingManager, const ThingId &thingId)
{
    const QList<ThingActionInfo *> infos = thingManager->findChildren<ThingActionInfo *>();
    return int(std::count_if(infos.cbegin(), infos.cend(), [&thingId](const ThingActionInfo *info) {
        return !info->isFinished() && info->action().thingId() == thingId;
    }));
}

int loggedActions(ThingManager *thingManager, const ThingId &thingId)
{
    const auto log = thingManager->actionLog();
    return int(std::count_if(log.cbegin(), log.cend(),
                             [&thingId](const auto &entry) { return entry.thingId == thingId; }));
}

double current(Thing *charger)
{
    return charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble();
}

// Two AC chargers charging at 16 A and a DC charger at 11 kW, each with its
// car, below a 16 A household limit.
struct Household {
    Household()
    {
        meter = fixture.addThing("gridMeter", "Grid");
        acCharger = fixture.addThing("evChargerAc", "Garage", {{"pluggedIn", true}, {"phaseCount", 3}});
        otherCharger = fixture.addThing("evChargerAc", "Carport", {{"pluggedIn", true}, {"phaseCount", 3}});
        car = fixture.addThing("electricVehicle", "Car",
                               {{"batteryLevel", 30},
                                {"capacity", 60.0},
                                {"acPhaseCount", 3},
                                {"acMinChargingCurrent", 6.0},
                                {"acMaxChargingCurrent", 16.0}});
        dcCharger = fixture.addThing("evChargerDc", "Wallbox",
                                     {{"pluggedIn", true},
                                      {"power", true},
                                      {"chargingPower", 11000.0},
                                      {"minChargingPower", 1500.0},
                                      {"maxChargingPower", 11000.0}});
        dcCar = fixture.addThing("electricVehicleConnected", "Van", {{"batteryLevel", 60}, {"capacity", 50.0}});
        manager = fixture.createManager();
        for (Thing *charger : {acCharger, otherCharger}) {
            userAction(fixture.thingManager(), charger, "maxChargingCurrent", 16);
            userAction(fixture.thingManager(), charger, "power", true);
        }
        manager->setPhasePowerLimit(16);
        fixture.processEvents();
    }

    // Eco mode with the car assigned, for the surplus planner.
    bool assignCar()
    {
        ChargingConfiguration configuration = manager->chargingConfiguration(acCharger->id());
        configuration.setAssignedCarId(car->id());
        configuration.setChargingMode(ChargingConfiguration::ChargingModeEco);
        configuration.setTargetPercentage(80);
        const bool accepted = manager->setChargingConfiguration(configuration) == EnergyManager::EnergyErrorNoError;
        fixture.processEvents();
        return accepted;
    }

    void cycles(int count)
    {
        for (int i = 0; i < count; i++) {
            fixture.advance(60);
            fixture.runCycle();
        }
    }

    HouseholdFixture fixture;
    Thing *meter = nullptr;
    Thing *acCharger = nullptr;
    Thing *otherCharger = nullptr;
    Thing *car = nullptr;
    Thing *dcCharger = nullptr;
    Thing *dcCar = nullptr;
    SmartChargingManager *manager = nullptr;
};

enum Victim {
    AcCharger,
    DcCharger,
    Car
};
enum Moment {
    WhileQueued,
    DuringExecution
};
enum Trigger {
    Overload,
    SurplusCycle
};

}

class TestThingRemoval : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase();
    void removedWithActionInFlight_data();
    void removedWithActionInFlight();
    void rootMeterRemovedDuringOverload();

private:
    int m_faults = 0;
};

void TestThingRemoval::cleanupTestCase()
{
    qInfo("Things removed with actions in flight or during an overload: %d", m_faults);
}

void TestThingRemoval::removedWithActionInFlight_data()
{
    QTest::addColumn<int>("victim");
    QTest::addColumn<int>("moment");
    QTest::addColumn<int>("trigger");

    QTest::newRow("AC charger, overload reduction queued") << int(AcCharger) << int(WhileQueued) << int(Overload);
    QTest::newRow("AC charger, removed by its own overload reduction")
            << int(AcCharger) << int(DuringExecution) << int(Overload);
    QTest::newRow("DC charger, overload reduction queued") << int(DcCharger) << int(WhileQueued) << int(Overload);
    QTest::newRow("DC charger, removed by its own overload reduction")
            << int(DcCharger) << int(DuringExecution) << int(Overload);
    QTest::newRow("AC charger, surplus action queued") << int(AcCharger) << int(WhileQueued) << int(SurplusCycle);
    QTest::newRow("car, its charger's surplus action queued") << int(Car) << int(WhileQueued) << int(SurplusCycle);
    QTest::newRow("car, removed by its charger's surplus action")
            << int(Car) << int(DuringExecution) << int(SurplusCycle);
}

void TestThingRemoval::removedWithActionInFlight()
{
    QFETCH(int, victim);
    QFETCH(int, moment);
    QFETCH(int, trigger);

    Household house;
    ThingManager *things = house.fixture.thingManager();
    Thing *target = victim == DcCharger ? house.dcCharger : house.acCharger;
    const ThingId victimId = victim == AcCharger   ? house.acCharger->id()
                             : victim == DcCharger ? house.dcCharger->id()
                                                   : house.car->id();
    if (trigger == SurplusCycle) {
        // Charging from 7.5 kW of surplus; the next cycle sees less of it.
        setPhasePowers(house.meter, -2500, -2500, -2500);
        QVERIFY(house.assignCar());
        house.cycles(1);
        setPhasePowers(house.meter, -2000, -2000, -2000);
        house.fixture.processEvents();
    }

    if (moment == DuringExecution) {
        // The device goes away while it carries out the command.
        things->setActionHandler(target->id(), [things, victimId](Thing *thing, const Action &action) {
            things->removeConfiguredThing(victimId);
            return ThingManager::applyStateAction(thing, action);
        });
    }
    QSignalSpy removedSpy(house.manager, &SmartChargingManager::chargingStateRemoved);

    if (trigger == Overload) {
        // 520 W over on every phase: every charger is turned down a little.
        setPhasePowers(house.meter, 4200, 4200, 4200);
    } else {
        house.fixture.advance(60);
        house.fixture.energyManager()->sampleMinute(house.fixture.now());
    }
    QVERIFY2(actionsInFlight(things, target->id()) > 0, "no action was sent; the fault would not be injected");
    if (moment == WhileQueued)
        QVERIFY(things->removeConfiguredThing(victimId));
    house.fixture.processEvents();
    QVERIFY(!things->findConfiguredThing(victimId));
    m_faults++;

    // A removed charger is forgotten at once, with one announcement.
    if (victim != Car) {
        QCOMPARE(removedSpy.count(), 1);
        QCOMPARE(removedSpy.at(0).at(0).value<ThingId>(), victimId);
        QVERIFY(house.manager->chargingConfiguration(victimId).evChargerId().isNull());
        QVERIFY(house.manager->chargingState(victimId).evChargerId().isNull());
    } else {
        QCOMPARE(removedSpy.count(), 0);
    }

    // The rest of the house stays managed: cycles run (the other charger gets
    // its manual 16 A back), nothing is sent to the removed thing, and a new
    // overload still reduces the other charger.
    things->clearActionLog();
    setPhasePowers(house.meter, 1000, 1000, 1000);
    house.cycles(3);
    QCOMPARE(current(house.otherCharger), 16.0);
    house.fixture.advance(30);
    setPhasePowers(house.meter, 4000, 4000, 4000);
    house.fixture.processEvents();
    QCOMPARE(loggedActions(things, victimId), 0);
    QVERIFY(current(house.otherCharger) < 16.0);
    QVERIFY(house.manager->chargingState(house.otherCharger->id()).overloadProtectionActive());
}

void TestThingRemoval::rootMeterRemovedDuringOverload()
{
    Household house;
    ThingManager *things = house.fixture.thingManager();

    // The overload reduces both AC chargers; the meter goes away before the
    // reductions have been carried out.
    setPhasePowers(house.meter, 4200, 4200, 4200);
    QVERIFY(actionsInFlight(things, house.acCharger->id()) > 0);
    QVERIFY(things->removeConfiguredThing(house.meter->id()));
    house.fixture.processEvents();
    m_faults++;
    QVERIFY(!house.fixture.energyManager()->rootMeter());
    const double reduced = current(house.acCharger);
    QVERIFY(reduced < 16.0);
    QVERIFY(house.manager->chargingState(house.acCharger->id()).overloadProtectionActive());

    // Without a meter nobody knows how much the fuse can take: the reduced
    // chargers must not be raised again, but the cycles go on.
    house.fixture.advance(400);
    house.cycles(3);
    QCOMPARE(current(house.acCharger), reduced);
    QVERIFY(house.acCharger->stateValue(QStringLiteral("power")).toBool());

    // A new meter with room on every phase: the manual 16 A come back.
    Thing *meter = house.fixture.addThing("gridMeter", "New grid");
    QCOMPARE(house.fixture.energyManager()->rootMeter(), meter);
    setPhasePowers(meter, 0, 0, 0);
    house.cycles(3);
    QCOMPARE(current(house.acCharger), 16.0);
    QVERIFY(!house.manager->chargingState(house.acCharger->id()).overloadProtectionActive());

    // And it protects the fuse again.
    house.fixture.advance(30);
    setPhasePowers(meter, 9000, 9000, 9000);
    house.fixture.processEvents();
    QVERIFY(current(house.acCharger) < 16.0 || !house.acCharger->stateValue(QStringLiteral("power")).toBool());
}

QTEST_GUILESS_MAIN(TestThingRemoval)
#include "tst_thingremoval.moc"
