#ifndef JSONRPCSERVER_H
#define JSONRPCSERVER_H

#include "jsonhandler.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonValue>
#include <QLocale>
#include <QObject>
#include <QPointer>
#include <QUuid>

class JsonRpcBuiltinHandler;
class JsonRpcTcpTransport;

// The host's JSON-RPC server: namespaces register their handler here and
// the server routes "Namespace.Method" requests to it.
//
// Wire format: JSON-RPC 2.0 over TCP, one JSON object per line (newline
// delimited, UTF-8), on 127.0.0.1 unless told otherwise.
//   request:      {"jsonrpc":"2.0","id":1,"method":"Namespace.Method","params":{...}}
//   result:       {"jsonrpc":"2.0","id":1,"result":{...}}
//   error:        {"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"..."}}
//   notification: {"jsonrpc":"2.0","method":"Namespace.Notification","params":{...}}
// "params" is an object (by name) and may be left out. A request without
// "id" is a notification from the client: it is carried out but never
// answered. Batches (arrays) are refused. Lines longer than 1 MiB are
// answered with a parse error and the connection is closed.
//
// Authentication is per connection: a client calls
// "JSONRPC.Authenticate" {"token": "..."} once; from then on its requests
// run with the permission scopes of that token (see addToken()). Until
// then only "JSONRPC.Hello" and "JSONRPC.Authenticate" are answered, and
// the client gets no notifications. A method is allowed when the token
// holds every bit of the method's scope (PermissionScopeAdmin needs an
// admin token; PermissionScopeNone only needs authentication).
//
// Every request is checked against the handler's declarations (see
// JsonRpcValidator) before the handler's method of the same name runs; a
// refused request changes nothing. Handler signals that are declared
// notifications and carry one QVariantMap go to every authenticated client
// that has not unsubscribed from the namespace
// ("JSONRPC.SetNotificationStatus" {"namespaces": [...]}; all by default),
// translated through JsonHandler::translateNotification() into the client's
// locale (set with "JSONRPC.Hello" {"locale": "de_DE"}).
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
        ErrorTimeout = -32003
    };
    Q_ENUM(ErrorCode)

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

signals:
    void handlerRegistered(const QString &nameSpace);
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
    };

    struct Request {
        QUuid clientId;
        QJsonValue id;
        bool answered = true; // false for client notifications
        QString nameSpace;
        QString method;
    };

    void onClientConnected(const QUuid &clientId);
    void onClientDisconnected(const QUuid &clientId);
    void onLineReceived(const QUuid &clientId, const QByteArray &line);
    void onLineTooLong(const QUuid &clientId);

    void dispatch(const Request &request, const QJsonObject &params);
    JsonReply *invoke(JsonHandler *handler, const QString &method, const QVariantMap &params,
                      const JsonContext &context);
    // Index of the handler's invokable for the method, -1 when it has none.
    static int findMethod(JsonHandler *handler, const QString &method, bool *withContext);
    // Removes the reply from the client's pending ones; false when it was
    // not pending (any more).
    bool takePendingReply(const QUuid &clientId, JsonReply *reply);
    void finishReply(const Request &request, JsonReply *reply);
    void sendError(const Request &request, int code, const QString &message);
    void sendError(const QUuid &clientId, const QJsonValue &id, int code, const QString &message);
    void sendObject(const QUuid &clientId, const QJsonObject &object);
    void connectNotifications(JsonHandler *handler);
    // Type look-up order for a namespace: its own handler first.
    QList<JsonHandler *> typeScope(JsonHandler *first) const;

    // For the built-in namespace.
    bool isAuthenticated(const QUuid &clientId) const;
    Types::PermissionScopes permissionScopes(const QUuid &clientId) const;
    bool authenticate(const QUuid &clientId, const QString &token);
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
    int m_replyTimeout = 30000;
};

#endif // JSONRPCSERVER_H
