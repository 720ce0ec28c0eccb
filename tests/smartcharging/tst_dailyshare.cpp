#include "householdfixture.h"

#include "tavro/thing.h"

#include <QtTest>

// A daily share from the cheapest hour of each day, on a car that reports
// its own state of charge: what the charger delivers counts, and the count
// starts again every day, once: a hard restart in the middle of buying the
// share does not start it again, and neither does a clock stepped back
// across midnight.
class TestDailyShare : public QObject
{
    Q_OBJECT

private slots:
    void sharePerDay_data();
    void sharePerDay();
};

void TestDailyShare::sharePerDay_data()
{
    QTest::addColumn<QString>("chargerClass");
    QTest::addColumn<QString>("disturbance");
    for (const QString &chargerClass : {QStringLiteral("evChargerAc"), QStringLiteral("evChargerDc")}) {
        const QString name = chargerClass == QLatin1String("evChargerAc") ? "AC charger" : "DC charger";
        QTest::newRow(qPrintable(name)) << chargerClass << QString();
        // Half-way through the first share.
        QTest::newRow(qPrintable(name + ", restart at 02:30")) << chargerClass << "restart";
        // After the second day's share: 10 minutes of the day before.
        QTest::newRow(qPrintable(name + ", clock back to 23:55")) << chargerClass << "clock back";
    }
}

void TestDailyShare::sharePerDay()
{
    QFETCH(QString, chargerClass);
    QFETCH(QString, disturbance);
    const bool dc = chargerClass == QLatin1String("evChargerDc");
    const QDate firstDay(2026, 1, 5);

    HouseholdFixture household(QDateTime(firstDay, QTime(0, 0)));
    Thing *meter = household.addThing("gridMeter", "Grid");
    Thing *charger = household.addThing(chargerClass, "Garage",
                                        {{"pluggedIn", true},
                                         {"chargingCapabilities", "charging"},
                                         {"minChargingPower", 1500},
                                         {"maxChargingPower", 11000}});
    Thing *car = household.addThing("electricVehicleConnected", "Car",
                                    {{"batteryLevel", 30}, {"capacity", 50}, {"acPhaseCount", 3}});
    household.createManager();
    TestMarketProvider *market = household.addMarket();
    // The cheapest hour of each day starts at 02:00; the hour from 04:00
    // comes next, where a share counted afresh would go.
    QHash<QDateTime, double> cheap;
    for (int day = 0; day < 2; day++) {
        cheap.insert(QDateTime(firstDay.addDays(day), QTime(2, 0)), 1.0);
        cheap.insert(QDateTime(firstDay.addDays(day), QTime(4, 0)), 2.0);
    }
    market->setEntries(TestMarketProvider::priceSlots(QDateTime(firstDay, QTime(0, 0)), 48, 60, cheap));
    // 20 % of 50 kWh: 10 kWh a day.
    QCOMPARE(household.configure(charger,
                                 [&](ChargingConfiguration &configuration) {
                                     configuration.setAssignedCarId(car->id());
                                     configuration.setChargingMode(ChargingConfiguration::ChargingModeEco);
                                     configuration.setTargetPercentage(100);
                                     configuration.setDailySpotMarketPercentage(20);
                                 }),
             EnergyManager::EnergyErrorNoError);

    // The charger draws 11 kW whenever it is on; the car keeps reporting
    // 30 %, as a car without a meter in the plugin's view would.
    double energy[2] = {0, 0};
    for (int day = 0; day < 2; day++) {
        for (int minute = 0; minute < 6 * 60; minute++) {
            QDateTime now = QDateTime(firstDay.addDays(day), QTime(0, 0)).addSecs(minute * 60);
            if (disturbance == QLatin1String("restart") && day == 0 && minute == 150)
                household.restartHard();
            if (disturbance == QLatin1String("clock back") && day == 1 && minute >= 180 && minute < 190)
                now = QDateTime(firstDay, QTime(23, 55)).addSecs((minute - 180) * 60);
            household.setNow(now);
            const bool on = charger->stateValue(QStringLiteral("power")).toBool();
            const double power =
                    on ? (dc ? charger->stateValue(QStringLiteral("chargingPower")).toDouble() : 11040.0) : 0.0;
            HouseholdFixture::setStates(charger, {{"currentPower", power}, {"charging", on}});
            // The house takes 1 A per phase; the meter sees the charger too.
            HouseholdFixture::setMeterCurrents(meter, 1 + power / 690, 1 + power / 690, 1 + power / 690);
            energy[day] += power / 60000.0;
            household.runCycle();
        }
    }
    // The day's share, give or take a minute at full power, each day; a
    // kill loses the count of the minute it cuts short and what the last
    // write left out (less than 0.2 kWh).
    const double slack = disturbance == QLatin1String("restart") ? 11.04 / 60 + 0.2 : 0.0;
    for (double delivered : energy)
        QVERIFY2(delivered >= 9.8 && delivered <= 10.4 + slack, qPrintable(QString::number(delivered)));
}

QTEST_GUILESS_MAIN(TestDailyShare)
#include "tst_dailyshare.moc"
