#include "../smartcharging/householdfixture.h"

#include "jsonrpc/tavroenergyjsonhandler.h"
#include "smartcharging/smartchargingmanager.h"
#include "spotmarket/spotmarketmanager.h"

#include "tavro/thing.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

class TestTavroEnergyJsonHandler : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void acquisitionToleranceRange_data();
    void acquisitionToleranceRange();
    void batteryLevelLimitsRange_data();
    void batteryLevelLimitsRange();
    void spotMarketWithoutProviderRefused();
    void configurationsNotFiltered();
    void partialConfigurationKeepsStoredValues();
    void rejectedConfigurationSendsNothing();
    void declarations();

private:
    QVariantMap call(const char *method, const QVariantMap &params);

    std::unique_ptr<HouseholdFixture> m_household;
    std::unique_ptr<TavroEnergyJsonHandler> m_handler;
    Thing *m_charger = nullptr;
};

void TestTavroEnergyJsonHandler::init()
{
    m_household = std::make_unique<HouseholdFixture>();
    m_charger = m_household->addThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger"));
    m_household->addThing(QStringLiteral("evChargerAcBasic"), QStringLiteral("Second charger"));
    m_household->createManager();
    m_handler = std::make_unique<TavroEnergyJsonHandler>(m_household->spotMarketManager(), m_household->manager());
}

void TestTavroEnergyJsonHandler::cleanup()
{
    m_handler.reset();
    m_household.reset();
}

QVariantMap TestTavroEnergyJsonHandler::call(const char *method, const QVariantMap &params)
{
    JsonReply *reply = nullptr;
    if (qstrcmp(method, "SetChargingConfiguration") == 0) {
        QMetaObject::invokeMethod(m_handler.get(), method, Q_RETURN_ARG(JsonReply *, reply),
                                  Q_ARG(QVariantMap, params), Q_ARG(JsonContext, JsonContext()));
    } else {
        QMetaObject::invokeMethod(m_handler.get(), method, Q_RETURN_ARG(JsonReply *, reply), Q_ARG(QVariantMap, params));
    }
    if (!reply)
        return {};
    const QVariantMap data = reply->data();
    delete reply;
    return data;
}

void TestTavroEnergyJsonHandler::acquisitionToleranceRange_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("notifications");

    QTest::newRow("upper bound") << 1.0 << "EnergyErrorNoError" << 1;
    QTest::newRow("zero") << 0.0 << "EnergyErrorNoError" << 1;
    QTest::newRow("above one") << 1.01 << "EnergyErrorInvalidParameter" << 0;
    QTest::newRow("negative") << -0.1 << "EnergyErrorInvalidParameter" << 0;
}

void TestTavroEnergyJsonHandler::acquisitionToleranceRange()
{
    QFETCH(double, value);
    QFETCH(QString, error);
    QFETCH(int, notifications);

    QSignalSpy spy(m_handler.get(), &TavroEnergyJsonHandler::AcquisitionToleranceChanged);
    const QVariantMap result = call("SetAcquisitionTolerance", {{QStringLiteral("acquisitionTolerance"), value}});
    QCOMPARE(result.value(QStringLiteral("energyError")).toString(), error);
    QCOMPARE(spy.count(), notifications);
    if (notifications)
        QCOMPARE(spy.at(0).at(0).toMap().value(QStringLiteral("acquisitionTolerance")).toDouble(), value);
    else
        QCOMPARE(m_household->manager()->acquisitionTolerance(), 0.5);
}

void TestTavroEnergyJsonHandler::batteryLevelLimitsRange_data()
{
    QTest::addColumn<QVariantMap>("params");
    QTest::addColumn<QString>("error");

    QTest::newRow("lower above upper") << QVariantMap{{"batteryLevelLowerLimit", 0.8}, {"batteryLevelUpperLimit", 0.5}}
                                       << "EnergyErrorInvalidParameter";
    QTest::newRow("equal limits") << QVariantMap{{"batteryLevelLowerLimit", 0.5}, {"batteryLevelUpperLimit", 0.5}}
                                  << "EnergyErrorNoError";
    QTest::newRow("missing upper reads 0") << QVariantMap{{"batteryLevelLowerLimit", 0.2}} << "EnergyErrorInvalidParameter";
    QTest::newRow("upper above one") << QVariantMap{{"batteryLevelLowerLimit", 0.2}, {"batteryLevelUpperLimit", 1.2}}
                                     << "EnergyErrorInvalidParameter";
}

void TestTavroEnergyJsonHandler::batteryLevelLimitsRange()
{
    QFETCH(QVariantMap, params);
    QFETCH(QString, error);

    QSignalSpy spy(m_handler.get(), &TavroEnergyJsonHandler::BatteryLevelLimitsChanged);
    QCOMPARE(call("SetBatteryLevelLimits", params).value(QStringLiteral("energyError")).toString(), error);
    QCOMPARE(spy.count(), error == QLatin1String("EnergyErrorNoError") ? 1 : 0);
}

