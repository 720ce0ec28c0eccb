#include "../jsonrpc-server/jsonrpctestclient.h"
#include "../spotmarket/httpresponder.h"
#include "settingssandbox.h"

#include "tavro-energy/energymanager.h"
#include "tavro-energy/energyplugin.h"
#include "tavro-energy/energypluginloader.h"
#include "tavro/jsonrpcserver.h"
#include "tavro/thing.h"
#include "tavro/thingmanager.h"

#include <QJsonArray>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>

namespace {

// Out-of-range values in "energy.conf" and what the API shows for them once
// restored: the setters' ranges.
struct StoredValue {
    const char *key; // below the charger's group when it has no "/"
    QVariant written;
    const char *member;
    QJsonValue shown;
};
const QList<StoredValue> storedValues{
        {"targetPercentage", 250, "targetPercentage", 100},
        {"dailySpotMarketPercentage", 250, "dailySpotMarketPercentage", 100},
        {"dischargeFloorPercentage", 250, "dischargeFloorPercentage", 100},
        {"chargingMode", 9, "chargingMode", "ChargingModeNormal"},
        {"/acquisitionTolerance", -2, "acquisitionTolerance", 0.0},
        {"/batteryLevelConsideration", -3, "batteryLevelLowerLimit", 0.0},
};
const QUuid chargerId(QStringLiteral("{5c0e3b1e-2a7d-4f1b-9c3e-1d2f3a4b5c6d}"));

// The market-data service on loopback: hourly prices from an hour ago to
// a day and a half ahead, for whatever is asked.
class PriceServer : public QTcpServer
{
public:
    PriceServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, socket, [socket]() {
                    if (!socket->peek(65536).contains("\r\n\r\n"))
                        return;
                    socket->readAll();
                    QJsonArray data;
                    const qint64 hour = QDateTime::currentSecsSinceEpoch() / 3600 * 3600;
                    for (int i = -1; i < 36; i++) {
                        data.append(QJsonObject{{"start_timestamp", (hour + i * 3600) * 1000.0},
                                                {"end_timestamp", (hour + (i + 1) * 3600) * 1000.0},
                                                {"marketprice", 80.0 + (i * 37) % 50},
                                                {"unit", "Eur/MWh"}});
                    }
                    const QByteArray body = QJsonDocument(QJsonObject{{"data", data}}).toJson(QJsonDocument::Compact);
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                                  "Content-Length: "
                                  + QByteArray::number(body.size()) + "\r\n\r\n" + body);
                    socket->disconnectFromHost();
                });
            }
        });
    }
};

}

// The namespace "TavroEnergy" as a client sees it: the built plugin loaded
// through the host's loader, the host's server on a loopback port, a
// household of two chargers and a car, an admin and a user connection.
class TestTavroEnergyWire : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void storedValuesAreClamped_data();
    void storedValuesAreClamped();
    void settings_data();
    void settings();
    void chargingConfiguration_data();
    void chargingConfiguration();
    void missingLimitReadsZero_data();
    void missingLimitReadsZero();
    void notificationsNeedTheirScope();
    void notificationLanguagePerConfiguration_data();
    void notificationLanguagePerConfiguration();
    void chargerComesAndGoes();
    void spotMarketOverTheWire();
    void everyMethodWithEveryScope_data();
    void everyMethodWithEveryScope();
    void declarations();
    void spotMarketProviders();
    // Last: the forecast fetches and notifies on its own.
    void solarForecastConfiguration_data();
    void solarForecastConfiguration();
    void solarForecastReachesClients();

private:
    QByteArray request(const char *method, const QByteArray &params) const;
    // The results of every getter in one object.
    QJsonObject snapshot();
    QString setConfiguration(const QJsonObject &configuration);
    // Without the charging state and schedule notifications of the update
    // cycle an accepted change starts, when told so.
    static QStringList names(const QList<QJsonObject> &notifications, bool withoutCycle = false);
    static QJsonObject lastParams(const QList<QJsonObject> &notifications, const QString &name);
    // Waits until the client has a notification of that name (false after 5 s).
    static bool waitForNotification(JsonRpcTestClient &client, const QString &name);

    SettingsSandbox m_dir;
    std::unique_ptr<ThingManager> m_thingManager;
    std::unique_ptr<EnergyManager> m_energyManager;
    std::unique_ptr<JsonRpcServer> m_server;
    quint16 m_port = 0;
    EnergyPlugin *m_plugin = nullptr;
    Thing *m_charger = nullptr;
    Thing *m_otherCharger = nullptr;
    Thing *m_car = nullptr;
    JsonRpcTestClient m_admin;
    JsonRpcTestClient m_user;
    JsonRpcTestClient m_scopeless; // authenticated, but with no scope
    HttpResponder m_forecastService;
    PriceServer m_prices;
    QJsonObject m_full; // a configuration of m_charger using every member
};

