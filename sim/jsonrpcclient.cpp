#include "jsonrpcclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

JsonRpcClient::JsonRpcClient(QObject *parent)
    : QObject(parent)
{
}

bool JsonRpcClient::connectToServer(quint16 port, int timeoutMs)
{
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    QElapsedTimer timer;
    timer.start();
    while (m_socket.state() != QAbstractSocket::ConnectedState && timer.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return m_socket.state() == QAbstractSocket::ConnectedState;
}

QVariantMap JsonRpcClient::call(const QString &method, const QVariantMap &params, int timeoutMs)
{
    const int id = m_nextId++;
    m_lastReply = QJsonObject();
    QJsonObject request;
    request.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    request.insert(QStringLiteral("id"), id);
    request.insert(QStringLiteral("method"), method);
    request.insert(QStringLiteral("params"), QJsonObject::fromVariantMap(params));
    m_socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    m_socket.flush();

    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        m_buffer += m_socket.readAll();
        int newline;
        while ((newline = m_buffer.indexOf('\n')) >= 0) {
            const QByteArray line = m_buffer.left(newline);
            m_buffer.remove(0, newline + 1);
            const QJsonDocument document = QJsonDocument::fromJson(line);
            const QJsonObject reply = document.object();
            if (reply.value(QStringLiteral("id")).toInt(-1) != id) {
                const bool notification = !reply.contains(QStringLiteral("id"))
                                          && reply.value(QStringLiteral("jsonrpc")).toString() == QLatin1String("2.0")
                                          && reply.value(QStringLiteral("method")).isString()
                                          && reply.value(QStringLiteral("params")).isObject();
                if (!document.isObject() || !notification)
                    m_strayLines++;
                continue;
            }
            m_lastReply = reply;
            // Notifications can pile up between calls; a burst must not
            // leave its capacity behind.
            if (m_buffer.isEmpty())
                m_buffer = QByteArray();
            if (reply.contains(QStringLiteral("error"))) {
                m_errorString =
                        reply.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString();
                return {};
            }
            m_errorString.clear();
            return reply.value(QStringLiteral("result")).toObject().toVariantMap();
        }
    }
    m_errorString = QStringLiteral("No answer to %1").arg(method);
    return {};
}
