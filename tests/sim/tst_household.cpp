#include <QtTest>

#include "sim/household.h"

// The household physics a controller cannot see: a phase switch stops the
// charge, and the charging loss depends on the power.
class TestHousehold : public QObject
{
    Q_OBJECT

private slots:
    void phaseSwitchPausesCharging_data();
    void phaseSwitchPausesCharging();
    void lossFollowsThePower_data();
    void lossFollowsThePower();
};

namespace {

Scenario oneCar()
{
    Scenario scenario;
    Scenario::Charger charger;
    charger.name = QStringLiteral("Wallbox");
    charger.maxCurrent = 16;
    scenario.chargers.append(charger);
    Scenario::Car car;
    car.name = QStringLiteral("Car");
    car.charger = charger.name;
    car.capacityKwh = 50;
    car.soc = 20;
    scenario.cars.append(car);
    return scenario;
}

}

void TestHousehold::phaseSwitchPausesCharging_data()
{
    QTest::addColumn<int>("pause");           // minutes
    QTest::addColumn<QList<double>>("power"); // W, minutes 0..5; three phases, one from minute 2

    const double three = 16 * 230.0 * 3;
    const double one = 16 * 230.0;
    QTest::newRow("no pause") << 0 << QList<double>{three, three, one, one, one, one};
    QTest::newRow("one minute") << 1 << QList<double>{three, three, 0, one, one, one};
    QTest::newRow("three minutes") << 3 << QList<double>{three, three, 0, 0, 0, one};
}

void TestHousehold::phaseSwitchPausesCharging()
{
    QFETCH(int, pause);
    QFETCH(QList<double>, power);
    Scenario scenario = oneCar();
    scenario.phaseSwitchPauseMinutes = pause;
    Household household(scenario);
    household.setPluggedIn(0, true);
    int switches = 0;
    for (int m = 0; m < power.count(); m++) {
        MinuteRecord record;
        record.minute = m;
        household.step({ChargerCommand{true, 16, m < 2 ? 3u : 1u, 0}}, &record);
        QCOMPARE(record.chargerPower.at(0), power.at(m));
        switches += record.chargerPhaseSwitch.at(0);
    }
    QCOMPARE(switches, 1);
}

void TestHousehold::lossFollowsThePower_data()
{
    QTest::addColumn<double>("current"); // A
    QTest::addColumn<double>("lossPercent");

    // 8 % at the full 16 A, 14 % at nothing, linear in the power between.
    QTest::newRow("full power") << 16.0 << 8.0;
    QTest::newRow("half power") << 8.0 << 11.0;
    QTest::newRow("the least power") << 6.0 << 11.75;
}

void TestHousehold::lossFollowsThePower()
{
    QFETCH(double, current);
    QFETCH(double, lossPercent);
    Scenario scenario = oneCar();
    scenario.cars[0].lossPercent = 10; // what a controller is told, not what happens
    scenario.cars[0].trueLossAtMaxPower = 8;
    scenario.cars[0].trueLossAtMinPower = 14;
    Household household(scenario);
    household.setPluggedIn(0, true);
    MinuteRecord record;
    household.step({ChargerCommand{true, current, 3, 0}}, &record);
    const double energy = record.chargerPower.at(0) / 60000.0;
    const double stored = (household.carSoc(0) - 20) / 100.0 * 50;
    QVERIFY2(qAbs(stored / energy - (1 - lossPercent / 100)) < 1e-9,
             qPrintable(QStringLiteral("%1 of %2 kWh stored").arg(stored).arg(energy)));
}

QTEST_GUILESS_MAIN(TestHousehold)
#include "tst_household.moc"
