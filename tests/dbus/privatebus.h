#ifndef PRIVATEBUS_H
#define PRIVATEBUS_H

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

// A system bus of the test's own: the dbus package's daemon listening on a
// socket in the given directory, never the machine's bus. Stopped with the
// object.
class PrivateBus
{
public:
    ~PrivateBus() { stop(); }

    // False when dbus-daemon is missing or its socket does not appear in 5 s.
    bool start(const QString &directory)
    {
        const QString socket = directory + QStringLiteral("/system_bus_socket");
        const QString configFile = directory + QStringLiteral("/bus.conf");
        QFile config(configFile);
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write(QStringLiteral(
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\" "
            "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>system</type><listen>unix:path=%1</listen><auth>EXTERNAL</auth>"
            "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/><allow send_type=\"method_call\"/>"
            "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n").arg(socket).toUtf8());
        config.close();
        m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + configFile,
                                                       QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        if (!m_daemon.waitForStarted(5000))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (!QFile::exists(socket) && timer.elapsed() < 5000)
            QTest::qWait(20);
        m_address = QStringLiteral("unix:path=") + socket;
        return QFile::exists(socket);
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
