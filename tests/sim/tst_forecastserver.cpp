#include <QtTest>

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>

#include "forecast/forecastsolarreply.h"
#include "sim/forecastserver.h"
#include "sim/scenario.h"
#include "tavro/tavroclock.h"

// The simulator's forecast as the plugin receives it: the service's shape,
// read by the plugin's own parser, with the error the scenario sets, and the
// service's rate limit.
class TestForecastServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void servesTheScenariosError_data();
    void servesTheScenariosError();
    void rateLimitAndPaths();

private:
    // Status and body of a GET of path.
    QPair<int, QByteArray> get(const ForecastServer &server, const QString &path, QByteArray *retryAfter = nullptr);

    QNetworkAccessManager m_network;
};

namespace {

// A June week in UTC: sun from 05:00 to 21:00, 10 kW at noon.
Scenario household(const QJsonObject &forecast, const QJsonArray &dayFactors = QJsonArray())
{
    QString error;
    const Scenario scenario = Scenario::fromJson(QJsonObject{{"name", "Forecast"},
                                                             {"timeZone", "UTC"},
                                                             {"start", "2026-06-15T00:00:00"},
                                                             {"pv", QJsonObject{{"peakPower", 10000},
                                                                                {"sunrise", 5.0},
                                                                                {"sunset", 21.0},
                                                                                {"cloudiness", 0.2},
                                                                                {"dayFactors", dayFactors}}},
                                                             {"forecast", forecast}},
                                                 "UTC0", &error);
    if (!error.isEmpty())
        qFatal("%s", qPrintable(error));
    return scenario;
}

// Wh per served hour of a day, from the plugin's reading of the reply.
QList<double> hours(const SolarForecastSlots &periods, const QDate &day)
{
    QList<double> energies;
    for (int hour = 6; hour < 21; hour++) {
        const QDateTime start(day, QTime(hour, 0), Qt::UTC);
        energies.append(periods.energyBetween(start, start.addSecs(3600)));
    }
    return energies;
}

}

void TestForecastServer::initTestCase()
{
    m_network.setProxy(QNetworkProxy::NoProxy);
}

void TestForecastServer::cleanup()
{
    TavroClock::reset();
}

QPair<int, QByteArray> TestForecastServer::get(const ForecastServer &server, const QString &path,
                                               QByteArray *retryAfter)
{
    QNetworkReply *reply = m_network.get(QNetworkRequest(QUrl(server.baseUrl() + path)));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(5000);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (retryAfter)
        *retryAfter = reply->rawHeader("Retry-After");
    const QByteArray body = reply->readAll();
    reply->deleteLater();
    return {status, body};
}

void TestForecastServer::servesTheScenariosError_data()
{
    QTest::addColumn<QJsonObject>("forecast");
    QTest::addColumn<QJsonArray>("dayFactors");
    QTest::addColumn<double>("today");    // served / honest energy of each hour of the day
    QTest::addColumn<double>("tomorrow"); // and of the next
    QTest::addColumn<double>("noise");    // ± around that, per hour

    QTest::newRow("honest") << QJsonObject() << QJsonArray() << 1.0 << 1.0 << 0.0;
    QTest::newRow("40 % too optimistic") << QJsonObject{{"bias", 1.4}} << QJsonArray() << 1.4 << 1.4 << 0.0;
    QTest::newRow("noise of 10 %") << QJsonObject{{"noise", 0.1}} << QJsonArray() << 1.0 << 1.0 << 0.1;
    // Asked on the second day: days beyond the list are clear.
    QTest::newRow("the weather of each day") << QJsonObject() << QJsonArray{1.0, 0.3} << 0.3 << 1.0 << 0.0;
    QTest::newRow("a day too late") << QJsonObject{{"lateByDays", 1}} << QJsonArray{0.5, 1.0, 0.3} << 0.5 << 1.0 << 0.0;
    // The afternoon's clouds are real; the forecast shows a clear afternoon.
    QTest::newRow("a missed cloudy afternoon")
            << QJsonObject{{"missedCloudyAfternoon", true}} << QJsonArray() << 1.0 << 1.0 << 0.0;
}

