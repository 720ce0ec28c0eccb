#include "jsonrpcwebsockettransport.h"
#include "webpage.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

// Bytes handed out per client and turn of the event loop; as many may wait
// before nothing more is read from the client.
const qint64 handOutChunk = 64 * 1024;
// The longest frame header: what a frame of the line limit needs beyond it.
const int frameHeaderLength = 14;
const QByteArray jsonRpcPath = QByteArrayLiteral("/jsonrpc");

QString peerOf(const QAbstractSocket *socket)
{
    return socket->peerAddress().toString() + QLatin1Char(':') + QString::number(socket->peerPort());
}

QString peerOf(const QWebSocket *socket)
{
    return socket->peerAddress().toString() + QLatin1Char(':') + QString::number(socket->peerPort());
}

bool isBlank(const QByteArray &message)
{
    for (char c : message) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            return false;
    }
    return true;
}

// Origins are compared as the browser writes them, without case.
QString normalisedOrigin(const QString &origin)
{
    QString result = origin.trimmed().toLower();
    while (result.endsWith(QLatin1Char('/')))
        result.chop(1);
    return result;
}

struct RequestHead {
    QByteArray method;
    QByteArray target;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    bool valid = false;
};

RequestHead parseHead(const QByteArray &head)
{
    RequestHead result;
    const QList<QByteArray> lines = head.split('\n');
    if (lines.isEmpty())
        return result;
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.count() != 3 || !requestLine.at(2).startsWith("HTTP/1."))
        return result;
    result.method = requestLine.at(0);
    result.target = requestLine.at(1);
    for (int i = 1; i < lines.count(); i++) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty())
            continue;
        const int colon = line.indexOf(':');
        if (colon <= 0)
            return result;
        const QByteArray name = line.left(colon).trimmed().toLower();
        // A header given twice could be read two ways: refused.
        if (result.headers.contains(name) && (name == "origin" || name == "host" || name == "upgrade"))
            return result;
        result.headers.insert(name, line.mid(colon + 1).trimmed());
    }
    result.valid = true;
    return result;
}

}

JsonRpcWebSocketTransport::JsonRpcWebSocketTransport(QObject *parent)
    : JsonRpcTransport(parent)
{
    m_handshakes = new QWebSocketServer(QStringLiteral("tavro"), QWebSocketServer::NonSecureMode, this);
    connect(m_handshakes, &QWebSocketServer::newConnection, this, &JsonRpcWebSocketTransport::onNewWebSocket);
    m_sweep = new QTimer(this);
    m_sweep->setInterval(250);
    connect(m_sweep, &QTimer::timeout, this, &JsonRpcWebSocketTransport::sweep);
}

JsonRpcWebSocketTransport::~JsonRpcWebSocketTransport()
{
    // Without signals: nobody listens any more. The web sockets go before
    // the sockets under them.
    for (Client &client : m_clients) {
        client.socket->disconnect(this);
        client.socket->abort();
        delete client.socket;
        delete client.tcp;
    }
    m_clients.clear();
}

bool JsonRpcWebSocketTransport::listen(const QHostAddress &address, quint16 port)
{
    if (m_server)
        close();
    m_server = new QTcpServer(this);
    // Connections wait in the kernel until there is room to read their
    // request heads (takeConnections()).
    m_server->setMaxPendingConnections(1);
    if (!m_server->listen(address, port)) {
        m_errorString = m_server->errorString();
        qCWarning(dcJsonRpc()) << "Could not listen on" << address.toString() << port << m_errorString;
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QTcpServer::newConnection, this, &JsonRpcWebSocketTransport::takeConnections);
    m_errorString.clear();
    const QString portText = QString::number(m_server->serverPort());
    m_ownOrigins.clear();
    if (address.isLoopback() || address == QHostAddress::Any || address == QHostAddress::AnyIPv4
        || address == QHostAddress::AnyIPv6)
        m_ownOrigins << QStringLiteral("http://127.0.0.1:") + portText << QStringLiteral("http://localhost:") + portText
                     << QStringLiteral("http://[::1]:") + portText;
    if (!address.isLoopback() && address != QHostAddress::Any && address != QHostAddress::AnyIPv4
        && address != QHostAddress::AnyIPv6) {
        const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                                     ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                                     : address.toString();
        m_ownOrigins << QStringLiteral("http://") + host + QLatin1Char(':') + portText;
    }
    m_handshakes->setHandshakeTimeout(m_requestTimeout);
    m_sweep->start();
    qCInfo(dcJsonRpc()) << "JSON-RPC over WebSocket and the page on" << m_server->serverAddress().toString()
                        << m_server->serverPort();
    return true;
}

