// Hostile local clients against a running tavro-host, with figures: how long
// the host's thread stalls on 1, 2 and 4 MiB of blank lines, how much memory
// (RSS) it takes with 300 connections each holding an unfinished line, and
// with 20 authenticated clients that never read their replies, how many
// wrong tokens one process can try per second, whether the owner still gets
// in while 50 connections guess, whether fresh clients get in while 32
// authenticated ones trickle endless lines, how long one batch of 100
// configurations holds up another client, and how much a connection flood
// writes to the log. Each attack gets a fresh host on a free loopback port
// with its own data directories.
//
// With --transport websocket the same attacks go over the host's WebSocket
// transport (--web-port): each line a text message, an unfinished line the
// fragments of a message that is not finished.
//
// Usage: tavro-jsonrpc-attack [--host PATH] [--transport tcp|websocket]
//        [--only stall|unfinished|nonreading|guessing|lockout|slowloris|batch|logflood]
// (PATH defaults to tavro-host next to this program; the host finds the
// plugin as usual, e.g. through TAVRO_PLUGIN_PATH).
// Not a test: it only measures and prints.

#include <QCommandLineParser>
#include "settingssandbox.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRandomGenerator>
#include <QCryptographicHash>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

namespace {

const QByteArray helloLine = R"({"jsonrpc":"2.0","id":"probe","method":"JSONRPC.Hello"})"
                             "\n";

// The transport under attack: TCP lines, or WebSocket messages.
bool overWebSocket = false;

// A tavro-host process with a random admin token, stopped with the object.
class Host
{
public:
    bool start(const QString &program)
    {
        if (!m_dir.isValid())
            return false;
        token = QUuid::createUuid().toString(QUuid::WithoutBraces);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        m_dir.addTo(environment);
        // No system bus and no price service: neither is part of this.
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
        environment.insert(QStringLiteral("TAVRO_AWATTAR_AT_URL"), QStringLiteral("http://127.0.0.1:9"));
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setStandardErrorFile(m_dir.filePath(QStringLiteral("stderr.log")));

        // Hosts that know --token-file get the token out of the command line.
        QStringList arguments{QStringLiteral("--jsonrpc-port"), QStringLiteral("0")};
        if (overWebSocket)
            arguments << QStringLiteral("--web-port") << QStringLiteral("0");
        QProcess help;
        help.start(program, {QStringLiteral("--help")});
        help.waitForFinished(10000);
        if (help.readAllStandardOutput().contains("--token-file")) {
            QFile file(m_dir.filePath(QStringLiteral("tokens")));
            if (!file.open(QIODevice::WriteOnly) || file.write(token.toUtf8() + '\n') < 0)
                return false;
            file.close();
            arguments << QStringLiteral("--token-file") << file.fileName();
        } else {
            arguments << QStringLiteral("--token") << token;
        }
        m_process.start(program, arguments);
        if (!m_process.waitForStarted(10000))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 20000) {
            if (!m_process.canReadLine() && !m_process.waitForReadyRead(1000))
                continue;
            const QByteArray line = m_process.readLine().trimmed();
            if (overWebSocket && line.startsWith("Page and JSON-RPC over WebSocket on http://127.0.0.1:")) {
                QByteArray digits = line.mid(line.lastIndexOf(':') + 1);
                digits.chop(1); // the "/" of the URL
                webPort = static_cast<quint16>(digits.toUInt());
                continue;
            }
            if (line.startsWith("JSON-RPC listening on 127.0.0.1:")) {
                port = static_cast<quint16>(line.mid(line.lastIndexOf(':') + 1).toUInt());
                if (overWebSocket) {
                    if (webPort == 0)
                        return false;
                    port = webPort;
                }
                // Settled: the plugin's start-up allocations are done.
                QThread::msleep(1000);
                return true;
            }
        }
        return false;
    }

    ~Host()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

