#include "jsonrpcserver.h"
#include "jsonrpcbuiltinhandler.h"
#include "jsonrpclogging.h"
#include "jsonrpctcptransport.h"
#include "jsonrpcvalidator.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QTimer>

#include <algorithm>

Q_LOGGING_CATEGORY(dcJsonRpc, "JsonRpc")

namespace {

const QString builtinNamespace = QStringLiteral("JSONRPC");

// Methods a client may call without a token.
bool isOpenMethod(const QString &nameSpace, const QString &method)
{
    return nameSpace == builtinNamespace
           && (method == QLatin1String("Hello") || method == QLatin1String("Authenticate"));
}

}

JsonRpcServer::JsonRpcServer(QObject *parent) : QObject(parent)
{
    m_transport = new JsonRpcTcpTransport(this);
    connect(m_transport, &JsonRpcTcpTransport::clientConnected, this, &JsonRpcServer::onClientConnected);
    connect(m_transport, &JsonRpcTcpTransport::clientDisconnected, this, &JsonRpcServer::onClientDisconnected);
    connect(m_transport, &JsonRpcTcpTransport::lineReceived, this, &JsonRpcServer::onLineReceived);
    connect(m_transport, &JsonRpcTcpTransport::lineTooLong, this, &JsonRpcServer::onLineTooLong);

    m_builtinHandler = new JsonRpcBuiltinHandler(this);
    registerHandler(m_builtinHandler, 1, 0);
}

JsonRpcServer::~JsonRpcServer()
{
    // Pending replies first: their handlers may still hold them.
    for (const Client &client : qAsConst(m_clients))
        qDeleteAll(client.pendingReplies);
    m_clients.clear();
    delete m_transport;
    m_transport = nullptr;
}

bool JsonRpcServer::registerHandler(JsonHandler *handler, int majorVersion, int minorVersion)
{
    if (!handler || handler->name().isEmpty())
        return false;
    const QString nameSpace = handler->name();
    if (m_handlers.value(nameSpace)) {
        qCWarning(dcJsonRpc()) << "A handler for namespace" << nameSpace << "is registered already";
        return false;
    }
    m_handlers.insert(nameSpace, handler);
    m_versions.insert(nameSpace, qMakePair(majorVersion, minorVersion));
    connectNotifications(handler);
    const QVariantMap methods = handler->jsonMethods();
    for (auto it = methods.constBegin(); it != methods.constEnd(); ++it) {
        bool withContext = false;
        if (findMethod(handler, it.key(), &withContext) < 0)
            qCWarning(dcJsonRpc()) << "Method" << nameSpace + QLatin1Char('.') + it.key()
                                   << "has no invokable JsonReply *" + it.key() + "(QVariantMap[, JsonContext])";
    }
    qCDebug(dcJsonRpc()) << "Registered JSON-RPC namespace" << nameSpace << majorVersion << minorVersion;
    emit handlerRegistered(nameSpace);
    return true;
}

JsonHandler *JsonRpcServer::handler(const QString &nameSpace) const
{
    return m_handlers.value(nameSpace);
}

QList<JsonHandler *> JsonRpcServer::handlers() const
{
    QList<JsonHandler *> result;
    for (const QPointer<JsonHandler> &handler : m_handlers) {
        if (handler)
            result.append(handler);
    }
    return result;
}

bool JsonRpcServer::listen(quint16 port, const QHostAddress &address)
{
    return m_transport->listen(address, port);
}

void JsonRpcServer::close()
{
    m_transport->close();
}

bool JsonRpcServer::isListening() const
{
    return m_transport->isListening();
}

quint16 JsonRpcServer::serverPort() const
{
    return m_transport->serverPort();
}

bool JsonRpcServer::addToken(const QString &token, Types::PermissionScopes scopes)
{
    if (token.isEmpty())
        return false;
    m_tokens.insert(token, scopes);
    return true;
}

bool JsonRpcServer::removeToken(const QString &token)
{
    return m_tokens.remove(token) > 0;
}