void TestTavroEnergyWire::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.apply();
    // Two days of hourly sun from today on, whatever a plane asks for.
    QVERIFY(m_forecastService.start());
    qputenv("TAVRO_FORECAST_SOLAR_URL", m_forecastService.baseUrl().toUtf8());
    QJsonObject periods;
    for (int day = 0; day < 2; day++) {
        for (int hour = 7; hour <= 19; hour++)
            periods.insert(QDate::currentDate().addDays(day).toString("yyyy-MM-dd")
                                   + QString(" %1:00:00").arg(hour, 2, 10, QLatin1Char('0')),
                           500);
    }
    m_forecastService.status = 200;
    m_forecastService.body =
            QJsonDocument(QJsonObject{{"result", QJsonObject{{"watt_hours_period", periods}}}}).toJson();

    QVERIFY(m_prices.listen(QHostAddress::LocalHost));
    const QByteArray priceUrl = "http://127.0.0.1:" + QByteArray::number(m_prices.serverPort());
    qputenv("TAVRO_AWATTAR_AT_URL", priceUrl);
    qputenv("TAVRO_AWATTAR_DE_URL", priceUrl);
    qputenv("TAVRO_ENERGY_CHARTS_URL", "http://127.0.0.1:9");
    {
        QSettings energy(m_dir.folder("settings") + "/energy.conf", QSettings::IniFormat);
        for (const StoredValue &value : storedValues) {
            const QString key = QString::fromLatin1(value.key);
            energy.setValue(key.startsWith('/') ? key.mid(1)
                                                : "ChargingConfigurations/" + chargerId.toString() + '/' + key,
                            value.written);
        }
    }
    m_thingManager = std::make_unique<ThingManager>();
    m_energyManager = std::make_unique<EnergyManager>(m_thingManager.get());
    m_server = std::make_unique<JsonRpcServer>();
    m_charger = m_thingManager->addConfiguredThing(QStringLiteral("evChargerAc"), QStringLiteral("Garage"), chargerId);
    m_otherCharger = m_thingManager->addConfiguredThing(QStringLiteral("evChargerAcBasic"), QStringLiteral("Carport"));
    m_car = m_thingManager->addConfiguredThing(QStringLiteral("electricVehicleConnected"), QStringLiteral("Car"));
    QVERIFY(m_charger && m_otherCharger && m_car);

    const QStringList plugins = EnergyPluginLoader::findPlugins({qEnvironmentVariable("TAVRO_PLUGIN_PATH")});
    QCOMPARE(plugins.count(), 1);
    QString error;
    m_plugin = EnergyPluginLoader::load(plugins.first(), m_energyManager.get(), m_thingManager.get(), m_server.get(),
                                        &error);
    QVERIFY2(m_plugin, qPrintable(error));

    QVERIFY(m_server->addToken(QStringLiteral("admin-token"), Types::PermissionScopeAdmin));
    QVERIFY(m_server->addToken(QStringLiteral("user-token"), Types::PermissionScopeControlThings));
    QVERIFY(m_server->addToken(QStringLiteral("scopeless-token"), Types::PermissionScopeNone));
    m_port = JsonRpcTestClient::listen(m_server.get());
    QVERIFY(m_port != 0);
    QVERIFY(m_admin.connectTo(m_port));
    QVERIFY(m_user.connectTo(m_port));
    QVERIFY(m_scopeless.connectTo(m_port));
    QVERIFY(m_admin.call("JSONRPC.Authenticate", R"({"token":"admin-token"})").contains("result"));
    QVERIFY(m_user.call("JSONRPC.Authenticate", R"({"token":"user-token"})").contains("result"));
    QVERIFY(m_scopeless.call("JSONRPC.Authenticate", R"({"token":"scopeless-token"})").contains("result"));

    m_full = {{"evChargerId", m_charger->id().toString()},
              {"assignedCarId", m_car->id().toString()},
              {"chargingMode", "ChargingModeEcoWithTargetTime"},
              {"endDateTime", 1767258000},
              {"repeatDays", QJsonArray{1, 5}},
              {"targetPercentage", 65}};
}

void TestTavroEnergyWire::cleanupTestCase()
{
    // It holds the managers; they go with this object.
    delete m_plugin;
}

QByteArray TestTavroEnergyWire::request(const char *method, const QByteArray &params) const
{
    return R"({"jsonrpc":"2.0","id":"row","method":"TavroEnergy.)" + QByteArray(method) + R"(","params":)" + params
           + '}';
}

QJsonObject TestTavroEnergyWire::snapshot()
{
    QJsonObject all;
    for (const char *getter : {"GetPhasePowerLimit", "GetAcquisitionTolerance", "GetBatteryLevelConsideration",
                               "GetBatteryLevelLimits", "GetChargingConfigurations", "GetSpotMarketConfiguration"}) {
        const QJsonObject result = m_admin.call(QStringLiteral("TavroEnergy.") + getter).value("result").toObject();
        for (auto it = result.constBegin(); it != result.constEnd(); ++it)
            all.insert(it.key(), it.value());
    }
    return all;
}

QString TestTavroEnergyWire::setConfiguration(const QJsonObject &configuration)
{
    const QJsonObject params{{"chargingConfiguration", configuration}};
    return m_admin.call("TavroEnergy.SetChargingConfiguration", QJsonDocument(params).toJson(QJsonDocument::Compact))
            .value("result")
            .toObject()
            .value("energyError")
            .toString();
}

QStringList TestTavroEnergyWire::names(const QList<QJsonObject> &notifications, bool withoutCycle)
{
    QStringList result;
    for (const QJsonObject &notification : notifications) {
        const QString name = notification.value("method").toString().section(QLatin1Char('.'), 1);
        if (!withoutCycle
            || !(name.startsWith("ChargingState") || name == QLatin1String("ChargingSchedulesChanged")
                 || name == QLatin1String("ChargingForecastsChanged")))
            result.append(name);
    }
    return result;
}

QJsonObject TestTavroEnergyWire::lastParams(const QList<QJsonObject> &notifications, const QString &name)
{
    QJsonObject params;
    for (const QJsonObject &notification : notifications) {
        if (notification.value("method").toString() == QStringLiteral("TavroEnergy.") + name)
            params = notification.value("params").toObject();
    }
    return params;
}

bool TestTavroEnergyWire::waitForNotification(JsonRpcTestClient &client, const QString &name)
{
    return QTest::qWaitFor([&]() { return !lastParams(client.notifications, name).isEmpty(); }, 5000);
}

void TestTavroEnergyWire::storedValuesAreClamped_data()
{
    QTest::addColumn<QString>("member");
    QTest::addColumn<QJsonValue>("shown");
    for (const StoredValue &value : storedValues)
        QTest::newRow(value.key) << QString::fromLatin1(value.member) << value.shown;
}

void TestTavroEnergyWire::storedValuesAreClamped()
{
    QFETCH(QString, member);
    QFETCH(QJsonValue, shown);

    const QJsonObject all = snapshot();
    QJsonValue value = all.value(member);
    for (const QJsonValue &configuration : all.value("chargingConfigurations").toArray()) {
        if (configuration.toObject().value("evChargerId").toString() == chargerId.toString())
            value = configuration.toObject().value(member).isUndefined() ? value
                                                                         : configuration.toObject().value(member);
    }
    QCOMPARE(value, shown);
}

