#ifndef JSONRPCWEBSOCKETTRANSPORT_H
#define JSONRPCWEBSOCKETTRANSPORT_H

#include "jsonrpclogging.h"
#include "jsonrpctransport.h"
#include "logratelimiter.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QStringList>

#include <memory>

class QTcpServer;
class QTcpSocket;
class QTimer;
class QWebSocket;
class QWebSocketServer;
class WebPage;

// JSON-RPC over WebSocket (one JSON text per text message), and the owner's
// page over plain HTTP, on one port: the page's own origin is then the one
// its scripts connect from. Same protocol, tokens and limits as over TCP:
// the limits are the server's connection policy; a transport only carries
// them out.
//
// Every connection first sends an HTTP request head (at most
// maxRequestHeadLength bytes, within the request timeout, else it is closed
// unanswered). "GET /jsonrpc" with "Upgrade: websocket" becomes a JSON-RPC
// client when its Origin is allowed: the transport's own origins
// ("http://127.0.0.1:PORT", "http://localhost:PORT", "http://[::1]:PORT",
// the listening address) and those added with setAllowedOrigins(). Another
// origin, "null" included, is refused with 403: a web site open in the
// owner's browser cannot drive the chargers. A request without Origin comes
// from no browser (browsers always send it on a WebSocket handshake); it is
// let in, and needs a token like any TCP client. Any other GET is a file of
// the page (see WebPage), answered only for a Host of the allowed origins,
// so that a foreign name pointed at this machine (DNS rebinding) gets
// nothing.
//
// Messages. A message longer than the client's line limit closes the
// connection with close code 1009 (lineTooLong() is emitted; the client
// cannot be told otherwise). Messages of blanks are skipped, binary ones are
// read as text. Received messages are handed out at most 64 KiB per client
// and turn of the event loop; while a client's messages are held back, or
// 64 KiB wait, nothing more is read from it: the rest waits in the kernel.
// A message in progress (bytes of an unfinished frame, or fragments without
// the last one) counts as an unfinished line. A client that leaves more
// than maxPendingBytes unread is dropped.
//
// There is no half-close: a client that closes its side is gone, and what
// it sent before is still handed out (inputClosed() follows).
class JsonRpcWebSocketTransport : public JsonRpcTransport
{
    Q_OBJECT
public:
    static constexpr qint64 maxPendingBytes = 1024 * 1024;
    // Milliseconds a disconnecting client gets to read what is left for it.
    static constexpr int closeTimeout = 5000;
    // Upgrades kept waiting while not accepting; more are refused (503).
    static constexpr int maxWaiting = 256;
    static constexpr int maxRequestHeadLength = 8192;
    // Connections reading their request head at once; more wait in the
    // kernel's backlog.
    static constexpr int maxRequestsInProgress = 64;

    explicit JsonRpcWebSocketTransport(QObject *parent = nullptr);
    ~JsonRpcWebSocketTransport() override;

    // Port 0 picks a free port (see serverPort()). False when the address
    // cannot be bound; an earlier listening socket is closed first.
    bool listen(const QHostAddress &address, quint16 port);
    // Stops listening and disconnects every client.
    void close();
    bool isListening() const;
    quint16 serverPort() const;
    QString errorString() const { return m_errorString; }

    // Origins allowed besides the transport's own, e.g. "https://home.example"
    // behind a proxy ("scheme://host[:port]", compared without case).
    void setAllowedOrigins(const QStringList &origins);
    // The own ones (once listening) and the added ones.
    QStringList allowedOrigins() const;
    // The folder of the page's files; empty: every file request is 404.
    void setPageDirectory(const QString &directory);
    // Milliseconds a connection has to send its request head (the server
    // sets its authentication timeout).
    void setRequestTimeout(int milliseconds) { m_requestTimeout = milliseconds; }

    QString peer(const QUuid &clientId) const override;
    void setMaxLineLength(const QUuid &clientId, int bytes) override;
    void setReceiving(const QUuid &clientId, bool receiving) override;
    qint64 unfinishedLineAge(const QUuid &clientId) const override;
    bool sendLine(const QUuid &clientId, const QByteArray &line) override;
    void disconnectClient(const QUuid &clientId) override;
    void abortClient(const QUuid &clientId) override;
    void setAccepting(bool accepting) override;

private:
    enum class State {
        Open,
        // Close sent after what was queued; waits for the peer.
        Closing,
        // Gone for good; clientDisconnected() is on its way.
        Closed
    };

    struct Client {
        QWebSocket *socket = nullptr; // deleted with finish()
        QPointer<QTcpSocket> tcp;     // under the socket; deleted after it
        QString peer;
        int maxLineLength = 4096;
        // Received, not yet handed out.
        QList<QByteArray> queue;
        qint64 queuedBytes = 0;
        bool deliveryScheduled = false;
        bool paused = false;
        // Nothing is read from the kernel while set.
        bool throttled = false;
        bool inputClosed = false;
        bool closedByUs = false;
        State state = State::Open;
        // Run while bytes of an unfinished frame wait / since the first
        // fragment of an unfinished message.
        QElapsedTimer bytesSince;
        QElapsedTimer messageSince;
        QElapsedTimer closingSince;
    };

    // A connection before it is a client: reading its request head.
    struct Request {
        QElapsedTimer since;
        // Answered; closes once written.
        bool answered = false;
    };

    void takeConnections();
    void onRequestReadable(QTcpSocket *socket);
    // Answers status with a short text body and closes.
    void respond(QTcpSocket *socket, int status, const QByteArray &reason, const QByteArray &contentType,
                 const QByteArray &body, bool headOnly = false);
    bool originAllowed(const QByteArray &origin) const;
    bool hostAllowed(const QByteArray &host) const;
    void upgrade(QTcpSocket *socket);
    void handOver(QTcpSocket *socket);
    void admitWaiting();
    void onNewWebSocket();
    void onMessage(const QUuid &clientId, const QByteArray &message);
    void onSocketDisconnected(const QUuid &clientId);
    void scheduleDelivery(const QUuid &clientId);
    void deliver(const QUuid &clientId);
    void updateThrottle(Client &client);
    void sweep();
    void forgetRequest(QTcpSocket *socket);
    // Closes now and emits clientDisconnected() later.
    void finish(const QUuid &clientId);

    QTcpServer *m_server = nullptr;           // child
    QWebSocketServer *m_handshakes = nullptr; // child; only does the handshakes
    QTimer *m_sweep = nullptr;                // child
    std::unique_ptr<WebPage> m_page;
    QHash<QTcpSocket *, Request> m_requests;
    // Upgrades waiting for a slot, in their order.
    QList<QPointer<QTcpSocket>> m_waiting;
    // Handed to the handshake, by peer ("address:port").
    struct HandedOver {
        QPointer<QTcpSocket> socket;
        QElapsedTimer since;
    };
    QHash<QString, HandedOver> m_handedOver;
    QHash<QUuid, Client> m_clients;
    QStringList m_extraOrigins;
    QStringList m_ownOrigins;
    QString m_errorString;
    int m_requestTimeout = 5000;
    bool m_accepting = true;
    LogRateLimiter m_dropLog{dcJsonRpc()};
    LogRateLimiter m_connectLog{dcJsonRpc()};
    LogRateLimiter m_disconnectLog{dcJsonRpc()};
    LogRateLimiter m_refusedLog{dcJsonRpc()};
};

#endif // JSONRPCWEBSOCKETTRANSPORT_H
