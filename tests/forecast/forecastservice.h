#ifndef FORECASTSERVICE_H
#define FORECASTSERVICE_H

#include <QHash>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

// The estimate service on loopback, canned per request path (without the
// query): a status, a body and extra header lines. Status 0 never answers;
// a truncated answer announces its body and hangs up halfway. Paths without
// an answer of their own get 404.
class ForecastService : public QTcpServer
{
public:
    struct Answer {
        int status = 200;
        QByteArray body;
        QByteArray headers; // "Name: value\r\n" lines
        bool truncated = false;
    };

    QHash<QString, Answer> answers;
    QStringList requests; // "path?query" in order

    ForecastService()
    {
        connect(this, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket]() { onReadyRead(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    bool start() { return listen(QHostAddress::LocalHost) && (m_port = serverPort()) != 0; }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
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
        if (!request.contains("\r\n\r\n") || socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
        const QString target = QString::fromUtf8(request.split(' ').value(1)); // "GET <target> HTTP/1.1"
        requests.append(target);
        const Answer answer = answers.value(target.section(QLatin1Char('?'), 0, 0), Answer{404, "{}", {}, false});
        if (answer.status == 0)
            return;
        socket->write("HTTP/1.1 " + QByteArray::number(answer.status) + " Canned\r\nContent-Type: application/json\r\n"
                      + answer.headers + "Content-Length: " + QByteArray::number(answer.body.size())
                      + "\r\nConnection: close\r\n\r\n"
                      + (answer.truncated ? answer.body.left(answer.body.size() / 2) : answer.body));
        socket->disconnectFromHost();
    }

    quint16 m_port = 0;
};

#endif // FORECASTSERVICE_H
