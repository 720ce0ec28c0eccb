#include <QtTest>
#include "settingssandbox.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTimeZone>
#include <QUrlQuery>

#include <cmath>
#include <ctime>

#include "../faults/faultsupport.h"
#include "httpresponder.h"
#include "spotmarket/energychartsreply.h"
#include "spotmarket/spotmarketdataproviderenergycharts.h"
#include "spotmarket/spotmarketmanager.h"
#include "tavro/tavroclock.h"
#include "tavro/tavrosettings.h"

namespace {

// Midnight of 29 March 2026 in Central European time, the night the clocks
// go forward; the replies count their slots from it.
const qint64 t0 = QDateTime(QDate(2026, 3, 28), QTime(23, 0), Qt::UTC).toSecsSinceEpoch();
const QDateTime now(QDate(2026, 3, 29), QTime(10, 0));
const QString defaultMembers(R"("unit":"EUR / MWh","deprecated":false)");

// A reply as the service sends it: slot starts in minutes after t0 (a token
// that is no integer is written as it is), prices as JSON tokens.
QByteArray reply(const QString &minutes, const QString &prices, const QString &members = defaultMembers)
{
    QStringList seconds;
    for (const QString &token : minutes.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        const qint64 minute = token.toLongLong(&ok);
        seconds.append(ok ? QString::number(t0 + minute * 60) : token);
    }
    return QString(R"json({"license_info":"CC BY 4.0 (test)","unix_seconds":[%1],"price":[%2],%3})json")
            .arg(seconds.join(QLatin1Char(',')), prices, members)
            .toUtf8();
}

// Quarter hours from the given minute after t0, prices rising by 0.5.
QByteArray quarterHours(int fromMinute, int count, double base)
{
    QStringList minutes, prices;
    for (int i = 0; i < count; i++) {
        minutes.append(QString::number(fromMinute + 15 * i));
        prices.append(QString::number(base + 0.5 * i));
    }
    return reply(minutes.join(QLatin1Char(',')), prices.join(QLatin1Char(',')));
}

// "start-end:price" per slot, in minutes after t0.
QString describe(const ScoreEntries &entries)
{
    QStringList parts;
    for (const ScoreEntry &entry : entries) {
        parts.append(QStringLiteral("%1-%2:%3")
                             .arg((entry.startDateTime().toSecsSinceEpoch() - t0) / 60)
                             .arg((entry.endDateTime().toSecsSinceEpoch() - t0) / 60)
                             .arg(entry.value()));
    }
    return parts.join(QLatin1Char(' '));
}

QString cacheFile()
{
    return TavroSettings::cachePath() + "/tavro-energy-spotmarket-data.cache";
}

} // namespace

class TestEnergyChartsProvider : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void parse_data();
    void parse();
    void refreshSuccess();
    void failureKeepsPrices_data();
    void failureKeepsPrices();
    void localDays_data();
    void localDays();

private:
    SettingsSandbox m_dir;
    HttpResponder m_server;
    QNetworkAccessManager m_network;
    int m_testNumber = 0;
    QByteArray m_savedZone; // TZ before a test changed it; null when untouched
};

void TestEnergyChartsProvider::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.apply();
    QVERIFY(m_server.start());
    qputenv("TAVRO_ENERGY_CHARTS_URL", m_server.baseUrl().toUtf8());
    m_network.setProxy(QNetworkProxy::NoProxy);
    FaultSupport::recordWarnings();
}

void TestEnergyChartsProvider::init()
{
    qputenv("TAVRO_CACHE_PATH", m_dir.filePath(QString("cache%1").arg(m_testNumber++)).toUtf8());
    TavroClock::setCurrentDateTime(now);
    FaultSupport::warnings().clear();
    m_server.status = 200;
    m_server.headers.clear();
    m_server.truncated = false;
    m_server.answer = nullptr;
    m_server.paths.clear();
}

void TestEnergyChartsProvider::cleanup()
{
    TavroClock::reset();
    if (m_savedZone.isNull())
        return;
    if (m_savedZone.isEmpty())
        qunsetenv("TZ");
    else
        qputenv("TZ", m_savedZone);
    tzset();
    m_savedZone.clear();
}

