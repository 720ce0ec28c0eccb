#include "jsonrpcserver.h"
#include "jsonrpcbuiltinhandler.h"
#include "jsonrpclogging.h"
#include "jsonrpctcptransport.h"
#include "jsonrpcvalidator.h"
#include "jsonrawtext.h"

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

JsonRpcServer::JsonRpcServer(QObject *parent)
    : QObject(parent)
{
    m_clock.start();
    m_transport = new JsonRpcTcpTransport(this);
    addTransport(m_transport);
    m_sweepTimer = new QTimer(this);
    connect(m_sweepTimer, &QTimer::timeout, this, &JsonRpcServer::sweep);
    m_tokenCheckRelease = new QTimer(this);
    m_tokenCheckRelease->setSingleShot(true);
    connect(m_tokenCheckRelease, &QTimer::timeout, this, &JsonRpcServer::releaseTokenChecks);

    const QByteArray selfCheck = qgetenv("TAVRO_JSONRPC_SELF_CHECK").trimmed().toLower();
    if (selfCheck == "warn")
        m_selfCheck = SelfCheckWarn;
    else if (selfCheck == "fatal")
        m_selfCheck = SelfCheckFatal;

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

void JsonRpcServer::addTransport(JsonRpcTransport *transport)
{
    m_transports.append(transport);
    connect(transport, &JsonRpcTransport::clientConnected, this,
            [this, transport](const QUuid &clientId) { onClientConnected(transport, clientId); });
    connect(transport, &JsonRpcTransport::clientDisconnected, this, &JsonRpcServer::onClientDisconnected);
    connect(transport, &JsonRpcTransport::lineReceived, this, &JsonRpcServer::onLineReceived);
    connect(transport, &JsonRpcTransport::lineTooLong, this, &JsonRpcServer::onLineTooLong);
    connect(transport, &JsonRpcTransport::inputClosed, this, &JsonRpcServer::onInputClosed);
}

void JsonRpcServer::updateAccepting()
{
    const bool room = m_policy.hasRoom(now());
    for (JsonRpcTransport *transport : qAsConst(m_transports)) {
        if (transport)
            transport->setAccepting(room);
    }
}

JsonRpcTransport *JsonRpcServer::transport(const QUuid &clientId) const
{
    auto it = m_clients.constFind(clientId);
    return it != m_clients.constEnd() && it->transport ? it->transport : m_transport;
}

void JsonRpcServer::setConnectionLimits(const JsonRpcConnectionPolicy::Limits &limits)
{
    m_policy.setLimits(limits);
    for (auto it = m_clients.constBegin(); it != m_clients.constEnd(); ++it) {
        if (!it->closing)
            it->transport->setMaxLineLength(it.key(), m_policy.maxLineLength(it.key()));
    }
    if (m_sweepTimer->isActive())
        m_sweepTimer->start(qBound(50, qMin(limits.authenticationTimeout, limits.unfinishedLineTimeout) / 4, 1000));
}

void JsonRpcServer::setMaxConnections(int connections)
{
    JsonRpcConnectionPolicy::Limits limits = m_policy.limits();
    limits.maxConnections = connections;
    setConnectionLimits(limits);
}

void JsonRpcServer::setAuthenticationTimeout(int milliseconds)
{
    JsonRpcConnectionPolicy::Limits limits = m_policy.limits();
    limits.authenticationTimeout = milliseconds;
    setConnectionLimits(limits);
}

void JsonRpcServer::setWarnings(const QStringList &warnings)
{
    if (m_warnings == warnings)
        return;
    m_warnings = warnings;
    QMetaObject::invokeMethod(m_builtinHandler, "WarningsChanged",
                              Q_ARG(QVariantMap, (QVariantMap{{QStringLiteral("warnings"), warnings}})));
}

QVariantMap JsonRpcServer::call(const QString &method, const QVariantMap &params, QString *error)
{
    const QStringList parts = method.split(QLatin1Char('.'));
    JsonHandler *handler = parts.count() == 2 ? this->handler(parts.at(0)) : nullptr;
    const QVariantMap declaration = handler ? handler->jsonMethods().value(parts.at(1)).toMap() : QVariantMap();
    if (declaration.isEmpty()) {
        *error = QStringLiteral("Method not found: %1").arg(method);
        return {};
    }
    const QJsonObject json = JsonRpcValidator::toJson(params).toObject();
    const QVariantMap paramsDeclaration = declaration.value(QStringLiteral("params")).toMap();
    const JsonRpcValidator::Result check =
            JsonRpcValidator(typeScope(handler)).validateMembers(paramsDeclaration, json);
    if (!check.ok) {
        *error = QStringLiteral("Invalid params: %1").arg(check.message);
        return {};
    }
    JsonContext context;
    context.setPermissionScopes(Types::PermissionScopeAdmin);
    const std::unique_ptr<JsonReply> reply(
            invoke(handler, parts.at(1), JsonRpcValidator::withoutNullOptionals(paramsDeclaration, json).toVariantMap(),
                   context));
    if (!reply || !reply->isFinished()) {
        *error = QStringLiteral("%1 gave no answer at once").arg(method);
        return {};
    }
    if (reply->isError()) {
        *error = reply->errorMessage();
        return {};
    }
    return JsonRpcValidator::toJson(reply->data()).toObject().toVariantMap();
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
    const QString notification = QString::fromLatin1(handler->metaObject()->method(senderSignalIndex()).name());
    const QVariantMap declaration = handler->jsonNotifications().value(notification).toMap();
    int requiredScope = Types::PermissionScopeAdmin;
    if (!declaredScope(declaration, &requiredScope))
        requiredScope = Types::PermissionScopeAdmin;
    emit notificationEmitted(nameSpace + QLatin1Char('.') + notification, params);
    const auto wants = [&](const QUuid &clientId, const Client &client) {
        return !client.closing && (client.allNamespaces || client.namespaces.contains(nameSpace))
               && isAuthenticated(clientId)
               && (permissionScopes(clientId) & requiredScope) == Types::PermissionScopes(requiredScope);
    };
    // Most notifications find no client taking them (every state change of
    // every thing passes here): nothing to build then, unless checked.
    bool wanted = false;
    for (auto it = m_clients.constBegin(); !wanted && it != m_clients.constEnd(); ++it)
        wanted = wants(it.key(), it.value());
    if (!wanted && m_selfCheck == SelfCheckOff)
        return;
    const QString fullName = nameSpace + QLatin1Char('.') + notification;
    checkDeclaration(handler, QStringLiteral("Notification ") + fullName,
                     declaration.value(QStringLiteral("params")).toMap(), JsonRpcValidator::toJson(params).toObject());
    if (!wanted)
        return;
    // Over a copy of the ids: translateNotification() is handler code.
    const QList<QUuid> clientIds = m_clients.keys();
    for (const QUuid &clientId : clientIds) {
        if (!m_clients.contains(clientId) || !wants(clientId, m_clients.value(clientId)))
            continue;
        const QVariantMap translated =
                handler->translateNotification(notification, params, m_clients.value(clientId).locale);
        QJsonObject message;
        message.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
        message.insert(QStringLiteral("method"), fullName);
        message.insert(QStringLiteral("params"), JsonRpcValidator::toJson(translated));
        sendObject(clientId, message);
    }
}

void JsonRpcServer::onClientConnected(JsonRpcTransport *transport, const QUuid &clientId)
{
    Client client;
    client.transport = transport;
    m_clients.insert(clientId, client);
    const QUuid pushedOut = m_policy.admit(clientId, now());
    transport->setMaxLineLength(clientId, m_policy.maxLineLength(clientId));
    if (pushedOut == clientId) {
        if (m_closedLog.allow(QtWarningMsg))
            qCWarning(dcJsonRpc()) << "Too many connections: refusing the one from" << transport->peer(clientId);
        sendError(clientId, QByteArrayLiteral("null"), ErrorTooManyConnections,
                  QStringLiteral("Too many connections (%1)").arg(maxConnections()));
        closeClient(clientId);
    } else if (!pushedOut.isNull()) {
        if (m_closedLog.allow(QtWarningMsg))
            qCWarning(dcJsonRpc()) << "Too many connections: closing an unauthenticated one from"
                                   << this->transport(pushedOut)->peer(pushedOut);
        m_policy.remove(pushedOut);
        m_clients[pushedOut].closing = true;
        this->transport(pushedOut)->abortClient(pushedOut);
    }
    if (!m_sweepTimer->isActive()) {
        const JsonRpcConnectionPolicy::Limits limits = m_policy.limits();
        m_sweepTimer->start(qBound(50, qMin(limits.authenticationTimeout, limits.unfinishedLineTimeout) / 4, 1000));
    }
    updateAccepting();
    emit clientConnected(clientId);
}

void JsonRpcServer::sweep()
{
    // One timer for all: a flood of connections does not become a flood of
    // timers.
    // A newcomer's grace may be over: it can be pushed out now.
    updateAccepting();
    if (m_clients.isEmpty()) {
        m_sweepTimer->stop();
        return;
    }
    const QList<JsonRpcConnectionPolicy::Expired> expired = m_policy.expired(
            now(), [this](const QUuid &clientId) { return transport(clientId)->unfinishedLineAge(clientId); });
    const JsonRpcConnectionPolicy::Limits limits = m_policy.limits();
    for (const JsonRpcConnectionPolicy::Expired &each : expired) {
        if (m_expiredLog.allow(QtDebugMsg)) {
            const QString peer = transport(each.id)->peer(each.id);
            switch (each.reason) {
            case JsonRpcConnectionPolicy::Expiry::NotAuthenticated:
                qCDebug(dcJsonRpc()) << "Closing the connection from" << peer << ": not authenticated within"
                                     << limits.authenticationTimeout << "ms";
                break;
            case JsonRpcConnectionPolicy::Expiry::UnfinishedLine:
                qCDebug(dcJsonRpc()) << "Closing the connection from" << peer << ": a line unfinished for"
                                     << limits.unfinishedLineTimeout << "ms";
                break;
            case JsonRpcConnectionPolicy::Expiry::Idle:
                qCDebug(dcJsonRpc()) << "Closing the connection from" << peer << ": no request for"
                                     << limits.idleTimeout << "ms";
                break;
            }
        }
        // What it sent is of no use: it would never be finished.
        if (each.reason == JsonRpcConnectionPolicy::Expiry::UnfinishedLine) {
            m_policy.remove(each.id);
            m_clients[each.id].closing = true;
            transport(each.id)->abortClient(each.id);
        } else {
            closeClient(each.id);
        }
    }
}

void JsonRpcServer::onClientDisconnected(const QUuid &clientId)
{
    const Client client = m_clients.take(clientId);
    m_policy.remove(clientId);
    m_queuedChecks.remove(clientId);
    updateAccepting();
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
    sendError(clientId, QByteArrayLiteral("null"), ErrorParse,
              QStringLiteral("Parse error: line longer than %1 bytes").arg(m_policy.maxLineLength(clientId)));
}

void JsonRpcServer::onInputClosed(const QUuid &clientId)
{
    // Nothing more will come; what it asked for is still answered.
    closeClient(clientId);
}

void JsonRpcServer::closeClient(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->closing)
        return;
    it->closing = true;
    // It no longer takes a slot, nor a place in the queue of token checks.
    m_policy.remove(clientId);
    updateAccepting();
    closeWhenAnswered(clientId);
}

