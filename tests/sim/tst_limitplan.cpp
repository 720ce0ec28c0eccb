#include <QtTest>

#include "sim/limitplan.h"

// The limit against households small enough to work out by hand: each row
// is one bound the limit must respect (or one freedom it must use), with
// the energy, PV, cost and reachability it must come to; and the runs it
// must always allow, so that it bounds them by construction.
struct Household1 {
    QString name;
    double chargerMaxCurrent = 32; // A
    bool phaseSwitching = false;
    bool dc = false; // a bidirectional DC charger, 11 kW
    uint carPhases = 3;
    double carMaxCurrent = 16;   // A
    int cars = 1;                // identical cars on identical chargers
    double pv = 0;               // W, every minute from pvFrom
    int pvFrom = 0;              // minute
    double house[3] = {0, 0, 0}; // W per phase
    double limit = 0;            // A, 0 none
    double battery = 0;          // kWh a 10 kWh home battery holds at the start, 0 none
    double batteryPower = 3000;  // W it discharges at most
    double batteryCharge = 0;    // W it charges at most
    QList<double> prices;        // EUR/MWh per 30 minutes
    double target = 0;           // % by targetMinute, 0 none
    int targetMinute = 60;
    bool stopAtTarget = false;
    double soc = 20;                    // %
    double expectedEnergy = 0;          // kWh, all cars
    double expectedPv = 0;              // kWh, all cars
    double expectedCost = 0;            // EUR, all cars
    bool expectedReachable = true;      // every deadline, all together
    bool expectedReachableFirst = true; // every deadline, its car going first
};
Q_DECLARE_METATYPE(Household1)

class TestLimitPlan : public QObject
{
    Q_OBJECT

private slots:
    void plan_data();
    void plan();
    void allowsWhatARunDid_data();
    void allowsWhatARunDid();
    void aRunThatSkipsADeadlineIsHeldAgainstItsOwnBound();
    void leastCostAllowsWhatTheRunDrew();
    void leastCostTakesNoMoreThanTheRun();
    void leastCostMeetsTheRunsDeadlines_data();
    void leastCostMeetsTheRunsDeadlines();
    void batteryFirstReservesThePv();
};

namespace {

const int minutes = 60;
const double fullPower = 16 * 230.0 * 3; // W

struct Built {
    Scenario scenario;
    QVector<MinuteRecord> records;
};

Built build(const Household1 &h)
{
    Built built;
    Scenario &scenario = built.scenario;
    scenario.start = QDateTime(QDate(2026, 1, 5), QTime(0, 0), Qt::UTC);
    scenario.durationMinutes = minutes;
    scenario.hourlyPrices = h.prices;
    if (h.battery > 0) {
        scenario.hasBattery = true;
        scenario.batteryCapacityKwh = 10;
        scenario.batterySoc = h.battery * 10;
        scenario.batteryMaxDischargePower = h.batteryPower;
        scenario.batteryMaxChargePower = h.batteryCharge;
    }
    for (int j = 0; j < h.cars; j++) {
        Scenario::Charger charger;
        charger.name = QStringLiteral("Charger %1").arg(j);
        charger.maxCurrent = h.chargerMaxCurrent;
        charger.phaseSwitching = h.phaseSwitching;
        charger.dc = h.dc;
        charger.dcMaxPower = 11000;
        scenario.chargers.append(charger);
        Scenario::Car car;
        car.name = QStringLiteral("Car %1").arg(j);
        car.charger = charger.name;
        car.capacityKwh = 50;
        car.soc = h.soc;
        car.phases = h.carPhases;
        car.maxCurrent = h.carMaxCurrent;
        car.lossPercent = 0;
        car.configuration.insert(QStringLiteral("chargingMode"), QStringLiteral("ChargingModeEco"));
        car.configuration.insert(QStringLiteral("targetPercentage"), h.target);
        car.configuration.insert(QStringLiteral("stopOnTargetPercentage"), h.stopAtTarget);
        car.dcMaxPower = 11000;
        if (h.target > 0) {
            car.targetMinute = h.targetMinute;
            car.targetPercentage = h.target;
        }
        scenario.cars.append(car);
    }
    for (int m = 0; m < minutes; m++) {
        MinuteRecord record;
        record.minute = m;
        record.pvPower = m >= h.pvFrom ? h.pv : 0;
        record.phaseLimit = h.limit;
        // Two prices of half an hour each stand in for the hourly list.
        record.price = h.prices.isEmpty() ? 0 : h.prices.at(qMin(m / 30, h.prices.count() - 1));
        for (int p = 0; p < 3; p++) {
            record.housePhasePower[p] = h.house[p];
            record.houseLoad += h.house[p];
        }
        for (int j = 0; j < h.cars; j++) {
            record.carPluggedIn.append(1);
            record.carSocStart.append(h.soc);
            record.chargerPower.append(0);
            record.chargerPhases.append(0);
        }
        built.records.append(record);
    }
    return built;
}

QVector<double> surplusOf(const QVector<MinuteRecord> &records)
{
    QVector<double> available;
    for (const MinuteRecord &record : records)
        available << qMax(0.0, record.pvPower - record.houseLoad);
    return available;
}

}