void JsonRpcWebSocketTransport::close()
{
    if (m_server) {
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    const QList<QTcpSocket *> requests = m_requests.keys();
    for (QTcpSocket *socket : requests) {
        forgetRequest(socket);
        socket->abort();
        socket->deleteLater();
    }
    for (const QPointer<QTcpSocket> &socket : qAsConst(m_waiting)) {
        if (socket) {
            socket->abort();
            socket->deleteLater();
        }
    }
    m_waiting.clear();
    const QList<QUuid> ids = m_clients.keys();
    for (const QUuid &id : ids)
        disconnectClient(id);
}

bool JsonRpcWebSocketTransport::isListening() const
{
    return m_server && m_server->isListening();
}

quint16 JsonRpcWebSocketTransport::serverPort() const
{
    return m_server ? m_server->serverPort() : 0;
}

void JsonRpcWebSocketTransport::setAllowedOrigins(const QStringList &origins)
{
    m_extraOrigins.clear();
    for (const QString &origin : origins)
        m_extraOrigins << normalisedOrigin(origin);
}

QStringList JsonRpcWebSocketTransport::allowedOrigins() const
{
    return m_ownOrigins + m_extraOrigins;
}

void JsonRpcWebSocketTransport::setPageDirectory(const QString &directory)
{
    m_page = directory.isEmpty() ? nullptr : std::make_unique<WebPage>(directory);
}

bool JsonRpcWebSocketTransport::originAllowed(const QByteArray &origin) const
{
    const QString wanted = normalisedOrigin(QString::fromLatin1(origin));
    for (const QString &allowed : allowedOrigins()) {
        if (normalisedOrigin(allowed) == wanted)
            return true;
    }
    return false;
}

bool JsonRpcWebSocketTransport::hostAllowed(const QByteArray &host) const
{
    const QString wanted = QString::fromLatin1(host).trimmed().toLower();
    for (const QString &allowed : allowedOrigins()) {
        const QUrl url(allowed);
        const int defaultPort = url.scheme() == QLatin1String("https") ? 443 : 80;
        const QString hostText =
                url.host().contains(QLatin1Char(':')) ? QLatin1Char('[') + url.host() + QLatin1Char(']') : url.host();
        const int port = url.port(defaultPort);
        if (wanted == hostText + QLatin1Char(':') + QString::number(port)
            || (port == defaultPort && wanted == hostText))
            return true;
    }
    return false;
}

void JsonRpcWebSocketTransport::takeConnections()
{
    while (m_server && m_requests.count() < maxRequestsInProgress && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        // Ours, not the listener's: a web socket may outlive the listener.
        socket->setParent(this);
        // The request head and no more, until the connection is a client.
        socket->setReadBufferSize(maxRequestHeadLength + 1);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        Request request;
        request.since.start();
        m_requests.insert(socket, request);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { onRequestReadable(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket]() {
            if (m_requests.contains(socket)) {
                forgetRequest(socket);
                socket->deleteLater();
            }
        });
        if (socket->bytesAvailable() > 0)
            onRequestReadable(socket);
    }
}

void JsonRpcWebSocketTransport::forgetRequest(QTcpSocket *socket)
{
    if (m_requests.remove(socket) > 0)
        QMetaObject::invokeMethod(this, &JsonRpcWebSocketTransport::takeConnections, Qt::QueuedConnection);
}

void JsonRpcWebSocketTransport::onRequestReadable(QTcpSocket *socket)
{
    auto it = m_requests.find(socket);
    if (it == m_requests.end() || it->answered)
        return;
    const QByteArray peeked = socket->peek(maxRequestHeadLength + 1);
    const int end = peeked.indexOf("\r\n\r\n");
    if (end < 0) {
        if (peeked.size() > maxRequestHeadLength)
            respond(socket, 431, "Request Header Fields Too Large", "text/plain", "Request head too long\n");
        return;
    }
    const RequestHead head = parseHead(peeked.left(end));
    if (!head.valid) {
        respond(socket, 400, "Bad Request", "text/plain", "Bad request\n");
        return;
    }
    const bool upgradeRequest = head.headers.value("upgrade").toLower() == "websocket";
    if (upgradeRequest) {
        if (head.method != "GET" || head.target != jsonRpcPath) {
            respond(socket, 404, "Not Found", "text/plain", "JSON-RPC is at /jsonrpc\n");
            return;
        }
        // Browsers always send the page's origin; other clients none.
        if (head.headers.contains("origin") && !originAllowed(head.headers.value("origin"))) {
            if (m_refusedLog.allow(QtWarningMsg))
                qCWarning(dcJsonRpc()) << "Refused a WebSocket connection from" << peerOf(socket)
                                       << "opened by a page of another origin:"
                                       << QString::fromLatin1(head.headers.value("origin").left(256));
            respond(socket, 403, "Forbidden", "text/plain", "Origin not allowed\n");
            return;
        }
        forgetRequest(socket);
        upgrade(socket);
        return;
    }
    if (head.method != "GET" && head.method != "HEAD") {
        respond(socket, 405, "Method Not Allowed", "text/plain", "Only GET\n");
        return;
    }
    if (!hostAllowed(head.headers.value("host"))) {
        if (m_refusedLog.allow(QtWarningMsg))
            qCWarning(dcJsonRpc()) << "Refused a page request from" << peerOf(socket) << "for the host"
                                   << QString::fromLatin1(head.headers.value("host").left(256));
        respond(socket, 403, "Forbidden", "text/plain", "Unknown host\n");
        return;
    }
    const WebPage::File file = m_page ? m_page->file(head.target) : WebPage::File();
    const bool headOnly = head.method == "HEAD";
    if (file.status == 200)
        respond(socket, 200, "OK", file.contentType, file.body, headOnly);
    else if (file.status == 404)
        respond(socket, 404, "Not Found", "text/plain", "Not found\n", headOnly);
    else
        respond(socket, 500, "Internal Server Error", "text/plain", "Cannot read the file\n", headOnly);
}

void JsonRpcWebSocketTransport::respond(QTcpSocket *socket, int status, const QByteArray &reason,
                                        const QByteArray &contentType, const QByteArray &body, bool headOnly)
{
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    response += "Content-Type: " + contentType + "\r\n";
    response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    response += "Connection: close\r\n"
                "Cache-Control: no-cache\r\n"
                "X-Content-Type-Options: nosniff\r\n"
                "Referrer-Policy: no-referrer\r\n"
                // Nothing from elsewhere, and no other site may frame the
                // page and trick the owner into clicks.
                "Content-Security-Policy: default-src 'self'; connect-src 'self'; img-src 'self' data:; "
                "style-src 'self'; script-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'\r\n"
                "X-Frame-Options: DENY\r\n\r\n";
    if (!headOnly)
        response += body;
    auto it = m_requests.find(socket);
    if (it != m_requests.end()) {
        it->answered = true;
        // From now on the close timeout counts.
        it->since.start();
    }
    // What else it sent is of no interest.
    socket->setReadBufferSize(0);
    socket->readAll();
    socket->write(response);
    socket->disconnectFromHost();
}

void JsonRpcWebSocketTransport::upgrade(QTcpSocket *socket)
{
    // Like the TCP transport's backlog: those that find no slot wait, in
    // their order, with what they sent left in the kernel.
    if (m_accepting && m_waiting.isEmpty()) {
        handOver(socket);
        return;
    }
    if (m_waiting.count() >= maxWaiting) {
        m_requests.insert(socket, Request());
        m_requests[socket].since.start();
        respond(socket, 503, "Service Unavailable", "text/plain", "Too many connections\n");
        return;
    }
    m_waiting.append(socket);
    if (m_accepting)
        QMetaObject::invokeMethod(this, &JsonRpcWebSocketTransport::admitWaiting, Qt::QueuedConnection);
}

void JsonRpcWebSocketTransport::admitWaiting()
{
    while (m_accepting && !m_waiting.isEmpty()) {
        QPointer<QTcpSocket> socket = m_waiting.takeFirst();
        if (socket && socket->state() == QAbstractSocket::ConnectedState)
            handOver(socket);
        else if (socket)
            socket->deleteLater();
    }
}

void JsonRpcWebSocketTransport::handOver(QTcpSocket *socket)
{
    // From here on the socket belongs to the web socket made of it.
    socket->disconnect(this);
    const QString peer = peerOf(socket);
    HandedOver handedOver;
    handedOver.socket = socket;
    handedOver.since.start();
    m_handedOver.insert(peer, handedOver);
    // A failed handshake leaves the socket to us.
    connect(socket, &QTcpSocket::disconnected, this, [this, peer, socket]() {
        if (m_handedOver.value(peer).socket == socket) {
            m_handedOver.remove(peer);
            socket->deleteLater();
        }
    });
    m_handshakes->setHandshakeTimeout(m_requestTimeout);
    m_handshakes->handleConnection(socket);
}

void JsonRpcWebSocketTransport::onNewWebSocket()
{
    while (m_handshakes->hasPendingConnections()) {
        QWebSocket *socket = m_handshakes->nextPendingConnection();
        const QString peer = peerOf(socket);
        QPointer<QTcpSocket> tcp = m_handedOver.take(peer).socket;
        if (tcp)
            tcp->disconnect(this);
        if (!tcp) {
            // Cannot be watched: not taken.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setParent(this);
        const QUuid clientId = QUuid::createUuid();
        Client client;
        client.socket = socket;
        client.tcp = tcp;
        client.peer = peer;
        socket->setMaxAllowedIncomingFrameSize(static_cast<quint64>(client.maxLineLength));
        socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(client.maxLineLength));
        tcp->setReadBufferSize(client.maxLineLength + frameHeaderLength);
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, clientId](const QString &message) { onMessage(clientId, message.toUtf8()); });
        connect(socket, &QWebSocket::binaryMessageReceived, this,
                [this, clientId](const QByteArray &message) { onMessage(clientId, message); });
        const auto fragment = [this, clientId](bool isLastFrame) {
            auto it = m_clients.find(clientId);
            if (it != m_clients.end() && !isLastFrame && !it->messageSince.isValid())
                it->messageSince.start();
        };
        connect(socket, &QWebSocket::textFrameReceived, this,
                [fragment](const QString &, bool isLastFrame) { fragment(isLastFrame); });
        connect(socket, &QWebSocket::binaryFrameReceived, this,
                [fragment](const QByteArray &, bool isLastFrame) { fragment(isLastFrame); });
        connect(socket, &QWebSocket::disconnected, this, [this, clientId]() { onSocketDisconnected(clientId); });
        connect(tcp, &QTcpSocket::readyRead, this, [this, clientId]() {
            auto it = m_clients.find(clientId);
            if (it != m_clients.end() && it->tcp && it->tcp->bytesAvailable() > 0 && !it->bytesSince.isValid())
                it->bytesSince.start();
        });
        m_clients.insert(clientId, client);
        if (m_connectLog.allow(QtDebugMsg))
            qCDebug(dcJsonRpc()) << "WebSocket client connected" << clientId.toString() << peer;
        emit clientConnected(clientId);
    }
}

