#include "../dbus/privatebus.h"
#include "settingssandbox.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

// The plugin without its D-Bus bridge: no system bus at all, the service name
// taken by another process, or the bus daemon dying while the plugin runs. It
// says so once and keeps charging. Each case runs the plugin in a host
// process of its own (tavro-faults-pluginhost), on a private bus daemon.

namespace {

const QString serviceName = QStringLiteral("io.tavro.energymanager");

enum BusFault {
    NoFault,
    NoBus,
    NameTaken,
    BusDies
};

}

class TestDbusFaults : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase();
    void pluginKeepsCharging_data();
    void pluginKeepsCharging();

private:
    QByteArray readLine(QProcess *host);

    int m_faults = 0;
};

void TestDbusFaults::cleanupTestCase()
{
    qInfo("D-Bus faults injected: %d", m_faults);
}

QByteArray TestDbusFaults::readLine(QProcess *host)
{
    // Warnings come first; the caller wants the next line that is none.
    while (true) {
        while (!host->canReadLine()) {
            if (!host->waitForReadyRead(10000))
                return QByteArray();
        }
        const QByteArray line = host->readLine().trimmed();
        if (!line.startsWith("warning: "))
            return line;
        host->setProperty("warnings", host->property("warnings").toStringList() << QString::fromUtf8(line.mid(9)));
    }
}

void TestDbusFaults::pluginKeepsCharging_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("warning");

    QTest::newRow("bus present, name free") << int(NoFault) << QString();
    QTest::newRow("no system bus") << int(
            NoBus) << "Could not connect to DBus system bus. Energy manager DBus interface not available.";
    QTest::newRow("service name owned by another process") << int(NameTaken) << "Failed to register DBus service";
    QTest::newRow("bus daemon dies while the plugin runs") << int(BusDies) << QString();
}

void TestDbusFaults::pluginKeepsCharging()
{
    QFETCH(int, fault);
    QFETCH(QString, warning);

    SettingsSandbox directory;
    QVERIFY(directory.isValid());
    PrivateBus bus;
    QString address = QStringLiteral("unix:path=") + directory.filePath(QStringLiteral("no_bus_here"));
    if (fault != NoBus) {
        QVERIFY2(bus.start(directory.path()), "dbus-daemon (package dbus) is required");
        address = bus.address();
    }

    // Another process holds the name: a connection of this test.
    const QString otherName = QStringLiteral("other ") + QString::fromLatin1(QTest::currentDataTag());
    QDBusConnection other = QDBusConnection::connectToBus(address, otherName);
    const auto cleanup = qScopeGuard([&otherName]() { QDBusConnection::disconnectFromBus(otherName); });
    if (fault == NameTaken) {
        QVERIFY(other.isConnected());
        QVERIFY(other.registerService(serviceName));
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address);
    directory.addTo(environment);
    // The price service is not part of this test: nothing listens there.
    environment.insert(QStringLiteral("TAVRO_AWATTAR_AT_URL"), QStringLiteral("http://127.0.0.1:9"));
    QProcess host;
    host.setProcessEnvironment(environment);
    host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    host.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tavro-faults-pluginhost"), QStringList());
    QVERIFY(host.waitForStarted(5000));
    QCOMPARE(readLine(&host), QByteArray("ready"));

    if (fault == NoFault || fault == BusDies) {
        QVERIFY(other.isConnected());
        QVERIFY(other.interface()->isServiceRegistered(serviceName));
        QVERIFY(other.interface()->serviceOwner(serviceName).value() != other.baseService());
    }
    if (fault == BusDies) {
        QDBusConnection::disconnectFromBus(otherName);
        QVERIFY(bus.kill());
    }
    if (fault != NoFault)
        m_faults++;

    // Eco mode with 7 kW exported: the car charges, and keeps charging.
    QByteArray state;
    for (int minute = 0; minute < 4; minute++) {
        host.write("cycle\n");
        state = readLine(&host);
        QVERIFY2(state.startsWith("charger "), state.constData());
    }
    QVERIFY2(state.startsWith("charger power=1"), state.constData());

    host.write("quit\n");
    QVERIFY(host.waitForFinished(10000));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 0);
    // The rest of the output: only warnings are left.
    QCOMPARE(readLine(&host), QByteArray());
    const QStringList busWarnings = host.property("warnings").toStringList().filter(QStringLiteral("DBus"));
    if (warning.isEmpty()) {
        QVERIFY2(busWarnings.isEmpty(), qPrintable(busWarnings.join(QLatin1Char('\n'))));
    } else {
        QCOMPARE(busWarnings.count(), 1);
        QVERIFY2(busWarnings.first().contains(warning), qPrintable(busWarnings.first()));
    }
}

QTEST_GUILESS_MAIN(TestDbusFaults)
#include "tst_dbusfaults.moc"
