#include "priceserver.h"
#include "scenario.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

PriceServer::PriceServer(const Scenario &scenario, QObject *parent) : QTcpServer(parent)
{
    // From midnight of the first day to the end of the day after the run.
    const QDateTime first(scenario.start.date(), QTime(0, 0));
    const int startOffset = scenario.start.time().hour() * 60 + scenario.start.time().minute();
    const int totalMinutes = ((startOffset + scenario.durationMinutes) / 1440 + 2) * 1440;
    QJsonArray data;
    for (int minute = 0; minute < totalMinutes; minute += scenario.priceResolutionMinutes) {
        QJsonObject slot;
        slot.insert(QStringLiteral("start_timestamp"), first.addSecs(minute * 60).toMSecsSinceEpoch());
        slot.insert(QStringLiteral("end_timestamp"),
                    first.addSecs((minute + scenario.priceResolutionMinutes) * 60).toMSecsSinceEpoch());
        slot.insert(QStringLiteral("marketprice"), scenario.priceAt(minute - startOffset));
        slot.insert(QStringLiteral("unit"), QStringLiteral("Eur/MWh"));
        data.append(slot);
    }
    QJsonObject reply;
    reply.insert(QStringLiteral("object"), QStringLiteral("list"));
    reply.insert(QStringLiteral("data"), data);
    reply.insert(QStringLiteral("url"), QStringLiteral("/v1/marketdata"));
    m_body = QJsonDocument(reply).toJson(QJsonDocument::Compact);

    connect(this, &QTcpServer::newConnection, this, [this]() {
        while (QTcpSocket *socket = nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket]() {
                // One request per connection; answer once the header is in.
                if (socket->property("answered").toBool() || !socket->peek(65536).contains("\r\n\r\n"))
                    return;
                socket->setProperty("answered", true);
                answer(socket);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

bool PriceServer::start()
{
    return listen(QHostAddress::LocalHost, 0);
}

QString PriceServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(serverPort());
}

void PriceServer::answer(QTcpSocket *socket)
{
    m_requestCount++;
    QByteArray response = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: ";
    response += QByteArray::number(m_body.size()) + "\r\n\r\n" + m_body;
    socket->write(response);
    socket->disconnectFromHost();
}
