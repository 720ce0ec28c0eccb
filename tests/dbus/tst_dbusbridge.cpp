#include "dbus/energymanagerdbusclient.h"
#include "dbus/energymanagerdbusinterface.h"
#include "privatebus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QMultiMap>
#include <QRegularExpression>
#include <QScopeGuard>
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
    void newClientSignalsFromTheEventLoop();
    void unknownRemovalIgnored();
    void nameAlreadyOwned();

private:
    bool startService();
    void stopService();
    // Runs a stock tool of the dbus package on the test's bus.
    QString dbusSend(const QString &method) const;

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

namespace {

// The value types of the maps, as the stock tools print them.
const QMap<QString, QString> configurationTypes{{"evChargerId", "string"},
                                                {"assignedCarId", "string"},
                                                {"chargingMode", "int32"},
                                                {"endDateTime", "string"},
                                                {"repeatDays", "array"},
                                                {"targetPercentage", "uint32"},
                                                {"dischargeFloorPercentage", "uint32"},
                                                {"dailySpotMarketPercentage", "uint32"},
                                                {"lockOnUnplug", "boolean"},
                                                {"stopOnTargetPercentage", "boolean"}};
const QMap<QString, QString> stateTypes{{"evChargerId", "string"},
                                        {"mode", "int32"},
                                        {"overloadProtectionActive", "boolean"},
                                        {"overloadProtectionThrottle", "double"},
                                        {"targetTimeOvershot", "int32"},
                                        {"targetPercentageReached", "boolean"},
                                        {"powerLockSeconds", "int32"},
                                        {"powerLockDuration", "int32"},
                                        {"batteryLevelConsiderationActive", "boolean"},
                                        {"waitingReason", "int32"},
                                        {"surplusCoverage", "double"}};

// Key → type of every dictionary entry in a dump of dbus-send or
// dbus-monitor; a key seen with two types maps to both ("int32|double").
QMap<QString, QString> entryTypes(const QString &dump)
{
    QMap<QString, QString> types;
    QRegularExpressionMatchIterator it =
            QRegularExpression(QStringLiteral("string \"(\\w+)\"\\s+variant\\s+(\\w+)")).globalMatch(dump);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        QString &type = types[match.captured(1)];
        if (type.isEmpty())
            type = match.captured(2);
        else if (!type.split('|').contains(match.captured(2)))
            type += '|' + match.captured(2);
    }
    return types;
}

// The dump of dbus-monitor split by message, keyed by member name.
QMultiMap<QString, QString> signalsByMember(const QString &dump)
{
    QMultiMap<QString, QString> messages;
    for (const QString &message : dump.split(QStringLiteral("\nsignal "))) {
        const QRegularExpressionMatch member = QRegularExpression(QStringLiteral("member=(\\w+)")).match(message);
        if (member.hasMatch())
            messages.insert(member.captured(1), message);
    }
    return messages;
}

}

QString TestDbusBridge::dbusSend(const QString &method) const
{
    QProcess tool;
    tool.start(QStringLiteral("dbus-send"),
               {QStringLiteral("--system"), QStringLiteral("--print-reply"),
                QStringLiteral("--dest=io.tavro.energymanager"), QStringLiteral("/io/tavro/energymanager"),
                QStringLiteral("io.tavro.energymanager.") + method});
    tool.waitForFinished(5000);
    return QString::fromUtf8(tool.readAllStandardOutput());
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
                    .match(client.chargingStates().first().toMap().value(QStringLiteral("evChargerId")).toString())
                    .hasMatch());
    QCOMPARE(client.chargingStates().first().toMap().value(QStringLiteral("powerLockSeconds")).toInt(), -1);

    // Stock tools see the same service, with the declared value types.
    const QString configurations = dbusSend(QStringLiteral("chargingConfigurations"));
    QVERIFY2(configurations.contains(m_firstChargerId), qPrintable(configurations));
    QCOMPARE(entryTypes(configurations), configurationTypes);
    QCOMPARE(entryTypes(dbusSend(QStringLiteral("chargingStates"))), stateTypes);
    QProcess monitor;
    monitor.start(QStringLiteral("dbus-monitor"),
                  {QStringLiteral("--system"), QStringLiteral("type='signal',interface='io.tavro.energymanager'")});
    // It says hello (NameAcquired) once it listens.
    QVERIFY(monitor.waitForReadyRead(5000));

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
    // The monitor saw the same signals, with the same types.
    QString dump;
    QMultiMap<QString, QString> seen;
    QTRY_VERIFY_WITH_TIMEOUT((dump += QString::fromUtf8(monitor.readAll()), seen = signalsByMember(dump),
                              seen.contains("chargingStateAdded") && seen.contains("chargingConfigurationAdded")),
                             5000);
    monitor.kill();
    monitor.waitForFinished(5000);
    QVERIFY2(seen.value("chargingStateRemoved").contains("string \"" + m_firstChargerId + '"'), qPrintable(dump));
    QCOMPARE(entryTypes(seen.value("chargingConfigurationAdded")), configurationTypes);
    QCOMPARE(entryTypes(seen.value("chargingStateAdded")), stateTypes);
    for (const QString &changed : seen.values("chargingStateChanged"))
        QCOMPARE(entryTypes(changed), stateTypes);

    // The service going away empties the mirror.
    const int updatesBefore = configurationsUpdated.count();
    stopService();
    QTRY_VERIFY_WITH_TIMEOUT(configurationsUpdated.count() > updatesBefore, 5000);
    QVERIFY(client.chargingConfigurations().isEmpty());
    QVERIFY(client.chargingStates().isEmpty());
    QCOMPARE(errors.count(), 0);
}

void TestDbusBridge::newClientSignalsFromTheEventLoop()
{
    QVERIFY(startService());
    const auto stop = qScopeGuard([this]() { stopService(); });
    // Connected right after construction, as any user of the class does.
    EnergyManagerDbusClient client;
    QSignalSpy configurationsUpdated(&client, &EnergyManagerDbusClient::chargingConfigurationsUpdated);
    QSignalSpy statesUpdated(&client, &EnergyManagerDbusClient::chargingStatesUpdated);
    // The lists are there at once.
    QCOMPARE(client.chargingConfigurations().count(), 2);
    QCOMPARE(client.chargingStates().count(), 2);
    QTRY_COMPARE(configurationsUpdated.count(), 1);
    QCOMPARE(statesUpdated.count(), 1);
    QCOMPARE(configurationsUpdated.at(0).at(0).toList(), client.chargingConfigurations());
}

void TestDbusBridge::unknownRemovalIgnored()
{
    EnergyManagerDbusClient client;
    QSignalSpy removed(&client, &EnergyManagerDbusClient::chargingStateRemoved);
    QSignalSpy updated(&client, &EnergyManagerDbusClient::chargingStatesUpdated);
    client.onChargingStateRemoved(QUuid::createUuid().toString());
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