void TestTavroEnergyWire::settings_data()
{
    QTest::addColumn<bool>("admin");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("code"); // JSON-RPC error, 0: answered
    QTest::addColumn<QString>("energyError");
    QTest::addColumn<QStringList>("notifications");

    const QString ok = "EnergyErrorNoError";
    const QString invalid = "EnergyErrorInvalidParameter";
    const QStringList none;
    QTest::newRow("tolerance 1.0") << true << request("SetAcquisitionTolerance", R"({"acquisitionTolerance":1.0})") << 0
                                   << ok << QStringList{"AcquisitionToleranceChanged"};
    QTest::newRow("tolerance 1.01") << true << request("SetAcquisitionTolerance", R"({"acquisitionTolerance":1.01})")
                                    << 0 << invalid << none;
    QTest::newRow("tolerance -0.1") << true << request("SetAcquisitionTolerance", R"({"acquisitionTolerance":-0.1})")
                                    << 0 << invalid << none;
    QTest::newRow("tolerance 0") << false << request("SetAcquisitionTolerance", R"({"acquisitionTolerance":0})") << 0
                                 << ok << QStringList{"AcquisitionToleranceChanged"};
    QTest::newRow("limits lower above upper")
            << true
            << request("SetBatteryLevelLimits", R"({"batteryLevelLowerLimit":0.8,"batteryLevelUpperLimit":0.5})") << 0
            << invalid << none;
    // The lower limit is the battery level consideration as well.
    QTest::newRow("limits equal") << true
                                  << request("SetBatteryLevelLimits",
                                             R"({"batteryLevelLowerLimit":0.5,"batteryLevelUpperLimit":0.5})")
                                  << 0 << ok
                                  << QStringList{"BatteryLevelConsiderationChanged", "BatteryLevelLimitsChanged"};
    QTest::newRow("limits upper missing")
            << true << request("SetBatteryLevelLimits", R"({"batteryLevelLowerLimit":0.2})") << -32602 << "" << none;
    QTest::newRow("spot market without provider")
            << true << request("SetSpotMarketConfiguration", R"({"enabled":true})") << 0 << invalid << none;
    QTest::newRow("phase limit by user") << false << request("SetPhasePowerLimit", R"({"phasePowerLimit":16})")
                                         << -32002 << "" << none;
    QTest::newRow("phase limit by admin") << true << request("SetPhasePowerLimit", R"({"phasePowerLimit":16})") << 0
                                          << ok << QStringList{"PhasePowerLimitChanged"};
    // Notified as the unsigned value it is, not as a negative int.
    QTest::newRow("phase limit 2^31") << true << request("SetPhasePowerLimit", R"({"phasePowerLimit":2147483648})") << 0
                                      << ok << QStringList{"PhasePowerLimitChanged"};
    // 2^32 would wrap to 0: "unset", which switches the protection off.
    QTest::newRow("phase limit 2^32") << true << request("SetPhasePowerLimit", R"({"phasePowerLimit":4294967296})")
                                      << -32602 << "" << none;
    QTest::newRow("phase limit 2^53") << true
                                      << request("SetPhasePowerLimit", R"({"phasePowerLimit":9007199254740992})")
                                      << -32602 << "" << none;
    QTest::newRow("bad json") << true << request("SetPhasePowerLimit", R"({"phasePowerLimit":8)") << -32700 << ""
                              << none;
    QTest::newRow("unknown method") << true << request("SetPhasePowerLimits", R"({"phasePowerLimit":8})") << -32601
                                    << "" << none;
    QTest::newRow("extra param") << true << request("SetPhasePowerLimit", R"({"phasePowerLimit":8,"phases":3})")
                                 << -32602 << "" << none;
    QTest::newRow("tolerance as text") << true
                                       << request("SetAcquisitionTolerance", R"({"acquisitionTolerance":"0.3"})")
                                       << -32602 << "" << none;
    QTest::newRow("unknown charging mode")
            << true
            << request("SetChargingConfiguration", R"({"chargingConfiguration":{"evChargerId":")"
                                                           + m_charger->id().toString().toUtf8()
                                                           + R"(","chargingMode":"ChargingModeTurbo"}})")
            << -32602 << "" << none;
}

void TestTavroEnergyWire::settings()
{
    QFETCH(bool, admin);
    QFETCH(QByteArray, line);
    QFETCH(int, code);
    QFETCH(QString, energyError);
    QFETCH(QStringList, notifications);

    JsonRpcTestClient &client = admin ? m_admin : m_user;
    const QJsonObject before = snapshot();
    QVERIFY(before.contains("chargingConfigurations") && before.contains("batteryLevelUpperLimit"));
    client.notifications.clear();
    client.sendLine(line);
    // Notifications go out before the reply on the same connection.
    const QJsonValue id = code == JsonRpcServer::ErrorParse ? QJsonValue(QJsonValue::Null) : QJsonValue("row");
    const QJsonObject response = client.waitForResponse(id);
    QVERIFY(!response.isEmpty());
    QCOMPARE(JsonRpcTestClient::errorCode(response), code);
    QCOMPARE(response.value("result").toObject().value("energyError").toString(), energyError);
    QCOMPARE(names(client.notifications, !notifications.isEmpty()), notifications);
    // A refused value is named: it is one of those sent.
    const QJsonObject sent = QJsonDocument::fromJson(line).object().value("params").toObject();
    const QString invalid = response.value("result").toObject().value("invalidParameter").toString();
    QCOMPARE(invalid.isEmpty(), energyError != QLatin1String("EnergyErrorInvalidParameter"));
    if (!invalid.isEmpty())
        QVERIFY2(sent.contains(invalid) || invalid == QLatin1String("providerId"), qPrintable(invalid));
    // A parameter error names the parameter: "Invalid params: <path>: ...".
    const QString message = response.value("error").toObject().value("message").toString();
    if (code == JsonRpcServer::ErrorInvalidParams)
        QVERIFY2(QRegularExpression("^Invalid params: [A-Za-z]+(\\.[A-Za-z]+)*: ").match(message).hasMatch(),
                 qPrintable(message));

    const QJsonObject after = snapshot();
    if (notifications.isEmpty()) {
        QCOMPARE(after, before);
        return;
    }
    const QJsonObject params = QJsonDocument::fromJson(line).object().value("params").toObject();
    QCOMPARE(lastParams(client.notifications, notifications.last()), params);
    for (auto it = params.constBegin(); it != params.constEnd(); ++it)
        QCOMPARE(after.value(it.key()), it.value());
}

