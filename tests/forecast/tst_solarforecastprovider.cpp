#include <QtTest>
#include "settingssandbox.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>

#include "../faults/faultsupport.h"
#include "forecastservice.h"
#include "forecast/solarforecastprovider.h"
#include "tavro/tavroclock.h"
#include "tavro/tavrosettings.h"

// The provider against a canned service on loopback: planes adding up, the
// hourly refresh, the rate limit, every failure keeping the last forecast,
// and the cache across a restart.
class TestSolarForecastProvider : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void eastAndWestAddUp();
    void failureKeepsLastForecast_data();
    void failureKeepsLastForecast();
    void rateLimit_data();
    void rateLimit();
    void lastCallWaitsForThePeriod();
    void cacheAcrossRestart_data();
    void cacheAcrossRestart();

private:
    // Enables the provider with these planes and waits for its first forecast.
    void start(SolarForecastProvider *provider, const SolarPlanes &planes, const QString &apiKey = QString());
    void advance(int seconds) { TavroClock::setCurrentDateTime(TavroClock::currentDateTime().addSecs(seconds)); }

    SettingsSandbox m_dir;
    ForecastService m_service;
    QNetworkAccessManager m_network;
    int m_testNumber = 0;
};

namespace {

// Today 10:00 local time, whatever the zone.
const QDateTime now(QDate(2026, 6, 15), QTime(10, 0));

// Wh of the hour that ends at 07:00 … 20:00.
const QList<int> eastHours{300, 900, 1400, 1500, 1300, 1000, 700, 450, 250, 120, 60, 30, 10, 0};
const QList<int> westHours{0, 10, 40, 90, 200, 400, 700, 1000, 1300, 1500, 1400, 1000, 500, 100};

SolarPlane east()
{
    return SolarPlane(48.2, 16.37, 30, -90, 4.5);
}

SolarPlane west()
{
    SolarPlane plane(48.2, 16.37, 30, 90, 4.5);
    plane.setHorizon({0, 10, 20, 10});
    return plane;
}

// Two days of the plane's hours in this system's local time (no zone named).
QByteArray planeReply(const QList<int> &hours, double scale = 1.0, int remaining = 10, int period = 3600)
{
    QJsonObject periods;
    QJsonObject watts;
    for (int day = 0; day < 2; day++) {
        const QString date = now.date().addDays(day).toString("yyyy-MM-dd");
        periods.insert(date + " 06:00:00", 0);
        watts.insert(date + " 06:00:00", 0);
        for (int i = 0; i < hours.count(); i++) {
            const QString key = date + QString(" %1:00:00").arg(7 + i, 2, 10, QLatin1Char('0'));
            periods.insert(key, hours.at(i) * scale);
            watts.insert(key, hours.at(i) * scale);
        }
    }
    const QJsonObject message{{"code", 0},
                              {"type", "success"},
                              {"ratelimit", QJsonObject{{"period", period}, {"limit", 12}, {"remaining", remaining}}}};
    return QJsonDocument(QJsonObject{{"result", QJsonObject{{"watts", watts}, {"watt_hours_period", periods}}},
                                     {"message", message}})
            .toJson(QJsonDocument::Compact);
}

QString eastPath(const QString &key = QString())
{
    return (key.isEmpty() ? QString() : "/" + key) + "/estimate/48.2/16.37/30/-90/4.5";
}

QString westPath(const QString &key = QString())
{
    return (key.isEmpty() ? QString() : "/" + key) + "/estimate/48.2/16.37/30/90/4.5";
}

QString cacheFile()
{
    return TavroSettings::cachePath() + "/tavro-energy-solarforecast.cache";
}

int sum(const QList<int> &values)
{
    int total = 0;
    for (int value : values)
        total += value;
    return total;
}

}

void TestSolarForecastProvider::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.apply();
    QVERIFY(m_service.start());
    qputenv("TAVRO_FORECAST_SOLAR_URL", m_service.baseUrl().toUtf8());
    m_network.setProxy(QNetworkProxy::NoProxy);
    FaultSupport::recordWarnings();
}

void TestSolarForecastProvider::init()
{
    qputenv("TAVRO_CACHE_PATH", m_dir.filePath(QString("cache%1").arg(m_testNumber++)).toUtf8());
    TavroClock::setCurrentDateTime(now);
    FaultSupport::warnings().clear();
    m_service.requests.clear();
    m_service.answers.clear();
    m_service.answers.insert(eastPath(), {200, planeReply(eastHours), {}, false});
    m_service.answers.insert(westPath(), {200, planeReply(westHours), {}, false});
    QVERIFY(m_service.setRefusing(false));
}

