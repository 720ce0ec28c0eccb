#ifndef JSONRPCTESTCLIENT_H
#define JSONRPCTESTCLIENT_H

#include "tavro/jsonrpcserver.h"
#include "tavro/jsonrpcwebsockettransport.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QtTest>

#include <sys/socket.h>

// A plain JSON-RPC 2.0 client over a loopback socket, as a stock client
// would talk to the server. The server runs in the same thread, so every
// wait spins the event loop.
//
// The transport under test is TCP, or WebSocket when TAVRO_TEST_TRANSPORT
// is "websocket": the same tests then run over both. Over WebSocket the
// client speaks the protocol itself (handshake, masked frames), so that it
// can send what a careless or hostile client sends: the stream it is given
// is cut at its line ends, each line is one text message, and the bytes of
// an unfinished line go out as fragments of a message that is not finished
// (or, with setTrickleInOneFrame(), as the first bytes of one long frame).
class JsonRpcTestClient : public QObject
{
public:
    enum Transport {
        Tcp,
        WebSocket
    };

    static Transport transportUnderTest() { return qgetenv("TAVRO_TEST_TRANSPORT") == "websocket" ? WebSocket : Tcp; }

    // Opens the server's listener for the transport under test on a free
    // port; 0 when it cannot.
    static quint16 listen(JsonRpcServer *server)
    {
        if (transportUnderTest() == WebSocket)
            return server->listenWebSocket(0) ? server->webSocketPort() : 0;
        return server->listen(0) ? server->serverPort() : 0;
    }

    explicit JsonRpcTestClient(Transport transport = transportUnderTest())
        : m_transport(transport)
    {
        connect(&m_socket, &QTcpSocket::readyRead, this, [this]() {
            m_buffer.append(m_socket.readAll());
            m_transport == WebSocket ? readFrames() : readLines();
        });
    }

