#ifndef JSONRPCCLIENT_H
#define JSONRPCCLIENT_H

#include <QJsonObject>
#include <QTcpSocket>
#include <QVariantMap>

// A minimal JSON-RPC 2.0 client over the host's newline-delimited TCP
// transport. call() waits for the answer while the event loop keeps
// running, so it also works against a server in the same thread.
class JsonRpcClient : public QObject
{
    Q_OBJECT
public:
    explicit JsonRpcClient(QObject *parent = nullptr);

    bool connectToServer(quint16 port, int timeoutMs = 5000);
    // The "result" object; on failure an empty map and errorString() says why.
    QVariantMap call(const QString &method, const QVariantMap &params = QVariantMap(), int timeoutMs = 5000);
    QString errorString() const { return m_errorString; }
    // The whole answer to the last call; empty when none came.
    const QJsonObject &lastReply() const { return m_lastReply; }
    // Lines that were neither the awaited answer nor a notification
    // ({"jsonrpc", "method", "params"} without an id): unreadable JSON,
    // answers to nobody's id, duplicates.
    int strayLines() const { return m_strayLines; }

private:
    QTcpSocket m_socket;
    QByteArray m_buffer;
    int m_nextId = 1;
    QString m_errorString;
    QJsonObject m_lastReply;
    int m_strayLines = 0;
};

#endif // JSONRPCCLIENT_H
