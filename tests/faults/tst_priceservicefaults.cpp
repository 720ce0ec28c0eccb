#include "faultsupport.h"
#include "../spotmarket/httpresponder.h"

#include "householdfixture.h"

#include "smartcharging/smartchargingmanager.h"
#include "spotmarket/spotmarketdataproviderawattar.h"
#include "spotmarket/spotmarketmanager.h"

#include "tavro/tavrosettings.h"
#include "tavro/thing.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QtTest>

// The price service fails in every way it can while a car charges in eco mode
// with a daily spot-market share: the plugin keeps the last good prices (in
// memory and in the cache), keeps planning with them and keeps asking, once
// per minute, until the service is back.

namespace {

using namespace FaultSupport;

// Hourly prices for two days from midnight, as the service sends them.
QByteArray priceReply(const QDate &day, double base)
{
    QJsonArray data;
    const QDateTime midnight(day, QTime(0, 0));
    for (int hour = 0; hour < 48; hour++) {
        const qint64 start = midnight.addSecs(hour * 3600).toMSecsSinceEpoch();
        data.append(QJsonObject{{"start_timestamp", start},
                                {"end_timestamp", start + 3600000},
                                {"marketprice", base + (hour * 37) % 23},
                                {"unit", "Eur/MWh"}});
    }
    return QJsonDocument(QJsonObject{{"object", "list"}, {"data", data}}).toJson(QJsonDocument::Compact);
}

int spotMarketFrames(SmartChargingManager *manager)
{
    return manager->chargingSchedules().filterByIssuer(ChargingAction::ChargingActionIssuerSpotMarketCharging).count();
}

}

class TestPriceServiceFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void outageKeepsLastPrices_data();
    void outageKeepsLastPrices();

private:
    int m_faults = 0;
};

void TestPriceServiceFaults::initTestCase()
{
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    FaultSupport::recordWarnings();
}

void TestPriceServiceFaults::cleanupTestCase()
{
    FaultSupport::stopRecording();
    qInfo("Failed price refreshes injected: %d", m_faults);
}

void TestPriceServiceFaults::outageKeepsLastPrices_data()
{
    QTest::addColumn<int>("status");      // -1: the port is closed, 0: never answers
    QTest::addColumn<QByteArray>("body"); // empty: the good prices, cut off halfway
    QTest::addColumn<QString>("warning");

    const QString transport = QStringLiteral("Failed to refresh data. Reply finished with error:");
    QTest::newRow("connection refused") << -1 << QByteArray() << transport;
    QTest::newRow("no answer within the transfer timeout") << 0 << QByteArray() << transport;
    // Shorter than announced: Qt ends the reply with "Connection closed".
    QTest::newRow("connection dropped mid-body") << 200 << QByteArray() << transport;
    QTest::newRow("HTTP 503") << 503 << QByteArray("{\"error\": \"maintenance\"}")
                              << QStringLiteral("Failed to refresh data. HTTP returned status: 503");
    QTest::newRow("body is no JSON") << 200 << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR<html>", 22)
                                     << QStringLiteral(
                                                "Failed to refresh data. The payload contains invalid JSON data:");
    QTest::newRow("JSON error object") << 200 << QByteArray("{\"error\": {\"message\": \"rate limit\", \"code\": 429}}")
                                       << QStringLiteral("Failed to refresh data. The payload contains no data array:");
}

void TestPriceServiceFaults::outageKeepsLastPrices()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, warning);

    HttpResponder service;
    QVERIFY(service.start());
    qputenv("TAVRO_AWATTAR_AT_URL", service.baseUrl().toUtf8());

    HouseholdFixture household;
    const QByteArray goodPrices = priceReply(household.now().date(), 60.0);
    service.status = 200;
    service.body = goodPrices;
    household.addThing("gridMeter", "Grid", {{"currentPower", 300.0}});
    Thing *charger = household.addThing("evChargerAc", "Garage", {{"pluggedIn", true}, {"phaseCount", 3}});
    Thing *car = household.addThing("electricVehicle", "Car",
                                    {{"batteryLevel", 20},
                                     {"capacity", 60.0},
                                     {"acPhaseCount", 3},
                                     {"acMinChargingCurrent", 6.0},
                                     {"acMaxChargingCurrent", 16.0}});
    SmartChargingManager *manager = household.createManager();
    ChargingConfiguration configuration(charger->id());
    configuration.setAssignedCarId(car->id());
    configuration.setChargingMode(ChargingConfiguration::ChargingModeEco);
    configuration.setTargetPercentage(80);
    configuration.setDailySpotMarketPercentage(50);
    QCOMPARE(manager->setChargingConfiguration(configuration), EnergyManager::EnergyErrorNoError);

    SpotMarketManager *market = household.spotMarketManager();
    market->setEnabled(true);
    auto *provider = qobject_cast<SpotMarketDataProviderAwattar *>(market->currentProvider());
    QVERIFY(provider);
    provider->setTransferTimeout(400);
    QTRY_VERIFY(market->available());
    const ScoreEntries lastGood = provider->scoreEntries();
    QCOMPARE(lastGood.count(), 48);
    const QString cacheFile = TavroSettings::cachePath() + QStringLiteral("/tavro-energy-spotmarket-data.cache");
    const QByteArray cached = fileContent(cacheFile);
    QVERIFY(!cached.isEmpty());
    household.runCycle();
    const int framesBefore = spotMarketFrames(manager);
    QVERIFY(framesBefore > 0);

    // An hour later the refresh is due; the service fails now and on every
    // retry, one per minute.
    QVERIFY(service.setRefusing(status < 0));
    service.status = status;
    service.body = body.isEmpty() ? goodPrices : body;
    service.truncated = body.isEmpty();
    FaultSupport::warnings().clear();
    household.advance(3601);
    for (int attempt = 1; attempt <= 3; attempt++) {
        if (attempt > 1)
            household.advance(60);
        provider->onRefreshTimout();
        QTRY_COMPARE(warningsContaining(warning), attempt);
        m_faults++;

        QCOMPARE(provider->scoreEntries(), lastGood);
        QVERIFY(market->available());
        QCOMPARE(fileContent(cacheFile), cached);
        household.runCycle();
        QVERIFY2(spotMarketFrames(manager) > 0, "the car lost its spot-market plan");
    }
    QCOMPARE(warningsContaining(QStringLiteral("Failed to refresh data.")), 3);

    // Back in service: the next tick takes the new prices.
    QVERIFY(service.setRefusing(false));
    service.status = 200;
    service.body = priceReply(household.now().date(), 90.0);
    service.truncated = false;
    household.advance(60);
    provider->onRefreshTimout();
    QTRY_VERIFY(provider->scoreEntries() != lastGood);
    QCOMPARE(provider->scoreEntries().first().value(), 90.0);
    QVERIFY(fileContent(cacheFile) != cached);
    QCOMPARE(warningsContaining(QStringLiteral("Failed to refresh data.")), 3);
}

QTEST_GUILESS_MAIN(TestPriceServiceFaults)
#include "tst_priceservicefaults.moc"
