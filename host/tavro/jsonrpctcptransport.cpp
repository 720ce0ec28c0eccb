#include "jsonrpctcptransport.h"
#include "jsonrpclogging.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <cerrno>
#include <functional>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Bytes taken from one client per read: a client with megabytes queued
// gets its turn again after everyone else had theirs.
const int readChunk = 64 * 1024;
// Replies are collected up to this much before they are written at once.
const int flushThreshold = 64 * 1024;

// Hands accepted connections over as plain descriptors.
class Listener : public QTcpServer
{
public:
    Listener(std::function<void(qintptr)> accepted, QObject *parent)
        : QTcpServer(parent),
          m_accepted(std::move(accepted))
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override { m_accepted(descriptor); }

private:
    std::function<void(qintptr)> m_accepted;
};

QString peerOf(int descriptor)
{
    sockaddr_storage address = {};
    socklen_t length = sizeof(address);
    if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QString();
    QHostAddress host(reinterpret_cast<const sockaddr *>(&address));
    quint16 port = 0;
    if (address.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    else if (address.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port);
    return host.toString() + QLatin1Char(':') + QString::number(port);
}

bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}

JsonRpcTcpTransport::JsonRpcTcpTransport(QObject *parent)
    : JsonRpcTransport(parent)
{
    m_closeSweep = new QTimer(this);
    connect(m_closeSweep, &QTimer::timeout, this, &JsonRpcTcpTransport::cutOffSlowClosers);
}

void JsonRpcTcpTransport::cutOffSlowClosers()
{
    // A peer that never reads what is left for it, or never closes its
    // side, is cut off after the timeout. One timer for all of them.
    bool closing = false;
    const QList<QUuid> ids = m_clients.keys();
    for (const QUuid &id : ids) {
        const Client &client = m_clients[id];
        if (client.state != State::Closing && client.state != State::Draining)
            continue;
        if (client.closingSince.elapsed() >= closeTimeout)
            finish(id);
        else
            closing = true;
    }
    if (!closing)
        m_closeSweep->stop();
}

JsonRpcTcpTransport::~JsonRpcTcpTransport()
{
    // Without signals: nobody listens any more.
    for (Client &client : m_clients)
        release(client);
    m_clients.clear();
    for (int fd : qAsConst(m_waiting))
        ::close(fd);
}

bool JsonRpcTcpTransport::listen(const QHostAddress &address, quint16 port)
{
    if (m_server)
        close();
    m_server = new Listener([this](qintptr descriptor) { onIncomingConnection(descriptor); }, this);
    if (!m_server->listen(address, port)) {
        m_errorString = m_server->errorString();
        qCWarning(dcJsonRpc()) << "Could not listen on" << address.toString() << port << m_errorString;
        delete m_server;
        m_server = nullptr;
        return false;
    }
    m_errorString.clear();
    qCInfo(dcJsonRpc()) << "JSON-RPC server listening on" << m_server->serverAddress().toString()
                        << m_server->serverPort();
    return true;
}

void JsonRpcTcpTransport::close()
{
    if (m_server) {
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    for (int fd : qAsConst(m_waiting))
        ::close(fd);
    m_waiting.clear();
    const QList<QUuid> ids = m_clients.keys();
    for (const QUuid &id : ids)
        disconnectClient(id);
}

bool JsonRpcTcpTransport::isListening() const
{
    return m_server && m_server->isListening();
}

quint16 JsonRpcTcpTransport::serverPort() const
{
    return m_server ? m_server->serverPort() : 0;
}

QHostAddress JsonRpcTcpTransport::serverAddress() const
{
    return m_server ? m_server->serverAddress() : QHostAddress();
}

QString JsonRpcTcpTransport::peer(const QUuid &clientId) const
{
    return m_clients.value(clientId).peer;
}

void JsonRpcTcpTransport::setMaxLineLength(const QUuid &clientId, int bytes)
{
    auto it = m_clients.find(clientId);
    if (it != m_clients.end())
        it->input.setMaxLineLength(bytes);
}

void JsonRpcTcpTransport::setReceiving(const QUuid &clientId, bool receiving)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->paused == !receiving)
        return;
    it->paused = !receiving;
    if (it->state != State::Open)
        return;
    // While held back nothing is read: the kernel holds the rest, and a
    // client that keeps sending is slowed down by TCP itself.
    if (!it->inputClosed)
        it->readNotifier->setEnabled(receiving);
    it->unfinishedSince.invalidate();
    if (!receiving)
        return;
    // Later: the caller may be handling one of this client's lines.
    QMetaObject::invokeMethod(
            this,
            [this, clientId]() {
                auto client = m_clients.find(clientId);
                if (client == m_clients.end() || client->paused || client->state != State::Open)
                    return;
                emitLines(clientId);
                client = m_clients.find(clientId);
                if (client != m_clients.end() && client->inputClosed && !client->paused)
                    onEndOfInput(clientId);
            },
            Qt::QueuedConnection);
}