QString JsonRpcWebSocketTransport::peer(const QUuid &clientId) const
{
    return m_clients.value(clientId).peer;
}

void JsonRpcWebSocketTransport::setMaxLineLength(const QUuid &clientId, int bytes)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->state == State::Closed)
        return;
    it->maxLineLength = bytes;
    it->socket->setMaxAllowedIncomingFrameSize(static_cast<quint64>(bytes));
    it->socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(bytes));
    updateThrottle(*it);
}

void JsonRpcWebSocketTransport::updateThrottle(Client &client)
{
    if (!client.tcp)
        return;
    const bool throttle = client.paused || client.queuedBytes >= handOutChunk;
    if (throttle == client.throttled && throttle)
        return;
    client.throttled = throttle;
    // A read buffer of one byte keeps the rest in the kernel; the full one
    // holds the longest frame the client may send.
    client.tcp->setReadBufferSize(throttle ? 1 : client.maxLineLength + frameHeaderLength);
}

void JsonRpcWebSocketTransport::setReceiving(const QUuid &clientId, bool receiving)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->paused == !receiving)
        return;
    it->paused = !receiving;
    it->bytesSince.invalidate();
    it->messageSince.invalidate();
    updateThrottle(*it);
    // Later: the caller may be handling one of this client's lines.
    if (receiving)
        scheduleDelivery(clientId);
}

