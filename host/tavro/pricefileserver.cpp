#include "pricefileserver.h"

#include <QFile>
#include <QTcpSocket>

namespace {

// A request header larger than this is no request of the price provider.
const int maxHeader = 16 * 1024;
// Price files hold a few days of slots; anything far larger is a mistake.
const qint64 maxFile = 16 * 1024 * 1024;

}

PriceFileServer::PriceFileServer(const QString &fileName, QObject *parent)
    : QTcpServer(parent),
      m_fileName(fileName)
{
    connect(this, &QTcpServer::newConnection, this, [this]() {
        while (QTcpSocket *socket = nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket]() {
                if (socket->property("answered").toBool())
                    return;
                const QByteArray header = socket->peek(maxHeader + 1);
                if (!header.contains("\r\n\r\n") && header.size() <= maxHeader)
                    return;
                socket->setProperty("answered", true);
                answer(socket);
            });
        }
    });
}

bool PriceFileServer::start()
{
    return listen(QHostAddress::LocalHost, 0);
}

QString PriceFileServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(serverPort());
}

void PriceFileServer::answer(QTcpSocket *socket)
{
    QFile file(m_fileName);
    QByteArray status = "200 OK";
    QByteArray body;
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxFile) {
        status = "503 Service Unavailable";
        body = "{\"error\":\"the price file cannot be read\"}";
    } else {
        body = file.readAll();
    }
    socket->write("HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: "
                  + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    socket->disconnectFromHost();
}