void TestLimitPlan::plan_data()
{
    QTest::addColumn<Household1>("household");
    const double hour = minutes / 60.0;

    Household1 h;
    h.name = QStringLiteral("wallbox range caps a 32 A car at 16 A");
    h.chargerMaxCurrent = 16;
    h.carMaxCurrent = 32;
    h.pv = 30000;
    h.expectedEnergy = h.expectedPv = fullPower / 1000 * hour;
    QTest::newRow("wallbox range") << h;

    h = Household1();
    h.pv = 5000;
    h.prices = {100, 100};
    h.target = 20 + fullPower / 1000 * hour / 50 * 100; // full power all hour
    h.expectedEnergy = fullPower / 1000 * hour;
    h.expectedPv = 5.0 * hour;
    h.expectedCost = (h.expectedEnergy - h.expectedPv) * 0.1;
    QTest::newRow("PV and grid share the car's power, never twice") << h;

    h = Household1();
    h.cars = 2;
    h.limit = 25;
    h.prices = {100, 100};
    h.target = 20 + fullPower / 1000 * hour / 50 * 100;
    h.expectedEnergy = 25 * 230.0 * 3 / 1000 * hour;
    h.expectedCost = h.expectedEnergy * 0.1;
    h.expectedReachable = false; // each of them alone could
    QTest::newRow("two cars, one fuse") << h;

    h = Household1();
    h.carPhases = 1;
    h.carMaxCurrent = 32;
    h.house[0] = 20 * 230.0;
    h.limit = 25;
    h.prices = {100, 100};
    h.target = 40;
    h.expectedEnergy = 5 * 230.0 / 1000 * hour;
    h.expectedCost = h.expectedEnergy * 0.1;
    h.expectedReachable = h.expectedReachableFirst = false;
    QTest::newRow("one-phase car beside the house on its phase") << h;

    h = Household1();
    h.phaseSwitching = true;
    h.house[1] = 24.5 * 230.0;
    h.limit = 25;
    h.prices = {100, 100};
    h.target = 40;
    // 16 A on one phase; the limit may also share each minute between one
    // phase (31/32) and three phases at 16 A (1/32, the 0.5 A phase B
    // leaves): 17 A on one phase in all.
    h.expectedEnergy = 17 * 230.0 / 1000 * hour;
    h.expectedCost = h.expectedEnergy * 0.1;
    h.expectedReachable = h.expectedReachableFirst = false;
    QTest::newRow("one phase where another phase is full") << h;

    // Each phase's fuse row holds: 0.5 A left on it caps a car that stays on three.
    for (int p = 0; p < 3; p++) {
        h = Household1();
        h.house[p] = 24.5 * 230.0;
        h.limit = 25;
        h.prices = {100, 100};
        h.target = 40;
        h.expectedEnergy = 0.5 * 230.0 * 3 / 1000 * hour;
        h.expectedCost = h.expectedEnergy * 0.1;
        h.expectedReachable = h.expectedReachableFirst = false;
        QTest::newRow(qPrintable(
                QStringLiteral("phase %1 full, no switching: three phases at 0.5 A").arg(QLatin1Char("ABC"[p]))))
                << h;
    }

    h = Household1();
    h.prices = {200, 50};
    h.target = 20 + fullPower / 1000 * hour / 2 / 50 * 100; // half an hour at full power
    h.expectedEnergy = fullPower / 1000 * hour / 2;
    h.expectedCost = h.expectedEnergy * 0.05;
    QTest::newRow("the deadline bought in the cheapest half hour") << h;

    h = Household1();
    h.pv = 30000;
    h.soc = 75;
    h.target = 80;
    h.stopAtTarget = true;
    h.expectedEnergy = h.expectedPv = 2.5; // 5 % of 50 kWh
    QTest::newRow("a car that stops at its target takes no more PV") << h;

    // 10 A of house on each phase of a 16 A fuse leaves the car 6 A; a home
    // battery that may discharge 3 kW covers 4.35 A more, but holds 1 kWh
    // and cannot charge: 6 kWh wanted, 4.14 + 1 kWh in reach.
    h = Household1();
    for (double &phase : h.house)
        phase = 10 * 230.0;
    h.limit = 16;
    h.battery = 1;
    h.prices = {100, 100};
    h.target = 20 + 6.0 / 50 * 100;
    h.expectedEnergy = 6 * 230.0 * 3 / 1000 * hour + 1;
    h.expectedCost = h.expectedEnergy * 0.1;
    h.expectedReachable = h.expectedReachableFirst = false;
    QTest::newRow("a home battery covers the house only while its energy lasts") << h;
}

