#include <QtTest>
#include "settingssandbox.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTimeZone>
#include <QUrlQuery>

#include <ctime>

#include "config/energysettings.h"
#include "httpresponder.h"
#include "spotmarket/spotmarketdataprovider.h"
#include "spotmarket/spotmarketdataproviderenergycharts.h"
#include "spotmarket/spotmarketmanager.h"
#include "tavro/tavroclock.h"

namespace {
const QUuid austriaId("5196b3cc-b2ee-46d6-b63a-7af2cf70ba67");
const QUuid germanyId("0ca6ad88-e243-438d-a0f8-986cecf61834");
const QDate today(2026, 1, 20);

// Delivers whatever the test hands it.
class FakeProvider : public SpotMarketDataProvider
{
public:
    explicit FakeProvider(const QUuid &id)
        : SpotMarketDataProvider(nullptr)
    {
        m_info.providerId = id;
    }
    QUuid providerId() const override { return m_info.providerId; }
    void enable() override {}
    void disable() override {}
    void refreshData() override {}
    void deliver(const ScoreEntries &entries)
    {
        m_scoreEntries = entries;
        emit scoreEntriesChanged(entries);
    }
};

// Slots from first on, one per value.
ScoreEntries priced(const QDateTime &first, int slotMinutes, const QList<double> &values)
{
    ScoreEntries entries;
    for (int i = 0; i < values.count(); i++) {
        ScoreEntry entry;
        entry.setStartDateTime(first.addSecs(i * slotMinutes * 60));
        entry.setEndDateTime(entry.startDateTime().addSecs(slotMinutes * 60));
        entry.setValue(values.at(i));
        entries.append(entry);
    }
    return entries;
}
}

class TestSpotMarketManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void weighting_data();
    void weighting();
    void selectionPersisted();
    void energyChartsZones();
    void perDayWeighting_data();
    void perDayWeighting();
    void localDays_data();
    void localDays();
    void cleanup();

private:
    SettingsSandbox m_dir;
    HttpResponder m_server;
    QNetworkAccessManager m_network;
    int m_testNumber = 0;
    QByteArray m_savedZone; // TZ before a test changed it; null when untouched
};

void TestSpotMarketManager::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.apply();
    QVERIFY(m_server.start());
    qputenv("TAVRO_AWATTAR_AT_URL", m_server.baseUrl().toUtf8());
    qputenv("TAVRO_AWATTAR_DE_URL", m_server.baseUrl().toUtf8());
    qputenv("TAVRO_ENERGY_CHARTS_URL", m_server.baseUrl().toUtf8());
    m_network.setProxy(QNetworkProxy::NoProxy);
}

void TestSpotMarketManager::init()
{
    qputenv("TAVRO_SETTINGS_PATH", m_dir.filePath(QString("settings%1").arg(m_testNumber++)).toUtf8());
}

void TestSpotMarketManager::cleanup()
{
    // Tests that change the zone put the machine's back.
    if (m_savedZone.isNull())
        return;
    if (m_savedZone.isEmpty())
        qunsetenv("TZ");
    else
        qputenv("TZ", m_savedZone);
    tzset();
    m_savedZone.clear();
}

void TestSpotMarketManager::weighting_data()
{
    QTest::addColumn<QList<double>>("values");
    QTest::addColumn<QList<double>>("weightings");

    QTest::newRow("10 20 30") << QList<double>{10, 20, 30} << QList<double>{1.0, 0.5, 0.0};
    QTest::newRow("negative prices") << QList<double>{-10, 0, 30} << QList<double>{1.0, 0.75, 0.0};
    QTest::newRow("all equal") << QList<double>{25, 25, 25} << QList<double>{1.0, 1.0, 1.0};
    QTest::newRow("single slot") << QList<double>{40} << QList<double>{1.0};
}

void TestSpotMarketManager::weighting()
{
    QFETCH(QList<double>, values);
    QFETCH(QList<double>, weightings);

    // Handed over latest first, returned earliest first.
    SpotMarketManager manager(&m_network);
    const ScoreEntries inOrder = priced(QDateTime(today, QTime(10, 0)), 60, values);
    ScoreEntries reversed;
    for (const ScoreEntry &entry : inOrder)
        reversed.prepend(entry);

    const ScoreEntries weighted = manager.weightScoreEntries(reversed);
    QCOMPARE(weighted.count(), weightings.count());
    for (int i = 0; i < weightings.count(); i++) {
        QCOMPARE(weighted.at(i).startDateTime(), inOrder.at(i).startDateTime());
        QCOMPARE(weighted.at(i).weighting(), static_cast<float>(weightings.at(i)));
    }
}