void TestEnergyChartsProvider::parse_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected"); // the slots, or "!" and a part of the error

    QTest::newRow("hourly") << reply("0,60,120", "80.5,70,90") << "0-60:80.5 60-120:70 120-180:90";
    QTest::newRow("quarter-hourly") << reply("0,15,30", "1,2,3") << "0-15:1 15-30:2 30-45:3";
    QTest::newRow("hourly, then quarter hours")
            << reply("0,60,120,135", "1,2,3,4") << "0-60:1 60-120:2 120-135:3 135-150:4";
    QTest::newRow("quarter hours, then hourly")
            << reply("0,15,30,45,60,120", "1,2,3,4,5,6") << "0-15:1 15-30:2 30-45:3 45-60:4 60-120:5 120-180:6";
    QTest::newRow("null: not cleared yet") << reply("0,15,30,45", "1,null,3,null") << "0-15:1 30-45:3";
    QTest::newRow("string, absurd and boolean prices")
            << reply("0,15,30,45,60,75", R"(1,"2",1000001,-1e7,true,6)") << "0-15:1 75-90:6";
    QTest::newRow("prices at the bound") << reply("0,15", "1000000,-1000000") << "0-15:1e+06 15-30:-1e+06";
    QTest::newRow("first slot of the range") << reply("-1500,-1485", "1,2") << "-1500--1485:1 -1485--1470:2";
    QTest::newRow("last slot of the range") << reply("4290,4305", "1,2") << "4290-4305:1 4305-4320:2";
    QTest::newRow("zone named, the one asked for") << reply("0,15", "1,2", R"("bzn":"nl")") << "0-15:1 15-30:2";

    QTest::newRow("arrays of different lengths") << reply("0,15,30", "1,2") << "!has 3 values but \"price\" 2";
    QTest::newRow("duplicate timestamp") << reply("0,15,15,30", "1,2,3,4") << "!Timestamp 2 is not later";
    QTest::newRow("decreasing timestamps") << reply("0,30,15", "1,2,3") << "!Timestamp 2 is not later";
    QTest::newRow("an hour missing") << reply("0,60,180", "1,2,3") << "!Timestamps 1 and 2 leave a gap of 7200 s";
    QTest::newRow("hour slot off the hour") << reply("0,15,30,45,105", "1,2,3,4,5") << "!leave a gap of 3600 s";
    QTest::newRow("timestamp as string") << reply(R"(0,"1774741500")", "1,2") << "!Timestamp 1 is no whole number";
    QTest::newRow("fractional timestamp") << reply("0,1774741500.5", "1,2") << "!Timestamp 1 is no whole number";
    QTest::newRow("single slot") << reply("0", "1") << "!fewer than two slots";
    QTest::newRow("every price null") << reply("0,15", "null,null") << "!no usable price";
    QTest::newRow("another zone") << reply("0,15", "1,2", R"("unit":"EUR / MWh","bzn":"DE-LU")")
                                  << "!for the zone \"DE-LU\", not NL";
    QTest::newRow("another unit") << reply("0,15", "1,2", R"("unit":"EUR / kWh")") << "!in EUR / kWh, not EUR/MWh";
    QTest::newRow("day before the range") << reply("-1515,-1500", "1,2") << "!Timestamp 0 lies outside";
    QTest::newRow("day after the range") << reply("4305,4320", "1,2") << "!Timestamp 1 lies outside";
    QTest::newRow("empty object") << QByteArray("{}") << "!no object with";
    QTest::newRow("top-level array") << QByteArray("[[1774738800],[1]]") << "!no object with";
    QTest::newRow("HTML") << QByteArray("<html><body>502 Bad Gateway</body></html>") << "!invalid JSON";
    QTest::newRow("truncated body") << reply("0,15,30", "1,2,3").left(60) << "!invalid JSON";
}

void TestEnergyChartsProvider::parse()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);

    const QDateTime t0Time = QDateTime::fromSecsSinceEpoch(t0, Qt::UTC);
    const EnergyChartsReply parsed(body, "NL", t0Time.addSecs(-25 * 3600), t0Time.addSecs(72 * 3600));
    if (expected.startsWith('!')) {
        QVERIFY2(parsed.errorString().contains(expected.mid(1)), qPrintable(parsed.errorString()));
        QVERIFY(!parsed.isValid());
        QVERIFY(parsed.entries().isEmpty());
        return;
    }
    QVERIFY2(parsed.isValid(), qPrintable(parsed.errorString()));
    QCOMPARE(describe(parsed.entries()), expected);
    QCOMPARE(parsed.license(), QString("CC BY 4.0 (test)"));
}