void TestForecastServer::servesTheScenariosError()
{
    QFETCH(QJsonObject, forecast);
    QFETCH(QJsonArray, dayFactors);
    QFETCH(double, today);
    QFETCH(double, tomorrow);
    QFETCH(double, noise);

    const Scenario scenario = household(forecast, dayFactors);
    ForecastServer server(scenario);
    QVERIFY(server.start());
    // Asked on the second day at 10:00; the honest forecast of the days served.
    const QDateTime now(QDate(2026, 6, 16), QTime(10, 0), Qt::UTC);
    TavroClock::setCurrentDateTime(now);
    const QPair<int, QByteArray> answer = get(server, "/estimate/48.2/16.37/30/0/10");
    QCOMPARE(answer.first, 200);
    const ForecastSolarReply reply = ForecastSolarReply::parse(answer.second, 10);
    QVERIFY2(reply.isValid(), qPrintable(reply.errorString()));
    QCOMPARE(reply.timeZone(), QString("UTC"));
    QCOMPARE(reply.rateLimit().remaining, ForecastServer::callsPerHour - 1);

    const Scenario honestScenario = household(QJsonObject());
    ForecastServer honest(honestScenario);
    const ForecastSolarReply truth = ForecastSolarReply::parse(honest.estimate(10, now), 10);
    QVERIFY(truth.isValid());
    // The honest forecast: clear sky times the clouds' mean, to the Wh.
    double expected = 0;
    for (QDateTime minute(now.date(), QTime(0, 0), Qt::UTC); minute.date() == now.date(); minute = minute.addSecs(60))
        expected += scenario.clearSkyPower(minute) * (1 - 0.2 / 2) / 60;
    QVERIFY(qAbs(truth.periods().energyBetween(QDateTime(now.date(), QTime(0, 0), Qt::UTC),
                                               QDateTime(now.date().addDays(1), QTime(0, 0), Qt::UTC))
                 - expected)
            < 17);

    // Every hour of both days: the error, and only it.
    int moved = 0;
    for (int d = 0; d < 2; d++) {
        const QDate day = now.date().addDays(d);
        const QList<double> served = hours(reply.periods(), day);
        const QList<double> base = hours(truth.periods(), day);
        const double factor = d == 0 ? today : tomorrow;
        for (int h = 0; h < served.count(); h++) {
            const double ratio = served.at(h) / base.at(h);
            QVERIFY2(qAbs(ratio - factor) <= noise + 0.02,
                     qPrintable(QString("%1 %2:00: %3").arg(day.toString()).arg(h + 6).arg(ratio)));
            moved += qAbs(ratio - factor) > 0.02 ? 1 : 0;
        }
    }
    QCOMPARE(moved > 10, noise > 0);
    // The same hour is the same on every request.
    QCOMPARE(get(server, "/estimate/48.2/16.37/30/0/10").second.replace("\"remaining\":10", "\"remaining\":11"),
             answer.second);
}

void TestForecastServer::rateLimitAndPaths()
{
    const Scenario scenario = household(QJsonObject{{"planes", QJsonArray{QJsonObject{{"azimuth", -90}, {"kwp", 4}},
                                                                          QJsonObject{{"azimuth", 90}, {"kwp", 6}}}}});
    ForecastServer server(scenario);
    QVERIFY(server.start());
    const QDateTime now(QDate(2026, 6, 15), QTime(10, 0), Qt::UTC);
    TavroClock::setCurrentDateTime(now);

    // A plane gets its kWp's share; a key in front is welcome.
    const ForecastSolarReply east =
            ForecastSolarReply::parse(get(server, "/k3y/estimate/48.2/16.37/30/-90/4").second, 4);
    const ForecastSolarReply west =
            ForecastSolarReply::parse(get(server, "/estimate/48.2/16.37/30/90/6?horizon=0,10").second, 6);
    QVERIFY(east.isValid() && west.isValid());
    const QDateTime noon(now.date(), QTime(12, 0), Qt::UTC);
    QVERIFY(qAbs(east.periods().energyBetween(noon, noon.addSecs(3600)) * 1.5
                 - west.periods().energyBetween(noon, noon.addSecs(3600)))
            < 2);
    QCOMPARE(get(server, "/estimate/48.2/16.37/30").first, 404);
    QCOMPARE(get(server, "/a/b/estimate/48.2/16.37/30/90/6").first, 404);

    // Twelve calls in an hour, then 429 until the first one is an hour old.
    for (int call = 3; call <= ForecastServer::callsPerHour; call++) {
        TavroClock::setCurrentDateTime(now.addSecs(call * 60));
        QCOMPARE(get(server, "/estimate/48.2/16.37/30/90/6").first, 200);
    }
    QByteArray retryAfter;
    TavroClock::setCurrentDateTime(now.addSecs(1800));
    QCOMPARE(get(server, "/estimate/48.2/16.37/30/90/6", &retryAfter).first, 429);
    QCOMPARE(retryAfter, QByteArray("1800"));
    TavroClock::setCurrentDateTime(now.addSecs(3600));
    QCOMPARE(get(server, "/estimate/48.2/16.37/30/90/6").first, 200);
    QCOMPARE(server.requestCount(), 16);
    QCOMPARE(server.refusedCount(), 1);
}

QTEST_GUILESS_MAIN(TestForecastServer)
#include "tst_forecastserver.moc"
