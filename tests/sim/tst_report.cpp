#include <QtTest>

#include "sim/report.h"
#include "sim/simulation.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

// What the owner reads of a run: the report, the timeline and the chart of
// a short night in Vienna on which the clocks go forward at 02:00, a car
// that stops at its target, hourly prices, no PV and no home battery.
class TestReport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void timelineFollowsTheLocalClock();
    void tableShowsWhatTellsSomething();
    void savingsAreForTheSameEnergy();
    void chartHasLocalTimesAndOnlyWhatThereIs();
    // Last: it runs the night again, in place of the first run.
    void failureTellsBothNumbersApart();
    void nightGridEnergyIsCheckedWithoutPv();
    void targetTakenBackIsNoDeadline_data();
    void targetTakenBackIsNoDeadline();
    void promiseGoesWithACarTakenAway_data();
    void promiseGoesWithACarTakenAway();

private:
    // Runs the night with expectations; the report of the run. One run at
    // a time: the plugin is loaded once per process.
    // carChanges replace members of the car's description.
    std::unique_ptr<Report> run(const QJsonObject &expectations, const QJsonArray &actions = QJsonArray(),
                                const QJsonObject &carChanges = QJsonObject());

    QTemporaryDir m_dir;
    int m_runs = 0;
    std::unique_ptr<Simulation> m_simulation;
    std::unique_ptr<Report> m_report;
};

namespace {

const char night[] = R"({
    "name": "Short night", "timeZone": "Europe/Vienna", "start": "2026-03-28T22:00:00", "durationMinutes": 360,
    "phasePowerLimit": 25,
    "prices": {"spotMarket": true, "hourly": [90, 85, 80, 60, 40, 45, 70, 100, 120, 110, 100, 95,
                                              90, 85, 90, 100, 120, 140, 150, 140, 130, 120, 110, 100]},
    "chargers": [{"name": "Wallbox"}],
    "cars": [{"name": "Estate", "charger": "Wallbox", "capacityKwh": 40, "soc": 40, "phases": 3,
              "configuration": {"chargingMode": "ChargingModeEcoWithTargetTime", "endDateTime": "$time:1+04:00",
                                "targetPercentage": 60, "stopOnTargetPercentage": true},
              "target": {"at": "1+04:00", "percentage": 60}}]
})";

}

void TestReport::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The plugin's reasoning, minute by minute, is not under test.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
    for (const char *variable : {"TAVRO_SETTINGS_PATH", "TAVRO_STORAGE_PATH", "TAVRO_CACHE_PATH"})
        qputenv(variable, m_dir.filePath(QString::fromLatin1(variable)).toUtf8());
    m_report = run(QJsonObject());
    QVERIFY(m_report);
}

std::unique_ptr<Report> TestReport::run(const QJsonObject &expectations, const QJsonArray &actions,
                                        const QJsonObject &carChanges)
{
    // Each run its own settings: what one run stored (a promise made, a
    // day's energy) must not reach the next.
    const QString data = m_dir.filePath(QString::number(++m_runs));
    for (const char *variable : {"TAVRO_SETTINGS_PATH", "TAVRO_STORAGE_PATH", "TAVRO_CACHE_PATH"})
        qputenv(variable, (data + QLatin1Char('/') + QString::fromLatin1(variable)).toUtf8());
    QJsonObject json = QJsonDocument::fromJson(night).object();
    json["expectations"] = expectations;
    json["actions"] = actions;
    QJsonArray cars = json["cars"].toArray();
    QJsonObject car = cars.first().toObject();
    for (auto it = carChanges.begin(); it != carChanges.end(); ++it)
        car[it.key()] = it.value();
    cars[0] = car;
    json["cars"] = cars;
    m_report.reset();
    m_simulation.reset();
    QString error;
    const Scenario scenario = Scenario::fromJson(json, "UTC0", &error);
    if (!error.isEmpty())
        qWarning() << error;
    m_simulation = std::make_unique<Simulation>(scenario);
    if (!m_simulation->setUp(qEnvironmentVariable("TAVRO_PLUGIN_PATH"), &error)) {
        qWarning() << error;
        return nullptr;
    }
    m_simulation->run();
    return std::make_unique<Report>(*m_simulation);
}