void TestEnergyChartsProvider::refreshSuccess()
{
    // Today and tomorrow in quarter hours, the last two not cleared yet.
    QByteArray served = quarterHours(0, 192, 60.0);
    QVERIFY(served.contains(",155,155.5]"));
    served.replace(",155,155.5]", ",null,null]");
    m_server.body = served;

    SpotMarketDataProviderEnergyCharts provider(&m_network, "SE4");
    QVERIFY(provider.info().license.startsWith("Energy-Charts"));
    QSignalSpy infoSpy(&provider, &SpotMarketDataProvider::infoChanged);
    QStringList events;
    connect(&provider, &SpotMarketDataProvider::availableChanged, this,
            [&events](bool available) { events.append(QString("available %1").arg(available)); });
    connect(&provider, &SpotMarketDataProvider::scoreEntriesChanged, this,
            [&events](const ScoreEntries &entries) { events.append(QString("entries %1").arg(entries.count())); });
    provider.enable();
    QTRY_COMPARE(events.count(), 3);
    QCOMPARE(events, (QStringList{"entries 0", "available 1", "entries 190"}));
    // Dates only, from yesterday to the day after tomorrow.
    QCOMPARE(m_server.paths, QStringList{"/price?bzn=SE4&start=2026-03-28&end=2026-03-31"});
    QCOMPARE(provider.scoreEntries().last().endDateTime().toSecsSinceEpoch(), t0 + 190 * 900);
    QCOMPARE(provider.info().license, QString("CC BY 4.0 (test)"));
    QCOMPARE(infoSpy.count(), 1);
    QVERIFY(!provider.nextAttempt().isValid());

    // A restart has the prices and the license line back before any download.
    m_server.status = 404;
    SpotMarketDataProviderEnergyCharts restarted(&m_network, "SE4");
    restarted.enable();
    // Slots that ended stay behind (the one ending now is still kept).
    const int ended = static_cast<int>((now.toSecsSinceEpoch() - t0) / 900) - 1;
    QCOMPARE(restarted.scoreEntries().count(), 190 - ended);
    QCOMPARE(restarted.info().license, QString("CC BY 4.0 (test)"));
    QVERIFY(restarted.available());
    // Each zone keeps its own array.
    SpotMarketDataProviderEnergyCharts other(&m_network, "NL");
    other.enable();
    QVERIFY(other.scoreEntries().isEmpty());
    QTRY_COMPARE(m_server.paths.count(), 3);
}

void TestEnergyChartsProvider::failureKeepsPrices_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QByteArray>("body"); // empty: the good reply, cut off on the way
    QTest::addColumn<int>("repeats");
    QTest::addColumn<QString>("warning"); // empty: none at all
    QTest::addColumn<int>("retrySecs");   // until a tick asks again

    const QByteArray detail = R"({"detail":"Not Found"})";
    QTest::newRow("404: nothing published yet") << 404 << QByteArray() << detail << 1 << "" << 900;
    QTest::newRow("429 with Retry-After")
            << 429 << QByteArray("Retry-After: 300\r\n") << detail << 1 << "HTTP returned status: 429" << 300;
    QTest::newRow("429 twice without Retry-After")
            << 429 << QByteArray() << detail << 2 << "HTTP returned status: 429" << 120;
    QTest::newRow("400: malformed dates") << 400 << QByteArray() << detail << 1 << "HTTP returned status: 400" << 60;
    QTest::newRow("503 three times") << 503 << QByteArray() << detail << 3 << "HTTP returned status: 503" << 240;
    QTest::newRow("cut off on the way") << 200 << QByteArray() << QByteArray() << 1
                                        << "Reply finished with error:" << 60;
    QTest::newRow("HTML") << 200 << QByteArray() << QByteArray("<html>Service Unavailable</html>") << 1
                          << "invalid JSON data" << 60;
    QTest::newRow("gap") << 200 << QByteArray() << reply("0,15,45", "1,2,3") << 1 << "leave a gap" << 60;
    QTest::newRow("only slots that ended")
            << 200 << QByteArray() << quarterHours(-1440, 96, 1) << 1 << "holds no slot to come" << 60;
}

