#include <QtTest>
#include "settingssandbox.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>

#include <cmath>
#include <functional>
#include <limits>

#include "../faults/faultsupport.h"
#include "config/energysettings.h"
#include "forecastservice.h"
#include "forecast/solarforecastmanager.h"
#include "forecast/solarforecastprovider.h"
#include "tavro-energy/energylogs.h"
#include "tavro/tavroclock.h"

// The owner's configuration (checked, stored in "energy.conf", announced
// once), what a plan may count on, and the day-by-day record of how the
// forecast matched the PV production.
class TestSolarForecastManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void configuration_data();
    void configuration();
    void restoreLeavesOutDamage_data();
    void restoreLeavesOutDamage();
    void countsOnlyOnAnAvailableForecast();
    void historyRecordsDays_data();
    void historyRecordsDays();

private:
    SettingsSandbox m_dir;
    ForecastService m_service;
    QNetworkAccessManager m_network;
};

namespace {

const QDateTime now(QDate(2026, 6, 15), QTime(0, 5));
const QString path = "/estimate/48.2/16.37/30/0/5";
// Wh of the hours ending at 07:00 … 18:00: 8000 in all.
const QList<int> hours{200, 400, 600, 800, 1000, 1000, 1000, 1000, 800, 600, 400, 200};

SolarPlane south()
{
    return SolarPlane(48.2, 16.37, 30, 0, 5);
}

QByteArray reply()
{
    QJsonObject periods;
    for (int day = 0; day < 2; day++) {
        const QString date = now.date().addDays(day).toString("yyyy-MM-dd");
        periods.insert(date + " 06:00:00", 0);
        for (int i = 0; i < hours.count(); i++)
            periods.insert(date + QString(" %1:00:00").arg(7 + i, 2, 10, QLatin1Char('0')), hours.at(i));
    }
    return QJsonDocument(QJsonObject{{"result", QJsonObject{{"watt_hours_period", periods}}},
                                     {"message", QJsonObject{{"code", 0}, {"type", "success"}}}})
            .toJson();
}

SolarForecastConfiguration enabledSouth()
{
    SolarForecastConfiguration configuration;
    configuration.setEnabled(true);
    configuration.setPlanes({south()});
    return configuration;
}

}

void TestSolarForecastManager::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_service.start());
    qputenv("TAVRO_FORECAST_SOLAR_URL", m_service.baseUrl().toUtf8());
    m_network.setProxy(QNetworkProxy::NoProxy);
    FaultSupport::recordWarnings();
}

void TestSolarForecastManager::init()
{
    m_dir.apply();
    m_dir.clear();
    TavroClock::setCurrentDateTime(now);
    FaultSupport::warnings().clear();
    m_service.requests.clear();
    m_service.answers.insert(path, {200, reply(), {}, false});
}

void TestSolarForecastManager::cleanup()
{
    TavroClock::reset();
}