void TestTavroEnergyJsonHandler::spotMarketWithoutProviderRefused()
{
    QSignalSpy spy(m_handler.get(), &TavroEnergyJsonHandler::SpotMarketConfigurationChanged);
    const QVariantMap result = call("SetSpotMarketConfiguration", {{QStringLiteral("enabled"), true}});
    QCOMPARE(result.value(QStringLiteral("energyError")).toString(), QStringLiteral("EnergyErrorInvalidParameter"));
    QVERIFY(!m_household->spotMarketManager()->enabled());
    QCOMPARE(spy.count(), 0);
}

void TestTavroEnergyJsonHandler::configurationsNotFiltered()
{
    const QVariantMap result = call("GetChargingConfigurations", {{QStringLiteral("evChargerId"), m_charger->id()}});
    QCOMPARE(result.value(QStringLiteral("chargingConfigurations")).toList().count(), 2);
}

void TestTavroEnergyJsonHandler::partialConfigurationKeepsStoredValues()
{
    Thing *car = m_household->addThing(QStringLiteral("electricVehicleConnected"), QStringLiteral("Car"));
    QVariantMap full{{QStringLiteral("evChargerId"), m_charger->id().toString()},
                     {QStringLiteral("assignedCarId"), car->id().toString()},
                     {QStringLiteral("chargingMode"), QStringLiteral("ChargingModeEco")},
                     {QStringLiteral("targetPercentage"), 65},
                     {QStringLiteral("repeatDays"), QVariantList{1, 5}}};
    QCOMPARE(call("SetChargingConfiguration", {{QStringLiteral("chargingConfiguration"), full}})
                 .value(QStringLiteral("energyError")).toString(), QStringLiteral("EnergyErrorNoError"));

    QSignalSpy spy(m_handler.get(), &TavroEnergyJsonHandler::ChargingConfigurationChanged);
    QVariantMap partial{{QStringLiteral("evChargerId"), m_charger->id().toString()},
                        {QStringLiteral("chargingMode"), QStringLiteral("ChargingModeNormal")}};
    QCOMPARE(call("SetChargingConfiguration", {{QStringLiteral("chargingConfiguration"), partial}})
                 .value(QStringLiteral("energyError")).toString(), QStringLiteral("EnergyErrorNoError"));
    QCOMPARE(spy.count(), 1);

    const ChargingConfiguration stored = m_household->manager()->chargingConfiguration(m_charger->id());
    QCOMPARE(stored.chargingMode(), ChargingConfiguration::ChargingModeNormal);
    QCOMPARE(stored.targetPercentage(), 65u);
    QCOMPARE(stored.assignedCarId(), car->id());
    QCOMPARE(stored.repeatDays(), QList<int>({1, 5}));
}

void TestTavroEnergyJsonHandler::rejectedConfigurationSendsNothing()
{
    QSignalSpy spy(m_handler.get(), &TavroEnergyJsonHandler::ChargingConfigurationChanged);
    QVariantMap configuration{{QStringLiteral("evChargerId"), m_charger->id().toString()},
                              {QStringLiteral("targetPercentage"), 101}};
    QCOMPARE(call("SetChargingConfiguration", {{QStringLiteral("chargingConfiguration"), configuration}})
                 .value(QStringLiteral("energyError")).toString(), QStringLiteral("EnergyErrorInvalidParameter"));
    QCOMPARE(spy.count(), 0);
    QCOMPARE(m_household->manager()->chargingConfiguration(m_charger->id()).targetPercentage(), 80u);
}

void TestTavroEnergyJsonHandler::declarations()
{
    QCOMPARE(m_handler->name(), QStringLiteral("TavroEnergy"));
    QCOMPARE(m_handler->jsonMethods().count(), 16);
    QCOMPARE(m_handler->jsonNotifications().count(), 14);
    QVERIFY(m_handler->jsonNotifications().contains(QStringLiteral("SpotMarketStatusChanged")));
    // Declared, but never sent: there is no signal for it.
    QCOMPARE(m_handler->metaObject()->indexOfSignal("SpotMarketStatusChanged(QVariantMap)"), -1);
    QCOMPARE(m_handler->jsonMethods().value(QStringLiteral("SetPhasePowerLimit")).toMap()
                 .value(QStringLiteral("permissionScope")).toString(), QStringLiteral("PermissionScopeAdmin"));
    for (const char *name : {"ChargingMode", "ChargingActionIssuer", "Mode", "WaitingReason"})
        QVERIFY2(m_handler->jsonEnums().contains(QString::fromLatin1(name)), name);
}

QTEST_GUILESS_MAIN(TestTavroEnergyJsonHandler)
#include "tst_tavroenergyjsonhandler.moc"
