#ifndef JSONRPCTCPTRANSPORT_H
#define JSONRPCTCPTRANSPORT_H

#include "jsonrpclinebuffer.h"
#include "jsonrpclogging.h"
#include "jsonrpctransport.h"
#include "logratelimiter.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>

class QSocketNotifier;
class QTcpServer;
class QTimer;

// Newline-delimited messages over TCP. Every connection gets a client id;
// each received line is handed up without its line end (a trailing "\r" is
// dropped too, blank lines are skipped). Splitting is linear in the bytes
// received, and one read takes at most 64 KiB from a client, so a client
// sending megabytes of short lines cannot hold the thread for long.
//
// A client whose line grows beyond its line limit (maxLineLength by
// default, see setMaxLineLength()) is told through lineTooLong() (a receiver
// may still answer it with sendLine()) and is then disconnected: the rest of
// its stream cannot be framed any more. A client that does not read what is
// sent to it is dropped as soon as more than maxPendingBytes would wait for
// it in this process (the kernel's socket buffer comes on top).
//
// A client that finishes sending (a half-close, or a close) gets
// inputClosed() after its last line, an unfinished one included; it can
// still be answered until the receiver calls disconnectClient().
// Connecting and disconnecting clients are logged (debug), at most 10 lines
// per 10 s each: a flood of connections does not flood the log.
class JsonRpcTcpTransport : public JsonRpcTransport
{
    Q_OBJECT
public:
    static constexpr int maxLineLength = 1024 * 1024;
    static constexpr qint64 maxPendingBytes = 1024 * 1024;
    // Milliseconds a disconnecting client gets to read what is left for it.
    static constexpr int closeTimeout = 5000;
    // Connections kept waiting while not accepting; more are closed.
    static constexpr int maxWaiting = 256;

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
    QString peer(const QUuid &clientId) const override;
    void setMaxLineLength(const QUuid &clientId, int bytes) override;
    void setReceiving(const QUuid &clientId, bool receiving) override;
    qint64 unfinishedLineAge(const QUuid &clientId) const override;
    // Queues line plus a newline.
    bool sendLine(const QUuid &clientId, const QByteArray &line) override;
    void disconnectClient(const QUuid &clientId) override;
    void abortClient(const QUuid &clientId) override;
    void setAccepting(bool accepting) override;

private:
    enum class State {
        Open,
        // Sends what is queued, then shuts its side down.
        Closing,
        // Our side is shut down; reads are dropped until the peer closes.
        Draining,
        // Gone for good; clientDisconnected() is on its way.
        Closed
    };

    struct Client {
        int descriptor = -1;
        QString peer;
        QSocketNotifier *readNotifier = nullptr;  // child of the transport
        QSocketNotifier *writeNotifier = nullptr; // child of the transport
        JsonRpcLineBuffer input{maxLineLength};
        QByteArray output;
        int outputOffset = 0;
        State state = State::Open;
        bool inputClosed = false;
        // Lines are held back (see setReceiving()).
        bool paused = false;
        QElapsedTimer closingSince;
        // Runs while an unfinished line is arriving.
        QElapsedTimer unfinishedSince;
    };

    void onIncomingConnection(qintptr descriptor);
    // Sets up a connection and announces it.
    void admit(int descriptor);
    // Admits waiting connections while accepting.
    void admitWaiting();
    void onReadable(const QUuid &clientId);
    void onWritable(const QUuid &clientId);
    // Hands out the complete lines received so far.
    void emitLines(const QUuid &clientId);
    void onEndOfInput(const QUuid &clientId);
    // Writes what the kernel takes; false when the connection failed.
    bool flush(Client &client);
    void shutDownOutput(const QUuid &clientId);
    void cutOffSlowClosers();
    // Closes the descriptor now and emits clientDisconnected() later.
    void finish(const QUuid &clientId);
    static void release(Client &client);

    QTcpServer *m_server = nullptr;
    QTimer *m_closeSweep = nullptr; // child
    QHash<QUuid, Client> m_clients;
    QString m_errorString;
    bool m_accepting = true;
    // Connections taken from the kernel while not accepting, in their order.
    QList<int> m_waiting;
    // Clients dropped for long lines or for not reading.
    LogRateLimiter m_dropLog{dcJsonRpc()};
    LogRateLimiter m_connectLog{dcJsonRpc()};
    LogRateLimiter m_disconnectLog{dcJsonRpc()};
};

#endif // JSONRPCTCPTRANSPORT_H
