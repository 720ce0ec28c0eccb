#ifndef JSONRPCTESTCLIENT_H
#define JSONRPCTESTCLIENT_H

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QtTest>

#include <sys/socket.h>

// A plain JSON-RPC 2.0 client over a loopback socket, as a stock client
// would talk to the server. The server runs in the same thread, so every
// wait spins the event loop.
class JsonRpcTestClient : public QObject
{
public:
    JsonRpcTestClient()
    {
        connect(&m_socket, &QTcpSocket::readyRead, this, [this]() {
            m_buffer.append(m_socket.readAll());
            int newline;
            while ((newline = m_buffer.indexOf('\n')) >= 0) {
                lines.append(m_buffer.left(newline));
                const QJsonObject message = QJsonDocument::fromJson(lines.last()).object();
                m_buffer.remove(0, newline + 1);
                if (message.contains(QStringLiteral("id")))
                    m_responses.append(message);
                else
                    notifications.append(message);
            }
        });
    }

    bool connectTo(quint16 port)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        return QTest::qWaitFor([this]() { return m_socket.state() == QAbstractSocket::ConnectedState; }, 5000);
    }

    void sendLine(const QByteArray &line) { m_socket.write(line + '\n'); }
    void sendRaw(const QByteArray &data) { m_socket.write(data); }
    void disconnectNow() { m_socket.abort(); }
    // Leaves what the server sends in the kernel, as a stuck client would.
    void stopReading()
    {
        m_socket.disconnect(this);
        m_socket.setReadBufferSize(1);
    }
    // Closes once what was written has left.
    void disconnectAfterWrite() { m_socket.disconnectFromHost(); }
    // Sends nothing more but keeps reading, as "nc -N" does.
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

    static int errorCode(const QJsonObject &response)
    {
        return response.value(QStringLiteral("error")).toObject().value(QStringLiteral("code")).toInt();
    }

    QList<QJsonObject> notifications;
    // Every line received, as it came.
    QList<QByteArray> lines;

private:
    QTcpSocket m_socket;
    QByteArray m_buffer;
    QList<QJsonObject> m_responses;
    int m_nextId = 1;
};

#endif // JSONRPCTESTCLIENT_H