    // Resident set size in MB (VmRSS), -1 when the process is gone.
    double rssMegabytes() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
        }
        return -1;
    }

    // The lines and bytes the host has logged so far.
    QPair<qint64, qint64> logged() const
    {
        QFile log(m_dir.filePath(QStringLiteral("stderr.log")));
        if (!log.open(QIODevice::ReadOnly))
            return {0, 0};
        const QByteArray text = log.readAll();
        return {text.count('\n'), text.size()};
    }

    QString token;
    // The port of the transport under attack.
    quint16 port = 0;
    quint16 webPort = 0;

private:
    SettingsSandbox m_dir;
    QProcess m_process;
};

// A client connection over the transport under attack. Over WebSocket it
// speaks the protocol itself: what it is given to write is cut at the line
// ends, each line goes as one text message and an unfinished one as
// fragments of a message not finished yet; what it reads are the messages,
// each followed by a line end.
class Wire
{
public:
    bool connectTo(quint16 port)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        if (!m_socket.waitForConnected(5000))
            return false;
        if (!overWebSocket)
            return true;
        m_socket.write("GET /jsonrpc HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        QElapsedTimer timer;
        timer.start();
        while (!m_raw.contains("\r\n\r\n") && timer.elapsed() < 5000) {
            if (!m_socket.waitForReadyRead(100) && m_socket.state() != QAbstractSocket::ConnectedState)
                return false;
            m_raw += m_socket.readAll();
        }
        const int end = m_raw.indexOf("\r\n\r\n");
        if (end < 0 || !m_raw.startsWith("HTTP/1.1 101"))
            return false;
        m_raw.remove(0, end + 4);
        return true;
    }

    void write(const QByteArray &data)
    {
        if (!overWebSocket) {
            m_socket.write(data);
            return;
        }
        QByteArray frames;
        int start = 0;
        for (int newline; (newline = data.indexOf('\n', start)) >= 0; start = newline + 1)
            frames += frame(data.mid(start, newline - start), true);
        if (start < data.size())
            frames += frame(data.mid(start), false);
        m_socket.write(frames);
    }

    QByteArray readAll()
    {
        if (!overWebSocket)
            return m_socket.readAll();
        m_raw += m_socket.readAll();
        QByteArray lines;
        while (m_raw.size() >= 2) {
            quint64 length = quint8(m_raw.at(1)) & 0x7f;
            int offset = 2;
            if (length >= 126) {
                const int bytes = length == 126 ? 2 : 8;
                if (m_raw.size() < 2 + bytes)
                    break;
                length = 0;
                for (int i = 0; i < bytes; i++)
                    length = (length << 8) | quint8(m_raw.at(2 + i));
                offset = 2 + bytes;
            }
            if (quint64(m_raw.size()) < offset + length)
                break;
            const quint8 first = quint8(m_raw.at(0));
            const QByteArray payload = m_raw.mid(offset, int(length));
            m_raw.remove(0, offset + int(length));
            if ((first & 0x0f) >= 8)
                continue; // close, ping, pong
            m_message += payload;
            if (first & 0x80) {
                lines += m_message + '\n';
                m_message.clear();
            }
        }
        return lines;
    }

    bool waitForBytesWritten(int milliseconds) { return m_socket.waitForBytesWritten(milliseconds); }
    bool waitForReadyRead(int milliseconds) { return m_socket.waitForReadyRead(milliseconds); }
    qint64 bytesToWrite() const { return m_socket.bytesToWrite(); }
    qint64 bytesAvailable() const { return m_socket.bytesAvailable(); }
    QAbstractSocket::SocketState state() const { return m_socket.state(); }

private:
    QByteArray frame(const QByteArray &payload, bool last)
    {
        static const char mask[4] = {0x12, 0x34, 0x56, 0x78};
        QByteArray data;
        data += char((last ? 0x80 : 0) | (m_inMessage ? 0 : 1));
        m_inMessage = !last;
        const qint64 length = payload.size();
        if (length < 126) {
            data += char(0x80 | length);
        } else if (length < 65536) {
            data += char(0x80 | 126);
            data += char(length >> 8);
            data += char(length & 0xff);
        } else {
            data += char(0x80 | 127);
            for (int shift = 56; shift >= 0; shift -= 8)
                data += char((quint64(length) >> shift) & 0xff);
        }
        data += QByteArray(mask, 4);
        const int start = data.size();
        data += payload;
        for (int i = 0; i < payload.size(); i++)
            data[start + i] = char(payload.at(i) ^ mask[i % 4]);
        return data;
    }

