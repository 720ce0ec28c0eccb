#ifndef JSONRPCSERVER_H
#define JSONRPCSERVER_H

#include "jsonhandler.h"
#include "jsonrpcconnectionpolicy.h"
#include "jsonrpclogging.h"
#include "logratelimiter.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonValue>
#include <QLocale>
#include <QObject>
#include <QPointer>
#include <QUuid>

#include <memory>

class JsonRpcBuiltinHandler;
class QTimer;
class JsonRpcTcpTransport;
class JsonRpcTransport;

// The host's JSON-RPC server: namespaces register their handler here and
// the server routes "Namespace.Method" requests to it.
//
// Wire format: JSON-RPC 2.0 over TCP, one JSON text per line (newline
// delimited, UTF-8), on 127.0.0.1 unless told otherwise.
//   request:      {"jsonrpc":"2.0","id":1,"method":"Namespace.Method","params":{...}}
//   result:       {"jsonrpc":"2.0","id":1,"result":{...}}
//   error:        {"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"..."}}
//   notification: {"jsonrpc":"2.0","method":"Namespace.Notification","params":{...}}
// "params" is an object (by name) and may be left out. A request without
// "id" is a notification from the client: it is carried out but never
// answered. The id comes back exactly as it was written (also integers
// beyond 2^53). A batch (an array of up to maxBatchSize requests) is
// answered with one array of the responses, once all are done; a batch of
// notifications only is not answered at all. A client that half-closes its
// connection still gets the answers to what it sent; then the server
// closes.
//
// A request whose JSON text gives a member twice is refused (-32600 at the
// top level, -32602 inside "params", naming the member) instead of taking
// one of them. The requests of a batch run one per turn of the event loop,
// so a long batch does not hold up other clients (or the host); the
// client's next lines wait until its batch is answered.
//
// Authentication is per connection: a client calls
// "JSONRPC.Authenticate" {"token": "..."} once; from then on its requests
// run with the permission scopes of that token (see addToken()). Until
// then only "JSONRPC.Hello" and "JSONRPC.Authenticate" are answered and the
// client gets no notifications. Slots, line lengths, time limits and the
// pace of token checks are the connection policy's (see
// JsonRpcConnectionPolicy and connectionLimits()), the same for every
// transport: in short, unknown tokens are looked at no faster than a set
// number per second, but a known one always gets in after a bounded wait;
// a slot is kept for a new client to authenticate in; connections that
// dawdle (no token, an unfinished line, idle) are closed. Closing a
// client's connection for a limit is logged, rate-limited.
//
// A method is allowed when the token holds every bit of the method's scope
// (PermissionScopeAdmin needs an admin token; PermissionScopeNone only needs
// authentication). Every request is checked against the handler's
// declarations (see JsonRpcValidator) before the handler's method of the
// same name runs; a refused request changes nothing. Handler signals that
// are declared notifications and carry one QVariantMap go to every
// authenticated client whose token holds the notification's scope and that
// has not unsubscribed from the namespace ("JSONRPC.SetNotificationStatus"
// {"namespaces": [...]}; all by default), translated through
// JsonHandler::translateNotification() into the client's locale (set with
// "JSONRPC.Hello" {"locale": "de_DE"}).
//
// Replies and notifications can be checked against their declarations as
// well (setSelfCheck(), or TAVRO_JSONRPC_SELF_CHECK=warn|fatal in the
// environment); tests and fuzzers turn that on.
//
// Everything runs in the thread of the server (the host's main thread).
class JsonRpcServer : public QObject
{
    Q_OBJECT
public:
    // JSON-RPC 2.0 error codes, and this server's own in the range the
    // standard leaves to servers.
    enum ErrorCode {
        ErrorParse = -32700,
        ErrorInvalidRequest = -32600,
        ErrorMethodNotFound = -32601,
        ErrorInvalidParams = -32602,
        ErrorInternal = -32603,
        // No valid token yet (also: an unknown token in Authenticate).
        ErrorUnauthenticated = -32001,
        // The token lacks the method's permission scope.
        ErrorPermissionDenied = -32002,
        // An asynchronous reply did not finish within replyTimeout().
        ErrorTimeout = -32003,
        // Every connection is taken by an authenticated client.
        ErrorTooManyConnections = -32004
    };
    Q_ENUM(ErrorCode)

    // What the self-check does with a reply or notification that breaks its
    // declaration: nothing, log a warning, or abort the process (qFatal).
    enum SelfCheck {
        SelfCheckOff,
        SelfCheckWarn,
        SelfCheckFatal
    };
    Q_ENUM(SelfCheck)