qint64 JsonRpcWebSocketTransport::unfinishedLineAge(const QUuid &clientId) const
{
    auto it = m_clients.constFind(clientId);
    if (it == m_clients.constEnd() || it->state != State::Open || it->throttled || !it->queue.isEmpty())
        return -1;
    qint64 age = -1;
    // Control frames are read whole: bytes still there belong to a frame
    // that has not arrived.
    if (it->bytesSince.isValid() && it->tcp && it->tcp->bytesAvailable() > 0)
        age = it->bytesSince.elapsed();
    if (it->messageSince.isValid())
        age = qMax(age, it->messageSince.elapsed());
    return age;
}

void JsonRpcWebSocketTransport::onMessage(const QUuid &clientId, const QByteArray &message)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end())
        return;
    it->messageSince.invalidate();
    if (it->tcp && it->tcp->bytesAvailable() > 0)
        it->bytesSince.start();
    else
        it->bytesSince.invalidate();
    if (it->state != State::Open || isBlank(message))
        return;
    it->queue.append(message);
    it->queuedBytes += message.size();
    updateThrottle(*it);
    scheduleDelivery(clientId);
}

void JsonRpcWebSocketTransport::scheduleDelivery(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->deliveryScheduled)
        return;
    it->deliveryScheduled = true;
    QMetaObject::invokeMethod(
            this, [this, clientId]() { deliver(clientId); }, Qt::QueuedConnection);
}