void JsonRpcServer::onHandlerNotification(const QVariantMap &params)
{
    JsonHandler *handler = qobject_cast<JsonHandler *>(sender());
    if (!handler || m_handlers.value(handler->name()) != handler)
        return;
    const QString nameSpace = handler->name();
#ifdef QT_NO_DEBUG
    // Most notifications find no authenticated client taking the namespace
    // (every state change of every thing passes here): nothing to build then.
    bool wanted = false;
    for (auto it = m_clients.constBegin(); !wanted && it != m_clients.constEnd(); ++it)
        wanted = (it->allNamespaces || it->namespaces.contains(nameSpace)) && isAuthenticated(it.key());
    if (!wanted)
        return;
#endif
    const QString notification = QString::fromLatin1(handler->metaObject()->method(senderSignalIndex()).name());
#ifndef QT_NO_DEBUG
    const JsonRpcValidator::Result check = JsonRpcValidator(typeScope(handler)).validateMembers(
        handler->jsonNotifications().value(notification).toMap().value(QStringLiteral("params")).toMap(),
        JsonRpcValidator::toJson(params).toObject());
    // Types of other libraries may be undeclared here: only say so quietly.
    if (!check.ok && !check.declarationError)
        qCWarning(dcJsonRpc()) << "Notification" << nameSpace + QLatin1Char('.') + notification
                               << "does not match its declaration:" << check.message;
    else if (!check.ok)
        qCDebug(dcJsonRpc()) << "Notification" << nameSpace + QLatin1Char('.') + notification
                             << "not checked:" << check.message;
#endif
    // Over a copy of the ids: translateNotification() is handler code.
    const QList<QUuid> clientIds = m_clients.keys();
    for (const QUuid &clientId : clientIds) {
        if (!isAuthenticated(clientId))
            continue;
        const Client client = m_clients.value(clientId);
        if (!client.allNamespaces && !client.namespaces.contains(nameSpace))
            continue;
        const QVariantMap translated = handler->translateNotification(notification, params, client.locale);
        QJsonObject message;
        message.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
        message.insert(QStringLiteral("method"), nameSpace + QLatin1Char('.') + notification);
        message.insert(QStringLiteral("params"), JsonRpcValidator::toJson(translated));
        sendObject(clientId, message);
    }
}

void JsonRpcServer::onClientConnected(const QUuid &clientId)
{
    m_clients.insert(clientId, Client());
    emit clientConnected(clientId);
}

void JsonRpcServer::onClientDisconnected(const QUuid &clientId)
{
    const Client client = m_clients.take(clientId);
    // Replies still running for the client are of no use any more; their
    // handlers watch them (see JsonReply).
    for (const QPointer<JsonReply> &reply : client.pendingReplies) {
        if (reply)
            reply->deleteLater();
    }
    emit clientDisconnected(clientId);
}

void JsonRpcServer::onLineTooLong(const QUuid &clientId)
{
    sendError(clientId, QJsonValue(QJsonValue::Null), ErrorParse,
              QStringLiteral("Parse error: line longer than %1 bytes").arg(JsonRpcTcpTransport::maxLineLength));
}

void JsonRpcServer::onLineReceived(const QUuid &clientId, const QByteArray &line)
{
    const QJsonValue nullId(QJsonValue::Null);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        sendError(clientId, nullId, ErrorParse, QStringLiteral("Parse error: %1").arg(parseError.errorString()));
        return;
    }
    if (document.isArray()) {
        sendError(clientId, nullId, ErrorInvalidRequest, QStringLiteral("Invalid request: batches are not supported"));
        return;
    }
    if (!document.isObject()) {
        sendError(clientId, nullId, ErrorInvalidRequest, QStringLiteral("Invalid request: not a JSON object"));
        return;
    }
    const QJsonObject object = document.object();
    Request request;
    request.clientId = clientId;
    request.answered = object.contains(QStringLiteral("id"));
    request.id = object.value(QStringLiteral("id"));
    if (request.answered && !request.id.isString() && !request.id.isDouble() && !request.id.isNull()) {
        sendError(clientId, nullId, ErrorInvalidRequest,
                  QStringLiteral("Invalid request: \"id\" must be a string, a number or null"));
        return;
    }
    if (!request.answered)
        request.id = nullId;
    // Malformed requests are answered even without an id: they are no
    // valid notifications either.
    if (object.value(QStringLiteral("jsonrpc")) != QJsonValue(QStringLiteral("2.0"))) {
        sendError(clientId, request.id, ErrorInvalidRequest, QStringLiteral("Invalid request: \"jsonrpc\" must be \"2.0\""));
        return;
    }
    const QJsonValue method = object.value(QStringLiteral("method"));
    if (!method.isString()) {
        sendError(clientId, request.id, ErrorInvalidRequest, QStringLiteral("Invalid request: \"method\" must be a string"));
        return;
    }
    const QStringList parts = method.toString().split(QLatin1Char('.'));
    if (parts.count() == 2) {
        request.nameSpace = parts.at(0);
        request.method = parts.at(1);
    }
    const QJsonValue params = object.value(QStringLiteral("params"));
    if (!params.isUndefined() && !params.isNull() && !params.isObject()) {
        sendError(request, ErrorInvalidParams, QStringLiteral("Invalid params: \"params\" must be an object"));
        return;
    }
    dispatch(request, params.toObject());
}