void TestTavroEnergyWire::chargingConfiguration_data()
{
    QTest::addColumn<QJsonObject>("configuration");
    QTest::addColumn<QString>("energyError");
    QTest::addColumn<QJsonObject>("changed"); // members that differ from m_full afterwards
    QTest::addColumn<QString>("invalid");     // the member named when refused

    const QString id = m_charger->id().toString();
    QTest::newRow("only a new mode") << QJsonObject{{"evChargerId", id}, {"chargingMode", "ChargingModeNormal"}}
                                     << "EnergyErrorNoError" << QJsonObject{{"chargingMode", "ChargingModeNormal"}}
                                     << "";
    QTest::newRow("new target") << QJsonObject{{"evChargerId", id},
                                               {"chargingMode", "ChargingModeEco"},
                                               {"targetPercentage", 90}}
                                << "EnergyErrorNoError"
                                << QJsonObject{{"chargingMode", "ChargingModeEco"}, {"targetPercentage", 90}} << "";
    QTest::newRow("target above 100") << QJsonObject{{"evChargerId", id},
                                                     {"chargingMode", "ChargingModeEco"},
                                                     {"targetPercentage", 101}}
                                      << "EnergyErrorInvalidParameter" << QJsonObject()
                                      << "chargingConfiguration.targetPercentage";
    QTest::newRow("repeat day 8") << QJsonObject{{"evChargerId", id},
                                                 {"chargingMode", "ChargingModeEco"},
                                                 {"repeatDays", QJsonArray{1, 8}}}
                                  << "EnergyErrorInvalidParameter" << QJsonObject()
                                  << "chargingConfiguration.repeatDays";
    const QString mode = "ChargingModeEcoWithTargetTime";
    QTest::newRow("seven days") << QJsonObject{{"evChargerId", id},
                                               {"chargingMode", mode},
                                               {"repeatDays", QJsonArray{7, 1, 2, 3, 4, 5, 6}}}
                                << "EnergyErrorNoError" << QJsonObject{{"repeatDays", QJsonArray{7, 1, 2, 3, 4, 5, 6}}}
                                << "";
    QTest::newRow("a day twice") << QJsonObject{{"evChargerId", id},
                                                {"chargingMode", mode},
                                                {"repeatDays", QJsonArray{1, 2, 1}}}
                                 << "EnergyErrorInvalidParameter" << QJsonObject()
                                 << "chargingConfiguration.repeatDays";
    // Values beyond 32 bits are refused by the server (-32602): no energy
    // error, nothing stored.
    QTest::newRow("target 2^32+80") << QJsonObject{{"evChargerId", id},
                                                   {"chargingMode", mode},
                                                   {"targetPercentage", 4294967376.0}}
                                    << "" << QJsonObject() << "";
    QTest::newRow("repeat day 2^32+1") << QJsonObject{{"evChargerId", id},
                                                      {"chargingMode", mode},
                                                      {"repeatDays", QJsonArray{4294967297.0}}}
                                       << "" << QJsonObject() << "";
    // Unix seconds from 1 on, up to the year 9999: refused by the server.
    QTest::newRow("end at 0") << QJsonObject{{"evChargerId", id}, {"chargingMode", mode}, {"endDateTime", 0}} << ""
                              << QJsonObject() << "";
    QTest::newRow("end at -1") << QJsonObject{{"evChargerId", id}, {"chargingMode", mode}, {"endDateTime", -1}} << ""
                               << QJsonObject() << "";
    QTest::newRow("end in the year 8 million")
            << QJsonObject{{"evChargerId", id}, {"chargingMode", mode}, {"endDateTime", 252423993600000.0}} << ""
            << QJsonObject() << "";
    QTest::newRow("unknown language") << QJsonObject{{"evChargerId", id}, {"chargingMode", mode}, {"locale", "xx_QQ"}}
                                      << "EnergyErrorInvalidParameter" << QJsonObject()
                                      << "chargingConfiguration.locale";
    QTest::newRow("unknown charger") << QJsonObject{{"evChargerId", QUuid::createUuid().toString()},
                                                    {"chargingMode", "ChargingModeNormal"}}
                                     << "EnergyErrorInvalidParameter" << QJsonObject()
                                     << "chargingConfiguration.evChargerId";
}

void TestTavroEnergyWire::chargingConfiguration()
{
    QFETCH(QJsonObject, configuration);
    QFETCH(QString, energyError);
    QFETCH(QJsonObject, changed);
    QFETCH(QString, invalid);

    // Every row starts from the full configuration, with what follows from
    // it (the forecasts, a turn of the event loop later) sent.
    QCOMPARE(setConfiguration(m_full), QStringLiteral("EnergyErrorNoError"));
    QVERIFY(m_admin.call("JSONRPC.Hello").contains("result"));
    m_admin.notifications.clear();
    const QJsonObject reply = m_admin.call(
            "TavroEnergy.SetChargingConfiguration",
            QJsonDocument(QJsonObject{{"chargingConfiguration", configuration}}).toJson(QJsonDocument::Compact));
    QCOMPARE(reply.value("result").toObject().value("energyError").toString(), energyError);
    QCOMPARE(reply.value("result").toObject().value("invalidParameter").toString(), invalid);
    if (energyError.isEmpty())
        QVERIFY2(reply.value("error").toObject().value("message").toString().startsWith(
                         "Invalid params: chargingConfiguration."),
                 qPrintable(reply.value("error").toObject().value("message").toString()));

    // A charger id does not filter the list.
    const QByteArray filter = "{\"evChargerId\":\"" + m_otherCharger->id().toString().toUtf8() + "\"}";
    const QJsonArray list = m_admin.call("TavroEnergy.GetChargingConfigurations", filter)
                                    .value("result")
                                    .toObject()
                                    .value("chargingConfigurations")
                                    .toArray();
    QJsonObject byCharger;
    for (const QJsonValue &item : list)
        byCharger.insert(item.toObject().value("evChargerId").toString(), item);
    QCOMPARE(byCharger.count(), 2);
    QVERIFY(byCharger.contains(m_otherCharger->id().toString()));
    const QJsonObject stored = byCharger.value(m_charger->id().toString()).toObject();

    QJsonObject expected = m_full;
    for (auto it = changed.constBegin(); it != changed.constEnd(); ++it)
        expected.insert(it.key(), it.value());
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
        QCOMPARE(stored.value(it.key()), it.value());

    if (energyError != QLatin1String("EnergyErrorNoError")) {
        QCOMPARE(names(m_admin.notifications), QStringList());
        return;
    }
    QCOMPARE(names(m_admin.notifications, true), QStringList{"ChargingConfigurationChanged"});
    QCOMPARE(
            lastParams(m_admin.notifications, "ChargingConfigurationChanged").value("chargingConfiguration").toObject(),
            stored);
}

void TestTavroEnergyWire::missingLimitReadsZero_data()
{
    QTest::addColumn<QVariantMap>("params");
    QTest::addColumn<QString>("energyError");

    // Only a caller that bypasses the server's checks can leave limits out.
    QTest::newRow("upper missing") << QVariantMap{{"batteryLevelLowerLimit", 0.2}} << "EnergyErrorInvalidParameter";
    QTest::newRow("both missing") << QVariantMap() << "EnergyErrorNoError";
}