    // The defaults of the connection policy's limits.
    static constexpr int defaultMaxConnections = 32;
    static constexpr int defaultAuthenticationTimeout = 5000;
    static constexpr int defaultUnfinishedLineTimeout = 10000;
    static constexpr int maxFailedAuthentications = 3;
    // Unknown tokens checked per second over all connections; beyond that
    // checks wait for the next second.
    static constexpr int maxFailedAuthenticationsPerSecond = 20;
    static constexpr int unauthenticatedMaxLineLength = 4096;
    static constexpr int maxBatchSize = 100;

    explicit JsonRpcServer(QObject *parent = nullptr);
    ~JsonRpcServer() override;

    // Makes the handler's namespace reachable. The version numbers are the
    // namespace's API version (major, minor) as shown by introspection. The
    // server does not take ownership. False when the namespace is taken.
    // The built-in namespace "JSONRPC" is registered from the start.
    bool registerHandler(JsonHandler *handler, int majorVersion, int minorVersion);

    JsonHandler *handler(const QString &nameSpace) const;
    QList<JsonHandler *> handlers() const;
    QPair<int, int> handlerVersion(const QString &nameSpace) const { return m_versions.value(nameSpace); }

    // A further transport (the TCP one is built in); its clients get the
    // same limits, namespaces and tokens. Not owned; it must outlive the
    // server or be removed with its clients.
    void addTransport(JsonRpcTransport *transport);