void TestSpotMarketManager::selectionPersisted()
{
    auto *manager = new SpotMarketManager(&m_network);
    QVERIFY(!manager->enabled());
    QVERIFY(!manager->currentProvider());
    QTest::ignoreMessage(QtWarningMsg,
                         "SpotMarketManager: Try to register already registered provider. Ignoring request.");
    FakeProvider duplicate(austriaId);
    QVERIFY(!manager->registerProvider(&duplicate));
    QCOMPARE(manager->availableProviders().count(), 2 + 15);

    // Nothing stored: the first registered provider is taken and enabled.
    QSignalSpy providerSpy(manager, &SpotMarketManager::currentProviderChanged);
    manager->setEnabled(true);
    QVERIFY(manager->enabled());
    QCOMPARE(manager->currentProviderId(), austriaId);
    QVERIFY(manager->currentProvider()->enabled());
    QCOMPARE(providerSpy.count(), 1);

    SpotMarketDataProvider *austria = manager->currentProvider();
    QVERIFY(manager->changeProvider(germanyId));
    QCOMPARE(providerSpy.last().at(0).value<SpotMarketDataProvider *>(), manager->currentProvider());
    QVERIFY(!austria->enabled());
    QVERIFY(!manager->currentProvider()->enabled());

    const QUuid unknown = QUuid::createUuid();
    QTest::ignoreMessage(
            QtWarningMsg,
            qPrintable(
                    QString("SpotMarketManager: Requested to change provider to %1 but there is no such provider available.")
                            .arg(unknown.toString())));
    QVERIFY(!manager->changeProvider(unknown));
    QCOMPARE(manager->currentProviderId(), germanyId);

    // Disabling keeps the selection.
    QSignalSpy enabledSpy(manager, &SpotMarketManager::enabledChanged);
    manager->setEnabled(false);
    QCOMPARE(manager->currentProviderId(), germanyId);
    QCOMPARE(enabledSpy.count(), 1);
    {
        EnergySettings settings;
        settings.beginGroup("SpotMarket");
        QCOMPARE(settings.value("enabled").toBool(), false);
        QCOMPARE(settings.value("providerId").toUuid(), germanyId);
    }
    manager->setEnabled(true);
    delete manager;

    // A restart restores the selection and enables it.
    SpotMarketManager restarted(&m_network);
    QVERIFY(restarted.enabled());
    QCOMPARE(restarted.currentProviderId(), germanyId);
    QVERIFY(restarted.currentProvider()->enabled());
}