void TestTavroEnergyWire::missingLimitReadsZero()
{
    QFETCH(QVariantMap, params);
    QFETCH(QString, energyError);

    JsonReply *reply = nullptr;
    QVERIFY(QMetaObject::invokeMethod(m_server->handler("TavroEnergy"), "SetBatteryLevelLimits",
                                      Q_RETURN_ARG(JsonReply *, reply), Q_ARG(QVariantMap, params)));
    QVERIFY(reply);
    const std::unique_ptr<JsonReply> owner(reply);
    QCOMPARE(reply->data().value("energyError").toString(), energyError);
    if (energyError == QLatin1String("EnergyErrorNoError")) {
        const QJsonObject limits = m_admin.call("TavroEnergy.GetBatteryLevelLimits").value("result").toObject();
        QCOMPARE(limits, QJsonObject({{"batteryLevelLowerLimit", 0}, {"batteryLevelUpperLimit", 0}}));
    }
}

void TestTavroEnergyWire::notificationsNeedTheirScope()
{
    for (JsonRpcTestClient *client : {&m_admin, &m_user, &m_scopeless})
        client->notifications.clear();
    // One setting every client may read, one that needs the admin scope.
    QVERIFY(m_admin.call("TavroEnergy.SetAcquisitionTolerance", R"({"acquisitionTolerance":0.25})").contains("result"));
    QVERIFY(m_admin.call("TavroEnergy.SetBatteryLevelConsideration", R"({"batteryLevelConsideration":0.35})")
                    .contains("result"));
    // Round trips: what was sent to them before has arrived.
    QVERIFY(m_user.call("JSONRPC.Hello").contains("result"));
    QVERIFY(m_scopeless.call("JSONRPC.Hello").contains("result"));
    QCOMPARE(names(m_admin.notifications, true),
             QStringList(
                     {"AcquisitionToleranceChanged", "BatteryLevelConsiderationChanged", "BatteryLevelLimitsChanged"}));
    QCOMPARE(names(m_user.notifications, true), QStringList{"AcquisitionToleranceChanged"});
    QCOMPARE(names(m_scopeless.notifications), QStringList());
}

void TestTavroEnergyWire::notificationLanguagePerConfiguration_data()
{
    QTest::addColumn<QString>("connectionLocale"); // said in Hello, empty: not said
    QTest::addColumn<QJsonValue>("given");         // in the configuration
    QTest::addColumn<QString>("stored");

    QTest::newRow("given") << "" << QJsonValue("de_DE") << "de_DE";
    QTest::newRow("given, over the connection's") << "fr_FR" << QJsonValue("de_AT") << "de_AT";
    QTest::newRow("not given: the connection's") << "fr_FR" << QJsonValue() << "fr_FR";
}

void TestTavroEnergyWire::notificationLanguagePerConfiguration()
{
    QFETCH(QString, connectionLocale);
    QFETCH(QJsonValue, given);
    QFETCH(QString, stored);

    JsonRpcTestClient owner;
    QVERIFY(owner.connectTo(m_port));
    QVERIFY(owner.call("JSONRPC.Authenticate", R"({"token":"user-token"})").contains("result"));
    if (!connectionLocale.isEmpty())
        QVERIFY(owner.call("JSONRPC.Hello", "{\"locale\":\"" + connectionLocale.toUtf8() + "\"}").contains("result"));
    QJsonObject configuration{{"evChargerId", m_charger->id().toString()}, {"chargingMode", "ChargingModeEco"}};
    if (!given.isUndefined() && !given.isNull())
        configuration.insert("locale", given);
    m_admin.notifications.clear();
    const QJsonObject reply = owner.call("TavroEnergy.SetChargingConfiguration",
                                         QJsonDocument(QJsonObject{{"chargingConfiguration", configuration}}).toJson());
    QCOMPARE(reply.value("result").toObject().value("energyError").toString(), QString("EnergyErrorNoError"));
    QVERIFY(m_admin.call("JSONRPC.Hello").contains("result"));
    QCOMPARE(lastParams(m_admin.notifications, "ChargingConfigurationChanged")
                     .value("chargingConfiguration")
                     .toObject()
                     .value("locale")
                     .toString(),
             stored);
    for (const QJsonValue &each : snapshot().value("chargingConfigurations").toArray()) {
        if (each.toObject().value("evChargerId").toString() == m_charger->id().toString())
            QCOMPARE(each.toObject().value("locale").toString(), stored);
    }
}

void TestTavroEnergyWire::chargerComesAndGoes()
{
    m_user.notifications.clear();
    Thing *shed = m_thingManager->addConfiguredThing(QStringLiteral("evChargerAc"), QStringLiteral("Shed"));
    QVERIFY(shed);
    const QString id = shed->id().toString();
    QVERIFY(waitForNotification(m_user, "ChargingStateAdded"));
    QVERIFY(waitForNotification(m_user, "ChargingConfigurationAdded"));
    QCOMPARE(lastParams(m_user.notifications, "ChargingConfigurationAdded")
                     .value("chargingConfiguration")
                     .toObject()
                     .value("evChargerId")
                     .toString(),
             id);
    const QJsonObject added = lastParams(m_user.notifications, "ChargingStateAdded").value("chargingState").toObject();
    QCOMPARE(added.value("evChargerId").toString(), id);
    const auto stateOf = [&](const QString &chargerId) {
        const QJsonArray states = m_user.call("TavroEnergy.GetChargingStates")
                                          .value("result")
                                          .toObject()
                                          .value("chargingStates")
                                          .toArray();
        for (const QJsonValue &state : states) {
            if (state.toObject().value("evChargerId").toString() == chargerId)
                return state.toObject();
        }
        return QJsonObject();
    };
    QCOMPARE(stateOf(id), added);

    // A car plugged in, to be charged on surplus: the state says what it waits for.
    m_user.notifications.clear();
    shed->setStateValue(QStringLiteral("pluggedIn"), true);
    QCOMPARE(setConfiguration({{"evChargerId", id}, {"chargingMode", "ChargingModeEco"}}),
             QString("EnergyErrorNoError"));
    QVERIFY(waitForNotification(m_user, "ChargingStateChanged"));
    const QJsonObject changed =
            lastParams(m_user.notifications, "ChargingStateChanged").value("chargingState").toObject();
    QCOMPARE(changed.value("evChargerId").toString(), id);
    QVERIFY(changed != added);
    QCOMPARE(stateOf(id), changed);

    m_user.notifications.clear();
    QVERIFY(m_thingManager->removeConfiguredThing(shed->id()));
    QVERIFY(waitForNotification(m_user, "ChargingConfigurationRemoved"));
    QVERIFY(waitForNotification(m_user, "ChargingStateRemoved"));
    QCOMPARE(lastParams(m_user.notifications, "ChargingConfigurationRemoved").value("evChargerThingId").toString(), id);
    QCOMPARE(lastParams(m_user.notifications, "ChargingStateRemoved").value("evChargerThingId").toString(), id);
    QCOMPARE(stateOf(id), QJsonObject());
}