void TestLimitPlan::plan()
{
    QFETCH(Household1, household);
    const Built built = build(household);
    const QVector<double> available = surplusOf(built.records);
    const OwnerTimeline owner(built.scenario);
    LimitPlan plan(built.scenario, built.records, available, owner);
    QString error;
    QVERIFY2(plan.plan(&error), qPrintable(error));
    double energy = 0;
    double pv = 0;
    double cost = 0;
    bool reachable = true;
    bool reachableFirst = true;
    for (const LimitPlan::CarResult &car : plan.cars()) {
        energy += car.energy;
        pv += car.pvEnergy;
        cost += car.cost;
        reachable = reachable && car.reachable;
        reachableFirst = reachableFirst && car.reachableFirst;
    }
    QVERIFY2(qAbs(energy - household.expectedEnergy) < 1e-3, qPrintable(QStringLiteral("energy %1").arg(energy)));
    QVERIFY2(qAbs(pv - household.expectedPv) < 1e-3, qPrintable(QStringLiteral("PV %1").arg(pv)));
    QVERIFY2(qAbs(cost - household.expectedCost) < 1e-4, qPrintable(QStringLiteral("cost %1").arg(cost)));
    QCOMPARE(reachable, household.expectedReachable);
    QCOMPARE(plan.allReachable(), household.expectedReachable);
    QCOMPARE(reachableFirst, household.expectedReachableFirst);
}