void JsonRpcServer::dispatch(const Request &request, const QJsonObject &params)
{
    const QString fullName = request.nameSpace + QLatin1Char('.') + request.method;
    const bool open = isOpenMethod(request.nameSpace, request.method);
    if (!open && !isAuthenticated(request.clientId)) {
        sendError(request, ErrorUnauthenticated,
                  QStringLiteral("Unauthenticated: call JSONRPC.Authenticate with a valid token first"));
        return;
    }
    JsonHandler *handler = request.method.isEmpty() ? nullptr : this->handler(request.nameSpace);
    const QVariantMap declaration = handler ? handler->jsonMethods().value(request.method).toMap() : QVariantMap();
    if (declaration.isEmpty()) {
        sendError(request, ErrorMethodNotFound, QStringLiteral("Method not found: %1").arg(fullName.left(256)));
        return;
    }
    const QString scopeKey = declaration.value(QStringLiteral("permissionScope")).toString();
    bool scopeKnown = false;
    const int requiredScope = QMetaEnum::fromType<Types::PermissionScope>().keyToValue(scopeKey.toLatin1().constData(),
                                                                                        &scopeKnown);
    const Types::PermissionScopes scopes = permissionScopes(request.clientId);
    if (!open && (!scopeKnown || (scopes & requiredScope) != Types::PermissionScopes(requiredScope))) {
        sendError(request, ErrorPermissionDenied,
                  QStringLiteral("Permission denied: %1 needs %2").arg(fullName, scopeKey));
        return;
    }

    const QVariantMap paramsDeclaration = declaration.value(QStringLiteral("params")).toMap();
    const JsonRpcValidator::Result check = JsonRpcValidator(typeScope(handler)).validateMembers(paramsDeclaration,
                                                                                                 params);
    if (!check.ok) {
        if (check.declarationError) {
            qCWarning(dcJsonRpc()) << "Declaration of" << fullName << "is broken:" << check.message;
            sendError(request, ErrorInternal, QStringLiteral("Internal error: %1").arg(check.message));
        } else {
            sendError(request, ErrorInvalidParams, QStringLiteral("Invalid params: %1").arg(check.message));
        }
        return;
    }

    JsonContext context(request.clientId, clientLocale(request.clientId));
    context.setPermissionScopes(scopes);
    const QVariantMap args = JsonRpcValidator::withoutNullOptionals(paramsDeclaration, params).toVariantMap();
    JsonReply *reply = invoke(handler, request.method, args, context);
    if (!reply) {
        sendError(request, ErrorInternal, QStringLiteral("Internal error: %1 gave no reply").arg(fullName));
        return;
    }
    if (reply->isFinished()) {
        finishReply(request, reply);
        delete reply;
        return;
    }

    auto clientIt = m_clients.find(request.clientId);
    if (clientIt == m_clients.end()) {
        delete reply;
        return;
    }
    clientIt->pendingReplies.append(reply);
    // The reply is the context of both: once it is gone, neither fires. A
    // reply no longer pending (timed out, client gone) is not answered.
    connect(reply, &JsonReply::finished, reply, [this, request, reply]() {
        if (takePendingReply(request.clientId, reply))
            finishReply(request, reply);
        reply->deleteLater();
    });
    QTimer::singleShot(m_replyTimeout, reply, [this, request, reply, fullName]() {
        if (!takePendingReply(request.clientId, reply))
            return;
        qCWarning(dcJsonRpc()) << fullName << "did not answer within" << m_replyTimeout << "ms";
        sendError(request, ErrorTimeout, QStringLiteral("Timeout: %1 did not answer in time").arg(fullName));
        reply->deleteLater();
    });
}