    QTcpSocket m_socket;
    QByteArray m_raw;
    QByteArray m_message;
    bool m_inMessage = false;
};

bool connectTo(Wire &socket, quint16 port)
{
    return socket.connectTo(port);
}

// Writes everything, waiting for the peer to take it (false after 120 s).
bool writeAll(Wire &socket, const QByteArray &data)
{
    socket.write(data);
    QElapsedTimer timer;
    timer.start();
    while (socket.bytesToWrite() > 0 && timer.elapsed() < 120000) {
        if (!socket.waitForBytesWritten(1000) && socket.state() != QAbstractSocket::ConnectedState)
            return false;
    }
    return socket.bytesToWrite() == 0;
}

// Waits for a line containing marker; false after timeout ms or when closed.
bool waitForLine(Wire &socket, const QByteArray &marker, int timeout)
{
    QElapsedTimer timer;
    timer.start();
    QByteArray buffer;
    while (timer.elapsed() < timeout) {
        buffer += socket.readAll();
        if (buffer.contains(marker))
            return true;
        if (!socket.waitForReadyRead(100) && socket.state() != QAbstractSocket::ConnectedState)
            return buffer.contains(marker) || socket.readAll().contains(marker);
    }
    return false;
}

bool authenticate(Wire &socket, const QString &token)
{
    socket.write(R"({"jsonrpc":"2.0","id":"auth","method":"JSONRPC.Authenticate","params":{"token":")" + token.toUtf8()
                 + "\"}}\n");
    return waitForLine(socket, "\"authenticated\":true", 5000);
}

// Blank lines from a client without a token, then a request on the same
// connection; a second client asks the host the moment the blank lines are
// written. Both wait for their answers.
void stall(const QString &program)
{
    std::printf("%-44s %12s %12s\n", "blank lines (no token)", "attacker s", "bystander s");
    for (int mebibytes : {1, 2, 4}) {
        Host host;
        if (!host.start(program)) {
            std::printf("host did not start\n");
            return;
        }
        Wire attacker;
        Wire bystander;
        if (!connectTo(attacker, host.port) || !connectTo(bystander, host.port))
            return;
        QElapsedTimer timer;
        timer.start();
        const bool written = writeAll(attacker, QByteArray(mebibytes * 1024 * 1024, '\n') + helloLine);
        bystander.write(helloLine);
        QElapsedTimer bystanderTimer;
        bystanderTimer.start();
        const bool bystanderAnswered = waitForLine(bystander, "\"probe\"", 300000);
        const double bystanderSeconds = bystanderTimer.elapsed() / 1000.0;
        const bool attackerAnswered = written && waitForLine(attacker, "\"probe\"", 300000);
        const double attackerSeconds = timer.elapsed() / 1000.0;
        std::printf("%-44s %12s %12s\n", qPrintable(QStringLiteral("%1 MiB").arg(mebibytes)),
                    attackerAnswered ? qPrintable(QString::number(attackerSeconds, 'f', 2)) : "no answer",
                    bystanderAnswered ? qPrintable(QString::number(bystanderSeconds, 'f', 2)) : "no answer");
        std::fflush(stdout);
    }
}

// The most RSS seen while the attack runs for seconds, polled every 100 ms.
double peakRss(const Host &host, double seconds, const std::function<void()> &step = {})
{
    double peak = host.rssMegabytes();
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < seconds * 1000) {
        if (step)
            step();
        else
            QThread::msleep(100);
        peak = qMax(peak, host.rssMegabytes());
    }
    return peak;
}

