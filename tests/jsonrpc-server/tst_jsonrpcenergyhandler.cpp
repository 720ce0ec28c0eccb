#include <QtTest>
#include "settingssandbox.h"

#include "jsonrpctestclient.h"
#include "tavro-energy/energymanager.h"
#include "tavro-energy/jsonrpcenergyhandler.h"
#include "tavro/jsonrpcserver.h"
#include "tavro/tavroclock.h"
#include "tavro/thingmanager.h"

#include <QJsonArray>

// The host namespace "Energy" as the owner's page reads it: the power
// balance with the root meter's phases and the host's clock, and one
// notification per change (per turn of the event loop) and per minute.
class TestJsonRpcEnergyHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void balance_data();
    void balance();
    void notifications();

private:
    SettingsSandbox m_dir;
    ThingManager m_things;
    EnergyManager *m_energy = nullptr;
    JsonRpcServer m_server;
    JsonRpcEnergyHandler *m_handler = nullptr;
    JsonRpcTestClient m_client;
};

void TestJsonRpcEnergyHandler::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.apply();
    m_energy = new EnergyManager(&m_things, this);
    m_handler = new JsonRpcEnergyHandler(m_energy, this);
    QVERIFY(m_server.registerHandler(m_handler, 1, 0));
    QVERIFY(m_server.addToken("user-token", Types::PermissionScopeControlThings));
    const quint16 port = JsonRpcTestClient::listen(&m_server);
    QVERIFY(port != 0);
    QVERIFY(m_client.connectTo(port));
    QVERIFY(m_client.call("JSONRPC.Authenticate", R"({"token":"user-token"})").contains("result"));
}

void TestJsonRpcEnergyHandler::cleanupTestCase()
{
    TavroClock::reset();
}

void TestJsonRpcEnergyHandler::balance_data()
{
    QTest::addColumn<bool>("withMeter");
    QTest::addColumn<QString>("expected"); // acquisition/production/storage/consumption, then phase currents

    // Grid 2 kW import, PV 3 kW, battery taking 1 kW: the house uses 4 kW.
    QTest::newRow("meter, PV and battery") << true << "2000/-3000/1000/4000 A:4.5 B:3 C:1.5";
    QTest::newRow("no root meter") << false << "0/-3000/1000/2000";
}

void TestJsonRpcEnergyHandler::balance()
{
    QFETCH(bool, withMeter);
    QFETCH(QString, expected);

    const QDateTime now(QDate(2026, 3, 10), QTime(21, 15));
    TavroClock::setCurrentDateTime(now);
    Thing *meter =
            withMeter ? m_things.addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Grid")) : nullptr;
    Thing *pv = m_things.addConfiguredThing(QStringLiteral("solarInverter"), QStringLiteral("Roof"));
    Thing *battery = m_things.addConfiguredThing(QStringLiteral("homeBattery"), QStringLiteral("Basement"));
    QVERIFY(pv && battery);
    pv->setStateValue(QStringLiteral("currentPower"), -3000.0);
    battery->setStateValue(QStringLiteral("currentPower"), 1000.0);
    if (meter) {
        const double currents[] = {4.5, 3, 1.5};
        for (int i = 0; i < 3; i++) {
            const QString phase = QString(QChar('A' + i));
            meter->setStateValue(QStringLiteral("currentPhase") + phase, currents[i]);
            meter->setStateValue(QStringLiteral("currentPowerPhase") + phase, currents[i] * 230);
        }
        meter->setStateValue(QStringLiteral("currentPower"), 2000.0);
    }
    const QJsonObject balance =
            m_client.call("Energy.GetPowerBalance").value("result").toObject().value("powerBalance").toObject();
    for (Thing *thing : {meter, pv, battery}) {
        if (thing)
            m_things.removeConfiguredThing(thing->id());
    }
    QString seen = QStringLiteral("%1/%2/%3/%4")
                           .arg(balance.value("currentPowerAcquisition").toDouble())
                           .arg(balance.value("currentPowerProduction").toDouble())
                           .arg(balance.value("currentPowerStorage").toDouble())
                           .arg(balance.value("currentPowerConsumption").toDouble());
    for (const QJsonValue &phase : balance.value("phases").toArray())
        seen += QStringLiteral(" %1:%2")
                        .arg(phase.toObject().value("phase").toString())
                        .arg(phase.toObject().value("current").toDouble());
    QCOMPARE(seen, expected);
    QCOMPARE(balance.contains("phases"), withMeter);
    QCOMPARE(balance.value("time").toVariant().toLongLong(), now.toSecsSinceEpoch());
    QVERIFY(balance.value("simulated").toBool());
}

void TestJsonRpcEnergyHandler::notifications()
{
    Thing *meter = m_things.addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Grid"));
    QVERIFY(meter);
    const auto count = [this]() {
        // What was sent before this reply has arrived with it.
        m_client.call("JSONRPC.Hello");
        int changed = 0;
        for (const QJsonObject &notification : qAsConst(m_client.notifications))
            changed += notification.value("method").toString() == "Energy.PowerBalanceChanged" ? 1 : 0;
        m_client.notifications.clear();
        return changed;
    };
    QTRY_VERIFY(count() >= 0);
    count();
    // Three changes in one turn of the event loop: one notification.
    meter->setStateValue(QStringLiteral("currentPhaseA"), 7.0);
    meter->setStateValue(QStringLiteral("currentPhaseB"), 6.0);
    meter->setStateValue(QStringLiteral("currentPower"), 3000.0);
    QCOMPARE(count(), 1);
    // Nothing changed: nothing sent.
    QCOMPARE(count(), 0);
    // The host's minute: sent, with the clock, though nothing changed.
    TavroClock::setCurrentDateTime(QDateTime(QDate(2026, 3, 10), QTime(22, 0)));
    m_energy->sampleMinute(TavroClock::currentDateTime());
    QCOMPARE(count(), 1);
    m_things.removeConfiguredThing(meter->id());
}

QTEST_GUILESS_MAIN(TestJsonRpcEnergyHandler)
#include "tst_jsonrpcenergyhandler.moc"
