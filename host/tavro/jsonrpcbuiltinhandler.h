#ifndef JSONRPCBUILTINHANDLER_H
#define JSONRPCBUILTINHANDLER_H

#include "jsonhandler.h"

class JsonRpcServer;

// The server's own namespace "JSONRPC": greeting, authentication,
// introspection and notification subscriptions. Hello and Authenticate are
// the only methods a client may call without a token.
class JsonRpcBuiltinHandler : public JsonHandler
{
    Q_OBJECT
public:
    explicit JsonRpcBuiltinHandler(JsonRpcServer *server);

    QString name() const override;

    // {o:locale} → server name and version, the client's id, locale,
    // authentication and the host's warnings. A given locale ("de_DE") is
    // kept for the connection.
    Q_INVOKABLE JsonReply *Hello(const QVariantMap &params, const JsonContext &context);
    // {token} → {authenticated, permissionScopes}; an unknown token is an
    // ErrorUnauthenticated error (the server closes the connection after a
    // few; after many, checks wait their turn).
    Q_INVOKABLE JsonReply *Authenticate(const QVariantMap &params, const JsonContext &context);
    // {} → {namespaces: {Name: {majorVersion, minorVersion, enums, objects,
    // methods, notifications}}}
    Q_INVOKABLE JsonReply *Introspect(const QVariantMap &params);
    // {namespaces} → the namespaces whose notifications the client gets
    // from now on (an empty list: none).
    Q_INVOKABLE JsonReply *SetNotificationStatus(const QVariantMap &params, const JsonContext &context);

    // The key names of the scopes ("PermissionScopeAdmin" alone for admin).
    static QStringList scopeKeys(Types::PermissionScopes scopes);

signals:
    // {warnings}: the host's warnings changed (see JsonRpcServer::setWarnings()).
    void WarningsChanged(const QVariantMap &params);

private:
    JsonRpcServer *m_server = nullptr;
};

#endif // JSONRPCBUILTINHANDLER_H