void JsonRpcWebSocketTransport::deliver(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end())
        return;
    it->deliveryScheduled = false;
    qint64 handedOut = 0;
    while (handedOut < handOutChunk) {
        // Receivers may disconnect the client (or others) while handling a
        // line: look it up again each round.
        it = m_clients.find(clientId);
        if (it == m_clients.end() || it->state != State::Open || it->paused || it->queue.isEmpty())
            break;
        const QByteArray message = it->queue.takeFirst();
        it->queuedBytes -= message.size();
        handedOut += message.size();
        emit lineReceived(clientId, message);
    }
    it = m_clients.find(clientId);
    if (it == m_clients.end() || it->state != State::Open)
        return;
    updateThrottle(*it);
    if (it->paused)
        return;
    if (!it->queue.isEmpty()) {
        scheduleDelivery(clientId);
        return;
    }
    if (it->inputClosed)
        emit inputClosed(clientId);
}

bool JsonRpcWebSocketTransport::sendLine(const QUuid &clientId, const QByteArray &line)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->state != State::Open || it->inputClosed || !it->tcp
        || it->socket->state() != QAbstractSocket::ConnectedState)
        return false;
    const qint64 pending = it->tcp->bytesToWrite();
    if (pending > 0 && pending + line.size() > maxPendingBytes) {
        if (m_dropLog.allow(QtWarningMsg))
            qCWarning(dcJsonRpc()) << "WebSocket client" << clientId.toString() << it->peer
                                   << "does not read its messages; disconnecting it";
        abortClient(clientId);
        return false;
    }
    it->socket->sendTextMessage(QString::fromUtf8(line));
    return true;
}

