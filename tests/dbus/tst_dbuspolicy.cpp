#include "privatebus.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

// The shipped bus policy (dbus/io.tavro.energymanager.conf) on a private
// bus that runs the machine's stock system-bus configuration, which denies
// owning any name and calling any method by default. The service is the
// same helper process the bridge test uses, run as root or as "nobody"
// (setpriv), so the policy's user rules are really exercised; without root
// the test can only run the cases that need no other user and says so.
class TestDbusPolicy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void ownership_data();
    void ownership();
    void everyoneMayReadButNoMore();

private:
    // program with its arguments, run as the given user.
    QStringList commandAs(uid_t user, const QString &program, const QStringList &arguments) const;
    bool startBus(bool withPolicyFile);
    // The service helper as the given user may start it: another user gets a
    // copy with the project's libraries beside it, since the build tree may
    // lie in a folder only its owner can enter (a home folder).
    QString serviceProgram(uid_t user);
    // True when the service helper registered the name (as user).
    bool startService(uid_t user);

    QTemporaryDir m_directory;
    PrivateBus m_bus;
    QProcess m_service;
    uid_t m_other = 0; // a user the policy does not name
    bool m_root = false;
};

void TestDbusPolicy::initTestCase()
{
    if (PrivateBus::stockSystemConfiguration({}).isEmpty())
        QSKIP("The stock system-bus configuration /usr/share/dbus-1/system.conf (package dbus) is missing");
    QVERIFY(m_directory.isValid());
    m_root = geteuid() == 0;
    const passwd *nobody = getpwnam("nobody");
    m_other = m_root && nobody ? nobody->pw_uid : geteuid();
    if (m_root)
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty(),
                 "setpriv (util-linux) is needed");
    // The bus socket and the service's files must be reachable for both.
    QVERIFY(QFile::setPermissions(m_directory.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                              | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                                              | QFileDevice::ExeOther));
    QVERIFY(QDir(m_directory.path()).mkdir(QStringLiteral("data")));
    QVERIFY(QFile::setPermissions(m_directory.filePath(QStringLiteral("data")), QFileDevice::Permissions(0x7777)));
}

void TestDbusPolicy::cleanup()
{
    if (m_service.state() != QProcess::NotRunning) {
        m_service.write("quit\n");
        if (!m_service.waitForFinished(5000))
            m_service.kill();
    }
    m_bus.stop();
}

QStringList TestDbusPolicy::commandAs(uid_t user, const QString &program, const QStringList &arguments) const
{
    if (user == geteuid())
        return QStringList{program} + arguments;
    return QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(user),
                       QStringLiteral("--regid=%1").arg(getpwuid(user)->pw_gid), QStringLiteral("--clear-groups"),
                       QStringLiteral("--")}
           + QStringList{program} + arguments;
}

bool TestDbusPolicy::startBus(bool withPolicyFile)
{
    const QStringList files = withPolicyFile ? QStringList{QStringLiteral(TAVRO_DBUS_POLICY_FILE)} : QStringList();
    return m_bus.start(m_directory.path(), PrivateBus::stockSystemConfiguration(files));
}

QString TestDbusPolicy::serviceProgram(uid_t user)
{
    const QString built = QCoreApplication::applicationDirPath() + QStringLiteral("/tavro-dbus-service-helper");
    if (user == geteuid())
        return built;
    const QString copy = m_directory.filePath(QStringLiteral("bin/tavro-dbus-service-helper"));
    if (QFile::exists(copy))
        return copy;
    if (!QDir(m_directory.path()).mkpath(QStringLiteral("bin")))
        return QString();
    const QDir libraries(QCoreApplication::applicationDirPath() + QStringLiteral("/../lib"));
    const QStringList files = libraries.entryList({QStringLiteral("*.so*")}, QDir::Files);
    for (const QString &file : files) {
        if (!QFile::copy(libraries.filePath(file), m_directory.filePath(QStringLiteral("bin/") + file)))
            return QString();
    }
    return QFile::copy(built, copy) ? copy : QString();
}

