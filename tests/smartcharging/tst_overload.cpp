#include "householdfixture.h"

#include "tavro/thing.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// Per-phase powers (W); the total comes last and announces the new power
// balance, which runs the overload check.
void setPhasePowers(Thing *meter, double a, double b, double c)
{
    HouseholdFixture::setMeterCurrents(meter, a / 230, b / 230, c / 230);
}

// A charger switched on at 16 A by hand (which sets the manual values)
// under a 16 A household limit.
Thing *manualCharger(HouseholdFixture &household, const QString &chargerClass = QStringLiteral("evChargerAc"))
{
    Thing *charger = household.addThing(chargerClass, "Garage");
    household.createManager();
    household.executeStateAction(charger, "maxChargingCurrent", 16);
    household.executeStateAction(charger, "power", true);
    household.manager()->setPhasePowerLimit(16);
    return charger;
}

}

struct ReductionCase {
    QString chargerClass;
    QList<double> phasePowers;
    QStringList expected;
    bool flagged;
    double throttle;
};
Q_DECLARE_METATYPE(ReductionCase)

class TestOverload : public QObject
{
    Q_OBJECT

private slots:
    void reduction_data();
    void reduction();
    void twoChargersShareOneCut();
    void leastPowerClearsEachPhase_data();
    void leastPowerClearsEachPhase();
    void waitsForCurrentChangeBeforeSwitchingOff();
    void throttledManualChargerRestored_data();
    void throttledManualChargerRestored();
    void normalModeRecoveryInTwoSteps();
};

void TestOverload::reduction_data()
{
    QTest::addColumn<ReductionCase>("c");
    // Limit 16 A = 3680 W per phase. Overshoot 320 W: 11040 - 3 x 320 =
    // 10080 W = 14.6 A, snapped down to 14 A; throttle (11040 - 9660) / 6900.
    // The charger is on already: only the current goes out.
    const QStringList to14{"maxChargingCurrent=14"};
    QTest::newRow("three phases: 14.6 A snapped down to 14 A")
            << ReductionCase{"evChargerAc", {4000, 3000, 3900}, to14, true, 0.2};
    QTest::newRow("single phase, phase A over")
            << ReductionCase{"evChargerAcSinglePhase", {4000, 3000, 3900}, to14, true, 0.2};
    QTest::newRow("single phase, only phase C over")
            << ReductionCase{"evChargerAcSinglePhase", {3000, 3000, 4000}, {}, false, 0};
    QTest::newRow("exactly at the limit") << ReductionCase{"evChargerAc", {3680, 3680, 3680}, {}, false, 0};
    QTest::newRow("below the minimum: switched off")
            << ReductionCase{"evChargerAc", {8000, 8000, 8000}, {"power=false"}, true, 1.0};
    // A DC charger loads all three phases: 11000 - 3 x 320 W.
    QTest::newRow("DC charger") << ReductionCase{
            "evChargerDc", {4000, 3000, 3900}, {"chargingPower=10040"}, true, 0.096};
}

void TestOverload::reduction()
{
    QFETCH(ReductionCase, c);
    const QString &chargerClass = c.chargerClass;
    const QList<double> &phasePowers = c.phasePowers;
    const bool flagged = c.flagged;

    HouseholdFixture household;
    Thing *meter = household.addThing("gridMeter", "Grid");
    Thing *charger = household.addThing(chargerClass, "Garage",
                                        {{"power", true}, {"maxChargingCurrent", 16}, {"chargingPower", 11000}});
    SmartChargingManager *manager = household.createManager();
    manager->setPhasePowerLimit(16);
    household.processEvents();
    household.thingManager()->clearActionLog();
    QSignalSpy stateSpy(manager, &SmartChargingManager::chargingStateChanged);

    setPhasePowers(meter, phasePowers.at(0), phasePowers.at(1), phasePowers.at(2));
    household.processEvents();

    QCOMPARE(household.commands(charger), c.expected);
    const ChargingState state = manager->chargingState(charger->id());
    QCOMPARE(state.overloadProtectionActive(), flagged);
    QVERIFY(qAbs(state.overloadProtectionThrottle() - c.throttle) < 1e-9);
    if (flagged)
        QVERIFY(stateSpy.value(0).value(0).value<ChargingState>().overloadProtectionActive());
    else
        QCOMPARE(stateSpy.count(), 0);
}