void TestTavroEnergyWire::spotMarketOverTheWire()
{
    const QJsonArray providers = m_user.call("TavroEnergy.GetAvailableSpotMarketProviders")
                                         .value("result")
                                         .toObject()
                                         .value("providers")
                                         .toArray();
    QStringList names;
    QString austria;
    for (const QJsonValue &provider : providers) {
        if (provider.toObject().value("name").toString().startsWith("aWATTar"))
            names << provider.toObject().value("name").toString();
        if (provider.toObject().value("name").toString() == QLatin1String("aWATTar AT"))
            austria = provider.toObject().value("providerId").toString();
    }
    names.sort();
    QCOMPARE(names, QStringList({"aWATTar AT", "aWATTar DE"}));

    // Enabled: the configuration, then the prices from the loopback service.
    m_user.notifications.clear();
    const QByteArray enable = R"({"enabled":true,"providerId":")" + austria.toUtf8() + "\"}";
    QCOMPARE(m_user.call("TavroEnergy.SetSpotMarketConfiguration", enable)
                     .value("result")
                     .toObject()
                     .value("energyError")
                     .toString(),
             QString("EnergyErrorNoError"));
    QVERIFY(waitForNotification(m_user, "SpotMarketConfigurationChanged"));
    QCOMPARE(lastParams(m_user.notifications, "SpotMarketConfigurationChanged").value("providerId").toString(),
             austria);
    QVERIFY(lastParams(m_user.notifications, "SpotMarketConfigurationChanged").value("enabled").toBool());
    QVERIFY(QTest::qWaitFor(
            [&]() {
                return !lastParams(m_user.notifications, "SpotMarketScoreEntriesChanged")
                                .value("spotMarketScoreEntries")
                                .toArray()
                                .isEmpty();
            },
            5000));
    const QJsonArray notified =
            lastParams(m_user.notifications, "SpotMarketScoreEntriesChanged").value("spotMarketScoreEntries").toArray();
    const QJsonArray entries = m_user.call("TavroEnergy.GetSpotMarketScoreEntries")
                                       .value("result")
                                       .toObject()
                                       .value("spotMarketScoreEntries")
                                       .toArray();
    QVERIFY(entries.count() >= 35);
    QCOMPARE(entries, notified);
    // The cheapest slot weighs 1, the dearest 0.
    double least = 1, most = 0;
    for (const QJsonValue &entry : entries) {
        least = qMin(least, entry.toObject().value("weighting").toDouble());
        most = qMax(most, entry.toObject().value("weighting").toDouble());
    }
    QCOMPARE(least, 0.0);
    QCOMPARE(most, 1.0);

    // A target on prices plans a schedule; the method shows what was notified.
    QCOMPARE(setConfiguration({{"evChargerId", m_charger->id().toString()},
                               {"assignedCarId", m_car->id().toString()},
                               {"chargingMode", "ChargingModeEcoWithTargetTime"},
                               {"endDateTime", QDateTime::currentSecsSinceEpoch() + 20 * 3600},
                               {"targetPercentage", 90}}),
             QString("EnergyErrorNoError"));
    m_charger->setStateValue(QStringLiteral("pluggedIn"), true);
    QVERIFY(waitForNotification(m_user, "ChargingSchedulesChanged"));
    const QJsonArray schedules = m_user.call("TavroEnergy.GetChargingSchedules")
                                         .value("result")
                                         .toObject()
                                         .value("chargingSchedules")
                                         .toArray();
    QCOMPARE(schedules,
             lastParams(m_user.notifications, "ChargingSchedulesChanged").value("chargingSchedules").toArray());
    m_charger->setStateValue(QStringLiteral("pluggedIn"), false);

    // Disabled: no provider in the notification, no entries.
    m_user.notifications.clear();
    QVERIFY(m_user.call("TavroEnergy.SetSpotMarketConfiguration", R"({"enabled":false})").contains("result"));
    QVERIFY(waitForNotification(m_user, "SpotMarketConfigurationChanged"));
    const QJsonObject disabled = lastParams(m_user.notifications, "SpotMarketConfigurationChanged");
    QVERIFY(!disabled.value("enabled").toBool());
    QVERIFY(!disabled.contains("providerId"));
    QCOMPARE(m_user.call("TavroEnergy.GetSpotMarketScoreEntries")
                     .value("result")
                     .toObject()
                     .value("spotMarketScoreEntries"),
             QJsonValue(QJsonArray()));
}

void TestTavroEnergyWire::everyMethodWithEveryScope_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<QString>("token");
    QTest::addColumn<int>("code");

    // The scope each method is meant to need, written out: a declaration
    // that drifts from it fails here.
    const QString id = m_charger->id().toString();
    const QList<std::tuple<const char *, QByteArray, bool>> methods{
            {"GetPhasePowerLimit", "{}", false},
            {"SetPhasePowerLimit", R"({"phasePowerLimit":25})", true},
            {"GetAcquisitionTolerance", "{}", false},
            {"SetAcquisitionTolerance", R"({"acquisitionTolerance":0.5})", false},
            {"GetBatteryLevelConsideration", "{}", true},
            {"SetBatteryLevelConsideration", R"({"batteryLevelConsideration":0.4})", true},
            {"GetBatteryLevelLimits", "{}", true},
            {"SetBatteryLevelLimits", R"({"batteryLevelLowerLimit":0.4,"batteryLevelUpperLimit":0.9})", true},
            {"GetChargingConfigurations", "{}", false},
            {"SetChargingConfiguration",
             R"({"chargingConfiguration":{"evChargerId":")" + id.toUtf8() + R"(","chargingMode":"ChargingModeEco"}})",
             false},
            {"GetChargingStates", "{}", false},
            {"GetAvailableSpotMarketProviders", "{}", false},
            {"SetSpotMarketConfiguration", R"({"enabled":false})", false},
            {"GetSpotMarketConfiguration", "{}", false},
            {"GetSpotMarketScoreEntries", "{}", false},
            {"GetChargingSchedules", "{}", false},
            {"GetChargingForecasts", "{}", false},
            {"GetSolarForecastConfiguration", "{}", false},
            {"SetSolarForecastConfiguration", R"({"configuration":{"enabled":false,"planes":[]}})", true},
            {"GetSolarForecast", "{}", false},
    };
    for (const auto &[method, params, admin] : methods) {
        for (const char *token : {"admin", "user", "scopeless"}) {
            const bool allowed = qstrcmp(token, "admin") == 0 || (qstrcmp(token, "user") == 0 && !admin);
            QTest::newRow(qPrintable(QStringLiteral("%1 by %2").arg(method, token)))
                    << QString::fromLatin1(method) << params << QString::fromLatin1(token) << (allowed ? 0 : -32002);
        }
    }
}

