#include "priceserver.h"
#include "scenario.h"

#include "tavro/tavroclock.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

PriceServer::PriceServer(const Scenario &scenario, QObject *parent)
    : QTcpServer(parent),
      m_scenario(scenario)
{
    // From midnight of the first day to the end of the day after the run.
    m_body = body(0, ((scenario.startOffsetMinutes() + scenario.durationMinutes) / 1440 + 2) * 1440);

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

QByteArray PriceServer::body(int fromMinute, int toMinute) const
{
    const Scenario &scenario = m_scenario;
    // Slots follow real time from the first midnight: a night the clocks
    // change has 23 or 25 of them, as a market publishes it.
    const QDateTime first = scenario.firstMidnight();
    QJsonArray data;
    for (int minute = fromMinute; minute < toMinute; minute += scenario.priceResolutionMinutes) {
        QJsonObject slot;
        slot.insert(QStringLiteral("start_timestamp"), first.addSecs(minute * 60).toMSecsSinceEpoch());
        slot.insert(QStringLiteral("end_timestamp"),
                    first.addSecs((minute + scenario.priceResolutionMinutes) * 60).toMSecsSinceEpoch());
        slot.insert(QStringLiteral("marketprice"), scenario.priceAtOffset(minute));
        slot.insert(QStringLiteral("unit"), QStringLiteral("Eur/MWh"));
        data.append(slot);
    }
    QJsonObject reply;
    reply.insert(QStringLiteral("object"), QStringLiteral("list"));
    reply.insert(QStringLiteral("data"), data);
    reply.insert(QStringLiteral("url"), QStringLiteral("/v1/marketdata"));
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

void PriceServer::answer(QTcpSocket *socket)
{
    m_requestCount++;
    if (m_scenario.random.enabled) {
        // A long run gets what a market publishes: yesterday (from the
        // first day on), today and tomorrow, so old prices have to go and
        // new ones come in.
        const int day =
                static_cast<int>(QDateTime(m_scenario.start.date(), QTime(0, 0)).daysTo(TavroClock::currentDateTime()));
        m_body = body(qMax(0, day - 1) * 1440, (day + 2) * 1440);
    } else if (m_scenario.dayAheadMinuteOfDay >= 0) {
        // Tomorrow's prices only once the market has published them.
        const int minute = static_cast<int>(m_scenario.start.secsTo(TavroClock::currentDateTime()) / 60);
        m_body = body(0, m_scenario.pricesKnownUntilOffset(minute));
    }
    QByteArray response = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: ";
    response += QByteArray::number(m_body.size()) + "\r\n\r\n" + m_body;
    socket->write(response);
    socket->disconnectFromHost();
}
