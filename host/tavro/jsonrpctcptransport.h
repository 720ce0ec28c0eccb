#ifndef JSONRPCTCPTRANSPORT_H
#define JSONRPCTCPTRANSPORT_H

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QUuid>

class QTcpServer;
class QTcpSocket;

// Newline-delimited messages over TCP. Every connection gets a client id;
// each received line is handed up without its line end (a trailing "\r" is
// dropped too, blank lines are skipped).
//
// A client whose unfinished line grows beyond maxLineLength bytes is told
// through lineTooLong() (a receiver may still answer it with sendLine()),
// then its buffer is dropped and it is disconnected: the rest of its stream
// cannot be framed any more. A client that does not read what is sent to it
// is dropped once maxPendingBytes wait for it.
class JsonRpcTcpTransport : public QObject
{
    Q_OBJECT
public:
    static constexpr int maxLineLength = 1024 * 1024;
    // A client that lets this much pile up unread is dropped.
    static constexpr qint64 maxPendingBytes = 16 * 1024 * 1024;

    explicit JsonRpcTcpTransport(QObject *parent = nullptr);
    ~JsonRpcTcpTransport() override;

    // Port 0 picks a free port (see serverPort()). False when the address
    // cannot be bound; an earlier listening socket is closed first.
    bool listen(const QHostAddress &address, quint16 port);
    // Stops listening and disconnects every client.
    void close();
    bool isListening() const;
    quint16 serverPort() const;
    QHostAddress serverAddress() const;
    QString errorString() const { return m_errorString; }

    QList<QUuid> clients() const { return m_clients.keys(); }
    // Queues line plus a newline for the client. False for an unknown or
    // closing client.
    bool sendLine(const QUuid &clientId, const QByteArray &line);
    // Sends what is queued, then closes; nothing more is read from it.
    void disconnectClient(const QUuid &clientId);

signals:
    void clientConnected(const QUuid &clientId);
    void clientDisconnected(const QUuid &clientId);
    void lineReceived(const QUuid &clientId, const QByteArray &line);
    void lineTooLong(const QUuid &clientId);

private:
    struct Client {
        QTcpSocket *socket = nullptr;
        QByteArray buffer;
        bool closing = false;
    };

    void onNewConnection();
    void onReadyRead(const QUuid &clientId);
    void onDisconnected(const QUuid &clientId);

    QTcpServer *m_server = nullptr;
    QHash<QUuid, Client> m_clients;
    QString m_errorString;
};

#endif // JSONRPCTCPTRANSPORT_H