// 300 connections, each sending just under 1 MiB without a line end, with
// and without authenticating first.
void unfinished(const QString &program)
{
    std::printf("%-44s %10s %10s %10s %10s\n", "300 connections, unfinished line", "idle MB", "peak MB", "end MB",
                "still open");
    for (bool withToken : {false, true}) {
        Host host;
        if (!host.start(program)) {
            std::printf("host did not start\n");
            return;
        }
        const double idle = host.rssMegabytes();
        std::vector<std::unique_ptr<Wire>> sockets;
        double peak = idle;
        const QByteArray unfinishedLine(1000 * 1000, 'x');
        for (int i = 0; i < 300; i++) {
            auto socket = std::make_unique<Wire>();
            if (!connectTo(*socket, host.port))
                continue;
            if (withToken && !authenticate(*socket, host.token)) {
                sockets.push_back(std::move(socket));
                continue;
            }
            socket->write(unfinishedLine);
            socket->waitForBytesWritten(200);
            sockets.push_back(std::move(socket));
            peak = qMax(peak, host.rssMegabytes());
        }
        // Let the host read what is still in flight, and time out whom it
        // times out.
        peak = qMax(peak, peakRss(host, 10, [&sockets]() {
                        for (auto &socket : sockets) {
                            if (socket->state() == QAbstractSocket::ConnectedState)
                                socket->waitForBytesWritten(0);
                        }
                        QThread::msleep(100);
                    }));
        int open = 0;
        for (auto &socket : sockets) {
            // Reading is what tells a socket that the host closed it.
            while (socket->state() == QAbstractSocket::ConnectedState && socket->waitForReadyRead(20))
                socket->readAll();
            if (socket->state() == QAbstractSocket::ConnectedState)
                open++;
        }
        std::printf("%-44s %10.0f %10.0f %10.0f %10d\n", withToken ? "  authenticated" : "  without token", idle, peak,
                    host.rssMegabytes(), open);
        std::fflush(stdout);
    }
}

// 20 authenticated clients ask for the whole API description again and
// again and never read the answers.
void nonReading(const QString &program)
{
    Host host;
    if (!host.start(program)) {
        std::printf("host did not start\n");
        return;
    }
    const double idle = host.rssMegabytes();
    std::vector<std::unique_ptr<Wire>> clients;
    for (int i = 0; i < 20; i++) {
        auto socket = std::make_unique<Wire>();
        if (connectTo(*socket, host.port) && authenticate(*socket, host.token))
            clients.push_back(std::move(socket));
    }
    QByteArray requests;
    for (int i = 0; i < 100; i++)
        requests += R"({"jsonrpc":"2.0","id":1,"method":"JSONRPC.Introspect"})"
                    "\n";
    int rounds = 0;
    const double peak = peakRss(host, 20, [&]() {
        if (rounds++ < 30) {
            for (auto &client : clients) {
                if (client->state() == QAbstractSocket::ConnectedState) {
                    client->write(requests);
                    client->waitForBytesWritten(10);
                }
            }
        }
        QThread::msleep(100);
    });
    // Measured; now reading tells which ones the host has closed.
    const double end = host.rssMegabytes();
    int open = 0;
    for (auto &client : clients) {
        while (client->state() == QAbstractSocket::ConnectedState && client->waitForReadyRead(20))
            client->readAll();
        if (client->state() == QAbstractSocket::ConnectedState)
            open++;
    }
    std::printf("%-44s %10s %10s %10s %10s\n", "20 clients never reading (3000 Introspect each)", "idle MB", "peak MB",
                "end MB", "still open");
    std::printf("%-44s %10.0f %10.0f %10.0f %10d\n", "", idle, peak, end, open);
    std::fflush(stdout);
}

