#ifndef HTTPRESPONDER_H
#define HTTPRESPONDER_H

#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

// A tiny HTTP server on loopback: answers every request with a canned status
// and body, or (status 0) never answers.
class HttpResponder : public QTcpServer
{
public:
    int status = 404;
    QByteArray body;
    bool truncated = false; // announces the body, sends half of it, hangs up
    QByteArray headers;     // more header lines, each ending in "\r\n"
    // When set, the body for the request's path and query (may set status).
    std::function<QByteArray(const QString &path)> answer;
    QStringList paths; // of the requests received

    HttpResponder()
    {
        connect(this, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket *socket = nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket]() { onReadyRead(socket); });
        });
    }

    QString baseUrl() const { return QString("http://127.0.0.1:%1").arg(m_port); }
    bool start() { return listen(QHostAddress::LocalHost) && (m_port = serverPort()) != 0; }
    // While refusing, nothing listens on the port.
    bool setRefusing(bool refusing)
    {
        if (refusing)
            close();
        return refusing || isListening() || listen(QHostAddress::LocalHost, m_port);
    }

private:
    void onReadyRead(QTcpSocket *socket)
    {
        const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n"))
            return;

        paths.append(QString::fromUtf8(request.split(' ').value(1))); // "GET <path> HTTP/1.1"
        if (answer)
            body = answer(paths.last());
        if (status == 0)
            return;

        socket->write("HTTP/1.1 " + QByteArray::number(status)
                      + " Canned\r\nContent-Type: application/json\r\n"
                        "Content-Length: "
                      + QByteArray::number(body.size()) + "\r\nConnection: close\r\n" + headers + "\r\n"
                      + (truncated ? body.left(body.size() / 2) : body));
        socket->disconnectFromHost();
    }

    quint16 m_port = 0;
};

#endif // HTTPRESPONDER_H