void TestLimitPlan::allowsWhatARunDid_data()
{
    QTest::addColumn<Household1>("household");
    QTest::addColumn<QList<double>>("run"); // W the run's charger drew per minute (< 0 discharging)
    QTest::addColumn<double>("runPv");      // kWh of useful PV the run took

    // 16 A of PV against 9.5 A the fuse leaves phase A: in one minute
    // after a load step the run drew all 16 A before it reacted.
    Household1 h;
    h.pv = 30000;
    h.house[0] = 15.5 * 230.0 + 10000;
    h.limit = 25;
    QList<double> run;
    for (int m = 0; m < minutes; m++)
        run << (m == 30 ? fullPower : 9.5 * 230.0 * 3);
    QTest::newRow("a reaction minute over the fuse") << h << run << (59 * 9.5 * 230 * 3 + fullPower) / 60000.0;

    // The same 9.5 A, and a home battery of 0.5 kWh that discharges 3 kW
    // (4.35 A a phase): the run drew both all hour, more than the battery
    // holds (its draws are the measure, whatever explains them).
    h.battery = 0.5;
    run.clear();
    for (int m = 0; m < minutes; m++)
        run << (9.5 + 3000 / 3 / 230.0) * 230.0 * 3;
    QTest::newRow("beyond the fuse on a home battery") << h << run << (9.5 * 230 * 3 + 3000) / 1000.0;

    // A bidirectional car at 90 % has room for 5 kWh; the run first gave
    // 5.5 kWh to the house, then took 10 kWh of PV at 11 kW.
    h = Household1();
    h.dc = true;
    h.soc = 90;
    h.pv = 30000;
    h.pvFrom = 30;
    run.clear();
    for (int m = 0; m < minutes; m++)
        run << (m < 30 ? -11000.0 : m < 30 + 10000 * 60 / 11000 ? 11000.0 : 0.0);
    double pv = 0;
    for (double power : qAsConst(run))
        pv += qMax(0.0, power) / 60000.0;
    QTest::newRow("discharged into the house, refilled from PV") << h << run << pv;
}

void TestLimitPlan::allowsWhatARunDid()
{
    QFETCH(Household1, household);
    QFETCH(QList<double>, run);
    QFETCH(double, runPv);
    Built built = build(household);
    QVector<MinuteRecord> records = built.records;
    for (int m = 0; m < minutes; m++) {
        records[m].chargerPower[0] = run.at(m);
        records[m].chargerPhases[0] = run.at(m) != 0 ? 3 : 0;
    }
    const QVector<double> available = surplusOf(built.records);
    const OwnerTimeline owner(built.scenario);
    QString error;
    // On its own the limit cannot do what the run did ...
    LimitPlan strict(built.scenario, built.records, available, owner);
    QVERIFY2(strict.plan(&error), qPrintable(error));
    QVERIFY2(strict.cars().at(0).pvEnergy < runPv - 0.05, qPrintable(QString::number(strict.cars().at(0).pvEnergy)));
    // ... but a run it is compared with is one of its choices.
    LimitPlan plan(built.scenario, built.records, available, owner);
    plan.allowRun(records);
    QVERIFY2(plan.plan(&error), qPrintable(error));
    QVERIFY2(plan.cars().at(0).pvEnergy >= runPv - 1e-6,
             qPrintable(QStringLiteral("limit %1 kWh, the run %2 kWh").arg(plan.cars().at(0).pvEnergy).arg(runPv)));
}

void TestLimitPlan::aRunThatSkipsADeadlineIsHeldAgainstItsOwnBound()
{
    // 7.5 kWh of room, 100 % wanted by minute 30 where only 5.52 kWh fit:
    // the plan buys them from the grid before the deadline and has room for
    // 1.98 kWh of the PV after it. A run that let the deadline go took
    // 5.52 kWh of PV: more than the plan, within its own bound.
    Household1 h;
    h.soc = 85;
    h.pv = 30000;
    h.pvFrom = 30;
    h.prices = {100, 100};
    h.target = 100;
    h.targetMinute = 30;
    Built built = build(h);
    double runPv = 0;
    for (int m = 30; m < minutes; m++) {
        built.records[m].chargerPower[0] = fullPower;
        built.records[m].chargerPhases[0] = 3;
        runPv += fullPower / 60000.0;
    }
    const QVector<double> available = surplusOf(built.records);
    const OwnerTimeline owner(built.scenario);
    LimitPlan plan(built.scenario, built.records, available, owner);
    plan.allowRun(built.records);
    QString error;
    QVERIFY2(plan.plan(&error), qPrintable(error));
    QCOMPARE(plan.deadlines().count(), 1);
    QVERIFY(!plan.deadlines().at(0).reachableFirst);
    QVERIFY2(qAbs(plan.deadlines().at(0).planned - runPv) < 1e-6,
             qPrintable(QString::number(plan.deadlines().at(0).planned)));
    QVERIFY2(qAbs(plan.cars().at(0).pvEnergy - (7.5 - runPv)) < 1e-6,
             qPrintable(QString::number(plan.cars().at(0).pvEnergy)));
    QCOMPARE(plan.deadlineEnergy(built.records).at(0), 0.0);
    double bound = 0;
    QVERIFY2(plan.pvBound(built.records, &bound, &error), qPrintable(error));
    QVERIFY2(bound >= runPv - 1e-6, qPrintable(QStringLiteral("bound %1, the run %2").arg(bound).arg(runPv)));
}