void JsonRpcWebSocketTransport::onSocketDisconnected(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->state == State::Closed)
        return;
    if (it->state == State::Closing) {
        finish(clientId);
        return;
    }
    if (it->socket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData && !it->closedByUs) {
        if (m_dropLog.allow(QtWarningMsg))
            qCWarning(dcJsonRpc()) << "WebSocket client" << clientId.toString() << it->peer
                                   << "sent a message longer than" << it->maxLineLength << "bytes; disconnected it";
        it->queue.clear();
        it->queuedBytes = 0;
        emit lineTooLong(clientId);
        finish(clientId);
        return;
    }
    // What it sent before it closed is still handed out.
    it->inputClosed = true;
    if (!it->paused)
        scheduleDelivery(clientId);
}

void JsonRpcWebSocketTransport::disconnectClient(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->state != State::Open)
        return;
    it->state = State::Closing;
    it->closedByUs = true;
    it->queue.clear();
    it->queuedBytes = 0;
    it->closingSince.start();
    if (it->socket->state() != QAbstractSocket::ConnectedState) {
        finish(clientId);
        return;
    }
    // The close frame follows what is queued.
    it->socket->close(QWebSocketProtocol::CloseCodeNormal);
}

void JsonRpcWebSocketTransport::abortClient(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it != m_clients.end() && it->state != State::Closed)
        finish(clientId);
}

void JsonRpcWebSocketTransport::setAccepting(bool accepting)
{
    if (m_accepting == accepting)
        return;
    m_accepting = accepting;
    // Later: the caller is in the middle of handling a client.
    if (accepting && !m_waiting.isEmpty())
        QMetaObject::invokeMethod(this, &JsonRpcWebSocketTransport::admitWaiting, Qt::QueuedConnection);
}

void JsonRpcWebSocketTransport::sweep()
{
    // One timer for all: request heads that do not come, answers nobody
    // reads, clients that do not close.
    const QList<QTcpSocket *> requests = m_requests.keys();
    for (QTcpSocket *socket : requests) {
        const Request request = m_requests.value(socket);
        const int limit = request.answered ? closeTimeout : m_requestTimeout;
        if (request.since.elapsed() < limit)
            continue;
        forgetRequest(socket);
        socket->abort();
        socket->deleteLater();
    }
    for (auto it = m_handedOver.begin(); it != m_handedOver.end();) {
        if (it->socket && it->since.elapsed() < m_requestTimeout + closeTimeout) {
            ++it;
            continue;
        }
        if (it->socket) {
            it->socket->abort();
            it->socket->deleteLater();
        }
        it = m_handedOver.erase(it);
    }
    const QList<QUuid> ids = m_clients.keys();
    for (const QUuid &id : ids) {
        const Client &client = m_clients[id];
        if (client.state == State::Closing && client.closingSince.elapsed() >= closeTimeout)
            finish(id);
    }
}

void JsonRpcWebSocketTransport::finish(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    it->state = State::Closed;
    it->queue.clear();
    it->queuedBytes = 0;
    it->socket->disconnect(this);
    if (it->tcp)
        it->tcp->disconnect(this);
    it->socket->abort();
    // The web socket first: it still refers to the socket under it.
    it->socket->deleteLater();
    if (it->tcp)
        it->tcp->deleteLater();
    // Later: callers may be walking their client lists right now.
    QMetaObject::invokeMethod(
            this,
            [this, clientId]() {
                if (!m_clients.remove(clientId))
                    return;
                if (m_disconnectLog.allow(QtDebugMsg))
                    qCDebug(dcJsonRpc()) << "WebSocket client disconnected" << clientId.toString();
                emit clientDisconnected(clientId);
            },
            Qt::QueuedConnection);
}