void TestOverload::twoChargersShareOneCut()
{
    // 15.3 A over on every phase under 32 A: the phases need 15.3 A less in
    // all, not 15.3 A less from each charger. 14 A + 16 A - 15.3 A leave
    // 7 A each; cutting twice would switch both off.
    HouseholdFixture household;
    Thing *meter = household.addThing("gridMeter", "Grid");
    const QList<Thing *> chargers = {
            household.addThing("evChargerAc", "Left", {{"power", true}, {"maxChargingCurrent", 14}, {"phaseCount", 3}}),
            household.addThing("evChargerAc", "Right",
                               {{"power", true}, {"maxChargingCurrent", 16}, {"phaseCount", 3}})};
    SmartChargingManager *manager = household.createManager();
    manager->setPhasePowerLimit(32);
    household.processEvents();

    const double phasePower = (32 + 15.3) * 230;
    setPhasePowers(meter, phasePower, phasePower, phasePower);
    household.processEvents();

    for (Thing *charger : chargers) {
        QVERIFY2(charger->stateValue(QStringLiteral("power")).toBool(), qPrintable(charger->name()));
        QCOMPARE(charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble(), 7.0);
    }
}

void TestOverload::leastPowerClearsEachPhase_data()
{
    // A three-phase charger at 11 A and a one-phase one (phase A) at 16 A
    // under 16 A; both go down to 6 A. A watt off the one-phase charger
    // clears a watt of phase A, a watt off the three-phase one a third.
    QTest::addColumn<QList<double>>("overshoots"); // W per phase, A B C
    QTest::addColumn<QStringList>("threePhase");
    QTest::addColumn<QStringList>("onePhase");
    // 1749 W: 16 A -> 8 A is 1840 W; switching the three-phase one off
    // instead would take 7590 W.
    QTest::newRow("A over, within what the one-phase charger gives")
            << QList<double>{1749, 0, 0} << QStringList() << QStringList{"maxChargingCurrent=8"};
    // The one-phase charger gives 2300 W at most; the three-phase one the
    // 700 W left per phase (11 A -> 7 A), the one-phase one the rest.
    QTest::newRow("A over by more than the one-phase charger gives")
            << QList<double>{3000, 0, 0} << QStringList{"maxChargingCurrent=7"} << QStringList{"maxChargingCurrent=6"};
    // B only the three-phase charger can clear (500 W: 11 A -> 8 A); that
    // takes 690 W off A as well, the one-phase one gives the other 1059 W.
    QTest::newRow("A and B over") << QList<double>{1749, 500, 0} << QStringList{"maxChargingCurrent=8"}
                                  << QStringList{"maxChargingCurrent=11"};
    QTest::newRow("B over, A not") << QList<double>{-680, 500, 0} << QStringList{"maxChargingCurrent=8"}
                                   << QStringList();
}

void TestOverload::leastPowerClearsEachPhase()
{
    QFETCH(QList<double>, overshoots);
    QFETCH(QStringList, threePhase);
    QFETCH(QStringList, onePhase);

    HouseholdFixture household;
    Thing *meter = household.addThing("gridMeter", "Grid");
    Thing *house = household.addThing("evChargerAc", "House",
                                      {{"power", true}, {"maxChargingCurrent", 11}, {"phaseCount", 3}});
    Thing *carport =
            household.addThing("evChargerAcSinglePhase", "Carport", {{"power", true}, {"maxChargingCurrent", 16}});
    SmartChargingManager *manager = household.createManager();
    manager->setPhasePowerLimit(16);
    household.processEvents();
    household.thingManager()->clearActionLog();

    setPhasePowers(meter, 3680 + overshoots.at(0), 3680 + overshoots.at(1), 3680 + overshoots.at(2));
    household.processEvents();

    QCOMPARE(household.commands(house), threePhase);
    QCOMPARE(household.commands(carport), onePhase);
    // Whatever the split, no phase may stay over.
    auto cut = [](Thing *charger, double before) {
        if (!charger->stateValue(QStringLiteral("power")).toBool())
            return before * 230;
        return (before - charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble()) * 230;
    };
    const double houseCut = cut(house, 11);
    QVERIFY(houseCut + cut(carport, 16) >= overshoots.at(0));
    QVERIFY(houseCut >= qMax(overshoots.at(1), overshoots.at(2)));
}

