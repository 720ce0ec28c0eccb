#include "smartcharging/solarcoverage.h"

#include <QtTest>

namespace {

const QDate day(2026, 6, 16);

QDateTime at(int hour, int minute = 0, int dayOffset = 0)
{
    return QDateTime(day.addDays(dayOffset), QTime(hour, minute));
}

// Quarter-hour slots of `power` W from `from` to `to` (hours of the day).
SolarForecastSlots flat(double power, int from, int to, int dayOffset = 0)
{
    SolarForecastSlots list;
    for (QDateTime start = at(from, 0, dayOffset); start < at(to, 0, dayOffset); start = start.addSecs(15 * 60))
        list.append(SolarForecastSlot(start, start.addSecs(15 * 60), power / 4));
    return list;
}

// A house that took `load` W from `from` for `minutes`, producing `production` W.
void live(SolarCoverage &sun, const QDateTime &from, int minutes, double load, double production = 0)
{
    for (int m = 0; m < minutes; m++)
        sun.addSample(from.addSecs(m * 60), load, production);
}

} // namespace

struct CoverCase {
    SolarForecastSlots forecast;
    double recorded;  // derating of the record, -1 none
    double houseLoad; // W seen from 06:00 to 07:00, -1: nothing seen
    QDateTime from, to;
    double chargerPower;
    int takers;
    double expected; // Wh
};
Q_DECLARE_METATYPE(CoverCase)

struct DeratingCase {
    double recorded;
    double forecastPower; // W, from 08:00 on
    double production;    // W
    int minutes;          // of samples from 08:00
    int gapEvery;         // a 10-minute gap after every n samples, 0: none
    double expected;
};
Q_DECLARE_METATYPE(DeratingCase)

class TestSolarCoverage : public QObject
{
    Q_OBJECT

private slots:
    void coveredEnergy_data();
    void coveredEnergy();
    void houseLoad();
    void derating_data();
    void derating();
};

void TestSolarCoverage::coveredEnergy_data()
{
    QTest::addColumn<CoverCase>("row");

    const SolarForecastSlots sunny = flat(4000, 10, 12);
    // (4000 W - 1000 W) for two hours.
    QTest::newRow("the house takes its part") << CoverCase{sunny, 1.0, 1000, at(9), at(13), 11000, 1, 6000};
    QTest::newRow("no forecast: nothing") << CoverCase{{}, 1.0, 1000, at(9), at(13), 11000, 1, 0};
    QTest::newRow("no house load seen: nothing") << CoverCase{sunny, 1.0, -1, at(9), at(13), 11000, 1, 0};
    // Without a record 70 %: 2800 W - 1000 W.
    QTest::newRow("no record: the default margin") << CoverCase{sunny, -1, 1000, at(9), at(13), 11000, 1, 3600};
    QTest::newRow("the record's margin") << CoverCase{sunny, 0.5, 1000, at(9), at(13), 11000, 1, 2000};
    QTest::newRow("at most the charger's power") << CoverCase{sunny, 1.0, 1000, at(9), at(13), 2000, 1, 4000};
    QTest::newRow("two cars share it") << CoverCase{sunny, 1.0, 1000, at(9), at(13), 11000, 2, 3000};
    // Cut slots count in proportion: 10:30 to 11:20.
    QTest::newRow("the window cuts the forecast")
            << CoverCase{sunny, 1.0, 1000, at(10, 30), at(11, 20), 11000, 1, 2500};
    QTest::newRow("a house above the sun gives nothing") << CoverCase{sunny, 1.0, 5000, at(9), at(13), 11000, 1, 0};
    QTest::newRow("reversed window") << CoverCase{sunny, 1.0, 1000, at(13), at(9), 11000, 1, 0};
    QTest::newRow("the sun after the deadline does not count")
            << CoverCase{sunny, 1.0, 1000, at(12), at(16), 11000, 1, 0};
}