// Guesses as fast as one process can send them for 5 s, 100 per write on
// one connection, reconnecting whenever the host closes it. One guess in
// ten is the right token, so ten times the accepted ones estimates how many
// guesses the host really checked; the other answers may be refusals of
// guesses it did not look at.
void guessing(const QString &program)
{
    Host host;
    if (!host.start(program)) {
        std::printf("host did not start\n");
        return;
    }
    qint64 answered = 0;
    qint64 accepted = 0;
    int connections = 0;
    QRandomGenerator random(17);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        Wire socket;
        if (!connectTo(socket, host.port))
            break;
        connections++;
        QByteArray received;
        while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < 5000) {
            QByteArray guesses;
            for (int i = 0; i < 100; i++) {
                const QByteArray token = random.bounded(10) == 0 ? host.token.toUtf8() : QByteArrayLiteral("guess");
                guesses += R"({"jsonrpc":"2.0","id":1,"method":"JSONRPC.Authenticate","params":{"token":")" + token
                           + "\"}}\n";
            }
            socket.write(guesses);
            if (socket.state() == QAbstractSocket::ConnectedState)
                socket.waitForBytesWritten(100);
            if (socket.state() == QAbstractSocket::ConnectedState)
                socket.waitForReadyRead(100);
            received += socket.readAll();
        }
        received += socket.readAll();
        answered += received.count("\"error\"") + received.count("\"result\"");
        accepted += received.count("\"authenticated\":true");
    }
    const double seconds = timer.elapsed() / 1000.0;
    std::printf("%-44s %10.0f per s (%d connections)\n", "guesses answered", answered / seconds, connections);
    std::printf("%-44s %10.0f per s (10 x %lld accepted)\n", "guesses checked (estimated)", 10 * accepted / seconds,
                accepted);
}

// 50 connections send wrong tokens as fast as the host answers them; the
// owner meanwhile logs in 20 times, each on a fresh connection, and waits
// up to 5 s for each.
void lockout(const QString &program)
{
    Host host;
    if (!host.start(program)) {
        std::printf("host did not start\n");
        return;
    }
    std::vector<std::unique_ptr<Wire>> guessers(50);
    const QByteArray guesses =
            QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"JSONRPC.Authenticate","params":{"token":"guess"}})"
                       "\n")
                    .repeated(3);
    const auto guess = [&]() {
        for (auto &guesser : guessers) {
            if (!guesser || guesser->state() != QAbstractSocket::ConnectedState) {
                guesser = std::make_unique<Wire>();
                if (!connectTo(*guesser, host.port))
                    continue;
                guesser->write(guesses);
            }
            guesser->waitForBytesWritten(1);
            guesser->readAll();
            if (guesser->bytesAvailable() == 0)
                guesser->waitForReadyRead(0);
        }
    };
    int admitted = 0;
    QList<qint64> waits;
    for (int login = 0; login < 20; login++) {
        for (int i = 0; i < 5; i++)
            guess();
        Wire owner;
        QElapsedTimer timer;
        timer.start();
        if (!connectTo(owner, host.port))
            continue;
        owner.write(R"({"jsonrpc":"2.0","id":"owner","method":"JSONRPC.Authenticate","params":{"token":")"
                    + host.token.toUtf8() + "\"}}\n");
        QByteArray received;
        while (timer.elapsed() < 5000 && !received.contains("\"owner\"")) {
            guess();
            owner.waitForReadyRead(10);
            received += owner.readAll();
        }
        if (received.contains("\"authenticated\":true")) {
            admitted++;
            waits << timer.elapsed();
        } else {
            std::printf("  owner refused after %lld ms: %s\n", timer.elapsed(),
                        received.isEmpty() ? (owner.state() == QAbstractSocket::ConnectedState ? "no answer" : "closed")
                                           : received.left(200).constData());
        }
    }
    std::sort(waits.begin(), waits.end());
    std::printf("%-44s %4d of 20 (wait median %lld ms, longest %lld ms)\n", "50 connections guessing: owner logins",
                admitted, waits.isEmpty() ? -1LL : waits.at(waits.count() / 2), waits.isEmpty() ? -1LL : waits.last());
    std::fflush(stdout);
}

