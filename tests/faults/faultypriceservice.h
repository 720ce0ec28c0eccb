#ifndef FAULTYPRICESERVICE_H
#define FAULTYPRICESERVICE_H

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

// The market-data service on loopback, switchable between a sound answer and
// the ways a real one fails. While Refused, nothing listens on its port.
class FaultyPriceService : public QObject
{
public:
    enum Mode {
        Good,        // 200 with the body
        Refused,     // the port is closed: connection refused
        Silent,      // accepts and reads, never answers
        Truncated,   // announces the body, sends half of it, hangs up
        ServerError, // 503
        Garbage,     // 200 with bytes that are no JSON
        ErrorObject  // 200 with a JSON error object and no data array
    };

    FaultyPriceService()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket]() { onReadyRead(socket); });
            }
        });
    }

    bool start()
    {
        if (!m_server.listen(QHostAddress::LocalHost, m_port))
            return false;
        m_port = m_server.serverPort();
        return true;
    }

    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

    void setMode(Mode mode, const QByteArray &body = QByteArray())
    {
        m_mode = mode;
        m_body = body;
        if (mode == Refused)
            m_server.close();
        else if (!m_server.isListening())
            m_server.listen(QHostAddress::LocalHost, m_port);
    }

    int answered() const { return m_answered; }

private:
    void onReadyRead(QTcpSocket *socket)
    {
        const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n") || m_mode == Silent)
            return;
        m_answered++;

        QByteArray status = "200 OK";
        QByteArray body = m_body;
        switch (m_mode) {
        case ServerError:
            status = "503 Service Unavailable";
            body = "{\"error\": \"maintenance\"}";
            break;
        case Garbage:
            body = QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR<html>", 22);
            break;
        case ErrorObject:
            body = "{\"error\": {\"message\": \"rate limit exceeded\", \"code\": 429}}";
            break;
        default:
            break;
        }
        const QByteArray header = "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nContent-Length: "
                                  + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
        socket->write(header + (m_mode == Truncated ? body.left(body.size() / 2) : body));
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    quint16 m_port = 0;
    Mode m_mode = Good;
    QByteArray m_body;
    int m_answered = 0;
};

#endif // FAULTYPRICESERVICE_H