void TestSolarCoverage::coveredEnergy()
{
    QFETCH(CoverCase, row);
    const auto &[forecast, recorded, houseLoad, from, to, chargerPower, takers, expected] = row;

    SolarCoverage sun;
    if (houseLoad >= 0)
        live(sun, at(6), 60, houseLoad);
    sun.setForecast(forecast, recorded);
    QCOMPARE(sun.available(), !forecast.isEmpty());

    QVERIFY(qAbs(sun.coveredEnergy(from, to, chargerPower, takers) - expected) < 0.01);
    QVERIFY(qAbs(sun.coveredHours(from, to, chargerPower, takers) - expected / chargerPower) < 1e-6);
}

void TestSolarCoverage::houseLoad()
{
    SolarCoverage sun;
    QCOMPARE(sun.expectedHouseLoad(at(12)), -1.0);

    // A first day twice as heavy as the next eight: it falls out of the
    // seven days kept. Each day 12:00-12:59 at its load, 18:00-18:59 at 3 kW.
    for (int d = 0; d < 9; d++) {
        live(sun, at(12, 0, d), 60, d == 0 ? 2000 : d % 2 ? 800 : 1200);
        live(sun, at(18, 0, d), 60, 3000);
    }
    // Days 2..8: 1200, 800, 1200, 800, 1200, 800, 1200 → the mean of the days.
    const double noon = 7200.0 / 7;
    QVERIFY(qAbs(sun.expectedHouseLoad(at(12, 30, 9)) - noon) < 1e-6);
    QCOMPARE(sun.expectedHouseLoad(at(18, 10, 9)), 3000.0);
    // An hour never seen: the mean of everything kept.
    QVERIFY(qAbs(sun.expectedHouseLoad(at(3, 0, 9)) - (noon + 3000.0) / 2) < 1e-6);

    // Readings back in time are ignored; negative loads count as none.
    sun.addSample(at(12, 0, 1), 100000, 0);
    QVERIFY(qAbs(sun.expectedHouseLoad(at(12, 30, 9)) - noon) < 1e-6);
    sun.addSample(at(5, 0, 10), -500, 0);
    QCOMPARE(sun.expectedHouseLoad(at(5, 0, 11)), 0.0);
}

void TestSolarCoverage::derating_data()
{
    QTest::addColumn<DeratingCase>("row");

    // Two hours of a 4 kW forecast give 8 kWh to compare with.
    QTest::newRow("no record, today not known yet: the default") << DeratingCase{-1, 4000, 2000, 30, 0, 0.7};
    QTest::newRow("no record: today's match") << DeratingCase{-1, 4000, 2000, 120, 0, 0.5};
    QTest::newRow("no record, today better than forecast: at most all") << DeratingCase{-1, 4000, 6000, 120, 0, 1.0};
    QTest::newRow("the record, today better: the record") << DeratingCase{0.8, 4000, 4000, 120, 0, 0.8};
    QTest::newRow("the record, today worse: today") << DeratingCase{0.8, 4000, 1000, 120, 0, 0.25};
    QTest::newRow("the record before today tells") << DeratingCase{0.6, 4000, 4000, 30, 0, 0.6};
    // A reading after a gap longer than five minutes does not count the gap.
    QTest::newRow("gaps are not counted") << DeratingCase{-1, 4000, 2000, 60, 1, 0.7};
}

void TestSolarCoverage::derating()
{
    QFETCH(DeratingCase, row);
    const auto &[recorded, forecastPower, production, minutes, gapEvery, expected] = row;

    SolarCoverage sun;
    sun.setForecast(flat(forecastPower, 8, 20), recorded);
    QDateTime time = at(8);
    for (int m = 0; m < minutes; m++) {
        sun.addSample(time, 500, production);
        time = time.addSecs(gapEvery > 0 && m % gapEvery == 0 ? 600 : 60);
    }
    QVERIFY2(qAbs(sun.derating() - expected) < 0.02, qPrintable(QString::number(sun.derating())));

    // Yesterday's match does not carry into a new day.
    sun.addSample(at(0, 0, 1), 500, 0);
    QCOMPARE(sun.derating(), recorded >= 0 ? recorded : SolarCoverage::defaultDerating);
}

QTEST_GUILESS_MAIN(TestSolarCoverage)
#include "tst_solarcoverage.moc"