void TestSolarForecastProvider::cleanup()
{
    TavroClock::reset();
}

void TestSolarForecastProvider::start(SolarForecastProvider *provider, const SolarPlanes &planes, const QString &apiKey)
{
    provider->setSelfTimed(false);
    provider->setTransferTimeout(500);
    SolarForecastConfiguration configuration;
    configuration.setEnabled(true);
    configuration.setPlanes(planes);
    configuration.setApiKey(apiKey);
    provider->setConfiguration(configuration);
    QTRY_VERIFY(provider->available());
    QVERIFY(!provider->busy());
}

void TestSolarForecastProvider::eastAndWestAddUp()
{
    m_service.answers.insert(eastPath("k3y-1_A"), m_service.answers.value(eastPath()));
    m_service.answers.insert(westPath("k3y-1_A"), m_service.answers.value(westPath()));
    SolarForecastProvider provider(&m_network);
    QSignalSpy changed(&provider, &SolarForecastProvider::forecastChanged);
    QSignalSpy available(&provider, &SolarForecastProvider::availableChanged);
    start(&provider, {east(), west()}, "k3y-1_A");

    // One plane after the other, the key first in the path, the horizon as query.
    QCOMPARE(m_service.requests, QStringList({eastPath("k3y-1_A"), westPath("k3y-1_A") + "?horizon=0,10,20,10"}));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(available.count(), 1);
    const SolarForecastSlots forecast = provider.forecast();
    const QDateTime midnight(now.date(), QTime(0, 0));
    QCOMPARE(forecast.energyBetween(midnight, midnight.addDays(1)), double(sum(eastHours) + sum(westHours)));
    QCOMPARE(forecast.energyBetween(midnight.addDays(1), midnight.addDays(2)), double(sum(eastHours) + sum(westHours)));
    // 08:00-09:00 is the hour that ends at 09:00, 16:00-17:00 the one ending at 17:00.
    QCOMPARE(forecast.powerAt(QDateTime(now.date(), QTime(8, 5))), double(eastHours.at(2) + westHours.at(2)));
    QCOMPARE(forecast.powerAt(QDateTime(now.date(), QTime(16, 50))), double(eastHours.at(10) + westHours.at(10)));
    QCOMPARE(forecast.powerAt(QDateTime(now.date(), QTime(5, 50))), 0.0);
    QCOMPARE(forecast.first().startDateTime(), QDateTime(now.date(), QTime(6, 0)));
    QCOMPARE(forecast.first().endDateTime(), QDateTime(now.date(), QTime(6, 15)));

    // Asked again an hour after the answers, not before.
    advance(3599);
    provider.tick();
    QVERIFY(!provider.busy());
    advance(1);
    provider.tick();
    QTRY_COMPARE(m_service.requests.count(), 4);
    QTRY_VERIFY(!provider.busy());
    QCOMPARE(changed.count(), 1); // the same answers: nothing new

    // Off: a request under way is dropped and the forecast no longer counts.
    advance(3600);
    provider.tick();
    QVERIFY(provider.busy());
    provider.setConfiguration(SolarForecastConfiguration());
    QVERIFY(!provider.busy());
    QVERIFY(!provider.available());
    QCOMPARE(available.count(), 2);
}

void TestSolarForecastProvider::failureKeepsLastForecast_data()
{
    QTest::addColumn<int>("status"); // -1: refused, 0: never answered
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("truncated");
    QTest::addColumn<QString>("warning");

    const QString transport = "Reply finished with error";
    QTest::newRow("connection refused") << -1 << QByteArray() << false << transport;
    QTest::newRow("no answer within the transfer timeout") << 0 << QByteArray() << false << transport;
    QTest::newRow("connection dropped mid-body") << 200 << planeReply(eastHours, 2) << true << transport;
    QTest::newRow("HTTP 500") << 500 << QByteArray(R"({"message": {"code": 500, "type": "error"}})") << false
                              << "HTTP returned status 500.";
    QTest::newRow("HTTP 503") << 503 << QByteArray("maintenance") << false << "HTTP returned status 503.";
    QTest::newRow("malformed JSON") << 200 << planeReply(eastHours, 2).left(100) << false
                                    << "The reply was refused: invalid JSON";
    QTest::newRow("missing keys") << 200 << QByteArray(R"({"message": {"code": 0, "type": "success"}})") << false
                                  << "The reply was refused: no result";
    QTest::newRow("an error in a 200 reply")
            << 200 << QByteArray(R"({"result": null, "message": {"code": 1, "type": "error",
                                                   "text": "wrong plane"}})")
            << false << "The reply was refused: the service reports error 1";
    QTest::newRow("absurd power") << 200 << planeReply(eastHours, 10) << false
                                  << "The reply was refused: watts: implausible value";
}