void TestEnergyChartsProvider::failureKeepsPrices()
{
    QFETCH(int, status);
    QFETCH(QByteArray, headers);
    QFETCH(QByteArray, body);
    QFETCH(int, repeats);
    QFETCH(QString, warning);
    QFETCH(int, retrySecs);

    const QByteArray good = quarterHours(0, 192, 80.0);
    m_server.body = good;
    SpotMarketDataProviderEnergyCharts provider(&m_network, "NL");
    provider.setTransferTimeout(2000);
    QSignalSpy entriesSpy(&provider, &SpotMarketDataProvider::scoreEntriesChanged);
    provider.enable();
    QTRY_COMPARE(entriesSpy.count(), 2);
    const ScoreEntries lastGood = provider.scoreEntries();
    const QByteArray cached = FaultSupport::fileContent(cacheFile());
    QVERIFY(!cached.isEmpty());

    // An hour later the refresh is due and fails.
    m_server.status = status;
    m_server.headers = headers;
    m_server.body = body.isEmpty() ? good : body;
    m_server.truncated = body.isEmpty();
    QDateTime time = now.addSecs(3601);
    for (int attempt = 1; attempt <= repeats; attempt++) {
        TavroClock::setCurrentDateTime(time);
        provider.onRefreshTimout();
        QTRY_COMPARE(m_server.paths.count(), attempt + 1);
        QTRY_VERIFY(provider.nextAttempt().isValid() && provider.nextAttempt() > time);
        time = provider.nextAttempt();
    }
    QCOMPARE(provider.nextAttempt(), TavroClock::currentDateTime().addSecs(retrySecs));
    if (warning.isEmpty())
        QVERIFY2(FaultSupport::warnings().isEmpty(), qPrintable(FaultSupport::warnings().join('\n')));
    else
        QCOMPARE(FaultSupport::warningsContaining(warning), repeats);

    // Prices, cache and weightings as they were.
    QCOMPARE(entriesSpy.count(), 2);
    QCOMPARE(provider.scoreEntries(), lastGood);
    QCOMPARE(FaultSupport::fileContent(cacheFile()), cached);
    QVERIFY(provider.available());
    SpotMarketManager manager(nullptr);
    for (const ScoreEntry &entry : manager.weightScoreEntries(provider.scoreEntries()))
        QVERIFY(std::isfinite(entry.weighting()) && entry.weighting() >= 0.0f && entry.weighting() <= 1.0f);

    // No tick asks before the retry time; the one at it does and succeeds.
    const int requests = m_server.paths.count();
    TavroClock::setCurrentDateTime(time.addSecs(-1));
    provider.onRefreshTimout();
    QCOMPARE(m_server.paths.count(), requests);
    m_server.status = 200;
    m_server.headers.clear();
    m_server.truncated = false;
    m_server.body = quarterHours(0, 192, 90.0);
    TavroClock::setCurrentDateTime(time);
    provider.onRefreshTimout();
    QTRY_COMPARE(entriesSpy.count(), 3);
    QCOMPARE(provider.scoreEntries().first().value(), 90.0);
    QVERIFY(!provider.nextAttempt().isValid());
}

void TestEnergyChartsProvider::localDays_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QDate>("date");

    // The service's days are Central European: a local day elsewhere needs
    // the neighbouring ones.
    QTest::newRow("Stockholm, clocks go forward") << QByteArray("Europe/Stockholm") << QDate(2026, 3, 29);
    QTest::newRow("London, clocks go back") << QByteArray("Europe/London") << QDate(2026, 10, 25);
    QTest::newRow("Kolkata, half an hour off") << QByteArray("Asia/Kolkata") << QDate(2026, 3, 29);
    QTest::newRow("UTC") << QByteArray("UTC") << QDate(2026, 1, 20);
}

void TestEnergyChartsProvider::localDays()
{
    QFETCH(QByteArray, zone);
    QFETCH(QDate, date);

    m_savedZone = qgetenv("TZ");
    if (m_savedZone.isNull())
        m_savedZone = QByteArray("");
    qputenv("TZ", zone);
    tzset();
    const QTimeZone service("Europe/Berlin");
    QVERIFY2(QTimeZone(zone).isValid() && service.isValid(), "time zone data missing");

    // The service: quarter hours of its days from start to end, both included.
    m_server.answer = [&service](const QString &path) {
        const QUrlQuery query(QUrl(path).query());
        const QDate start = QDate::fromString(query.queryItemValue("start"), Qt::ISODate);
        const QDate end = QDate::fromString(query.queryItemValue("end"), Qt::ISODate);
        QStringList seconds, prices;
        const qint64 last = QDateTime(end.addDays(1), QTime(0, 0), service).toSecsSinceEpoch();
        for (qint64 s = QDateTime(start, QTime(0, 0), service).toSecsSinceEpoch(); s < last; s += 900) {
            seconds.append(QString::number(s));
            prices.append(QString::number(50 + (s / 900) % 37));
        }
        return QString(R"({"unix_seconds":[%1],"price":[%2]})").arg(seconds.join(','), prices.join(',')).toUtf8();
    };

    TavroClock::setCurrentDateTime(QDateTime(date, QTime(10, 0)));
    SpotMarketDataProviderEnergyCharts provider(&m_network, "DE-LU");
    QSignalSpy entriesSpy(&provider, &SpotMarketDataProvider::scoreEntriesChanged);
    provider.enable();
    QTRY_COMPARE(entriesSpy.count(), 2);

    // Every quarter hour of the local today and tomorrow has its price.
    const QDateTime end(date.addDays(2), QTime(0, 0));
    int covered = 0;
    for (QDateTime t(date, QTime(0, 0)); t < end; t = t.addSecs(900)) {
        QVERIFY2(!provider.scoreEntries().getScoreEntry(t).isNull(), qPrintable(t.toString(Qt::ISODate)));
        covered++;
    }
    QCOMPARE(covered, QDateTime(date, QTime(0, 0)).secsTo(end) / 900);
}

QTEST_GUILESS_MAIN(TestEnergyChartsProvider)
#include "tst_energychartsprovider.moc"