bool JsonRpcServer::takePendingReply(const QUuid &clientId, JsonReply *reply)
{
    auto it = m_clients.find(clientId);
    return it != m_clients.end() && it->pendingReplies.removeAll(reply) > 0;
}

JsonReply *JsonRpcServer::invoke(JsonHandler *handler, const QString &method, const QVariantMap &params,
                                 const JsonContext &context)
{
    bool withContext = false;
    const int index = findMethod(handler, method, &withContext);
    if (index < 0)
        return nullptr;
    const QMetaMethod metaMethod = handler->metaObject()->method(index);
    JsonReply *reply = nullptr;
    const bool invoked = withContext ? metaMethod.invoke(handler, Qt::DirectConnection,
                                                         Q_RETURN_ARG(JsonReply *, reply), Q_ARG(QVariantMap, params),
                                                         Q_ARG(JsonContext, context))
                                     : metaMethod.invoke(handler, Qt::DirectConnection,
                                                         Q_RETURN_ARG(JsonReply *, reply), Q_ARG(QVariantMap, params));
    if (!invoked) {
        qCWarning(dcJsonRpc()) << "Could not invoke" << handler->name() + QLatin1Char('.') + method;
        delete reply;
        return nullptr;
    }
    return reply;
}

int JsonRpcServer::findMethod(JsonHandler *handler, const QString &method, bool *withContext)
{
    const QMetaObject *metaObject = handler->metaObject();
    const QByteArray name = method.toLatin1();
    int index = metaObject->indexOfMethod(name + "(QVariantMap,JsonContext)");
    *withContext = index >= 0;
    if (index < 0)
        index = metaObject->indexOfMethod(name + "(QVariantMap)");
    if (index < 0 || qstrcmp(metaObject->method(index).typeName(), "JsonReply*") != 0)
        return -1;
    return index;
}

void JsonRpcServer::finishReply(const Request &request, JsonReply *reply)
{
    if (reply->isError()) {
        sendError(request, reply->errorCode(), reply->errorMessage());
        return;
    }
    const QJsonObject result = JsonRpcValidator::toJson(reply->data()).toObject();
#ifndef QT_NO_DEBUG
    JsonHandler *handler = this->handler(request.nameSpace);
    if (handler) {
        const QVariantMap returns =
            handler->jsonMethods().value(request.method).toMap().value(QStringLiteral("returns")).toMap();
        const JsonRpcValidator::Result check = JsonRpcValidator(typeScope(handler)).validateMembers(returns, result);
        if (!check.ok && !check.declarationError)
            qCWarning(dcJsonRpc()) << "Reply of" << request.nameSpace + QLatin1Char('.') + request.method
                                   << "does not match its declaration:" << check.message;
        else if (!check.ok)
            qCDebug(dcJsonRpc()) << "Reply of" << request.nameSpace + QLatin1Char('.') + request.method
                                 << "not checked:" << check.message;
    }
#endif
    if (!request.answered)
        return;
    QJsonObject message;
    message.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    message.insert(QStringLiteral("id"), request.id);
    message.insert(QStringLiteral("result"), result);
    sendObject(request.clientId, message);
}

void JsonRpcServer::sendError(const Request &request, int code, const QString &message)
{
    if (request.answered)
        sendError(request.clientId, request.id, code, message);
}

void JsonRpcServer::sendError(const QUuid &clientId, const QJsonValue &id, int code, const QString &message)
{
    qCDebug(dcJsonRpc()) << "Error for client" << clientId.toString() << code << message;
    QJsonObject error;
    error.insert(QStringLiteral("code"), code);
    error.insert(QStringLiteral("message"), message);
    QJsonObject object;
    object.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    object.insert(QStringLiteral("id"), id);
    object.insert(QStringLiteral("error"), error);
    sendObject(clientId, object);
}