bool TestDbusPolicy::startService(uid_t user)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_bus.address());
    for (const char *name : {"TAVRO_SETTINGS_PATH", "TAVRO_STORAGE_PATH", "TAVRO_CACHE_PATH"})
        environment.insert(QString::fromLatin1(name), m_directory.filePath(QStringLiteral("data")));
    const QString program = serviceProgram(user);
    if (program.isEmpty())
        return false;
    environment.insert(QStringLiteral("LD_LIBRARY_PATH"), QFileInfo(program).absolutePath());
    m_service.setProcessEnvironment(environment);
    m_service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList command = commandAs(user, program, {});
    m_service.start(command.first(), command.mid(1));
    if (!m_service.waitForStarted(5000))
        return false;
    // "ready" once the name is owned; exit code 2 when it could not be.
    while (!m_service.canReadLine() && m_service.state() == QProcess::Running)
        m_service.waitForReadyRead(10000);
    return m_service.readLine().startsWith("ready");
}

void TestDbusPolicy::ownership_data()
{
    QTest::addColumn<bool>("withPolicyFile");
    QTest::addColumn<bool>("asRoot");
    QTest::addColumn<bool>("owned");

    QTest::newRow("stock policy alone, root") << false << true << false;
    QTest::newRow("with the policy file, root") << true << true << true;
    QTest::newRow("with the policy file, a user it does not name") << true << false << false;
}

void TestDbusPolicy::ownership()
{
    QFETCH(bool, withPolicyFile);
    QFETCH(bool, asRoot);
    QFETCH(bool, owned);

    if (asRoot && !m_root)
        QSKIP("Needs root: the policy lets only root own the name");
    QVERIFY2(startBus(withPolicyFile), "dbus-daemon (package dbus) is required");
    QCOMPARE(startService(asRoot ? 0 : m_other), owned);
    if (!owned) {
        QVERIFY(m_service.state() == QProcess::NotRunning || m_service.waitForFinished(5000));
        QCOMPARE(m_service.exitCode(), 2);
    }
}

void TestDbusPolicy::everyoneMayReadButNoMore()
{
    if (!m_root)
        QSKIP("Needs root: the service runs as root, the reader as another user");
    QVERIFY2(startBus(true), "dbus-daemon (package dbus) is required");
    QVERIFY(startService(0));

    const auto call = [this](const QStringList &message, QString *output) {
        QProcess dbusSend;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_bus.address());
        dbusSend.setProcessEnvironment(environment);
        dbusSend.setProcessChannelMode(QProcess::MergedChannels);
        const QStringList command = commandAs(m_other, QStringLiteral("dbus-send"),
                                              QStringList{QStringLiteral("--system"), QStringLiteral("--print-reply"),
                                                          QStringLiteral("--dest=io.tavro.energymanager"),
                                                          QStringLiteral("/io/tavro/energymanager")}
                                                      + message);
        dbusSend.start(command.first(), command.mid(1));
        const bool finished = dbusSend.waitForFinished(10000);
        *output = QString::fromUtf8(dbusSend.readAll());
        return finished && dbusSend.exitCode() == 0;
    };
    QString output;
    QVERIFY2(call({QStringLiteral("io.tavro.energymanager.chargingStates")}, &output), qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("waitingReason")), qPrintable(output));
    QVERIFY2(call({QStringLiteral("org.freedesktop.DBus.Introspectable.Introspect")}, &output), qPrintable(output));
    // Any other interface of the object stays closed, as the stock policy has it.
    QVERIFY(!call(
            {QStringLiteral("org.freedesktop.DBus.Properties.GetAll"), QStringLiteral("string:io.tavro.energymanager")},
            &output));
    QVERIFY2(output.contains(QStringLiteral("AccessDenied")), qPrintable(output));
}

QTEST_GUILESS_MAIN(TestDbusPolicy)
#include "tst_dbuspolicy.moc"
