#include <QtTest>
#include "settingssandbox.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>

#include "../faults/faultsupport.h"
#include "httpresponder.h"
#include "spotmarket/spotmarketdataproviderawattar.h"
#include "tavro/tavroclock.h"
#include "tavro/tavrosettings.h"

namespace {
const QDateTime now(QDate(2026, 1, 20), QTime(10, 0));
const QString austria("aWATTar AT");

bool warned(const QString &text)
{
    return FaultSupport::warningsContaining(text) > 0;
}

// Counts requests at the moment they are issued.
class CountingNetworkManager : public QNetworkAccessManager
{
public:
    int requests = 0;

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request, QIODevice *data) override
    {
        requests++;
        return QNetworkAccessManager::createRequest(op, request, data);
    }
};

ScoreEntries makeSlots(const QDateTime &first, int count, int slotMinutes)
{
    ScoreEntries entries;
    for (int i = 0; i < count; i++) {
        ScoreEntry entry;
        entry.setStartDateTime(first.addSecs(i * slotMinutes * 60));
        entry.setEndDateTime(entry.startDateTime().addSecs(slotMinutes * 60));
        entry.setValue(80.0 + (i * 37) % 23 - 0.25 * i);
        entries.append(entry);
    }
    return entries;
}

// A reply as the market-data service sends it.
QByteArray marketReply(const ScoreEntries &entries, const QJsonArray &extraElements = QJsonArray())
{
    QJsonArray data;
    for (const ScoreEntry &entry : entries) {
        data.append(QJsonObject{{"start_timestamp", entry.startDateTime().toMSecsSinceEpoch()},
                                {"end_timestamp", entry.endDateTime().toMSecsSinceEpoch()},
                                {"marketprice", entry.value()},
                                {"unit", "Eur/MWh"}});
    }
    for (const QJsonValue &element : extraElements)
        data.append(element);
    return QJsonDocument(QJsonObject{{"object", "list"}, {"data", data}, {"url", "/at/v1/marketdata"}}).toJson();
}

QString cacheFile()
{
    return TavroSettings::cachePath() + "/tavro-energy-spotmarket-data.cache";
}

int cachedCount(const QString &name)
{
    QSettings cache(cacheFile(), QSettings::IniFormat);
    return cache.beginReadArray(name);
}

// Start, end and value as served; weighting 0.
bool sameSlots(const ScoreEntries &actual, const ScoreEntries &expected)
{
    if (actual.count() != expected.count())
        return false;
    for (int i = 0; i < expected.count(); i++) {
        if (TimeFrame(actual.at(i)) != TimeFrame(expected.at(i)) || actual.at(i).value() != expected.at(i).value()
            || actual.at(i).weighting() != 0.0f)
            return false;
    }
    return true;
}
}

class TestAwattarProvider : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void refreshSuccess_data();
    void refreshSuccess();
    void refreshFailure_data();
    void refreshFailure();
    void cacheKeepsProvidersApart();
    void availability_data();
    void availability();

private:
    void tick(SpotMarketDataProviderAwattar *provider) { provider->onRefreshTimout(); }

    SettingsSandbox m_dir;
    HttpResponder m_server;
    CountingNetworkManager m_network;
    int m_testNumber = 0;
};

void TestAwattarProvider::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.apply();
    QVERIFY(m_server.start());
    qputenv("TAVRO_AWATTAR_AT_URL", m_server.baseUrl().toUtf8());
    qputenv("TAVRO_AWATTAR_DE_URL", (m_server.baseUrl() + "/de/").toUtf8());
    m_network.setProxy(QNetworkProxy::NoProxy);
    FaultSupport::recordWarnings();
}

void TestAwattarProvider::init()
{
    // A fresh cache directory per test.
    qputenv("TAVRO_CACHE_PATH", m_dir.filePath(QString("cache%1").arg(m_testNumber++)).toUtf8());
    TavroClock::setCurrentDateTime(now);
    FaultSupport::warnings().clear();
    m_network.requests = 0;
    m_server.status = 404;
    m_server.paths.clear();
}

void TestAwattarProvider::cleanup()
{
    TavroClock::reset();
}

void TestAwattarProvider::refreshSuccess_data()
{
    QTest::addColumn<int>("slotMinutes");
    QTest::addColumn<int>("slotCount");
    QTest::addColumn<bool>("malformed");

    QTest::newRow("hourly day") << 60 << 24 << false;
    QTest::newRow("quarter-hourly day") << 15 << 96 << false;
    QTest::newRow("malformed elements skipped") << 60 << 24 << true;
}