void TestSolarForecastManager::configuration_data()
{
    QTest::addColumn<SolarForecastConfiguration>("configuration");
    QTest::addColumn<QString>("error"); // empty: accepted

    const auto withPlane = [](const std::function<void(SolarPlane &)> &change) {
        SolarForecastConfiguration configuration = enabledSouth();
        SolarPlane plane = south();
        change(plane);
        configuration.setPlanes({plane, SolarPlane(48.2, 16.37, 45, 90, 3)});
        return configuration;
    };
    const auto withKey = [](const QString &key) {
        SolarForecastConfiguration configuration = enabledSouth();
        configuration.setApiKey(key);
        return configuration;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("east and west with a horizon") << withPlane([](SolarPlane &plane) {
        plane.setHorizon({0, 5, 90, 10});
    }) << "";
    QTest::newRow("latitude 90") << withPlane([](SolarPlane &plane) { plane.setLatitude(90); }) << "";
    QTest::newRow("latitude 90.5") << withPlane([](SolarPlane &plane) { plane.setLatitude(90.5); }) << "latitude";
    QTest::newRow("latitude not a number")
            << withPlane([nan](SolarPlane &plane) { plane.setLatitude(nan); }) << "latitude";
    QTest::newRow("longitude -180.5") << withPlane([](SolarPlane &plane) { plane.setLongitude(-180.5); })
                                      << "longitude";
    QTest::newRow("declination -1") << withPlane([](SolarPlane &plane) { plane.setDeclination(-1); }) << "declination";
    QTest::newRow("declination 90: a facade") << withPlane([](SolarPlane &plane) { plane.setDeclination(90); }) << "";
    QTest::newRow("azimuth 180.5") << withPlane([](SolarPlane &plane) { plane.setAzimuth(180.5); }) << "azimuth";
    QTest::newRow("a plane of 0 kWp") << withPlane([](SolarPlane &plane) { plane.setKwp(0); })
                                      << "plane 0: kwp must lie above 0";
    QTest::newRow("1000 kWp") << withPlane([](SolarPlane &plane) { plane.setKwp(1000); }) << "";
    QTest::newRow("1000.5 kWp") << withPlane([](SolarPlane &plane) { plane.setKwp(1000.5); }) << "kwp";
    QTest::newRow("horizon at 91°") << withPlane([](SolarPlane &plane) { plane.setHorizon({0, 91}); }) << "horizon";
    QTest::newRow("horizon of 361 points")
            << withPlane([](SolarPlane &plane) { plane.setHorizon(QVector<int>(361, 5).toList()); }) << "horizon";
    SolarForecastConfiguration five = enabledSouth();
    five.setPlanes(QVector<SolarPlane>(5, south()).toList());
    QTest::newRow("five planes") << five << "at most 4 planes";
    SolarForecastConfiguration empty;
    empty.setEnabled(true);
    QTest::newRow("enabled without a plane") << empty << "needs a plane";
    QTest::newRow("disabled without a plane") << SolarForecastConfiguration() << "";
    QTest::newRow("a key of 64 characters") << withKey(QString(64, QLatin1Char('a'))) << "";
    QTest::newRow("a key of 65 characters") << withKey(QString(65, QLatin1Char('a'))) << "API key";
    QTest::newRow("a key with a slash") << withKey("abc/../estimate") << "API key";
}

void TestSolarForecastManager::configuration()
{
    QFETCH(SolarForecastConfiguration, configuration);
    QFETCH(QString, error);

    // What was there before: one south plane, disabled, with a key.
    SolarForecastConfiguration before;
    before.setPlanes({SolarPlane(1, 2, 3, 4, 5)});
    before.setApiKey("old");
    {
        SolarForecastManager manager(&m_network, nullptr);
        QCOMPARE(manager.setConfiguration(before), SolarForecastManager::SetResultStored);
    }

    SolarForecastManager manager(&m_network, nullptr);
    QCOMPARE(manager.configuration(), before);
    QSignalSpy changed(&manager, &SolarForecastManager::configurationChanged);
    QString reason;
    QCOMPARE(manager.setConfiguration(configuration, &reason),
             error.isEmpty() ? SolarForecastManager::SetResultStored : SolarForecastManager::SetResultInvalid);
    QVERIFY2(reason.contains(error), qPrintable(reason));
    const SolarForecastConfiguration expected = error.isEmpty() ? configuration : before;
    QCOMPARE(manager.configuration(), expected);
    QCOMPARE(changed.count(), error.isEmpty() ? 1 : 0);
    // The same again is no change.
    manager.setConfiguration(configuration);
    QCOMPARE(changed.count(), error.isEmpty() ? 1 : 0);

    // Stored: a restart reads it back.
    SolarForecastManager restarted(&m_network, nullptr);
    QCOMPARE(restarted.configuration(), expected);
    QCOMPARE(FaultSupport::warningsContaining("damaged"), 0);
}

void TestSolarForecastManager::restoreLeavesOutDamage_data()
{
    QTest::addColumn<QVariantList>("planes"); // maps of the stored values
    QTest::addColumn<QString>("apiKey");
    QTest::addColumn<int>("restoredPlanes");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("warnings");

    const QVariantMap good{{"latitude", 48.2}, {"longitude", 16.37}, {"declination", 30},
                           {"azimuth", -90},   {"kwp", 4.5},         {"horizon", "0,10,20"}};
    QVariantMap zero = good;
    zero.insert("kwp", 0);
    QVariantMap text = good;
    text.insert("latitude", "north");
    QVariantMap horizon = good;
    horizon.insert("horizon", "0,ten");
    QVariantMap steep = good;
    steep.insert("declination", 95);
    QTest::newRow("sound") << QVariantList{good, good} << "key" << 2 << true << 0;
    QTest::newRow("a plane of 0 kWp") << QVariantList{zero, good} << "key" << 1 << true << 1;
    QTest::newRow("unreadable values") << QVariantList{text, horizon, steep, good} << "key" << 1 << true << 3;
    QTest::newRow("five planes: one too many") << QVariantList{good, good, good, good, good} << "" << 4 << true << 1;
    QTest::newRow("no sound plane: off") << QVariantList{zero} << "" << 0 << false << 1;
    QTest::newRow("a key that would change the path") << QVariantList{good} << "a/b" << 1 << true << 1;
}

void TestSolarForecastManager::restoreLeavesOutDamage()
{
    QFETCH(QVariantList, planes);
    QFETCH(QString, apiKey);
    QFETCH(int, restoredPlanes);
    QFETCH(bool, enabled);
    QFETCH(int, warnings);

    {
        EnergySettings settings;
        settings.beginGroup("SolarForecast");
        settings.setValue("enabled", true);
        settings.setValue("apiKey", apiKey);
        settings.beginWriteArray("planes", planes.count());
        for (int i = 0; i < planes.count(); i++) {
            settings.setArrayIndex(i);
            const QVariantMap plane = planes.at(i).toMap();
            for (auto it = plane.constBegin(); it != plane.constEnd(); ++it)
                settings.setValue(it.key(), it.value());
        }
        settings.endArray();
        settings.endGroup();
    }
    m_service.answers.insert("/estimate/48.2/16.37/30/-90/4.5", {503, "{}", {}, false});
    SolarForecastManager manager(&m_network, nullptr);
    const SolarForecastConfiguration configuration = manager.configuration();
    QCOMPARE(configuration.planes().count(), restoredPlanes);
    QCOMPARE(configuration.enabled(), enabled);
    QCOMPARE(configuration.apiKey(), apiKey.contains('/') ? QString() : apiKey);
    QVERIFY(configuration.validationError().isEmpty());
    for (const SolarPlane &plane : configuration.planes()) {
        QCOMPARE(plane.kwp(), 4.5);
        QCOMPARE(plane.horizon(), (QList<int>{0, 10, 20}));
    }
    QCOMPARE(FaultSupport::warningsContaining("damaged solar forecast"), warnings);
}

void TestSolarForecastManager::countsOnlyOnAnAvailableForecast()
{
    SolarForecastManager manager(&m_network, nullptr);
    manager.provider()->setSelfTimed(false);
    QSignalSpy changed(&manager, &SolarForecastManager::forecastChanged);
    const QDateTime noon(now.date(), QTime(12, 0));
    QCOMPARE(manager.expectedEnergy(noon, noon.addSecs(3600)), 0.0);

    QCOMPARE(manager.setConfiguration(enabledSouth()), SolarForecastManager::SetResultStored);
    QTRY_VERIFY(manager.available());
    QCOMPARE(changed.count(), 1);
    // 12:00-13:00 is the hour ending at 13:00; half of 13:00-14:00 too.
    QCOMPARE(manager.expectedEnergy(noon, noon.addSecs(5400)), 1000.0 + 500.0);
    QCOMPARE(manager.forecast().count(), 2 * 12 * 4);
    QCOMPARE(manager.updated(), now);

    // A day without a good answer: nothing to count on.
    m_service.answers.insert(path, {500, "{}", {}, false});
    TavroClock::setCurrentDateTime(now.addSecs(SolarForecastProvider::staleAfter));
    manager.provider()->tick();
    QVERIFY(manager.available());
    QTRY_COMPARE(FaultSupport::warningsContaining("HTTP returned status 500"), 1);
    TavroClock::setCurrentDateTime(now.addSecs(SolarForecastProvider::staleAfter + 1));
    manager.provider()->tick();
    QVERIFY(!manager.available());
    QCOMPARE(changed.count(), 2);
    QVERIFY(manager.forecast().isEmpty());
    QCOMPARE(manager.expectedEnergy(noon.addDays(1), noon.addDays(1).addSecs(3600)), 0.0);

    // Switched off: the same.
    m_service.answers.insert(path, {200, reply(), {}, false});
    TavroClock::setCurrentDateTime(now.addSecs(SolarForecastProvider::staleAfter + 601));
    manager.provider()->tick();
    QTRY_VERIFY(manager.available());
    QCOMPARE(changed.count(), 3);
    QCOMPARE(manager.setConfiguration(SolarForecastConfiguration()), SolarForecastManager::SetResultStored);
    QVERIFY(!manager.available());
    QCOMPARE(changed.count(), 4);
    QCOMPARE(manager.expectedEnergy(noon.addDays(1), noon.addDays(1).addSecs(3600)), 0.0);
}

void TestSolarForecastManager::historyRecordsDays_data()
{
    QTest::addColumn<double>("share");      // of the forecast the producers give
    QTest::addColumn<int>("sampled");       // minutes of the day with a sample
    QTest::addColumn<bool>("withForecast"); // enabled before the day
    QTest::addColumn<bool>("recorded");

    QTest::newRow("half the forecast") << 0.5 << 1440 << true << true;
    QTest::newRow("more than forecast: at most 1") << 1.3 << 1440 << true << true;
    QTest::newRow("90 % of the day sampled") << 0.5 << 1296 << true << true;
    QTest::newRow("less than 90 % sampled") << 0.5 << 1295 << true << false;
    QTest::newRow("no forecast that day") << 0.5 << 1440 << false << false;
}

void TestSolarForecastManager::historyRecordsDays()
{
    QFETCH(double, share);
    QFETCH(int, sampled);
    QFETCH(bool, withForecast);
    QFETCH(bool, recorded);

    EnergyLogs logs;
    SolarForecastManager manager(&m_network, &logs);
    manager.provider()->setSelfTimed(false);
    if (withForecast) {
        QCOMPARE(manager.setConfiguration(enabledSouth()), SolarForecastManager::SetResultStored);
        QTRY_VERIFY(manager.available());
    }
    // The producers give `share` of the forecast power, minute by minute;
    // the minutes not sampled are the first ones of the day.
    const QDateTime midnight(now.date(), QTime(0, 0));
    const SolarForecastSlots forecast = manager.forecast();
    SolarForecastSlots full = forecast;
    if (!withForecast) {
        // What the producers give is the same; only nobody forecast it.
        full = SolarForecastSlots::onGrid(
                {{SolarForecastSlot(QDateTime(now.date(), QTime(6, 0)), QDateTime(now.date(), QTime(18, 0)), 8000)}});
    }
    double produced = 0;
    for (int minute = 1440 - sampled; minute <= 1440; minute++) {
        const QDateTime time = midnight.addSecs(minute * 60);
        const double power = share * full.powerAt(time);
        if (minute < 1440)
            produced += power / 60.0;
        logs.addPowerBalanceEntry(EnergyLogs::SampleRate1Min, PowerBalanceLogEntry(time, 300, -power, 300 - power, 0));
    }
    QVERIFY(qAbs(produced - share * 8000) < 1e-6 * 8000);

    const QList<SolarForecastHistory::Day> days = manager.history().days();
    QCOMPARE(days.count(), recorded ? 1 : 0);
    QCOMPARE(manager.deratingFactor(), recorded ? qMin(1.0, share) : -1.0);
    if (!recorded)
        return;
    QCOMPARE(days.first().date, now.date());
    QCOMPARE(days.first().forecastEnergy, 8000.0);
    QVERIFY(qAbs(days.first().actualEnergy - produced) < 1e-6);
    // Kept across a restart.
    SolarForecastManager restarted(&m_network, nullptr);
    QCOMPARE(restarted.history().days().count(), 1);
    QCOMPARE(restarted.history().days().first().forecastEnergy, 8000.0);
    QVERIFY(qAbs(restarted.history().days().first().actualEnergy - produced) < 1e-6);
}

QTEST_GUILESS_MAIN(TestSolarForecastManager)
#include "tst_solarforecastmanager.moc"
