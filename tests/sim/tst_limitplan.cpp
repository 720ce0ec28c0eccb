#include <QtTest>

#include "sim/limitplan.h"

// The limit against households small enough to work out by hand: each row
// is one bound the limit must respect (or one freedom it must use), with
// the energy, PV, cost and reachability it must come to.
struct Household1 {
    QString name;
    double chargerMaxCurrent = 32; // A
    bool phaseSwitching = false;
    uint carPhases = 3;
    double carMaxCurrent = 16;   // A
    int cars = 1;                // identical cars on identical chargers
    double pv = 0;               // W, every minute
    double house[3] = {0, 0, 0}; // W per phase
    double limit = 0;            // A, 0 none
    QList<double> prices;        // EUR/MWh per 30 minutes
    double target = 0;           // % at the end of the hour, 0 none
    bool stopAtTarget = false;
    double soc = 20;               // %
    double expectedEnergy = 0;     // kWh, all cars
    double expectedPv = 0;         // kWh, all cars
    double expectedCost = 0;       // EUR, all cars
    bool expectedReachable = true; // every deadline
};
Q_DECLARE_METATYPE(Household1)

class TestLimitPlan : public QObject
{
    Q_OBJECT

private slots:
    void plan_data();
    void plan();
    void leastCostAllowsWhatTheRunDrew();
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
    for (int j = 0; j < h.cars; j++) {
        Scenario::Charger charger;
        charger.name = QStringLiteral("Charger %1").arg(j);
        charger.maxCurrent = h.chargerMaxCurrent;
        charger.phaseSwitching = h.phaseSwitching;
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
        if (h.target > 0) {
            car.targetMinute = minutes;
            car.targetPercentage = h.target;
        }
        scenario.cars.append(car);
    }
    for (int m = 0; m < minutes; m++) {
        MinuteRecord record;
        record.minute = m;
        record.pvPower = h.pv;
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
    h.expectedReachable = false;
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
    h.expectedReachable = false;
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
    h.expectedReachable = false;
    QTest::newRow("one phase where another phase is full") << h;

    h.phaseSwitching = false;
    h.expectedEnergy = 0.5 * 230.0 * 3 / 1000 * hour;
    h.expectedCost = h.expectedEnergy * 0.1;
    QTest::newRow("a charger that cannot switch stays on three") << h;

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
}

void TestLimitPlan::plan()
{
    QFETCH(Household1, household);
    const Built built = build(household);
    const QVector<double> available = surplusOf(built.records);
    LimitPlan plan(built.scenario, built.records, available);
    QString error;
    QVERIFY2(plan.plan(&error), qPrintable(error));
    double energy = 0;
    double pv = 0;
    double cost = 0;
    bool reachable = true;
    for (const LimitPlan::CarResult &car : plan.cars()) {
        energy += car.energy;
        pv += car.pvEnergy;
        cost += car.cost;
        reachable = reachable && car.reachable;
    }
    QVERIFY2(qAbs(energy - household.expectedEnergy) < 1e-3, qPrintable(QStringLiteral("energy %1").arg(energy)));
    QVERIFY2(qAbs(pv - household.expectedPv) < 1e-3, qPrintable(QStringLiteral("PV %1").arg(pv)));
    QVERIFY2(qAbs(cost - household.expectedCost) < 1e-4, qPrintable(QStringLiteral("cost %1").arg(cost)));
    QCOMPARE(reachable, household.expectedReachable);
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
    LimitPlan plan(built.scenario, built.records, available);
    QVector<double> perCar;
    QString error;
    const double cost = plan.leastCost({runEnergy}, built.records, &perCar, &error);
    QVERIFY2(cost >= 0, qPrintable(error));
    QVERIFY2(qAbs(cost - runCost) < 1e-6,
             qPrintable(QStringLiteral("least cost %1, the run paid %2").arg(cost).arg(runCost)));
    QCOMPARE(perCar.count(), 1);

    // Less energy than the run drew costs less, at the cheap price.
    const double half = plan.leastCost({runEnergy / 2}, built.records, &perCar, &error);
    QVERIFY2(qAbs(half - runCost / 2) < 1e-6, qPrintable(QStringLiteral("%1").arg(half)));
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
    const QVector<double> available = LimitPlan::pvAvailableToCars(built.scenario, built.records, 50, 0.6);
    QCOMPARE(available.at(0), 5000.0); // nothing seen yet
    QCOMPARE(available.at(1), 2000.0);
    QCOMPARE(available.at(19), 2000.0);
    QCOMPARE(available.at(25), 5000.0);
    QCOMPARE(LimitPlan::pvAvailableToCars(built.scenario, built.records, 50, -1).at(1), 5000.0);

    LimitPlan plan(built.scenario, built.records, available);
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