void TestSolarForecastProvider::failureKeepsLastForecast()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, truncated);
    QFETCH(QString, warning);

    SolarForecastProvider provider(&m_network);
    start(&provider, {east()});
    const SolarForecastSlots lastGood = provider.forecast();
    const QByteArray cached = FaultSupport::fileContent(cacheFile());
    QVERIFY(!cached.isEmpty());
    QSignalSpy changed(&provider, &SolarForecastProvider::forecastChanged);

    QVERIFY(m_service.setRefusing(status < 0));
    m_service.answers.insert(eastPath(), {status, body, {}, truncated});
    advance(3600);
    // Retries after 5, 10 and 20 minutes; the last good forecast stays.
    int requests = m_service.requests.count();
    for (int attempt = 1; attempt <= 3; attempt++) {
        provider.tick();
        QVERIFY(provider.busy()); // asked, not waited for
        QTRY_COMPARE(FaultSupport::warningsContaining(warning), attempt);
        QVERIFY(!provider.busy());
        QCOMPARE(provider.forecast(), lastGood);
        QVERIFY(provider.available());
        QCOMPARE(FaultSupport::fileContent(cacheFile()), cached);
        const int wait = 300 << (attempt - 1);
        QCOMPARE(provider.notBefore(), TavroClock::currentDateTime().addSecs(wait));
        advance(wait - 1);
        provider.tick();
        QVERIFY(!provider.busy());
        advance(1);
        if (status >= 0)
            QCOMPARE(m_service.requests.count(), requests + attempt);
    }
    QCOMPARE(changed.count(), 0);
    QCOMPARE(FaultSupport::warningsContaining("Failed to refresh the solar forecast"), 3);

    // Back in service: the next try takes the new forecast, and the cache.
    QVERIFY(m_service.setRefusing(false));
    m_service.answers.insert(eastPath(), {200, planeReply(eastHours, 0.5), {}, false});
    provider.tick();
    QTRY_COMPARE(changed.count(), 1);
    const QDateTime midnight(now.date(), QTime(0, 0));
    QCOMPARE(provider.forecast().energyBetween(midnight, midnight.addDays(1)), sum(eastHours) * 0.5);
    QVERIFY(FaultSupport::fileContent(cacheFile()) != cached);
    QVERIFY(!provider.notBefore().isValid());
    Q_UNUSED(requests)
}

void TestSolarForecastProvider::rateLimit_data()
{
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("wait"); // s

    QTest::newRow("Retry-After header") << QByteArray("Retry-After: 1200\r\n") << QByteArray("{}") << 1200;
    QTest::newRow("the reply's rate-limit period")
            << QByteArray() << QByteArray(R"({"result": null, "message": {"code": 429, "type": "error",
                                  "ratelimit": {"period": 1800, "limit": 12, "remaining": 0}}})")
            << 1800;
    QTest::newRow("neither: an hour") << QByteArray() << QByteArray("Too Many Requests") << 3600;
}

void TestSolarForecastProvider::rateLimit()
{
    QFETCH(QByteArray, headers);
    QFETCH(QByteArray, body);
    QFETCH(int, wait);

    SolarForecastProvider provider(&m_network);
    start(&provider, {east()});
    const SolarForecastSlots lastGood = provider.forecast();
    m_service.answers.insert(eastPath(), {429, body, headers, false});
    advance(3600);
    provider.tick();
    QTRY_COMPARE(FaultSupport::warningsContaining("rate limit is reached (HTTP 429)"), 1);
    QCOMPARE(provider.notBefore(), TavroClock::currentDateTime().addSecs(wait));
    QCOMPARE(provider.forecast(), lastGood);

    const int requests = m_service.requests.count();
    advance(wait - 1);
    provider.tick();
    QCOMPARE(m_service.requests.count(), requests);
    m_service.answers.insert(eastPath(), {200, planeReply(eastHours), {}, false});
    advance(1);
    provider.tick();
    QTRY_COMPARE(m_service.requests.count(), requests + 1);
    QTRY_VERIFY(!provider.notBefore().isValid());
    QCOMPARE(FaultSupport::warningsContaining("Failed to refresh"), 0);
}

