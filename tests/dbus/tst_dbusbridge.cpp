#include "dbus/energymanagerdbusclient.h"
#include "dbus/energymanagerdbusinterface.h"
#include "privatebus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// Runs against a private bus started by the test (the dbus package's
// daemon on a socket in a temporary directory), never the machine's own.
class TestDbusBridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void emptyManagerGivesEmptyLists();
    void clientMirrorsServiceInAnotherProcess();
    void unknownRemovalIgnored();
    void nameAlreadyOwned();

private:
    bool startService();
    void stopService();

    QTemporaryDir m_directory;
    PrivateBus m_bus;
    QProcess m_service;
    QString m_firstChargerId;
};

void TestDbusBridge::initTestCase()
{
    QVERIFY2(m_bus.start(m_directory.path()), "dbus-daemon (package dbus) is required");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus.address().toUtf8());
    QVERIFY(QDBusConnection::systemBus().isConnected());
}

void TestDbusBridge::cleanupTestCase()
{
    stopService();
    m_bus.stop();
}

bool TestDbusBridge::startService()
{
    m_service.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/tavro-dbus-service-helper"));
    m_service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_service.start();
    if (!m_service.waitForStarted(5000))
        return false;
    QByteArray line;
    while (!line.contains('\n')) {
        if (!m_service.waitForReadyRead(10000))
            return false;
        line += m_service.readAll();
    }
    m_firstChargerId = QString::fromUtf8(line.trimmed().split(' ').value(1));
    return line.startsWith("ready");
}

void TestDbusBridge::stopService()
{
    if (m_service.state() == QProcess::NotRunning)
        return;
    m_service.write("quit\n");
    if (!m_service.waitForFinished(5000))
        m_service.kill();
}

void TestDbusBridge::emptyManagerGivesEmptyLists()
{
    const EnergyManagerDbusInterface withoutManager(nullptr);
    QVERIFY(withoutManager.chargingConfigurations().isEmpty());
    QVERIFY(withoutManager.chargingStates().isEmpty());
    QDBusConnection::systemBus().unregisterObject(QStringLiteral("/io/tavro/energymanager"));
    QDBusConnection::systemBus().unregisterService(QStringLiteral("io.tavro.energymanager"));
}

void TestDbusBridge::clientMirrorsServiceInAnotherProcess()
{
    EnergyManagerDbusClient client;
    QSignalSpy configurationsUpdated(&client, &EnergyManagerDbusClient::chargingConfigurationsUpdated);
    QSignalSpy statesUpdated(&client, &EnergyManagerDbusClient::chargingStatesUpdated);
    QSignalSpy configurationRemoved(&client, &EnergyManagerDbusClient::chargingConfigurationRemoved);
    QSignalSpy stateRemoved(&client, &EnergyManagerDbusClient::chargingStateRemoved);
    QSignalSpy errors(&client, &EnergyManagerDbusClient::errorOccurred);
    QVERIFY(client.chargingConfigurations().isEmpty());

    QVERIFY(startService());
    QTRY_COMPARE_WITH_TIMEOUT(client.chargingConfigurations().count(), 2, 5000);
    QCOMPARE(client.chargingStates().count(), 2);
    QVERIFY(configurationsUpdated.count() >= 1);
    QVERIFY(statesUpdated.count() >= 1);
    QVERIFY(QRegularExpression(QStringLiteral("^\\{[0-9a-f-]{36}\\}$"))
                .match(client.chargingStates().first().toMap().value(QStringLiteral("evChargerId")).toString()).hasMatch());
    QCOMPARE(client.chargingStates().first().toMap().value(QStringLiteral("powerLockSeconds")).toInt(), -1);

    // A stock tool sees the same service.
    QProcess dbusSend;
    dbusSend.start(QStringLiteral("dbus-send"), {QStringLiteral("--system"), QStringLiteral("--print-reply"),
                                                 QStringLiteral("--dest=io.tavro.energymanager"),
                                                 QStringLiteral("/io/tavro/energymanager"),
                                                 QStringLiteral("io.tavro.energymanager.chargingConfigurations")});
    QVERIFY(dbusSend.waitForFinished(5000));
    const QString reply = QString::fromUtf8(dbusSend.readAllStandardOutput());
    QVERIFY2(reply.contains(m_firstChargerId), qPrintable(reply));
    QVERIFY(reply.contains(QStringLiteral("targetPercentage")));

    // Removal arrives with the id in braces, as the maps carry it.
    m_service.write("remove\n");
    QTRY_COMPARE_WITH_TIMEOUT(stateRemoved.count(), 1, 5000);
    QCOMPARE(configurationRemoved.count(), 1);
    QCOMPARE(configurationRemoved.at(0).at(0).toString(), m_firstChargerId);
    QCOMPARE(stateRemoved.at(0).at(0).toString(), m_firstChargerId);
    QCOMPARE(client.chargingConfigurations().count(), 1);

    // A new charger is added to the mirror.
    m_service.write("add\n");
    QTRY_COMPARE_WITH_TIMEOUT(client.chargingStates().count(), 2, 5000);

    // The service going away empties the mirror.
    const int updatesBefore = configurationsUpdated.count();
    stopService();
    QTRY_VERIFY_WITH_TIMEOUT(configurationsUpdated.count() > updatesBefore, 5000);
    QVERIFY(client.chargingConfigurations().isEmpty());
    QVERIFY(client.chargingStates().isEmpty());
    QCOMPARE(errors.count(), 0);
}

void TestDbusBridge::unknownRemovalIgnored()
{
    EnergyManagerDbusClient client;
    QSignalSpy removed(&client, &EnergyManagerDbusClient::chargingStateRemoved);
    QSignalSpy updated(&client, &EnergyManagerDbusClient::chargingStatesUpdated);
    QVERIFY(QMetaObject::invokeMethod(&client, "onChargingStateRemoved",
                                      Q_ARG(QString, QUuid::createUuid().toString())));
    QCOMPARE(removed.count(), 0);
    QCOMPARE(updated.count(), 0);
}

void TestDbusBridge::nameAlreadyOwned()
{
    // Another process owns the name: the bridge warns and stays off.
    QVERIFY(startService());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Failed to register DBus service")));
    EnergyManagerDbusInterface second(nullptr);
    QVERIFY(!second.isRegistered());
    stopService();
}

QTEST_GUILESS_MAIN(TestDbusBridge)
#include "tst_dbusbridge.moc"