    // Connects (and, over WebSocket, opens the socket with the given Origin
    // header, none when empty). False when the server refused.
    bool connectTo(quint16 port, const QByteArray &origin = QByteArray())
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        if (!waitUntil([this]() { return m_socket.state() == QAbstractSocket::ConnectedState; }))
            return false;
        if (m_transport == Tcp)
            return true;
        m_socket.write("GET /jsonrpc HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
                       + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                       + (origin.isEmpty() ? QByteArray() : "Origin: " + origin + "\r\n") + "\r\n");
        return waitUntil([this]() { return m_open || !handshakeStatus.isEmpty(); }) && m_open;
    }

    // A complete line: one request over TCP, one message over WebSocket.
    void sendLine(const QByteArray &line) { sendRaw(line + '\n'); }
    // Part of the stream: over WebSocket, each finished line is a message
    // and an unfinished one goes out as far as it is given.
    void sendRaw(const QByteArray &data)
    {
        if (m_transport == Tcp) {
            m_socket.write(data);
            return;
        }
        QByteArray frames;
        int start = 0;
        for (int newline; (newline = data.indexOf('\n', start)) >= 0; start = newline + 1)
            frames += fragment(data.mid(start, newline - start), true);
        if (start < data.size())
            frames += fragment(data.mid(start), false);
        m_socket.write(frames);
    }
    // Over WebSocket: an unfinished line is sent as the first bytes of one
    // frame of this length instead of as fragments.
    void setTrickleInOneFrame(int frameLength) { m_oneFrameLength = frameLength; }
    void disconnectNow() { m_socket.abort(); }
    // Closes once what was written has left (over WebSocket with a close
    // frame first).
    void disconnectAfterWrite()
    {
        if (m_transport == WebSocket)
            m_socket.write(header(true, 8, 2) + QByteArray(1, char(0x03 ^ mask[0])) + char(0xe8 ^ mask[1]));
        m_socket.disconnectFromHost();
    }
    // Leaves what the server sends in the kernel, as a stuck client would.
    void stopReading()
    {
        m_socket.disconnect(this);
        m_socket.setReadBufferSize(1);
    }
    // Sends nothing more but keeps reading, as "nc -N" does (TCP only).
    void halfClose()
    {
        m_socket.flush();
        ::shutdown(static_cast<int>(m_socket.socketDescriptor()), SHUT_WR);
    }
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool waitForDisconnected()
    {
        return QTest::qWaitFor([this]() { return m_socket.state() == QAbstractSocket::UnconnectedState; }, 5000);
    }

    // Sends a request with the params given as JSON text and waits for its
    // response (an empty object after 5 s).
    QJsonObject call(const QString &method, const QByteArray &params = "{}")
    {
        const int id = m_nextId++;
        // Indented JSON would span lines; raw newlines only occur between tokens.
        sendLine(QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":%1,\"method\":\"%2\",\"params\":")
                         .arg(id)
                         .arg(method)
                         .toUtf8()
                 + QByteArray(params).replace('\n', ' ') + '}');
        return waitForResponse(QJsonValue(id));
    }

    // The next response carrying this id (null for errors without one); an
    // empty object after 5 s.
    QJsonObject waitForResponse(const QJsonValue &id)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 5000) {
            for (int i = 0; i < m_responses.count(); i++) {
                if (m_responses.at(i).value(QStringLiteral("id")) == id)
                    return m_responses.takeAt(i);
            }
            // Wakes on the next data at once, unlike polling.
            QEventLoop loop;
            connect(&m_socket, &QTcpSocket::readyRead, &loop, &QEventLoop::quit);
            QTimer::singleShot(100, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return QJsonObject();
    }

    // Told that a line (message) was too long: over TCP a parse error
    // naming the limit, over WebSocket the close code 1009.
    bool toldTooLong() const
    {
        if (m_transport == WebSocket)
            return closeCode == 1009;
        for (const QByteArray &line : lines) {
            if (line.contains("-32700") && line.contains("longer than"))
                return true;
        }
        return false;
    }

    static int errorCode(const QJsonObject &response)
    {
        return response.value(QStringLiteral("error")).toObject().value(QStringLiteral("code")).toInt();
    }

    QList<QJsonObject> notifications;
    // Every line (message) received, as it came.
    QList<QByteArray> lines;
    // WebSocket: the status line of a refused handshake, and the code of
    // the server's close frame (0 while there was none).
    QByteArray handshakeStatus;
    int closeCode = 0;

private:
    // Spins the event loop until the predicate holds (false after 5 s);
    // wakes on the socket's next event at once, unlike polling.
    template<typename Predicate>
    bool waitUntil(Predicate predicate)
    {
        QElapsedTimer timer;
        timer.start();
        while (!predicate()) {
            if (timer.elapsed() >= 5000)
                return false;
            QEventLoop loop;
            connect(&m_socket, &QTcpSocket::readyRead, &loop, &QEventLoop::quit);
            connect(&m_socket, &QTcpSocket::stateChanged, &loop, &QEventLoop::quit);
            QTimer::singleShot(100, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return true;
    }

    void takeLine(const QByteArray &line)
    {
        lines.append(line);
        const QJsonObject message = QJsonDocument::fromJson(line).object();
        if (message.contains(QStringLiteral("id")))
            m_responses.append(message);
        else
            notifications.append(message);
    }

    void readLines()
    {
        int newline;
        while ((newline = m_buffer.indexOf('\n')) >= 0) {
            takeLine(m_buffer.left(newline));
            m_buffer.remove(0, newline + 1);
        }
    }

    void readFrames()
    {
        if (!m_open) {
            const int end = m_buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QByteArray head = m_buffer.left(end);
            m_buffer.remove(0, end + 4);
            const QByteArray accept =
                    QCryptographicHash::hash("dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                             QCryptographicHash::Sha1)
                            .toBase64();
            if (head.startsWith("HTTP/1.1 101") && head.contains(accept))
                m_open = true;
            else
                handshakeStatus = head.left(head.indexOf('\r'));
        }
        // Server frames are not masked; long messages come in fragments.
        while (m_buffer.size() >= 2) {
            const quint8 first = static_cast<quint8>(m_buffer.at(0));
            quint64 length = static_cast<quint8>(m_buffer.at(1)) & 0x7f;
            int offset = 2;
            if (length == 126) {
                if (m_buffer.size() < 4)
                    return;
                length = (quint64(quint8(m_buffer.at(2))) << 8) | quint8(m_buffer.at(3));
                offset = 4;
            } else if (length == 127) {
                if (m_buffer.size() < 10)
                    return;
                length = 0;
                for (int i = 2; i < 10; i++)
                    length = (length << 8) | quint8(m_buffer.at(i));
                offset = 10;
            }
            if (quint64(m_buffer.size()) < offset + length)
                return;
            const QByteArray payload = m_buffer.mid(offset, static_cast<int>(length));
            m_buffer.remove(0, offset + static_cast<int>(length));
            const int opcode = first & 0x0f;
            if (opcode == 8) {
                closeCode = payload.size() >= 2 ? (quint8(payload.at(0)) << 8) | quint8(payload.at(1)) : 1005;
                continue;
            }
            if (opcode == 9 || opcode == 10)
                continue;
            m_message += payload;
            if (first & 0x80) {
                takeLine(m_message);
                m_message.clear();
            }
        }
    }

    // One frame of the stream: a line's end finishes its message.
    QByteArray fragment(const QByteArray &payload, bool last)
    {
        if (!last && m_oneFrameLength > 0) {
            // The frame's head once, then only the bytes.
            QByteArray data;
            if (!m_inOneFrame) {
                m_inOneFrame = true;
                m_oneFrameSent = 0;
                data = header(true, 1, m_oneFrameLength);
            }
            for (char c : payload)
                data += char(c ^ mask[m_oneFrameSent++ % 4]);
            return data;
        }
        const int opcode = m_inMessage ? 0 : 1;
        m_inMessage = !last;
        QByteArray data = header(last, opcode, payload.size());
        for (int i = 0; i < payload.size(); i++)
            data += char(payload.at(i) ^ mask[i % 4]);
        return data;
    }

    static QByteArray header(bool last, int opcode, qint64 length)
    {
        QByteArray data;
        data += char((last ? 0x80 : 0) | opcode);
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
        return data;
    }

    static constexpr char mask[4] = {0x12, 0x34, 0x56, 0x78};
    Transport m_transport;
    QTcpSocket m_socket;
    QByteArray m_buffer;
    QByteArray m_message;
    QList<QJsonObject> m_responses;
    int m_nextId = 1;
    bool m_open = false;
    bool m_inMessage = false;
    int m_oneFrameLength = 0;
    bool m_inOneFrame = false;
    qint64 m_oneFrameSent = 0;
};

#endif // JSONRPCTESTCLIENT_H