void JsonRpcServer::closeWhenAnswered(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || !it->closing || !it->pendingReplies.isEmpty())
        return;
    // Later: an answer to the line being handled may still be on its way.
    QMetaObject::invokeMethod(
            this, [this, clientId]() { transport(clientId)->disconnectClient(clientId); }, Qt::QueuedConnection);
}

void JsonRpcServer::onLineReceived(const QUuid &clientId, const QByteArray &line)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->closing)
        return;
    m_policy.noteRequest(clientId, now());
    Request base;
    base.clientId = clientId;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        // Qt reads only objects and arrays at the top level; any other JSON
        // value is a valid text, but no request.
        if (QJsonDocument::fromJson('[' + line + ']').array().count() == 1)
            sendError(base, ErrorInvalidRequest, QStringLiteral("Invalid request: not a JSON object"), true);
        else
            sendError(base, ErrorParse, QStringLiteral("Parse error: %1").arg(parseError.errorString()), true);
        return;
    }
    if (!document.isArray()) {
        handleRequest(base, document.object(), line);
        return;
    }
    const QJsonArray requests = document.array();
    if (requests.isEmpty() || requests.count() > maxBatchSize) {
        sendError(base, ErrorInvalidRequest,
                  requests.isEmpty()
                          ? QStringLiteral("Invalid request: empty batch")
                          : QStringLiteral("Invalid request: more than %1 requests in a batch").arg(maxBatchSize),
                  true);
        return;
    }
    base.batch = std::make_shared<Batch>();
    base.batch->clientId = clientId;
    base.batch->requests = requests;
    base.batch->texts = JsonRawText::arrayElements(line);
    // One more than there are requests: the batch cannot be sent before
    // every request has been started.
    base.batch->pending = requests.count() + 1;
    // Its next lines wait until the batch is answered: they may count on it.
    it->inBatch = true;
    it->transport->setReceiving(clientId, false);
    runBatch(base);
}