// 32 authenticated connections trickle a line that never ends (a byte every
// 100 ms); then 10 fresh clients try to connect, authenticate and be
// answered within 5 s each.
void slowloris(const QString &program)
{
    Host host;
    if (!host.start(program)) {
        std::printf("host did not start\n");
        return;
    }
    std::vector<std::unique_ptr<Wire>> tricklers;
    for (int i = 0; i < 32; i++) {
        auto socket = std::make_unique<Wire>();
        if (connectTo(*socket, host.port) && authenticate(*socket, host.token)) {
            socket->write("{\"jsonrpc\":");
            tricklers.push_back(std::move(socket));
        }
    }
    const auto trickle = [&]() {
        for (auto &socket : tricklers) {
            if (socket->state() == QAbstractSocket::ConnectedState) {
                socket->write(" ");
                socket->waitForBytesWritten(1);
                socket->readAll();
            }
        }
    };
    QElapsedTimer timer;
    timer.start();
    int admitted = 0;
    for (int fresh = 0; fresh < 10; fresh++) {
        trickle();
        Wire client;
        QElapsedTimer wait;
        wait.start();
        if (connectTo(client, host.port)) {
            client.write(R"({"jsonrpc":"2.0","id":"auth","method":"JSONRPC.Authenticate","params":{"token":")"
                         + host.token.toUtf8() + "\"}}\n" + helloLine);
            QByteArray received;
            while (wait.elapsed() < 5000 && !received.contains("\"probe\"")
                   && client.state() == QAbstractSocket::ConnectedState) {
                client.waitForReadyRead(100);
                received += client.readAll();
                trickle();
            }
            if (received.contains("\"authenticated\":true") && received.contains("\"probe\""))
                admitted++;
        }
        QThread::msleep(100);
    }
    // The tricklers still open after 15 s in all.
    while (timer.elapsed() < 15000) {
        trickle();
        QThread::msleep(100);
    }
    int open = 0;
    for (auto &socket : tricklers) {
        while (socket->state() == QAbstractSocket::ConnectedState && socket->waitForReadyRead(20))
            socket->readAll();
        if (socket->state() == QAbstractSocket::ConnectedState)
            open++;
    }
    std::printf("%-44s %4d of 10 (tricklers still open after 15 s: %d of %zu)\n",
                "32 authenticated tricklers: fresh clients in", admitted, open, tricklers.size());
    std::fflush(stdout);
}

// One client sends a batch of 100 SetChargingConfiguration (alternating
// modes, so each one changes something); another asks JSONRPC.Hello every
// 2 ms meanwhile. The longest the other waited for an answer.
void batch(const QString &program)
{
    Host host;
    if (!host.start(program)) {
        std::printf("host did not start\n");
        return;
    }
    Wire batcher;
    Wire other;
    if (!connectTo(batcher, host.port) || !connectTo(other, host.port) || !authenticate(batcher, host.token)
        || !authenticate(other, host.token))
        return;
    batcher.write(R"({"jsonrpc":"2.0","id":"c","method":"TavroEnergy.GetChargingConfigurations"})"
                  "\n");
    QByteArray received;
    while (!received.contains("\"c\"") && batcher.waitForReadyRead(5000))
        received += batcher.readAll();
    const int at = received.indexOf("\"evChargerId\":\"");
    if (at < 0)
        return;
    const QByteArray charger = received.mid(at + 15, 38);
    QByteArray requests = "[";
    for (int i = 0; i < 100; i++) {
        requests +=
                QByteArray(i ? "," : "") + R"({"jsonrpc":"2.0","id":)" + QByteArray::number(i)
                + R"(,"method":"TavroEnergy.SetChargingConfiguration","params":{"chargingConfiguration":{"evChargerId":")"
                + charger + R"(","chargingMode":")" + (i % 2 ? "ChargingModeEco" : "ChargingModeNormal")
                + R"(","targetPercentage":)" + QByteArray::number(50 + i % 40) + "}}}";
    }
    requests += "]\n";
    other.readAll();
    QElapsedTimer batchTimer;
    batchTimer.start();
    batcher.write(requests);
    batcher.waitForBytesWritten(1000);
    qint64 longest = 0;
    qint64 batchDone = -1;
    QByteArray batchAnswer;
    while (batchTimer.elapsed() < 20000 && batchDone < 0) {
        QElapsedTimer wait;
        wait.start();
        other.write(helloLine);
        QByteArray answer;
        while (!answer.contains("\"probe\"") && wait.elapsed() < 20000) {
            other.waitForReadyRead(1);
            answer += other.readAll();
            if (batcher.bytesAvailable() == 0)
                batcher.waitForReadyRead(0);
            batchAnswer += batcher.readAll();
            // Notifications of the changes come too; the answer is the array.
            if (batchDone < 0 && (batchAnswer.startsWith('[') || batchAnswer.contains("\n[")))
                batchDone = batchTimer.elapsed();
        }
        longest = qMax(longest, wait.elapsed());
    }
    std::printf("%-44s %4lld ms (the batch took %lld ms, %lld ms per call)\n",
                "batch of 100 configurations: other waits", longest, batchDone, batchDone / 100);
    std::fflush(stdout);
}