void TestLimitPlan::leastCostAllowsWhatTheRunDrew()
{
    // A run that charged at 16 A through a 10 A fuse in the cheap half hour
    // paid less than the fuse allows; the least cost must still not be
    // above what the run paid, and the cheap half hour must come first.
    Household1 h;
    h.limit = 10;
    h.prices = {200, 50};
    Built built = build(h);
    double runCost = 0;
    double runEnergy = 0;
    for (int m = 30; m < minutes; m++) {
        built.records[m].chargerPower[0] = fullPower;
        built.records[m].chargerPhases[0] = 3;
        runEnergy += fullPower / 60000.0;
        runCost += fullPower / 60000.0 * 0.05;
    }
    const QVector<double> available = surplusOf(built.records);
    const OwnerTimeline owner(built.scenario);
    LimitPlan plan(built.scenario, built.records, available, owner);
    QVector<double> perCar;
    QString error;
    QVERIFY2(plan.leastCost({runEnergy}, built.records, &perCar, &error), qPrintable(error));
    QCOMPARE(perCar.count(), 1);
    QVERIFY2(qAbs(perCar.at(0) - runCost) < 1e-6,
             qPrintable(QStringLiteral("least cost %1, the run paid %2").arg(perCar.at(0)).arg(runCost)));

    // Less energy than the run drew costs less, at the cheap price.
    QVERIFY2(plan.leastCost({runEnergy / 2}, built.records, &perCar, &error), qPrintable(error));
    QVERIFY2(qAbs(perCar.at(0) - runCost / 2) < 1e-6, qPrintable(QStringLiteral("%1").arg(perCar.at(0))));
}

namespace {

// A run that charged the first car at full power on three phases for its
// first runMinutes; the least cost (EUR per car) of energy (kWh per car) in
// the household h, as the limit plans it.
bool leastCostOfAFullPowerRun(const Household1 &h, int runMinutes, const QVector<double> &energy,
                              QVector<double> *perCar, QString *error)
{
    Built built = build(h);
    for (int m = 0; m < runMinutes; m++) {
        built.records[m].chargerPower[0] = fullPower;
        built.records[m].chargerPhases[0] = 3;
    }
    const QVector<double> available = surplusOf(built.records);
    const OwnerTimeline owner(built.scenario);
    LimitPlan plan(built.scenario, built.records, available, owner);
    return plan.leastCost(energy, built.records, perCar, error);
}

}

void TestLimitPlan::leastCostTakesNoMoreThanTheRun()
{
    // Paid to take energy for the first half hour, the run took a quarter
    // of an hour of it. The least cost of that energy must not earn money
    // on more energy than the run took, nor on a car the run left alone.
    Household1 h;
    h.cars = 2;
    h.prices = {-50, 200};
    const double runEnergy = fullPower / 60000.0 * 15;
    QVector<double> perCar;
    QString error;
    QVERIFY2(leastCostOfAFullPowerRun(h, 15, {runEnergy, 0}, &perCar, &error), qPrintable(error));
    QVERIFY2(qAbs(perCar.at(0) + runEnergy * 0.05) < 1e-6, qPrintable(QString::number(perCar.at(0))));
    QVERIFY2(qAbs(perCar.at(1)) < 1e-6, qPrintable(QString::number(perCar.at(1))));
}