void TestAwattarProvider::refreshSuccess()
{
    QFETCH(int, slotMinutes);
    QFETCH(int, slotCount);
    QFETCH(bool, malformed);

    const ScoreEntries served = makeSlots(QDateTime(now.date(), QTime(0, 0)), slotCount, slotMinutes);
    m_server.status = 200;
    // Garbage: no object, no price, and a finite price no market ever had.
    const double nextHour = QDateTime(now.date(), QTime(10, 0)).toMSecsSinceEpoch();
    const QJsonArray garbage{
            42, QJsonObject{{"start_timestamp", 0}, {"end_timestamp", 1}},
            QJsonObject{{"start_timestamp", nextHour}, {"end_timestamp", nextHour + 3600000}, {"marketprice", 1e308}}};
    m_server.body = marketReply(served, malformed ? garbage : QJsonArray());

    SpotMarketDataProviderAwattar provider(&m_network, SpotMarketDataProviderAwattar::AwattarCountryAustria);
    QStringList events;
    connect(&provider, &SpotMarketDataProvider::availableChanged, this,
            [&events](bool available) { events.append(QString("available %1").arg(available)); });
    connect(&provider, &SpotMarketDataProvider::scoreEntriesChanged, this,
            [&events](const ScoreEntries &entries) { events.append(QString("entries %1").arg(entries.count())); });

    provider.enable();
    QCOMPARE(m_network.requests, 1);
    QTRY_COMPARE(events.count(), 3);
    // The empty cache first, then the download, announced once after the availability it brought.
    QCOMPARE(events, (QStringList{"entries 0", "available 1", QString("entries %1").arg(slotCount)}));
    QCOMPARE(m_server.paths, QStringList{"/v1/marketdata"});
    QVERIFY(sameSlots(provider.scoreEntries(), served));
    QCOMPARE(warned("Skipped 3 slots without start, end or market price."), malformed);
    QCOMPARE(cachedCount(austria), slotCount);

    // Ticks within the hour do not ask again; after the hour they do.
    TavroClock::setCurrentDateTime(now.addSecs(3599));
    tick(&provider);
    QCOMPARE(m_network.requests, 1);
    TavroClock::setCurrentDateTime(now.addSecs(3601));
    tick(&provider);
    QCOMPARE(m_network.requests, 2);
    QTRY_COMPARE(events.count(), 4);
}

void TestAwattarProvider::refreshFailure_data()
{
    QTest::addColumn<int>("status"); // 0: the server never answers
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("warning");

    QTest::newRow("status 404") << 404 << QByteArray("not here") << "Failed to refresh data. HTTP returned status: 404";
    QTest::newRow("status 204") << 204 << QByteArray() << "Failed to refresh data. HTTP returned status: 204";
    QTest::newRow("server hangs") << 0 << QByteArray() << "Failed to refresh data. Reply finished with error:";
    QTest::newRow("invalid JSON") << 200 << QByteArray("{\"data\": [")
                                  << "Failed to refresh data. The payload contains invalid JSON data:";
    QTest::newRow("error object") << 200 << QByteArray("{\"error\": \"rate limit\"}")
                                  << "Failed to refresh data. The payload contains no data array:";
    QTest::newRow("top-level array") << 200 << QByteArray("[]")
                                     << "Failed to refresh data. The payload contains no data array:";
    QTest::newRow("empty data array") << 200 << QByteArray("{\"data\": []}")
                                      << "Failed to refresh data. The payload holds no usable price slot:";
    QTest::newRow("only absurd prices")
            << 200
            << QByteArray(
                       "{\"data\": [{\"start_timestamp\": 1e12, \"end_timestamp\": 1.0036e12, \"marketprice\": -1e308}]}")
            << "Failed to refresh data. The payload holds no usable price slot:";
}

void TestAwattarProvider::refreshFailure()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, warning);

    // The cache holds yesterday and today; today's refresh fails.
    const ScoreEntries cached = makeSlots(QDateTime(now.date().addDays(-1), QTime(0, 0)), 48, 60);
    {
        QSettings cache(cacheFile(), QSettings::IniFormat);
        cache.beginWriteArray(austria, cached.count());
        for (int i = 0; i < cached.count(); i++) {
            cache.setArrayIndex(i);
            cache.setValue("startDateTime", cached.at(i).startDateTime());
            cache.setValue("endDateTime", cached.at(i).endDateTime());
            cache.setValue("value", cached.at(i).value());
        }
        cache.endArray();
    }
    m_server.status = status;
    m_server.body = body;

    SpotMarketDataProviderAwattar provider(&m_network, SpotMarketDataProviderAwattar::AwattarCountryAustria);
    provider.setTransferTimeout(300);
    QSignalSpy entriesSpy(&provider, &SpotMarketDataProvider::scoreEntriesChanged);
    QSignalSpy availableSpy(&provider, &SpotMarketDataProvider::availableChanged);
    QElapsedTimer timer;
    timer.start();
    provider.enable();
    QTRY_VERIFY(warned(warning));
    QVERIFY(timer.elapsed() < 4000);

    // Only the cache was announced: today's 09-10 (ending now) up to 23-24.
    QCOMPARE(entriesSpy.count(), 1);
    QCOMPARE(availableSpy.count(), 1);
    QVERIFY(provider.available());
    QVERIFY(sameSlots(provider.scoreEntries(), cached.mid(33)));
    QCOMPARE(cachedCount(austria), 48);

    // Nothing counts as refreshed: the next tick tries again.
    QCOMPARE(m_network.requests, 1);
    tick(&provider);
    QCOMPARE(m_network.requests, 2);
}