void TestSpotMarketManager::energyChartsZones()
{
    // Each zone answers with prices of its own: a day and a half of quarter
    // hours from midnight, priced after the zone.
    const QDateTime midnight(today, QTime(0, 0));
    TavroClock::setCurrentDateTime(midnight.addSecs(10 * 3600));
    m_server.answer = [this, midnight](const QString &path) {
        const QString zone = QUrlQuery(QUrl(path).query()).queryItemValue("bzn");
        m_server.status = zone == "NL" || zone == "SE4" ? 200 : 404;
        QStringList seconds, prices;
        for (int i = 0; i < 144; i++) {
            seconds.append(QString::number(midnight.toSecsSinceEpoch() + i * 900));
            prices.append(QString::number((zone == "NL" ? 100 : 30) + i % 7));
        }
        return QString(R"({"license_info":"%1 data","unix_seconds":[%2],"price":[%3]})")
                .arg(zone, seconds.join(','), prices.join(','))
                .toUtf8();
    };

    auto *manager = new SpotMarketManager(&m_network);
    QStringList zones;
    QSet<QUuid> ids;
    QUuid netherlands, sweden;
    for (const SpotMarketProviderInfo &info : manager->availableProviders()) {
        ids.insert(info.providerId);
        if (!info.name.startsWith("Energy-Charts "))
            continue;
        zones.append(info.zone);
        // A readable name with the zone, the zone's country, a license line.
        QVERIFY2(info.name.contains(info.zone + " (") && info.name.endsWith(')'), qPrintable(info.name));
        QVERIFY2(QLocale(QLocale::AnyLanguage, info.country).name().endsWith('_' + info.zone.left(2)),
                 qPrintable(info.zone));
        QVERIFY(!info.license.isEmpty());
        netherlands = info.zone == "NL" ? info.providerId : netherlands;
        sweden = info.zone == "SE4" ? info.providerId : sweden;
    }
    QCOMPARE(zones, SpotMarketDataProviderEnergyCharts::zones());
    QCOMPARE(zones, QStringList({"AT", "BE", "CH", "CZ", "DE-LU", "DK1", "DK2", "FR", "HU", "IT-NORTH", "NL", "NO2",
                                 "PL", "SE4", "SI"}));
    QCOMPARE(ids.count(), 17);
    QVERIFY(!ids.contains(QUuid()));

    // The owner picks a zone; its prices arrive, its license line shows.
    QSignalSpy providersSpy(manager, &SpotMarketManager::availableProvidersChanged);
    QVERIFY(manager->changeProvider(netherlands));
    manager->setEnabled(true);
    QTRY_VERIFY(manager->available());
    QCOMPARE(manager->weightedScoreEntries(today).first().value(), 100.0);
    QCOMPARE(providersSpy.count(), 1);
    auto licenseOf = [manager](const QUuid &id) {
        for (const SpotMarketProviderInfo &info : manager->availableProviders()) {
            if (info.providerId == id)
                return info.license;
        }
        return QString();
    };
    QCOMPARE(licenseOf(netherlands), QString("NL data"));

    // Another zone: its own prices; back again, the first zone's come from
    // its cache while the service has none.
    QVERIFY(manager->changeProvider(sweden));
    manager->setEnabled(true);
    QTRY_VERIFY(manager->available());
    QCOMPARE(manager->weightedScoreEntries(today).first().value(), 30.0); // prices of 30…36
    m_server.answer = nullptr;
    m_server.status = 404;
    QVERIFY(manager->changeProvider(netherlands));
    manager->setEnabled(true);
    QVERIFY(manager->available());
    QVERIFY(manager->weightedScoreEntries(today).first().value() >= 100.0); // prices of 100…106
    delete manager;

    // A restart comes back to the zone picked last, with its license line.
    SpotMarketManager restarted(&m_network);
    QCOMPARE(restarted.currentProviderId(), netherlands);
    QVERIFY(restarted.available());
    QCOMPARE(restarted.currentProvider()->info().license, QString("NL data"));
    TavroClock::reset();
}

void TestSpotMarketManager::perDayWeighting_data()
{
    QTest::addColumn<int>("slotMinutes");
    QTest::addColumn<QString>("todaysPlan");

    QTest::newRow("hourly") << 60 << "14:00-15:00";
    QTest::newRow("quarter-hourly") << 15 << "13:30-14:30";
}

void TestSpotMarketManager::perDayWeighting()
{
    QFETCH(int, slotMinutes);
    QFETCH(QString, todaysPlan);

    SpotMarketManager manager(&m_network);
    auto *fake = new FakeProvider(QUuid::createUuid());
    QVERIFY(manager.registerProvider(fake));
    QVERIFY(manager.changeProvider(fake->providerId()));
    QSignalSpy updatedSpy(&manager, &SpotMarketManager::scoreEntriesUpdated);

    // Each day cheapest at 14:00, rising on both sides (a little steeper
    // after it, so no two prices are equal); tomorrow cheaper than all of today.
    const int perDay = 24 * 60 / slotMinutes;
    QList<double> todayPrices, tomorrowPrices;
    for (int i = 0; i < perDay; i++) {
        const int distance = i - 14 * 60 / slotMinutes;
        todayPrices.append(50 + qAbs(distance) + (distance > 0 ? 0.5 : 0.0));
        tomorrowPrices.append(todayPrices.last() - 200);
    }
    ScoreEntries entries = priced(QDateTime(today, QTime(0, 0)), slotMinutes, todayPrices);
    entries.append(priced(QDateTime(today.addDays(1), QTime(0, 0)), slotMinutes, tomorrowPrices));
    fake->deliver(entries);
    QCOMPARE(updatedSpy.count(), 1);

    for (const QDate &date : {today, today.addDays(1)}) {
        const ScoreEntries day = manager.weightedScoreEntries(date);
        QCOMPARE(day.count(), perDay);
        QCOMPARE(day.getScoreEntry(QDateTime(date, QTime(14, 0))).weighting(), 1.0f);
        QCOMPARE(day.first().weighting(), 0.0f); // midnight is the most expensive
    }
    QVERIFY(manager.weightedScoreEntries(today.addDays(2)).isEmpty());

    // Weighted all together, today's best slot ranks below tomorrow's worst.
    const ScoreEntries all = manager.weightedScoreEntries(QDate());
    QCOMPARE(all.count(), 2 * perDay);
    QVERIFY(all.getScoreEntry(QDateTime(today, QTime(14, 0))).weighting()
            < all.getScoreEntry(QDateTime(today.addDays(1), QTime(0, 0))).weighting());

    // Planning for today stays within today.
    const QDateTime now(today, QTime(10, 0));
    const QList<TimeFrame> plan = manager.scheduleCharingTimeForToday(now, 60, 15, false);
    QCOMPARE(plan.count(), 1);
    QCOMPARE(plan.first(), TimeFrame(QDateTime(today, QTime::fromString(todaysPlan.left(5), "hh:mm")),
                                     QDateTime(today, QTime::fromString(todaysPlan.right(5), "hh:mm"))));

    // A list starting tomorrow drops today; switching provider drops everything.
    fake->deliver(entries.mid(perDay));
    QVERIFY(manager.weightedScoreEntries(today).isEmpty());
    QCOMPARE(manager.weightedScoreEntries(today.addDays(1)).count(), perDay);
    QVERIFY(manager.scheduleCharingTimeForToday(now, 60, 15, false).isEmpty());
    QVERIFY(manager.changeProvider(austriaId));
    QVERIFY(manager.weightedScoreEntries(today.addDays(1)).isEmpty());
}

