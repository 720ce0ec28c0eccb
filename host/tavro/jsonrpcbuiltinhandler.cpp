#include "jsonrpcbuiltinhandler.h"
#include "jsonrpcserver.h"

JsonRpcBuiltinHandler::JsonRpcBuiltinHandler(JsonRpcServer *server)
    : JsonHandler(server),
      m_server(server)
{
    registerEnum<Types::PermissionScope>();

    const QVariantMap session{
            {QStringLiteral("authenticated"), basicTypeToString(Bool)},
            {QStringLiteral("permissionScopes"), QVariantList{QStringLiteral("$ref:PermissionScope")}}};

    QVariantMap helloReturns = session;
    helloReturns.insert(QStringLiteral("server"), basicTypeToString(String));
    helloReturns.insert(QStringLiteral("version"), basicTypeToString(String));
    helloReturns.insert(QStringLiteral("clientId"), basicTypeToString(Uuid));
    helloReturns.insert(QStringLiteral("locale"), basicTypeToString(String));
    helloReturns.insert(QStringLiteral("warnings"), basicTypeToString(StringList));
    registerMethod(QStringLiteral("Hello"),
                   QStringLiteral("Greets the server. Needs no token. An optional locale (e.g. \"de_DE\") is used "
                                  "for this connection's notifications and requests. warnings: what the host wants "
                                  "every user to know, e.g. that overload protection is off."),
                   {{QStringLiteral("o:locale"), basicTypeToString(String)}}, helloReturns, Types::PermissionScopeNone);
    registerMethod(QStringLiteral("Authenticate"),
                   QStringLiteral("Authenticates this connection with a token. Needs no token."),
                   {{QStringLiteral("token"), basicTypeToString(String)}}, session, Types::PermissionScopeNone);
    registerNotification(QStringLiteral("WarningsChanged"), QStringLiteral("The host's warnings changed."),
                         {{QStringLiteral("warnings"), basicTypeToString(StringList)}}, Types::PermissionScopeNone);
    registerMethod(QStringLiteral("Introspect"),
                   QStringLiteral("Describes every namespace: its types, methods and notifications."), {},
                   {{QStringLiteral("namespaces"), basicTypeToString(Object)}}, Types::PermissionScopeNone);
    registerMethod(QStringLiteral("SetNotificationStatus"),
                   QStringLiteral("Chooses the namespaces whose notifications this connection receives. All by "
                                  "default; an empty list turns them off."),
                   {{QStringLiteral("namespaces"), basicTypeToString(StringList)}},
                   {{QStringLiteral("namespaces"), basicTypeToString(StringList)}}, Types::PermissionScopeNone);
}

QString JsonRpcBuiltinHandler::name() const
{
    return QStringLiteral("JSONRPC");
}

JsonReply *JsonRpcBuiltinHandler::Hello(const QVariantMap &params, const JsonContext &context)
{
    if (params.contains(QStringLiteral("locale")))
        m_server->setClientLocale(context.clientId(), QLocale(params.value(QStringLiteral("locale")).toString()));
    const QPair<int, int> version = m_server->handlerVersion(name());
    return createReply({{QStringLiteral("server"), QStringLiteral("tavro")},
                        {QStringLiteral("version"), QStringLiteral("%1.%2").arg(version.first).arg(version.second)},
                        {QStringLiteral("clientId"), context.clientId()},
                        {QStringLiteral("locale"), m_server->clientLocale(context.clientId()).name()},
                        {QStringLiteral("authenticated"), m_server->isAuthenticated(context.clientId())},
                        {QStringLiteral("permissionScopes"), scopeKeys(m_server->permissionScopes(context.clientId()))},
                        {QStringLiteral("warnings"), m_server->warnings()}});
}

JsonReply *JsonRpcBuiltinHandler::Authenticate(const QVariantMap &params, const JsonContext &context)
{
    return m_server->authenticate(context.clientId(), params.value(QStringLiteral("token")).toString());
}

JsonReply *JsonRpcBuiltinHandler::Introspect(const QVariantMap &params)
{
    Q_UNUSED(params)
    return createReply({{QStringLiteral("namespaces"), m_server->introspect()}});
}

JsonReply *JsonRpcBuiltinHandler::SetNotificationStatus(const QVariantMap &params, const JsonContext &context)
{
    const QStringList namespaces = params.value(QStringLiteral("namespaces")).toStringList();
    return createReply(
            {{QStringLiteral("namespaces"), m_server->setNotificationNamespaces(context.clientId(), namespaces)}});
}

QStringList JsonRpcBuiltinHandler::scopeKeys(Types::PermissionScopes scopes)
{
    if (scopes == Types::PermissionScopes(Types::PermissionScopeAdmin))
        return {QString::fromLatin1(
                QMetaEnum::fromType<Types::PermissionScope>().valueToKey(Types::PermissionScopeAdmin))};
    QStringList keys;
    const QMetaEnum metaEnum = QMetaEnum::fromType<Types::PermissionScope>();
    for (int i = 0; i < metaEnum.keyCount(); i++) {
        const int value = metaEnum.value(i);
        if (value != 0 && value != Types::PermissionScopeAdmin
            && scopes.testFlag(static_cast<Types::PermissionScope>(value)))
            keys.append(QString::fromLatin1(metaEnum.key(i)));
    }
    return keys;
}