void JsonRpcServer::runBatch(const Request &base)
{
    Batch &batch = *base.batch;
    auto it = m_clients.find(base.clientId);
    if (it != m_clients.end() && batch.next < batch.requests.count()) {
        const int index = batch.next++;
        handleRequest(base, batch.requests.at(index), batch.texts.value(index));
        // One request per turn of the event loop: other clients, and the
        // host's own work, get theirs in between.
        if (batch.next < batch.requests.count()) {
            QMetaObject::invokeMethod(
                    this, [this, base]() { runBatch(base); }, Qt::QueuedConnection);
            return;
        }
    }
    // Done, or the client is gone: what was not started is not run.
    complete(base, QByteArray());
    it = m_clients.find(base.clientId);
    if (it == m_clients.end())
        return;
    it->inBatch = false;
    if (!it->closing)
        it->transport->setReceiving(base.clientId, true);
}

void JsonRpcServer::handleRequest(const Request &base, const QJsonValue &value, const QByteArray &text)
{
    Request request = base;
    if (!value.isObject()) {
        sendError(request, ErrorInvalidRequest, QStringLiteral("Invalid request: not a JSON object"), true);
        return;
    }
    const QJsonObject object = value.toObject();
    request.answered = object.contains(QStringLiteral("id"));
    // Qt keeps the last of a member given twice; the client may have meant
    // the first. Neither is run.
    const QString twice = JsonRawText::duplicateMember(text);
    const QJsonValue id = object.value(QStringLiteral("id"));
    if (request.answered && !id.isString() && !id.isDouble() && !id.isNull()) {
        sendError(request, ErrorInvalidRequest,
                  QStringLiteral("Invalid request: \"id\" must be a string, a number or null"), true);
        return;
    }
    if (request.answered) {
        // The id's own text goes into the answer: it must be that id, as Qt
        // read it, or the id is written anew.
        request.id = JsonRawText::memberValue(text, QStringLiteral("id"));
        const QJsonArray check = QJsonDocument::fromJson('[' + request.id + ']').array();
        if (check.count() != 1 || check.at(0) != id)
            request.id = QJsonDocument(QJsonArray{id}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    }
    if (!twice.isEmpty()) {
        if (twice == QLatin1String("id"))
            request.id = QByteArrayLiteral("null");
        const QString params = QStringLiteral("params.");
        if (twice.startsWith(params))
            sendError(request, ErrorInvalidParams,
                      QStringLiteral("Invalid params: %1: given twice").arg(twice.mid(params.size()).left(256)));
        else
            sendError(request, ErrorInvalidRequest,
                      QStringLiteral("Invalid request: \"%1\" given twice").arg(twice.left(256)), true);
        return;
    }
    // Malformed requests are answered even without an id: they are no
    // valid notifications either.
    if (object.value(QStringLiteral("jsonrpc")) != QJsonValue(QStringLiteral("2.0"))) {
        sendError(request, ErrorInvalidRequest, QStringLiteral("Invalid request: \"jsonrpc\" must be \"2.0\""), true);
        return;
    }
    const QJsonValue method = object.value(QStringLiteral("method"));
    if (!method.isString()) {
        sendError(request, ErrorInvalidRequest, QStringLiteral("Invalid request: \"method\" must be a string"), true);
        return;
    }
    const QStringList parts = method.toString().split(QLatin1Char('.'));
    if (parts.count() != 2 || parts.at(0).isEmpty() || parts.at(1).isEmpty()) {
        sendError(request, ErrorMethodNotFound,
                  QStringLiteral("Method not found: \"%1\" is not of the form Namespace.Method")
                          .arg(method.toString().left(256)));
        return;
    }
    request.nameSpace = parts.at(0);
    request.method = parts.at(1);
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
    JsonHandler *handler = this->handler(request.nameSpace);
    const QVariantMap declaration = handler ? handler->jsonMethods().value(request.method).toMap() : QVariantMap();
    if (declaration.isEmpty()) {
        sendError(request, ErrorMethodNotFound, QStringLiteral("Method not found: %1").arg(fullName.left(256)));
        return;
    }
    int requiredScope = 0;
    const bool scopeKnown = declaredScope(declaration, &requiredScope);
    const Types::PermissionScopes scopes = permissionScopes(request.clientId);
    if (!open && (!scopeKnown || (scopes & requiredScope) != Types::PermissionScopes(requiredScope))) {
        sendError(request, ErrorPermissionDenied,
                  QStringLiteral("Permission denied: %1 needs %2")
                          .arg(fullName, declaration.value(QStringLiteral("permissionScope")).toString()));
        return;
    }

    const QVariantMap paramsDeclaration = declaration.value(QStringLiteral("params")).toMap();
    const JsonRpcValidator::Result check =
            JsonRpcValidator(typeScope(handler)).validateMembers(paramsDeclaration, params);
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
        if (takePendingReply(request.clientId, reply)) {
            finishReply(request, reply);
            closeWhenAnswered(request.clientId);
        }
        reply->deleteLater();
    });
    QTimer::singleShot(m_replyTimeout, reply, [this, request, reply, fullName]() {
        if (!takePendingReply(request.clientId, reply))
            return;
        qCWarning(dcJsonRpc()) << fullName << "did not answer within" << m_replyTimeout << "ms";
        sendError(request, ErrorTimeout, QStringLiteral("Timeout: %1 did not answer in time").arg(fullName));
        closeWhenAnswered(request.clientId);
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
    const bool invoked = withContext
                                 ? metaMethod.invoke(handler, Qt::DirectConnection, Q_RETURN_ARG(JsonReply *, reply),
                                                     Q_ARG(QVariantMap, params), Q_ARG(JsonContext, context))
                                 : metaMethod.invoke(handler, Qt::DirectConnection, Q_RETURN_ARG(JsonReply *, reply),
                                                     Q_ARG(QVariantMap, params));
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
    if (JsonHandler *handler = this->handler(request.nameSpace)) {
        checkDeclaration(handler, QStringLiteral("Reply of ") + request.nameSpace + QLatin1Char('.') + request.method,
                         handler->jsonMethods().value(request.method).toMap().value(QStringLiteral("returns")).toMap(),
                         result);
    }
    complete(request, request.answered ? responseText(request.id, "result", result) : QByteArray());
}

void JsonRpcServer::checkDeclaration(JsonHandler *handler, const QString &what, const QVariantMap &declaration,
                                     const QJsonObject &value)
{
    if (m_selfCheck == SelfCheckOff)
        return;
    const JsonRpcValidator::Result check = JsonRpcValidator(typeScope(handler)).validateMembers(declaration, value);
    if (check.ok)
        return;
    m_selfCheckFailures++;
    const QString message = what + QStringLiteral(" does not match its declaration: ") + check.message;
    if (m_selfCheck == SelfCheckFatal)
        qFatal("%s", qPrintable(message));
    qCWarning(dcJsonRpc()).noquote() << message;
}

bool JsonRpcServer::declaredScope(const QVariantMap &declaration, int *scope)
{
    bool known = false;
    *scope = QMetaEnum::fromType<Types::PermissionScope>().keyToValue(
            declaration.value(QStringLiteral("permissionScope")).toString().toLatin1().constData(), &known);
    return known;
}

void JsonRpcServer::sendError(const Request &request, int code, const QString &message, bool evenWithoutId)
{
    if (m_refusedLog.allow(QtDebugMsg))
        qCDebug(dcJsonRpc()) << "Error for client" << request.clientId.toString() << code << message.left(256);
    QJsonObject error;
    error.insert(QStringLiteral("code"), code);
    error.insert(QStringLiteral("message"), message);
    complete(request, request.answered || evenWithoutId ? responseText(request.id, "error", error) : QByteArray());
}

void JsonRpcServer::sendError(const QUuid &clientId, const QByteArray &id, int code, const QString &message)
{
    Request request;
    request.clientId = clientId;
    request.id = id;
    sendError(request, code, message);
}

QByteArray JsonRpcServer::responseText(const QByteArray &id, const char *member, const QJsonValue &value)
{
    QJsonObject object;
    object.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    object.insert(QLatin1String(member), value);
    // The id goes in as its own text: as the client wrote it.
    return "{\"id\":" + id + ',' + QJsonDocument(object).toJson(QJsonDocument::Compact).mid(1);
}

void JsonRpcServer::complete(const Request &request, const QByteArray &response)
{
    if (!request.batch) {
        if (!response.isEmpty())
            transport(request.clientId)->sendLine(request.clientId, response);
        return;
    }
    Batch &batch = *request.batch;
    if (!response.isEmpty())
        batch.responses.append(response);
    if (--batch.pending > 0 || batch.responses.isEmpty())
        return;
    // A client that went away meanwhile gets nothing: sendLine() refuses.
    transport(batch.clientId)->sendLine(batch.clientId, '[' + batch.responses.join(',') + ']');
}

void JsonRpcServer::sendObject(const QUuid &clientId, const QJsonObject &object)
{
    transport(clientId)->sendLine(clientId, QJsonDocument(object).toJson(QJsonDocument::Compact));
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

JsonReply *JsonRpcServer::authenticate(const QUuid &clientId, const QString &token)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->closing)
        return JsonReply::createErrorReply(ErrorUnauthenticated, QStringLiteral("Unauthenticated: closing"));
    if (m_policy.isAuthenticated(clientId) && token == it->token)
        return checkToken(clientId, token);
    const JsonRpcConnectionPolicy::Verdict verdict = m_policy.requestTokenCheck(clientId, now(), !it->inBatch);
    if (verdict == JsonRpcConnectionPolicy::Verdict::CheckNow)
        return checkToken(clientId, token);
    if (verdict == JsonRpcConnectionPolicy::Verdict::Refused)
        return JsonReply::createErrorReply(ErrorUnauthenticated,
                                           QStringLiteral("Unauthenticated: too many unknown tokens, try again in a "
                                                          "second (or authenticate outside a batch)"));
    // Its turn comes within a second per connection queued before it;
    // meanwhile its further lines wait, so they run authenticated.
    JsonReply *reply = JsonReply::createAsyncReply();
    m_queuedChecks.insert(clientId, qMakePair(token, QPointer<JsonReply>(reply)));
    it->transport->setReceiving(clientId, false);
    if (!m_tokenCheckRelease->isActive())
        m_tokenCheckRelease->start(static_cast<int>(m_policy.msUntilNextWindow(now())));
    return reply;
}