void JsonRpcTcpTransport::setAccepting(bool accepting)
{
    if (m_accepting == accepting)
        return;
    m_accepting = accepting;
    // Later: the caller is in the middle of handling a client.
    if (accepting && !m_waiting.isEmpty())
        QMetaObject::invokeMethod(this, &JsonRpcTcpTransport::admitWaiting, Qt::QueuedConnection);
}

void JsonRpcTcpTransport::admitWaiting()
{
    while (m_accepting && !m_waiting.isEmpty())
        admit(m_waiting.takeFirst());
}

qint64 JsonRpcTcpTransport::unfinishedLineAge(const QUuid &clientId) const
{
    auto it = m_clients.constFind(clientId);
    if (it == m_clients.constEnd() || it->paused || it->state != State::Open || !it->unfinishedSince.isValid())
        return -1;
    return it->unfinishedSince.elapsed();
}

void JsonRpcTcpTransport::onIncomingConnection(qintptr descriptor)
{
    const int fd = static_cast<int>(descriptor);
    // The kernel hands over all it has at once; those that find no slot
    // wait here, in their order.
    if (!m_accepting || !m_waiting.isEmpty()) {
        if (m_waiting.count() >= maxWaiting) {
            ::close(fd);
            return;
        }
        m_waiting.append(fd);
        if (m_accepting)
            QMetaObject::invokeMethod(this, &JsonRpcTcpTransport::admitWaiting, Qt::QueuedConnection);
        return;
    }
    admit(fd);
}

void JsonRpcTcpTransport::admit(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    const int noDelay = 1;
    // Replies and notifications are small lines written back to back: do
    // not hold them back waiting for acknowledgements.
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0
        || ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay)) < 0) {
        ::close(fd);
        return;
    }
    const QUuid clientId = QUuid::createUuid();
    Client client;
    client.descriptor = fd;
    client.peer = peerOf(fd);
    client.readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    client.writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    client.writeNotifier->setEnabled(false);
    connect(client.readNotifier, &QSocketNotifier::activated, this, [this, clientId]() { onReadable(clientId); });
    connect(client.writeNotifier, &QSocketNotifier::activated, this, [this, clientId]() { onWritable(clientId); });
    m_clients.insert(clientId, client);
    if (m_connectLog.allow(QtDebugMsg))
        qCDebug(dcJsonRpc()) << "Client connected" << clientId.toString() << client.peer;
    emit clientConnected(clientId);
}

void JsonRpcTcpTransport::onReadable(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end())
        return;
    char chunk[readChunk];
    const ssize_t received = ::recv(it->descriptor, chunk, sizeof(chunk), 0);
    if (received < 0) {
        if (!wouldBlock())
            finish(clientId);
        return;
    }
    if (it->state == State::Draining || it->state == State::Closing) {
        // Nothing is read from a client on its way out; the end of its
        // stream ends the connection.
        if (received == 0) {
            it->inputClosed = true;
            if (it->state == State::Draining)
                finish(clientId);
            else
                it->readNotifier->setEnabled(false);
        }
        return;
    }
    if (it->state != State::Open)
        return;
    if (received == 0) {
        onEndOfInput(clientId);
        return;
    }
    it->input.append(chunk, static_cast<int>(received));
    emitLines(clientId);
}

void JsonRpcTcpTransport::emitLines(const QUuid &clientId)
{
    for (;;) {
        // Receivers may disconnect the client (or others) while handling a
        // line: look it up again each round.
        auto it = m_clients.find(clientId);
        if (it == m_clients.end() || it->state != State::Open || it->paused)
            return;
        QByteArray line;
        switch (it->input.takeLine(&line)) {
        case JsonRpcLineBuffer::NeedMore:
            // Only bytes of a line still to come are left.
            if (it->input.size() == 0)
                it->unfinishedSince.invalidate();
            else if (!it->unfinishedSince.isValid())
                it->unfinishedSince.start();
            return;
        case JsonRpcLineBuffer::LineTooLong: {
            if (m_dropLog.allow(QtWarningMsg))
                qCWarning(dcJsonRpc()) << "Client" << clientId.toString() << it->peer << "sent a line longer than"
                                       << it->input.maxLineLength() << "bytes; disconnecting it";
            it->input.clear();
            emit lineTooLong(clientId);
            disconnectClient(clientId);
            return;
        }
        case JsonRpcLineBuffer::LineReady:
            it->unfinishedSince.invalidate();
            emit lineReceived(clientId, line);
            break;
        }
    }
}