void TestReport::timelineFollowsTheLocalClock()
{
    const QString fileName = m_dir.filePath("night.csv");
    QString error;
    QVERIFY2(m_report->writeCsv(fileName, &error), qPrintable(error));
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    const QStringList header = lines.first().split(',');
    QCOMPARE(lines.count(), 361);
    for (const char *column : {"local_time", "hour", "Wallbox_phases", "Wallbox_enabled", "Wallbox_phase_pause"})
        QVERIFY2(header.contains(column), column);
    const auto cell = [&](int minute, const char *column) {
        return lines.at(minute + 1).split(',').at(header.indexOf(column));
    };
    // The minute before the clocks jump, and the one after: 01:59, then 03:00.
    QCOMPARE(cell(239, "local_time"), QStringLiteral("2026-03-29T01:59:00+01:00"));
    QCOMPARE(cell(239, "hour"), QStringLiteral("25.983"));
    QCOMPARE(cell(240, "local_time"), QStringLiteral("2026-03-29T03:00:00+02:00"));
    QCOMPARE(cell(240, "hour"), QStringLiteral("27.000"));
    // While the plugin charges, the charger is on, on three phases.
    int charging = 0;
    for (int minute = 0; minute < 360; minute++) {
        if (cell(minute, "Wallbox_W").toDouble() > 0) {
            charging++;
            QCOMPARE(cell(minute, "Wallbox_enabled"), QStringLiteral("1"));
            QCOMPARE(cell(minute, "Wallbox_phases"), QStringLiteral("3"));
        }
    }
    QVERIFY(charging > 30);
}

void TestReport::tableShowsWhatTellsSomething()
{
    const QString table = m_report->table();
    for (const QString &line : table.split('\n')) {
        // Label, then the four columns: a row of zeros only is left out.
        const QStringList words = line.simplified().split(' ');
        if (words.count() < 5)
            continue;
        const QStringList values = words.mid(words.count() - 4);
        bool zeros = true;
        for (const QString &value : values) {
            bool number = false;
            zeros = zeros && (value == "-" || (value.toDouble(&number) == 0 && number));
        }
        QVERIFY2(!zeros, qPrintable(line));
    }
    QVERIFY(table.contains("  no minute over the limit\n"));
    QVERIFY(table.contains("Deadline met: the SoC at the target time at most 0.5 % below the wanted one"));
    QVERIFY(table.contains("Saved against charging at once to the same energy: plugin "));
}

void TestReport::savingsAreForTheSameEnergy()
{
    // The car stops at 60 %: charging at once to full is no reference for
    // what the owner got, charging at once the same energy is.
    const Report::CarFigures &plugin = m_report->plugin().cars.at(0);
    const Report::CarFigures &atOnce = m_report->atOnce().cars.at(0);
    QVERIFY(plugin.energy > 5);
    QCOMPARE(qRound(atOnce.energy * 1000), qRound(plugin.energy * 1000));
    QVERIFY(m_report->baseline().cars.at(0).energy > plugin.energy + 5);
    // At once it charges in the first, dearer hours; the plugin in the cheap ones.
    QVERIFY(atOnce.cost > plugin.cost + 0.1);
    const QString line = QStringLiteral("plugin %1 EUR (paid %2 of %3 EUR)")
                                 .arg(atOnce.cost - plugin.cost, 0, 'f', 2)
                                 .arg(plugin.cost, 0, 'f', 2)
                                 .arg(atOnce.cost, 0, 'f', 2);
    QVERIFY2(m_report->table().contains(line), qPrintable(line));
}

void TestReport::failureTellsBothNumbersApart()
{
    // A goal just above what was delivered: both numbers the same at two
    // decimals, so more are shown.
    const double energy = m_report->plugin().cars.at(0).energy;
    const double goal = energy + 0.0004;
    QCOMPARE(QString::number(goal, 'f', 2), QString::number(energy, 'f', 2));
    m_report = run(QJsonObject{{"cars", QJsonObject{{"Estate", QJsonObject{{"minEnergy", goal}}}}}});
    const std::unique_ptr<Report> &report = m_report;
    QVERIFY(report);
    QCOMPARE(report->failedExpectations().count(), 1);
    const QRegularExpression numbers(
            QStringLiteral("energy delivered \\[kWh\\] ([0-9.]+), at least ([0-9.]+) expected$"));
    const QRegularExpressionMatch match = numbers.match(report->failedExpectations().first());
    QVERIFY2(match.hasMatch(), qPrintable(report->failedExpectations().first()));
    QVERIFY(match.captured(1) != match.captured(2));
    QCOMPARE(match.captured(2).toDouble(), std::round(goal * 10000) / 10000);
}