void TestTavroEnergyWire::everyMethodWithEveryScope()
{
    QFETCH(QString, method);
    QFETCH(QByteArray, params);
    QFETCH(QString, token);
    QFETCH(int, code);

    JsonRpcTestClient &client = token == "admin" ? m_admin : token == "user" ? m_user : m_scopeless;
    const QJsonObject response = client.call("TavroEnergy." + method, params);
    QCOMPARE(JsonRpcTestClient::errorCode(response), code);
    if (code != 0)
        return;
    // Every declared member of the answer is there (the self-check sees
    // their types), and a setter succeeded.
    const QJsonObject returns = m_admin.call("JSONRPC.Introspect")
                                        .value("result")
                                        .toObject()
                                        .value("namespaces")
                                        .toObject()
                                        .value("TavroEnergy")
                                        .toObject()
                                        .value("methods")
                                        .toObject()
                                        .value(method)
                                        .toObject()
                                        .value("returns")
                                        .toObject();
    for (const QString &member : returns.keys()) {
        if (!member.startsWith("o:"))
            QVERIFY2(response.value("result").toObject().contains(member), qPrintable(member));
    }
    if (returns.contains("energyError"))
        QCOMPARE(response.value("result").toObject().value("energyError").toString(), QString("EnergyErrorNoError"));
}

void TestTavroEnergyWire::declarations()
{
    const QJsonObject energy = m_user.call("JSONRPC.Introspect")
                                       .value("result")
                                       .toObject()
                                       .value("namespaces")
                                       .toObject()
                                       .value("TavroEnergy")
                                       .toObject();
    QCOMPARE(energy.value("methods").toObject().count(), 20);
    QCOMPARE(energy.value("notifications").toObject().count(), 17);
    for (const char *name : {"ChargingMode", "ChargingActionIssuer", "Mode", "WaitingReason", "Outlook"})
        QVERIFY2(energy.value("enums").toObject().contains(QString::fromLatin1(name)), name);
    // Declared, but never sent: there is no signal for it.
    QVERIFY(energy.value("notifications").toObject().contains("SpotMarketStatusChanged"));
    QCOMPARE(m_server->handler("TavroEnergy")->metaObject()->indexOfSignal("SpotMarketStatusChanged(QVariantMap)"), -1);
}

void TestTavroEnergyWire::spotMarketProviders()
{
    // Nothing may reach the real service.
    qputenv("TAVRO_ENERGY_CHARTS_URL", "http://127.0.0.1:9");
    const QJsonArray providers = m_user.call("TavroEnergy.GetAvailableSpotMarketProviders")
                                         .value("result")
                                         .toObject()
                                         .value("providers")
                                         .toArray();
    QCOMPARE(providers.count(), 2 + 15);
    QJsonObject netherlands;
    for (const QJsonValue &provider : providers) {
        if (provider.toObject().value("zone").toString() == "NL")
            netherlands = provider.toObject();
    }
    QCOMPARE(netherlands.value("name").toString(), QString("Energy-Charts NL (Netherlands)"));
    QCOMPARE(netherlands.value("country").toInt(), static_cast<int>(QLocale::Netherlands));
    QVERIFY(netherlands.value("license").toString().startsWith("Energy-Charts"));

    // Picked with the spot-market configuration call like any provider.
    const QString id = netherlands.value("providerId").toString();
    QCOMPARE(m_user.call("TavroEnergy.SetSpotMarketConfiguration",
                         QString(R"({"enabled":true,"providerId":"%1"})").arg(id).toUtf8())
                     .value("result")
                     .toObject()
                     .value("energyError")
                     .toString(),
             QString("EnergyErrorNoError"));
    const QJsonObject configuration = m_user.call("TavroEnergy.GetSpotMarketConfiguration").value("result").toObject();
    QCOMPARE(QUuid(configuration.value("providerId").toString()), QUuid(id));
    QVERIFY(configuration.value("enabled").toBool());
    QVERIFY(m_user.call("TavroEnergy.SetSpotMarketConfiguration", R"({"enabled":false})").contains("result"));
}

void TestTavroEnergyWire::solarForecastConfiguration_data()
{
    QTest::addColumn<bool>("admin");
    QTest::addColumn<QJsonObject>("configuration");
    QTest::addColumn<int>("code"); // JSON-RPC error, 0: answered
    QTest::addColumn<QString>("energyError");
    QTest::addColumn<bool>("apiKeySet"); // afterwards

    const QJsonObject east{
            {"latitude", 48.2}, {"longitude", 16.37}, {"declination", 30}, {"azimuth", -90}, {"kwp", 4.5}};
    QJsonObject west = east;
    west.insert("azimuth", 90);
    west.insert("horizon", QJsonArray{0, 10, 25, 10});
    const auto with = [](QJsonObject plane, const QString &key, const QJsonValue &value) {
        if (value.isUndefined())
            plane.remove(key);
        else
            plane.insert(key, value);
        return plane;
    };
    const QString ok = "EnergyErrorNoError";
    const QString invalid = "EnergyErrorInvalidParameter";
    QTest::newRow("east and west with a new key")
            << true << QJsonObject{{"enabled", false}, {"planes", QJsonArray{east, west}}, {"apiKey", "n3w-Key"}} << 0
            << ok << true;
    QTest::newRow("without a key the key stays")
            << true << QJsonObject{{"enabled", false}, {"planes", QJsonArray{west}}} << 0 << ok << true;
    QTest::newRow("an empty key removes it")
            << true << QJsonObject{{"enabled", false}, {"planes", QJsonArray{east}}, {"apiKey", ""}} << 0 << ok
            << false;
    QTest::newRow("changing needs the admin scope")
            << false << QJsonObject{{"enabled", false}, {"planes", QJsonArray{west}}} << -32002 << "" << true;
    QTest::newRow("a plane of 0 kWp") << true
                                      << QJsonObject{{"enabled", false}, {"planes", QJsonArray{with(east, "kwp", 0)}}}
                                      << 0 << invalid << true;
    QTest::newRow("a plane without kwp") << true
                                         << QJsonObject{{"enabled", false},
                                                        {"planes", QJsonArray{with(east, "kwp", QJsonValue())}}}
                                         << -32602 << "" << true;
    QTest::newRow("an unknown member") << true
                                       << QJsonObject{{"enabled", false},
                                                      {"planes", QJsonArray{with(east, "tilt", 30)}}}
                                       << -32602 << "" << true;
    QTest::newRow("a horizon of fractions")
            << true
            << QJsonObject{{"enabled", false}, {"planes", QJsonArray{with(east, "horizon", QJsonArray{0.5, 10})}}}
            << -32602 << "" << true;
    QTest::newRow("latitude as text") << true
                                      << QJsonObject{{"enabled", false},
                                                     {"planes", QJsonArray{with(east, "latitude", "48.2")}}}
                                      << -32602 << "" << true;
}