void TestSolarForecastProvider::lastCallWaitsForThePeriod()
{
    // The east plane's answer says no call remains for 25 minutes: the west
    // plane waits, and without it there is no forecast to count on.
    m_service.answers.insert(eastPath(), {200, planeReply(eastHours, 1.0, 0, 1500), {}, false});
    SolarForecastProvider provider(&m_network);
    provider.setSelfTimed(false);
    SolarForecastConfiguration configuration;
    configuration.setEnabled(true);
    configuration.setPlanes({east(), west()});
    provider.setConfiguration(configuration);
    QTRY_COMPARE(FaultSupport::warningsContaining("rate limit is reached (no call left)"), 1);
    QCOMPARE(m_service.requests, QStringList{eastPath()});
    QVERIFY(!provider.available());
    QVERIFY(provider.forecast().isEmpty());

    advance(1499);
    provider.tick();
    QVERIFY(!provider.busy());
    advance(1);
    provider.tick();
    QTRY_VERIFY(provider.available());
    QCOMPARE(m_service.requests.count(), 2);
    QCOMPARE(m_service.requests.last(), westPath() + "?horizon=0,10,20,10");
}

void TestSolarForecastProvider::cacheAcrossRestart_data()
{
    QTest::addColumn<QString>("damage"); // what is done to the cache file
    QTest::addColumn<bool>("restored");
    QTest::addColumn<int>("warnings");

    QTest::newRow("as written") << "" << true << 0;
    QTest::newRow("garbage") << "garbage" << false << 0;
    QTest::newRow("overlapping periods") << "overlap" << false << 1;
    QTest::newRow("more energy than the plane gives") << "energy" << false << 1;
    QTest::newRow("fetched in the future") << "future" << false << 1;
    QTest::newRow("another plane's forecast") << "plane" << false << 0;
}

void TestSolarForecastProvider::cacheAcrossRestart()
{
    QFETCH(QString, damage);
    QFETCH(bool, restored);
    QFETCH(int, warnings);

    SolarForecastSlots before;
    {
        SolarForecastProvider provider(&m_network);
        start(&provider, {east()});
        before = provider.forecast();
    }
    QJsonObject cache = QJsonDocument::fromJson(FaultSupport::fileContent(cacheFile())).object();
    QJsonArray planes = cache.value("planes").toArray();
    QJsonObject plane = planes.at(0).toObject();
    QJsonArray periods = plane.value("periods").toArray();
    if (damage == "overlap") {
        QJsonArray second = periods.at(1).toArray();
        second.replace(0, second.at(0).toDouble() - 60);
        periods.replace(1, second);
    } else if (damage == "energy") {
        QJsonArray second = periods.at(1).toArray();
        second.replace(2, 4.5 * 1500 + 2);
        periods.replace(1, second);
    } else if (damage == "future") {
        plane.insert("fetched", now.addSecs(3600).toSecsSinceEpoch());
    } else if (damage == "plane") {
        plane.insert("key", "/48.2/16.37/30/-90/4.6");
    }
    plane.insert("periods", periods);
    planes.replace(0, plane);
    cache.insert("planes", planes);
    QVERIFY(FaultSupport::writeFile(cacheFile(), damage == "garbage" ? QByteArray("{\"version\": 1, \"planes\": [[[")
                                                                     : QJsonDocument(cache).toJson()));

    // A restart ten minutes later.
    advance(600);
    FaultSupport::warnings().clear();
    const int requests = m_service.requests.count();
    SolarForecastProvider provider(&m_network);
    provider.setSelfTimed(false);
    SolarForecastConfiguration configuration;
    configuration.setEnabled(true);
    configuration.setPlanes({east()});
    provider.setConfiguration(configuration);
    QCOMPARE(provider.available(), restored);
    QCOMPARE(provider.busy(), !restored);
    QCOMPARE(FaultSupport::warningsContaining("damaged plane forecasts"), warnings);
    if (restored) {
        QCOMPARE(provider.forecast(), before);
        // Still the first answer's hour: no call is spent.
        advance(2999);
        provider.tick();
        QCOMPARE(m_service.requests.count(), requests);
        advance(1);
        provider.tick();
    }
    QTRY_COMPARE(m_service.requests.count(), requests + 1);
    QTRY_VERIFY(provider.available());
    QCOMPARE(provider.forecast(), before);
}

QTEST_GUILESS_MAIN(TestSolarForecastProvider)
#include "tst_solarforecastprovider.moc"