void JsonRpcServer::sendObject(const QUuid &clientId, const QJsonObject &object)
{
    m_transport->sendLine(clientId, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void JsonRpcServer::connectNotifications(JsonHandler *handler)
{
    static const int slotIndex = staticMetaObject.indexOfSlot("onHandlerNotification(QVariantMap)");
    const QVariantMap notifications = handler->jsonNotifications();
    QStringList connected;
    const QMetaObject *metaObject = handler->metaObject();
    for (int i = 0; i < metaObject->methodCount(); i++) {
        const QMetaMethod method = metaObject->method(i);
        const QString name = QString::fromLatin1(method.name());
        if (method.methodType() != QMetaMethod::Signal || !notifications.contains(name))
            continue;
        if (method.parameterTypes() != QList<QByteArray>{QByteArrayLiteral("QVariantMap")}) {
            qCWarning(dcJsonRpc()) << "Signal" << method.methodSignature() << "of" << handler->name()
                                   << "does not carry one QVariantMap; it is not forwarded";
            continue;
        }
        if (QMetaObject::connect(handler, i, this, slotIndex))
            connected.append(name);
    }
    for (auto it = notifications.constBegin(); it != notifications.constEnd(); ++it) {
        if (!connected.contains(it.key()))
            qCDebug(dcJsonRpc()) << "Notification" << handler->name() + QLatin1Char('.') + it.key()
                                 << "has no signal and is never sent";
    }
}

QList<JsonHandler *> JsonRpcServer::typeScope(JsonHandler *first) const
{
    QList<JsonHandler *> result{first};
    QStringList names = m_handlers.keys();
    std::sort(names.begin(), names.end());
    for (const QString &name : qAsConst(names)) {
        JsonHandler *handler = m_handlers.value(name);
        if (handler && handler != first)
            result.append(handler);
    }
    return result;
}

bool JsonRpcServer::isAuthenticated(const QUuid &clientId) const
{
    auto it = m_clients.constFind(clientId);
    return it != m_clients.constEnd() && !it->token.isEmpty() && m_tokens.contains(it->token);
}

Types::PermissionScopes JsonRpcServer::permissionScopes(const QUuid &clientId) const
{
    auto it = m_clients.constFind(clientId);
    if (it == m_clients.constEnd() || it->token.isEmpty())
        return Types::PermissionScopeNone;
    return m_tokens.value(it->token, Types::PermissionScopeNone);
}

bool JsonRpcServer::authenticate(const QUuid &clientId, const QString &token)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || token.isEmpty() || !m_tokens.contains(token))
        return false;
    it->token = token;
    return true;
}

void JsonRpcServer::setClientLocale(const QUuid &clientId, const QLocale &locale)
{
    auto it = m_clients.find(clientId);
    if (it != m_clients.end())
        it->locale = locale;
}

QLocale JsonRpcServer::clientLocale(const QUuid &clientId) const
{
    return m_clients.value(clientId).locale;
}

QStringList JsonRpcServer::setNotificationNamespaces(const QUuid &clientId, const QStringList &namespaces)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end())
        return {};
    QStringList unique = namespaces;
    unique.removeDuplicates();
    std::sort(unique.begin(), unique.end());
    it->allNamespaces = false;
    it->namespaces = unique;
    return unique;
}

QVariantMap JsonRpcServer::introspect() const
{
    QVariantMap namespaces;
    for (auto it = m_handlers.constBegin(); it != m_handlers.constEnd(); ++it) {
        const JsonHandler *handler = it.value();
        if (!handler)
            continue;
        const QPair<int, int> version = m_versions.value(it.key());
        QVariantMap description;
        description.insert(QStringLiteral("majorVersion"), version.first);
        description.insert(QStringLiteral("minorVersion"), version.second);
        description.insert(QStringLiteral("enums"), handler->jsonEnums());
        description.insert(QStringLiteral("objects"), handler->jsonObjects());
        description.insert(QStringLiteral("methods"), handler->jsonMethods());
        description.insert(QStringLiteral("notifications"), handler->jsonNotifications());
        namespaces.insert(it.key(), description);
    }
    return namespaces;
}