void TestSpotMarketManager::localDays_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QDate>("date");
    QTest::addColumn<int>("slotCount");

    QTest::newRow("clocks forward: 23 hours") << QByteArray("Europe/Vienna") << QDate(2026, 3, 29) << 23;
    QTest::newRow("clocks back: 25 hours") << QByteArray("Europe/Vienna") << QDate(2026, 10, 25) << 25;
    QTest::newRow("half-hour offset") << QByteArray("Asia/Kolkata") << QDate(2026, 3, 29) << 24;
    QTest::newRow("far west of UTC") << QByteArray("America/Los_Angeles") << QDate(2026, 1, 20) << 24;
}

void TestSpotMarketManager::localDays()
{
    QFETCH(QByteArray, zone);
    QFETCH(QDate, date);
    QFETCH(int, slotCount);

    // A day of prices is a day of the owner's calendar, whatever UTC says.
    m_savedZone = qgetenv("TZ");
    if (m_savedZone.isNull())
        m_savedZone = QByteArray("");
    qputenv("TZ", zone);
    tzset();
    QVERIFY2(QTimeZone(zone).isValid(), "time zone data missing");

    SpotMarketManager manager(&m_network);
    auto *fake = new FakeProvider(QUuid::createUuid());
    QVERIFY(manager.registerProvider(fake));
    QVERIFY(manager.changeProvider(fake->providerId()));

    // Hourly slots in real time from the day before to the day after; the
    // price falls all along, so the last slot of each day is its best.
    const QDateTime first(date.addDays(-1), QTime(0, 0));
    const int hours = static_cast<int>(first.secsTo(QDateTime(date.addDays(2), QTime(0, 0))) / 3600);
    QList<double> prices;
    for (int i = 0; i < hours; i++)
        prices.append(300.0 - i);
    fake->deliver(priced(first, 60, prices));

    const ScoreEntries day = manager.weightedScoreEntries(date);
    QCOMPARE(day.count(), slotCount);
    QCOMPARE(day.first().startDateTime(), QDateTime(date, QTime(0, 0)));
    QCOMPARE(day.last().endDateTime(), QDateTime(date.addDays(1), QTime(0, 0)));
    QCOMPARE(day.last().weighting(), 1.0f);
    QCOMPARE(day.first().weighting(), 0.0f);

    // Planning for today stays within the local day: the last two hours.
    const QList<TimeFrame> plan = manager.scheduleCharingTimeForToday(QDateTime(date, QTime(0, 30)), 120, 15, false);
    QCOMPARE(plan.count(), 1);
    QCOMPARE(plan.first(), TimeFrame(QDateTime(date, QTime(22, 0)), QDateTime(date.addDays(1), QTime(0, 0))));
}

QTEST_GUILESS_MAIN(TestSpotMarketManager)
#include "tst_spotmarketmanager.moc"
