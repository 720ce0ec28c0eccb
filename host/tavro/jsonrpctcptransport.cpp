#include "jsonrpctcptransport.h"
#include "jsonrpclogging.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

JsonRpcTcpTransport::JsonRpcTcpTransport(QObject *parent) : QObject(parent)
{
}

JsonRpcTcpTransport::~JsonRpcTcpTransport()
{
    // Sockets go without signals: nobody listens to them any more.
    for (const Client &client : qAsConst(m_clients)) {
        client.socket->disconnect(this);
        delete client.socket;
    }
    m_clients.clear();
}

bool JsonRpcTcpTransport::listen(const QHostAddress &address, quint16 port)
{
    if (m_server)
        close();
    m_server = new QTcpServer(this);
    connect(m_server, &QTcpServer::newConnection, this, &JsonRpcTcpTransport::onNewConnection);
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

bool JsonRpcTcpTransport::sendLine(const QUuid &clientId, const QByteArray &line)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->closing)
        return false;
    if (it->socket->bytesToWrite() + line.size() > maxPendingBytes) {
        qCWarning(dcJsonRpc()) << "Client" << clientId.toString() << "does not read its messages; disconnecting it";
        it->closing = true;
        it->buffer.clear();
        // Later: callers may be walking their client lists right now.
        QTimer::singleShot(0, it->socket, &QTcpSocket::abort);
        return false;
    }
    it->socket->write(line + '\n');
    return true;
}

void JsonRpcTcpTransport::disconnectClient(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end() || it->closing)
        return;
    it->closing = true;
    it->buffer.clear();
    // May emit disconnected() right away when nothing is left to write.
    it->socket->disconnectFromHost();
}

void JsonRpcTcpTransport::onNewConnection()
{
    while (m_server && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        socket->setParent(this);
        // Replies and notifications are small lines written back to back:
        // do not hold them back waiting for acknowledgements.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const QUuid clientId = QUuid::createUuid();
        Client client;
        client.socket = socket;
        m_clients.insert(clientId, client);
        connect(socket, &QTcpSocket::readyRead, this, [this, clientId]() { onReadyRead(clientId); });
        connect(socket, &QTcpSocket::disconnected, this, [this, clientId]() { onDisconnected(clientId); });
        qCDebug(dcJsonRpc()) << "Client connected" << clientId.toString() << socket->peerAddress().toString();
        emit clientConnected(clientId);
        // Data that came with the connection is read on the first readyRead.
    }
}

void JsonRpcTcpTransport::onReadyRead(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end())
        return;
    QTcpSocket *socket = it->socket;
    const QByteArray data = socket->readAll();
    if (it->closing)
        return;
    it->buffer.append(data);

    for (;;) {
        // Receivers may disconnect the client (or others) while handling a
        // line: look it up again each round.
        it = m_clients.find(clientId);
        if (it == m_clients.end() || it->closing)
            return;
        const int newline = it->buffer.indexOf('\n');
        const int lineLength = newline < 0 ? it->buffer.size() : newline;
        if (lineLength > maxLineLength) {
            qCWarning(dcJsonRpc()) << "Client" << clientId.toString() << "sent a line longer than" << maxLineLength
                                   << "bytes; disconnecting it";
            it->buffer.clear();
            emit lineTooLong(clientId);
            disconnectClient(clientId);
            return;
        }
        if (newline < 0)
            return;
        QByteArray line = it->buffer.left(newline);
        it->buffer.remove(0, newline + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        emit lineReceived(clientId, line);
    }
}

void JsonRpcTcpTransport::onDisconnected(const QUuid &clientId)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end())
        return;
    QTcpSocket *socket = it->socket;
    m_clients.erase(it);
    socket->disconnect(this);
    // Not delete: this may run inside one of the socket's own signals.
    socket->deleteLater();
    qCDebug(dcJsonRpc()) << "Client disconnected" << clientId.toString();
    emit clientDisconnected(clientId);
}