void TestTavroEnergyWire::solarForecastConfiguration()
{
    QFETCH(bool, admin);
    QFETCH(QJsonObject, configuration);
    QFETCH(int, code);
    QFETCH(QString, energyError);
    QFETCH(bool, apiKeySet);

    const auto set = [](JsonRpcTestClient &client, const QJsonObject &sent) {
        const QJsonObject params{{"configuration", sent}};
        return client.call("TavroEnergy.SetSolarForecastConfiguration",
                           QJsonDocument(params).toJson(QJsonDocument::Compact));
    };
    const auto get = [this]() {
        return m_user.call("TavroEnergy.GetSolarForecastConfiguration").value("result").toObject();
    };
    // Every row starts from one plane and a key.
    const QJsonObject base{
            {"enabled", false},
            {"planes", QJsonArray{QJsonObject{
                               {"latitude", 1}, {"longitude", 2}, {"declination", 3}, {"azimuth", 4}, {"kwp", 5}}}},
            {"apiKey", "base"}};
    QCOMPARE(set(m_admin, base).value("result").toObject().value("energyError").toString(),
             QString("EnergyErrorNoError"));
    const QJsonObject before = get();
    for (JsonRpcTestClient *client : {&m_admin, &m_user, &m_scopeless})
        client->notifications.clear();

    const QJsonObject response = set(admin ? m_admin : m_user, configuration);
    QCOMPARE(JsonRpcTestClient::errorCode(response), code);
    QCOMPARE(response.value("result").toObject().value("energyError").toString(), energyError);
    // Round trips: what was sent to the others before has arrived.
    QVERIFY(m_user.call("JSONRPC.Hello").contains("result"));
    QVERIFY(m_scopeless.call("JSONRPC.Hello").contains("result"));

    const QJsonObject after = get();
    QCOMPARE(after.value("apiKeySet").toBool(), apiKeySet);
    QVERIFY(!QJsonDocument(after).toJson().contains("apiKey\""));
    if (energyError != QLatin1String("EnergyErrorNoError")) {
        QCOMPARE(after, before);
        QCOMPARE(names(m_admin.notifications), QStringList());
        return;
    }
    QJsonObject expected = configuration;
    expected.remove("apiKey");
    QCOMPARE(after.value("configuration").toObject(), expected);
    for (JsonRpcTestClient *client : {&m_admin, &m_user}) {
        QCOMPARE(names(client->notifications), QStringList{"SolarForecastConfigurationChanged"});
        QCOMPARE(lastParams(client->notifications, "SolarForecastConfigurationChanged"), after);
    }
    QCOMPARE(names(m_scopeless.notifications), QStringList());
}

void TestTavroEnergyWire::solarForecastReachesClients()
{
    for (JsonRpcTestClient *client : {&m_admin, &m_user, &m_scopeless})
        client->notifications.clear();
    const QByteArray enable = R"({"configuration": {"enabled": true, "apiKey": "s3cret", "planes": [
            {"latitude": 48.2, "longitude": 16.37, "declination": 30, "azimuth": -90, "kwp": 4.5},
            {"latitude": 48.2, "longitude": 16.37, "declination": 30, "azimuth": 90, "kwp": 4.5}]}})";
    QCOMPARE(m_admin.call("TavroEnergy.SetSolarForecastConfiguration", enable)
                     .value("result")
                     .toObject()
                     .value("energyError")
                     .toString(),
             QString("EnergyErrorNoError"));
    QTRY_VERIFY(names(m_user.notifications).contains("SolarForecastChanged"));
    // Both planes asked for, with the key; the key never goes out.
    QCOMPARE(m_forecastService.paths.count(), 2);
    QVERIFY(m_forecastService.paths.first().startsWith("/s3cret/estimate/48.2/16.37/30/-90/4.5"));
    for (const QByteArray &line : m_user.lines)
        QVERIFY(!line.contains("s3cret"));

    const QJsonObject forecast = m_user.call("TavroEnergy.GetSolarForecast").value("result").toObject();
    QCOMPARE(lastParams(m_user.notifications, "SolarForecastChanged"), forecast);
    QVERIFY(forecast.value("available").toBool());
    QVERIFY(forecast.contains("updated"));
    // 13 hours a day, two planes of 500 Wh each, in quarter hours.
    const QJsonArray forecastSlots = forecast.value("solarForecastSlots").toArray();
    QCOMPARE(forecastSlots.count(), 2 * 13 * 4);
    const QJsonObject slot = forecastSlots.first().toObject();
    QCOMPARE(slot.value("endDateTime").toDouble() - slot.value("startDateTime").toDouble(), 900.0);
    QCOMPARE(slot.value("energy").toDouble(), 250.0);
    QCOMPARE(slot.value("power").toDouble(), 1000.0);
    QCOMPARE(names(m_scopeless.notifications), QStringList());

    // Off: nothing to count on any more.
    m_user.notifications.clear();
    QVERIFY(m_admin.call("TavroEnergy.SetSolarForecastConfiguration",
                         R"({"configuration": {"enabled": false, "planes": []}})")
                    .contains("result"));
    QVERIFY(m_user.call("JSONRPC.Hello").contains("result"));
    QCOMPARE(names(m_user.notifications), QStringList({"SolarForecastConfigurationChanged", "SolarForecastChanged"}));
    QCOMPARE(lastParams(m_user.notifications, "SolarForecastChanged"),
             QJsonObject({{"available", false}, {"solarForecastSlots", QJsonArray()}}));
}

QTEST_GUILESS_MAIN(TestTavroEnergyWire)
#include "tst_tavroenergywire.moc"