void JsonRpcTcpTransport::onEndOfInput(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    it->inputClosed = true;
    it->readNotifier->setEnabled(false);
    emitLines(clientId);
    it = m_clients.find(clientId);
    // A client whose lines are held back is finished once it is let go.
    if (it == m_clients.end() || it->state != State::Open || it->paused)
        return;
    // A last request without its line end still counts.
    const QByteArray rest = it->input.takeRest();
    if (!rest.isEmpty())
        emit lineReceived(clientId, rest);
    it = m_clients.find(clientId);
    if (it != m_clients.end() && it->state == State::Open)
        emit inputClosed(clientId);
}

bool JsonRpcTcpTransport::sendLine(const QUuid &clientId, const QByteArray &line)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->state != State::Open)
        return false;
    const qint64 pending = it->output.size() - it->outputOffset;
    if (pending > 0 && pending + line.size() + 1 > maxPendingBytes) {
        if (m_dropLog.allow(QtWarningMsg))
            qCWarning(dcJsonRpc()) << "Client" << clientId.toString() << it->peer
                                   << "does not read its messages; disconnecting it";
        abortClient(clientId);
        return false;
    }
    if (it->outputOffset > 0 && it->outputOffset == it->output.size()) {
        it->output.clear();
        it->outputOffset = 0;
    }
    it->output.append(line);
    it->output.append('\n');
    if (it->output.size() - it->outputOffset >= flushThreshold) {
        if (!flush(*it)) {
            abortClient(clientId);
            return false;
        }
    } else {
        // Written on the next turn of the event loop, together with what
        // else is sent until then.
        it->writeNotifier->setEnabled(true);
    }
    return true;
}

bool JsonRpcTcpTransport::flush(Client &client)
{
    while (client.outputOffset < client.output.size()) {
        const ssize_t sent = ::send(client.descriptor, client.output.constData() + client.outputOffset,
                                    static_cast<size_t>(client.output.size() - client.outputOffset), MSG_NOSIGNAL);
        if (sent < 0) {
            if (!wouldBlock())
                return false;
            client.writeNotifier->setEnabled(true);
            return true;
        }
        client.outputOffset += static_cast<int>(sent);
    }
    // All gone: the memory too.
    client.output = QByteArray();
    client.outputOffset = 0;
    client.writeNotifier->setEnabled(false);
    return true;
}

void JsonRpcTcpTransport::onWritable(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->state == State::Closed)
        return;
    if (!flush(*it)) {
        finish(clientId);
        return;
    }
    if (it->state == State::Closing && it->output.isEmpty())
        shutDownOutput(clientId);
}

void JsonRpcTcpTransport::disconnectClient(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->state != State::Open)
        return;
    it->state = State::Closing;
    it->input.clear();
    it->closingSince.start();
    if (!m_closeSweep->isActive())
        m_closeSweep->start(closeTimeout / 5);
    if (it->output.size() == it->outputOffset)
        shutDownOutput(clientId);
    else
        it->writeNotifier->setEnabled(true);
}

void JsonRpcTcpTransport::shutDownOutput(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    it->writeNotifier->setEnabled(false);
    if (it->inputClosed || ::shutdown(it->descriptor, SHUT_WR) != 0) {
        finish(clientId);
        return;
    }
    // Closing with unread input would reset the connection, and the peer
    // could lose what was just sent: read until it closes its side.
    it->state = State::Draining;
    it->readNotifier->setEnabled(true);
}

void JsonRpcTcpTransport::abortClient(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it != m_clients.end() && it->state != State::Closed)
        finish(clientId);
}

void JsonRpcTcpTransport::finish(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    release(*it);
    it->state = State::Closed;
    // Later: callers may be walking their client lists right now.
    QMetaObject::invokeMethod(
            this,
            [this, clientId]() {
                if (!m_clients.remove(clientId))
                    return;
                if (m_disconnectLog.allow(QtDebugMsg))
                    qCDebug(dcJsonRpc()) << "Client disconnected" << clientId.toString();
                emit clientDisconnected(clientId);
            },
            Qt::QueuedConnection);
}

void JsonRpcTcpTransport::release(Client &client)
{
    // The notifiers go first: they must not watch a closed descriptor. Not
    // deleted here, this may run inside one of their own signals.
    for (QSocketNotifier *notifier : {client.readNotifier, client.writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->disconnect();
            notifier->deleteLater();
        }
    }
    client.readNotifier = nullptr;
    client.writeNotifier = nullptr;
    if (client.descriptor >= 0)
        ::close(client.descriptor);
    client.descriptor = -1;
    client.input.clear();
    client.output = QByteArray();
    client.outputOffset = 0;
}