void TestReport::nightGridEnergyIsCheckedWithoutPv()
{
    // The night has no PV: all its grid energy counts, and a goal below it fails.
    const double grid = m_report->plugin().cars.at(0).gridEnergy;
    QVERIFY(grid > 1);
    QCOMPARE(m_report->plugin().cars.at(0).nightGridEnergy, grid);
    m_report = run(QJsonObject{{"cars", QJsonObject{{"Estate", QJsonObject{{"maxNightGridEnergy", grid - 0.5}}}}}});
    QVERIFY(m_report);
    QCOMPARE(m_report->failedExpectations().count(), 1);
    QVERIFY2(m_report->failedExpectations().first().startsWith(QStringLiteral("Estate: grid energy without PV")),
             qPrintable(m_report->failedExpectations().first()));
}

void TestReport::targetTakenBackIsNoDeadline_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("end");
    QTest::addColumn<bool>("deadline");
    // At 01:00 the owner sets the car to a mode without a target time, or
    // names another one: the 04:00 target is his no more, for no column.
    QTest::newRow("eco without a target time: taken back") << "ChargingModeEco" << "1+04:00" << false;
    QTest::newRow("normal: taken back") << "ChargingModeNormal" << "1+04:00" << false;
    QTest::newRow("another target time: taken back") << "ChargingModeEcoWithTargetTime" << "1+05:00" << false;
    QTest::newRow("the same target time again: kept") << "ChargingModeEcoWithTargetTime" << "1+04:00" << true;
}

void TestReport::targetTakenBackIsNoDeadline()
{
    QFETCH(QString, mode);
    QFETCH(QString, end);
    QFETCH(bool, deadline);
    const QJsonObject configuration{{"evChargerId", "$charger:Wallbox"},
                                    {"chargingMode", mode},
                                    {"endDateTime", "$time:" + end},
                                    {"targetPercentage", 60}};
    m_report = run(QJsonObject(), QJsonArray{QJsonObject{{"at", "1+01:00"},
                                                          {"method", "TavroEnergy.SetChargingConfiguration"},
                                                          {"params", QJsonObject{{"chargingConfiguration", configuration}}}}});
    QVERIFY(m_report);
    QCOMPARE(m_report->plugin().cars.at(0).socAtTarget >= 0, deadline);
    QCOMPARE(m_report->peer().cars.at(0).socAtTarget >= 0, deadline);
}

void TestReport::promiseGoesWithACarTakenAway_data()
{
    QTest::addColumn<QString>("plugOut"); // empty: stays
    QTest::addColumn<int>("promises");
    // 10 % to 100 % in the hour to 23:00 is out of reach: the owner is told
    // what it will reach. Unplugged at 22:30, the car takes the promise along.
    QTest::newRow("stays plugged in: the promise is judged") << QString() << 1;
    QTest::newRow("unplugged before the target: not the plugin's to keep") << "22:30" << 0;
}

void TestReport::promiseGoesWithACarTakenAway()
{
    QFETCH(QString, plugOut);
    QFETCH(int, promises);
    QJsonObject changes{{"soc", 10},
                        {"configuration", QJsonObject{{"chargingMode", "ChargingModeEcoWithTargetTime"},
                                                      {"endDateTime", "$time:23:00"},
                                                      {"targetPercentage", 100}}},
                        {"target", QJsonObject{{"at", "23:00"}, {"percentage", 100}}}};
    if (!plugOut.isEmpty())
        changes["plugOut"] = plugOut;
    m_report = run(QJsonObject(), QJsonArray(), changes);
    QVERIFY(m_report);
    QCOMPARE(m_report->plugin().promises, promises);
}

void TestReport::chartHasLocalTimesAndOnlyWhatThereIs()
{
    const QString script = m_report->chartScript("night.csv", "night.png");
    // Ticks every two hours of the local clock at real minutes: 22:00 at
    // the start, midnight after 120 minutes, 02:00 skipped, 04:00 after 300.
    QVERIFY2(script.contains(R"(set xtics ("Sat 28.03.\n22:00" 0, "Sun 29.03.\n00:00" 120, "04:00" 300))"),
             qPrintable(script));
    QVERIFY(script.contains("set ylabel 'ct/kWh'"));
    QVERIFY(script.contains("title 'chargers (plugin) [kW]'"));
    // No PV, no home battery: no legend entries for them.
    QVERIFY(!script.contains("title 'PV'"));
    QVERIFY(!script.contains("home battery"));
    QVERIFY(script.contains("title 'Wallbox (peer)'"));
}

QTEST_GUILESS_MAIN(TestReport)
#include "tst_report.moc"