void TestAwattarProvider::cacheKeepsProvidersApart()
{
    const ScoreEntries austrian = makeSlots(QDateTime(now.date(), QTime(0, 0)), 24, 60);
    const ScoreEntries german = makeSlots(QDateTime(now.date(), QTime(0, 0)), 96, 15);
    SpotMarketDataProviderAwattar at(&m_network, SpotMarketDataProviderAwattar::AwattarCountryAustria);
    SpotMarketDataProviderAwattar de(&m_network, SpotMarketDataProviderAwattar::AwattarCountryGermany);
    QSignalSpy atSpy(&at, &SpotMarketDataProvider::scoreEntriesChanged);
    QSignalSpy deSpy(&de, &SpotMarketDataProvider::scoreEntriesChanged);

    m_server.status = 200;
    m_server.body = marketReply(austrian);
    at.refreshData();
    QTRY_COMPARE(atSpy.count(), 1);
    m_server.body = marketReply(german);
    de.refreshData();
    QTRY_COMPARE(deSpy.count(), 1);
    QVERIFY(m_server.paths.contains("/de/v1/marketdata"));

    // A shorter download replaces the array without leftovers and leaves the other alone.
    m_server.body = marketReply(austrian.mid(0, 12));
    at.refreshData();
    QTRY_COMPARE(atSpy.count(), 2);
    QCOMPARE(cachedCount(austria), 12);
    QCOMPARE(cachedCount("aWATTar DE"), 96);

    // A restarted provider finds its slots again.
    m_server.status = 404;
    TavroClock::setCurrentDateTime(QDateTime(now.date(), QTime(0, 0)));
    SpotMarketDataProviderAwattar restarted(&m_network, SpotMarketDataProviderAwattar::AwattarCountryGermany);
    restarted.enable();
    QVERIFY(sameSlots(restarted.scoreEntries(), german));
    QTRY_VERIFY(warned("HTTP returned status: 404"));
    QVERIFY(restarted.clearCache());
    QVERIFY(!QFile::exists(cacheFile()));

    // Without an override the real service is addressed over HTTPS.
    qunsetenv("TAVRO_AWATTAR_DE_URL");
    QCOMPARE(de.marketDataUrl(), QUrl("https://api.awattar.de/v1/marketdata"));
    qputenv("TAVRO_AWATTAR_DE_URL", (m_server.baseUrl() + "/de/").toUtf8());
}

void TestAwattarProvider::availability_data()
{
    QTest::addColumn<int>("slotMinutes");
    QTest::addColumn<int>("futureSlots");

    QTest::newRow("hourly 9 future slots") << 60 << 9;
    QTest::newRow("hourly 10 future slots") << 60 << 10;
    QTest::newRow("quarter-hourly 9 future slots") << 15 << 9;
    QTest::newRow("quarter-hourly 10 future slots") << 15 << 10;
}

void TestAwattarProvider::availability()
{
    QFETCH(int, slotMinutes);
    QFETCH(int, futureSlots);
    const bool available = futureSlots >= 10;

    // Three slots that ended, then the future ones.
    m_server.status = 200;
    m_server.body = marketReply(makeSlots(now.addSecs(-3 * slotMinutes * 60), 3 + futureSlots, slotMinutes));
    SpotMarketDataProviderAwattar provider(&m_network, SpotMarketDataProviderAwattar::AwattarCountryAustria);
    QSignalSpy entriesSpy(&provider, &SpotMarketDataProvider::scoreEntriesChanged);
    QSignalSpy availableSpy(&provider, &SpotMarketDataProvider::availableChanged);
    provider.enable();
    QTRY_COMPARE(entriesSpy.count(), 2);
    QCOMPARE(provider.available(), available);
    QCOMPARE(availableSpy.count(), available ? 1 : 0);
    if (!available)
        return;

    // As a slot ends, availability falls on the next tick.
    TavroClock::setCurrentDateTime(now.addSecs(slotMinutes * 60));
    tick(&provider);
    QCOMPARE(availableSpy.count(), 2);
    QVERIFY(!provider.available());

    // Disabled with enough fresh slots: not available; the slots are kept.
    TavroClock::setCurrentDateTime(now);
    tick(&provider);
    QVERIFY(provider.available());
    provider.disable();
    QVERIFY(!provider.available());
    QCOMPARE(availableSpy.count(), 4);
    QCOMPARE(provider.scoreEntries().count(), 3 + futureSlots);
}

QTEST_GUILESS_MAIN(TestAwattarProvider)
#include "tst_awattarprovider.moc"