    // Starts the TCP transport. Port 0 picks a free port; serverPort() tells
    // which. False when the address cannot be bound.
    bool listen(quint16 port = 0, const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    void close();
    bool isListening() const;
    quint16 serverPort() const;

    // A token clients may authenticate with. False for an empty token.
    // Adding a known token again replaces its scopes.
    bool addToken(const QString &token, Types::PermissionScopes scopes);
    // Clients authenticated with the token lose their authentication.
    bool removeToken(const QString &token);

    // Milliseconds an asynchronous reply may take before the client gets
    // ErrorTimeout and the reply is deleted.
    int replyTimeout() const { return m_replyTimeout; }
    void setReplyTimeout(int milliseconds) { m_replyTimeout = milliseconds; }

    int clientCount() const { return m_clients.count(); }

    // Every limit at once; applies to the connections there are, too.
    JsonRpcConnectionPolicy::Limits connectionLimits() const { return m_policy.limits(); }
    void setConnectionLimits(const JsonRpcConnectionPolicy::Limits &limits);
    // Connections kept at once (at least 1).
    int maxConnections() const { return m_policy.limits().maxConnections; }
    void setMaxConnections(int connections);
    // Milliseconds a connection may stay without authenticating.
    int authenticationTimeout() const { return m_policy.limits().authenticationTimeout; }
    void setAuthenticationTimeout(int milliseconds);

    // Lines the host wants every client to see (e.g. that a safety feature
    // is off), shown by "JSONRPC.Hello" and sent as
    // "JSONRPC.WarningsChanged" when they change.
    QStringList warnings() const { return m_warnings; }
    void setWarnings(const QStringList &warnings);

    // Runs a request inside the process, as an admin client would, with the
    // same checks: the result, or an empty map and *error. Only for methods
    // that answer at once.
    QVariantMap call(const QString &method, const QVariantMap &params, QString *error);

    // Defaults to TAVRO_JSONRPC_SELF_CHECK ("warn" or "fatal"), else off.
    SelfCheck selfCheck() const { return m_selfCheck; }
    void setSelfCheck(SelfCheck selfCheck) { m_selfCheck = selfCheck; }
    // Replies and notifications the self-check found broken so far.
    int selfCheckFailures() const { return m_selfCheckFailures; }

signals:
    void handlerRegistered(const QString &nameSpace);
    // Every notification a handler emits ("Namespace.Name"), sent to
    // clients or not.
    void notificationEmitted(const QString &fullName, const QVariantMap &params);
    void clientConnected(const QUuid &clientId);
    void clientDisconnected(const QUuid &clientId);

private slots:
    // Connected by method index to the notification signals of handlers.
    void onHandlerNotification(const QVariantMap &params);

private:
    friend class JsonRpcBuiltinHandler;

    struct Client {
        QLocale locale;
        QString token;
        bool allNamespaces = true;
        QStringList namespaces;
        QList<QPointer<JsonReply>> pendingReplies;
        JsonRpcTransport *transport = nullptr;
        // On its way out: nothing more it sends is handled, and it is
        // disconnected once its pending replies are answered.
        bool closing = false;
        // A batch of its is running; its lines wait.
        bool inBatch = false;
    };

    // The responses of one batch, sent together when the last is done.
    struct Batch {
        QUuid clientId;
        int pending = 0;
        QList<QByteArray> responses;
        // The requests still to run, with their JSON texts.
        QJsonArray requests;
        QList<QByteArray> texts;
        int next = 0;
    };

    struct Request {
        QUuid clientId;
        // The id as the client wrote it ("null" when there is none).
        QByteArray id = QByteArrayLiteral("null");
        bool answered = true; // false for client notifications
        QString nameSpace;
        QString method;
        std::shared_ptr<Batch> batch;
    };

    void onClientConnected(JsonRpcTransport *transport, const QUuid &clientId);
    void onClientDisconnected(const QUuid &clientId);
    void onLineReceived(const QUuid &clientId, const QByteArray &line);
    void onLineTooLong(const QUuid &clientId);
    void onInputClosed(const QUuid &clientId);
    // Closes the connections past a time limit.
    void sweep();
    // Runs the next request of the batch and schedules the one after.
    void runBatch(const Request &base);
    // Runs the token checks whose turn has come.
    void releaseTokenChecks();
    // The answer to a token check made now.
    JsonReply *checkToken(const QUuid &clientId, const QString &token);
    JsonRpcTransport *transport(const QUuid &clientId) const;
    // New connections are taken while the policy has room for them.
    void updateAccepting();
    qint64 now() const { return m_clock.elapsed(); }

    // One request of a line (the line itself, or an element of a batch);
    // text is the JSON text of value.
    void handleRequest(const Request &base, const QJsonValue &value, const QByteArray &text);
    void dispatch(const Request &request, const QJsonObject &params);
    JsonReply *invoke(JsonHandler *handler, const QString &method, const QVariantMap &params,
                      const JsonContext &context);
    // Index of the handler's invokable for the method, -1 when it has none.
    static int findMethod(JsonHandler *handler, const QString &method, bool *withContext);
    // Removes the reply from the client's pending ones; false when it was
    // not pending (any more).
    bool takePendingReply(const QUuid &clientId, JsonReply *reply);
    void finishReply(const Request &request, JsonReply *reply);
    // Answers with an error; a client notification only when it was
    // malformed (it is no valid notification then).
    void sendError(const Request &request, int code, const QString &message, bool evenWithoutId = false);
    void sendError(const QUuid &clientId, const QByteArray &id, int code, const QString &message);
    // Ends the request: sends the response (none when empty), or adds it to
    // its batch and sends the batch once its last request is done.
    void complete(const Request &request, const QByteArray &response);
    static QByteArray responseText(const QByteArray &id, const char *member, const QJsonValue &value);
    void sendObject(const QUuid &clientId, const QJsonObject &object);
    void closeClient(const QUuid &clientId);
    // Disconnects a closing client once nothing is left to answer.
    void closeWhenAnswered(const QUuid &clientId);
    void checkDeclaration(JsonHandler *handler, const QString &what, const QVariantMap &declaration,
                          const QJsonObject &value);
    // The scope a declaration (method or notification) names; false when
    // it names none that is known.
    static bool declaredScope(const QVariantMap &declaration, int *scope);
    void connectNotifications(JsonHandler *handler);
    // Type look-up order for a namespace: its own handler first.
    QList<JsonHandler *> typeScope(JsonHandler *first) const;

    // For the built-in namespace.
    bool isAuthenticated(const QUuid &clientId) const;
    Types::PermissionScopes permissionScopes(const QUuid &clientId) const;
    // The answer to Authenticate: at once, or once the check's turn has
    // come (the client's further lines wait meanwhile). Inside a batch a
    // check does not wait: it is refused with a "try again".
    JsonReply *authenticate(const QUuid &clientId, const QString &token);
    void setClientLocale(const QUuid &clientId, const QLocale &locale);
    QLocale clientLocale(const QUuid &clientId) const;
    QStringList setNotificationNamespaces(const QUuid &clientId, const QStringList &namespaces);
    QVariantMap introspect() const;

    QHash<QString, QPointer<JsonHandler>> m_handlers;
    QHash<QString, QPair<int, int>> m_versions;
    QHash<QString, Types::PermissionScopes> m_tokens;
    QHash<QUuid, Client> m_clients;
    JsonRpcTcpTransport *m_transport = nullptr;
    JsonRpcBuiltinHandler *m_builtinHandler = nullptr;
    QTimer *m_sweepTimer = nullptr;        // child
    QTimer *m_tokenCheckRelease = nullptr; // child
    JsonRpcConnectionPolicy m_policy;
    QElapsedTimer m_clock;
    // Authenticate requests waiting for their check, by client.
    QHash<QUuid, QPair<QString, QPointer<JsonReply>>> m_queuedChecks;
    QList<QPointer<JsonRpcTransport>> m_transports;
    QStringList m_warnings;
    int m_replyTimeout = 30000;
    SelfCheck m_selfCheck = SelfCheckOff;
    int m_selfCheckFailures = 0;
    // Every refused line would write a log line: a client could fill the log.
    LogRateLimiter m_refusedLog{dcJsonRpc()};
    LogRateLimiter m_closedLog{dcJsonRpc()};
    LogRateLimiter m_expiredLog{dcJsonRpc()};
};

#endif // JSONRPCSERVER_H