void JsonRpcServer::releaseTokenChecks()
{
    for (QUuid clientId = m_policy.nextReleasedCheck(now()); !clientId.isNull();
         clientId = m_policy.nextReleasedCheck(now())) {
        const QPair<QString, QPointer<JsonReply>> queued = m_queuedChecks.take(clientId);
        if (!queued.second || !m_clients.contains(clientId) || m_clients.value(clientId).closing)
            continue;
        const std::unique_ptr<JsonReply> answer(checkToken(clientId, queued.first));
        if (answer->isError())
            queued.second->finishWithError(answer->errorCode(), answer->errorMessage());
        else
            queued.second->finish(answer->data());
        auto it = m_clients.find(clientId);
        if (it != m_clients.end() && !it->closing)
            it->transport->setReceiving(clientId, true);
    }
    if (m_policy.hasQueuedChecks())
        m_tokenCheckRelease->start(static_cast<int>(m_policy.msUntilNextWindow(now())));
}

JsonReply *JsonRpcServer::checkToken(const QUuid &clientId, const QString &token)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end())
        return JsonReply::createErrorReply(ErrorUnauthenticated, QStringLiteral("Unauthenticated: unknown token"));
    if (token.isEmpty() || !m_tokens.contains(token)) {
        bool close = false;
        m_policy.tokenRefused(clientId, now(), &close);
        // One that guessed may be pushed out for the next in line.
        updateAccepting();
        if (close) {
            if (m_closedLog.allow(QtWarningMsg))
                qCWarning(dcJsonRpc()) << "Closing the connection from" << it->transport->peer(clientId) << "after"
                                       << m_policy.limits().maxFailedAuthentications << "unknown tokens";
            closeClient(clientId);
        }
        return JsonReply::createErrorReply(ErrorUnauthenticated, QStringLiteral("Unauthenticated: unknown token"));
    }
    it->token = token;
    const QUuid pushedOut = m_policy.tokenAccepted(clientId, now());
    it->transport->setMaxLineLength(clientId, m_policy.maxLineLength(clientId));
    if (!pushedOut.isNull()) {
        if (m_closedLog.allow(QtWarningMsg))
            qCWarning(dcJsonRpc()) << "Too many authenticated connections: closing the one idle longest, from"
                                   << transport(pushedOut)->peer(pushedOut);
        sendError(pushedOut, QByteArrayLiteral("null"), ErrorTooManyConnections,
                  QStringLiteral("Too many connections (%1): closing the one idle longest").arg(maxConnections()));
        closeClient(pushedOut);
    }
    return new JsonReply(
            {{QStringLiteral("authenticated"), true},
             {QStringLiteral("permissionScopes"), JsonRpcBuiltinHandler::scopeKeys(permissionScopes(clientId))}});
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
