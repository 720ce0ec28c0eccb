#include <QtTest>
#include "settingssandbox.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>

#include "sim/priceserver.h"
#include "sim/scenario.h"
#include "spotmarket/spotmarketdataproviderawattar.h"
#include "spotmarket/spotmarketdataproviderenergycharts.h"
#include "tavro/tavroclock.h"

#include <memory>

// The simulator's price server speaks each service as the plugin's provider
// for it reads it: the provider of the scenario's service and zone gets every
// slot of the run, at the scenario's prices; any other gets nothing.
class TestPriceServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void providersReadTheirService_data();
    void providersReadTheirService();

private:
    SettingsSandbox m_dir;
    QNetworkAccessManager m_network;
    QByteArray m_zone;
};

namespace {

std::unique_ptr<SpotMarketDataProvider> provider(QNetworkAccessManager *network, const QString &name)
{
    if (name == QLatin1String("awattar AT"))
        return std::make_unique<SpotMarketDataProviderAwattar>(network,
                                                               SpotMarketDataProviderAwattar::AwattarCountryAustria);
    return std::make_unique<SpotMarketDataProviderEnergyCharts>(network, name.section(' ', 1));
}

// The provider's slots after one download; empty when it got none.
ScoreEntries download(SpotMarketDataProvider *provider, const PriceServer &server)
{
    QSignalSpy entriesSpy(provider, &SpotMarketDataProvider::scoreEntriesChanged);
    const int requests = server.requestCount();
    provider->enable();
    // The (empty) cache is announced at once, a download one loop turn
    // after the answer; a refused one is not announced at all.
    QElapsedTimer timer;
    timer.start();
    while (entriesSpy.count() < 2 && timer.elapsed() < 5000
           && (server.requestCount() == requests || timer.elapsed() < 300))
        QTest::qWait(10);
    provider->disable();
    return provider->scoreEntries();
}

}

void TestPriceServer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.apply();
    m_network.setProxy(QNetworkProxy::NoProxy);
    m_zone = qgetenv("TZ");
}

void TestPriceServer::cleanupTestCase()
{
    // Loading a scenario sets the process's zone.
    if (m_zone.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", m_zone);
    tzset();
    TavroClock::reset();
}

void TestPriceServer::providersReadTheirService_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("minute");     // after the start, when the providers ask
    QTest::addColumn<QString>("reader"); // the provider that gets the prices
    QTest::addColumn<QStringList>("others");
    QTest::addColumn<QString>("until"); // local "d+hh:mm" the slots reach

    QTest::newRow("aWATTar, Vienna, clocks go forward")
            << "dst-spring-night" << 0 << "awattar AT" << QStringList{"energy-charts AT"} << "3+01:00";
    QTest::newRow("Energy-Charts SE4, clocks go forward")
            << "se4-spring-night-15min" << 0 << "energy-charts SE4" << QStringList{"awattar AT", "energy-charts DK2"}
            << "3+00:00";
    QTest::newRow("Energy-Charts NL, clocks go back")
            << "nl-autumn-night-15min" << 0 << "energy-charts NL" << QStringList{"energy-charts SE4"} << "2+23:00";
    QTest::newRow("Energy-Charts NL, before publication")
            << "nl-midday-dip-15min" << 119 << "energy-charts NL" << QStringList{"awattar AT"} << "1+00:00";
    QTest::newRow("Energy-Charts NL, after publication")
            << "nl-midday-dip-15min" << 120 << "energy-charts NL" << QStringList{} << "2+00:00";
}

void TestPriceServer::providersReadTheirService()
{
    QFETCH(QString, scenario);
    QFETCH(int, minute);
    QFETCH(QString, reader);
    QFETCH(QStringList, others);
    QFETCH(QString, until);

    QString error;
    const Scenario household =
            Scenario::load(QStringLiteral(TAVRO_SCENARIO_DIR "/%1.json").arg(scenario), QByteArray(), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    PriceServer server(household);
    QVERIFY(server.start());
    qputenv("TAVRO_AWATTAR_AT_URL", server.baseUrl().toUtf8());
    qputenv("TAVRO_ENERGY_CHARTS_URL", server.baseUrl().toUtf8());
    TavroClock::setCurrentDateTime(household.start.addSecs(minute * 60));

    for (const QString &other : others) {
        qputenv("TAVRO_CACHE_PATH", m_dir.filePath(other).toUtf8());
        QVERIFY2(download(provider(&m_network, other).get(), server).isEmpty(), qPrintable(other));
    }

    // Slot after slot from the first midnight, each at the scenario's price.
    qputenv("TAVRO_CACHE_PATH", m_dir.filePath(QString("reader%1").arg(QTest::currentDataTag())).toUtf8());
    const ScoreEntries entries = download(provider(&m_network, reader).get(), server);
    QVERIFY(!entries.isEmpty());
    QDateTime expectedStart = household.firstMidnight();
    for (const ScoreEntry &entry : entries) {
        QCOMPARE(entry.startDateTime(), expectedStart);
        QCOMPARE(entry.startDateTime().secsTo(entry.endDateTime()), household.priceResolutionMinutes * 60LL);
        const int offset = static_cast<int>(household.firstMidnight().secsTo(entry.startDateTime()) / 60);
        QCOMPARE(entry.value(), household.priceAtOffset(offset));
        expectedStart = entry.endDateTime();
    }
    const QDateTime end(household.start.date().addDays(until.section('+', 0, 0).toInt()),
                        QTime::fromString(until.section('+', 1), "hh:mm"));
    QCOMPARE(entries.last().endDateTime(), end);
}

QTEST_GUILESS_MAIN(TestPriceServer)
#include "tst_priceserver.moc"
