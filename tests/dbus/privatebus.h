#ifndef PRIVATEBUS_H
#define PRIVATEBUS_H

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

// A system bus of the test's own: the dbus package's daemon listening on a
// socket in the given directory, never the machine's bus. Stopped with the
// object.
class PrivateBus
{
public:
    ~PrivateBus() { stop(); }

    // A policy that allows everything, for tests that are not about it.
    static QByteArray permissiveConfiguration()
    {
        return "<type>system</type><auth>EXTERNAL</auth>"
               "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/><allow send_type=\"method_call\"/>"
               "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy>";
    }

    // The machine's stock system-bus configuration with all its policies,
    // less what ties it to the machine's own bus (address, user, fork, pid
    // file, service activation, the machine's folders of service policies),
    // plus the given policy files. Empty when the dbus package's file is
    // missing.
    static QByteArray stockSystemConfiguration(const QStringList &policyFiles)
    {
        QFile file(QStringLiteral("/usr/share/dbus-1/system.conf"));
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray();
        QString text = QString::fromUtf8(file.readAll());
        const int begin = text.indexOf(QLatin1String("<busconfig>"));
        const int end = text.lastIndexOf(QLatin1String("</busconfig>"));
        if (begin < 0 || end < begin)
            return QByteArray();
        text = text.mid(begin + 11, end - begin - 11);
        for (const char *machineBound :
             {"<!--.*?-->", "<user>.*?</user>", "<fork/>", "<pidfile>.*?</pidfile>", "<syslog/>",
              "<servicehelper>.*?</servicehelper>", "<standard_system_servicedirs/>", "<listen>.*?</listen>",
              "<include[ >].*?</include>", "<includedir>.*?</includedir>"})
            text.remove(QRegularExpression(QString::fromLatin1(machineBound),
                                           QRegularExpression::DotMatchesEverythingOption));
        for (const QString &policyFile : policyFiles)
            text += QStringLiteral("<include>%1</include>").arg(policyFile);
        return text.toUtf8();
    }

    // False when dbus-daemon is missing or does not listen within 5 s.
    bool start(const QString &directory, const QByteArray &configuration = permissiveConfiguration())
    {
        const QString socket = directory + QStringLiteral("/system_bus_socket");
        const QString configFile = directory + QStringLiteral("/bus.conf");
        QFile config(configFile);
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\" "
                     "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig><listen>unix:path="
                     + socket.toUtf8() + "</listen>" + configuration + "</busconfig>\n");
        config.close();
        m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + configFile,
                                                       QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        if (!m_daemon.waitForStarted(5000))
            return false;
        // The socket file appears when the daemon binds it, a moment before
        // it accepts connections; the address it prints comes once it does.
        QElapsedTimer timer;
        timer.start();
        while (!m_daemon.canReadLine() && m_daemon.state() == QProcess::Running && timer.elapsed() < 5000)
            m_daemon.waitForReadyRead(100);
        m_address = QStringLiteral("unix:path=") + socket;
        return m_daemon.canReadLine() && QFile::exists(socket);
    }

    QString address() const { return m_address; }

    // The daemon dies without a goodbye.
    bool kill()
    {
        m_daemon.kill();
        return m_daemon.waitForFinished(5000);
    }

    void stop()
    {
        if (m_daemon.state() != QProcess::NotRunning) {
            m_daemon.terminate();
            m_daemon.waitForFinished(3000);
        }
    }

private:
    QProcess m_daemon;
    QString m_address;
};

#endif // PRIVATEBUS_H