// Connections opened and closed at once, as fast as one process can, for
// 10 s: what the host writes to its log meanwhile.
void logFlood(const QString &program)
{
    Host host;
    if (!host.start(program)) {
        std::printf("host did not start\n");
        return;
    }
    const QPair<qint64, qint64> before = host.logged();
    QElapsedTimer timer;
    timer.start();
    int connections = 0;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(host.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Plain sockets, closed with a reset: as fast as the kernel takes them,
    // and no TIME_WAIT piling up.
    const linger reset{1, 0};
    while (timer.elapsed() < 10000) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            break;
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0)
            connections++;
        ::close(fd);
    }
    QThread::msleep(1000);
    const QPair<qint64, qint64> after = host.logged();
    std::printf("%-44s %lld lines, %.1f KB (%d connections)\n", "connect/disconnect flood, 10 s: log",
                after.first - before.first, (after.second - before.second) / 1000.0, connections);
    std::fflush(stdout);
}

}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Hostile clients against tavro-host, with figures"));
    parser.addHelpOption();
    QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("The tavro-host executable."),
                                  QStringLiteral("path"),
                                  QCoreApplication::applicationDirPath() + QStringLiteral("/tavro-host"));
    QCommandLineOption onlyOption(QStringLiteral("only"),
                                  QStringLiteral("One attack: stall, unfinished, nonreading, guessing, lockout, "
                                                 "slowloris, batch or logflood."),
                                  QStringLiteral("attack"));
    QCommandLineOption transportOption(QStringLiteral("transport"),
                                       QStringLiteral("The transport under attack: tcp (default) or websocket."),
                                       QStringLiteral("name"), QStringLiteral("tcp"));
    parser.addOptions({hostOption, onlyOption, transportOption});
    parser.process(application);
    overWebSocket = parser.value(transportOption) == QLatin1String("websocket");
    const QString program = parser.value(hostOption);
    const QString only = parser.value(onlyOption);

    if (only.isEmpty() || only == QLatin1String("stall"))
        stall(program);
    if (only.isEmpty() || only == QLatin1String("unfinished"))
        unfinished(program);
    if (only.isEmpty() || only == QLatin1String("nonreading"))
        nonReading(program);
    if (only.isEmpty() || only == QLatin1String("guessing"))
        guessing(program);
    if (only.isEmpty() || only == QLatin1String("lockout"))
        lockout(program);
    if (only.isEmpty() || only == QLatin1String("slowloris"))
        slowloris(program);
    if (only.isEmpty() || only == QLatin1String("batch"))
        batch(program);
    if (only.isEmpty() || only == QLatin1String("logflood"))
        logFlood(program);
    return 0;
}