void TestOverload::waitsForCurrentChangeBeforeSwitchingOff()
{
    HouseholdFixture household;
    Thing *meter = household.addThing("gridMeter", "Grid");
    Thing *charger = household.addThing("evChargerAc", "Garage", {{"power", true}, {"maxChargingCurrent", 16}});
    SmartChargingManager *manager = household.createManager();
    manager->setPhasePowerLimit(16);

    setPhasePowers(meter, 4000, 3000, 3900);
    household.processEvents();
    QCOMPARE(charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble(), 14.0);

    // Still over after the current lock (10 s): lowered again, and the
    // throttle is measured against the 16 A before the overload.
    household.advance(11);
    setPhasePowers(meter, 4001, 3000, 3900);
    household.processEvents();
    QCOMPARE(charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble(), 12.0);
    QVERIFY(qAbs(manager->chargingState(charger->id()).overloadProtectionThrottle() - 0.4) < 1e-9);

    // The reduction has not shown at the meter yet: no switch-off.
    household.thingManager()->clearActionLog();
    household.advance(5);
    setPhasePowers(meter, 8000, 8000, 8000);
    household.processEvents();
    QCOMPARE(household.commands(charger), QStringList());
    QVERIFY(charger->stateValue(QStringLiteral("power")).toBool());

    household.advance(6);
    setPhasePowers(meter, 8100, 8000, 8000);
    household.processEvents();
    QCOMPARE(household.commands(charger), (QStringList{"power=false"}));
    QCOMPARE(manager->chargingState(charger->id()).overloadProtectionThrottle(), 1.0);
}

void TestOverload::throttledManualChargerRestored_data()
{
    QTest::addColumn<bool>("removeLimit");
    QTest::addColumn<QString>("chargerClass");
    QTest::addColumn<QList<double>>("phasesAfter"); // W per phase once the overload is over
    QTest::newRow("overload over") << false << "evChargerAc" << QList<double>{0, 0, 0};
    QTest::newRow("limit removed while throttled") << true << "evChargerAc" << QList<double>{0, 0, 0};
    // A one-phase charger needs room on phase A only.
    QTest::newRow("one phase: B and C still full") << false << "evChargerAcSinglePhase" << QList<double>{0, 3680, 3680};
}

void TestOverload::throttledManualChargerRestored()
{
    QFETCH(bool, removeLimit);
    QFETCH(QString, chargerClass);
    QFETCH(QList<double>, phasesAfter);

    HouseholdFixture household;
    Thing *meter = household.addThing("gridMeter", "Grid");
    Thing *charger = manualCharger(household, chargerClass);
    SmartChargingManager *manager = household.manager();
    setPhasePowers(meter, 4000, 3000, 3900);
    household.processEvents();
    QCOMPARE(charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble(), 14.0);

    // Right after the reduction the charger would refuse a new current: the
    // restore waits instead of giving up.
    household.advance(5);
    if (removeLimit) {
        manager->setPhasePowerLimit(0);
    } else {
        setPhasePowers(meter, phasesAfter.at(0), phasesAfter.at(1), phasesAfter.at(2));
        household.runCycle();
    }
    household.processEvents();
    QCOMPARE(charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble(), 14.0);
    QVERIFY(manager->chargingState(charger->id()).overloadProtectionActive());

    household.advance(60);
    household.runCycle();
    QCOMPARE(charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble(), 16.0);
    QVERIFY(!manager->chargingState(charger->id()).overloadProtectionActive());
}

void TestOverload::normalModeRecoveryInTwoSteps()
{
    HouseholdFixture household;
    Thing *meter = household.addThing("gridMeter", "Grid");
    Thing *charger = manualCharger(household);
    SmartChargingManager *manager = household.manager();
    QVERIFY(manager->chargingConfiguration(charger->id()).manualChargingEnabled());

    setPhasePowers(meter, 8000, 8000, 8000);
    household.processEvents();
    QVERIFY(!charger->stateValue(QStringLiteral("power")).toBool());

    // The overload is over, but a manual charger stays flagged until the
    // recovery brings it back; the switch-off lock (300 s) holds the restart.
    setPhasePowers(meter, 0, 0, 0);
    household.advance(60);
    household.runCycle();
    QVERIFY(manager->chargingState(charger->id()).overloadProtectionActive());
    QVERIFY(!charger->stateValue(QStringLiteral("power")).toBool());

    // Step 1: back on at the minimum current.
    household.advance(300);
    household.runCycle();
    QVERIFY(charger->stateValue(QStringLiteral("power")).toBool());
    QCOMPARE(charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble(), 6.0);
    QVERIFY(manager->chargingState(charger->id()).overloadProtectionActive());

    // Restoring 16 A needs 2300 W free on every phase; phase B has 1680 W.
    setPhasePowers(meter, 0, 2000, 0);
    household.advance(60);
    household.runCycle();
    QCOMPARE(charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble(), 6.0);

    // Step 2: the manual current.
    setPhasePowers(meter, 0, 0, 0);
    household.advance(60);
    household.runCycle();
    QCOMPARE(charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble(), 16.0);
    const ChargingState state = manager->chargingState(charger->id());
    QVERIFY(!state.overloadProtectionActive());
    QCOMPARE(state.overloadProtectionThrottle(), 0.0);
}

QTEST_GUILESS_MAIN(TestOverload)
#include "tst_overload.moc"