void TestLimitPlan::leastCostMeetsTheRunsDeadlines_data()
{
    QTest::addColumn<QList<double>>("prices"); // EUR/MWh, each half hour
    QTest::addColumn<double>("target");        // % by minute 30
    QTest::addColumn<double>("expected");      // EUR

    // The run bought 5.52 kWh before a deadline at minute 30; PV shines
    // only after it. The same energy from the PV would cost nothing, but
    // not by the deadline.
    const double energy = fullPower / 60000.0 * 30;
    QTest::newRow("the deadline's energy bought before it")
            << QList<double>{200, 200} << 20 + energy / 50 * 100 << energy * 0.2;
    QTest::newRow("only as much as the deadline needs")
            << QList<double>{200, 200} << 20 + energy / 2 / 50 * 100 << energy / 2 * 0.2;
    // Paid to take energy: a cost below 0 is a result, not a failure.
    QTest::newRow("negative prices") << QList<double>{-50, 200} << 20 + energy / 50 * 100 << -energy * 0.05;
}

void TestLimitPlan::leastCostMeetsTheRunsDeadlines()
{
    QFETCH(QList<double>, prices);
    QFETCH(double, target);
    QFETCH(double, expected);
    Household1 h;
    h.prices = prices;
    h.pv = 30000;
    h.pvFrom = 30;
    h.target = target;
    h.targetMinute = 30;
    h.stopAtTarget = prices.first() < 0; // room for no more than the deadline's energy
    const double runEnergy = fullPower / 60000.0 * 30;
    QVector<double> perCar;
    QString error;
    QVERIFY2(leastCostOfAFullPowerRun(h, 30, {runEnergy}, &perCar, &error), qPrintable(error));
    QVERIFY2(qAbs(perCar.at(0) - expected) < 1e-6,
             qPrintable(QStringLiteral("least cost %1 EUR, %2 EUR expected").arg(perCar.at(0)).arg(expected)));
}

void TestLimitPlan::batteryFirstReservesThePv()
{
    // 5 kW PV, a 10 kWh battery at 50 % with a lower limit of 60 % that
    // takes up to 3 kW: the cars may have 2 kW until the battery holds
    // 60 % (1 kWh at 3 kW: 20 minutes), then all 5 kW.
    Household1 h;
    h.pv = 5000;
    Built built = build(h);
    built.scenario.hasBattery = true;
    built.scenario.batteryCapacityKwh = 10;
    built.scenario.batteryMaxChargePower = 3000;
    built.scenario.batteryMaxDischargePower = 3000;
    OwnerTimeline owner(built.scenario);
    QCOMPARE(LimitPlan::pvAvailableToCars(built.scenario, built.records, 50, owner).at(1), 5000.0);
    owner.setBatteryLowerLimit(0, 0.6);
    const QVector<double> available = LimitPlan::pvAvailableToCars(built.scenario, built.records, 50, owner);
    QCOMPARE(available.at(0), 5000.0); // nothing seen yet
    QCOMPARE(available.at(1), 2000.0);
    QCOMPARE(available.at(19), 2000.0);
    QCOMPARE(available.at(25), 5000.0);

    LimitPlan plan(built.scenario, built.records, available, owner);
    QString error;
    QVERIFY2(plan.plan(&error), qPrintable(error));
    double expected = 0;
    for (double power : available)
        expected += power / 60000.0;
    QVERIFY2(qAbs(plan.cars().at(0).pvEnergy - expected) < 1e-3,
             qPrintable(QString::number(plan.cars().at(0).pvEnergy)));
}

QTEST_GUILESS_MAIN(TestLimitPlan)
#include "tst_limitplan.moc"
