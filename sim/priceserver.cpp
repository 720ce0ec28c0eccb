#include "priceserver.h"
#include "scenario.h"

#include "tavro/tavroclock.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimeZone>
#include <QUrlQuery>

PriceServer::PriceServer(const Scenario &scenario, QObject *parent)
    : QTcpServer(parent),
      m_scenario(scenario)
{
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

void PriceServer::publishedRange(int *fromMinute, int *toMinute) const
{
    const Scenario &scenario = m_scenario;
    *fromMinute = 0;
    if (scenario.random.enabled) {
        // A long run gets what a market publishes: yesterday (from the
        // first day on), today and tomorrow, so old prices have to go and
        // new ones come in.
        const int day =
                static_cast<int>(QDateTime(scenario.start.date(), QTime(0, 0)).daysTo(TavroClock::currentDateTime()));
        *fromMinute = qMax(0, day - 1) * 1440;
        *toMinute = (day + 2) * 1440;
    } else if (scenario.dayAheadMinuteOfDay >= 0) {
        // Tomorrow's prices only once the market has published them.
        const int minute = static_cast<int>(scenario.start.secsTo(TavroClock::currentDateTime()) / 60);
        *toMinute = scenario.pricesKnownUntilOffset(minute);
    } else {
        // From midnight of the first day to the end of the day after the run.
        *toMinute = ((scenario.startOffsetMinutes() + scenario.durationMinutes) / 1440 + 2) * 1440;
    }
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

QByteArray PriceServer::energyChartsBody(const QByteArray &query, int fromMinute, int toMinute, int *status) const
{
    const Scenario &scenario = m_scenario;
    const QUrlQuery items(QString::fromUtf8(query));
    if (items.queryItemValue(QStringLiteral("bzn")) != scenario.priceZone) {
        *status = 404;
        return QByteArrayLiteral("{\"detail\":\"Not Found\"}");
    }
    // Dates only, as the service takes them.
    auto date = [&items](const QString &key) {
        const QString text = items.queryItemValue(key);
        return text.size() == 10 ? QDate::fromString(text, Qt::ISODate) : QDate();
    };
    const QDate startDate = date(QStringLiteral("start"));
    const QDate endDate = date(QStringLiteral("end"));
    if (!startDate.isValid() || !endDate.isValid()) {
        *status = 400;
        return QByteArrayLiteral("{\"detail\":\"start and end must be dates\"}");
    }

    // The service's days are Central European ones.
    QTimeZone serviceZone(QByteArrayLiteral("Europe/Berlin"));
    if (!serviceZone.isValid())
        serviceZone = QTimeZone(3600);
    const QDateTime first = scenario.firstMidnight();
    const int resolution = scenario.priceResolutionMinutes;
    const qint64 rangeStart = first.secsTo(QDateTime(startDate, QTime(0, 0), serviceZone)) / 60;
    const qint64 rangeEnd = first.secsTo(QDateTime(endDate.addDays(1), QTime(0, 0), serviceZone)) / 60;
    int from = static_cast<int>(qBound<qint64>(fromMinute, rangeStart, toMinute));
    from = (from + resolution - 1) / resolution * resolution;
    const int to = static_cast<int>(qBound<qint64>(fromMinute, rangeEnd, toMinute));
    if (from >= to) {
        *status = 404;
        return QByteArrayLiteral("{\"detail\":\"No data for the requested range\"}");
    }

    QJsonArray seconds;
    QJsonArray prices;
    for (int minute = from; minute < to; minute += resolution) {
        seconds.append(first.addSecs(minute * 60).toSecsSinceEpoch());
        prices.append(scenario.priceAtOffset(minute));
    }
    QJsonObject reply;
    reply.insert(QStringLiteral("license_info"), QStringLiteral("Simulated prices of the household simulator"));
    reply.insert(QStringLiteral("unix_seconds"), seconds);
    reply.insert(QStringLiteral("price"), prices);
    reply.insert(QStringLiteral("unit"), QStringLiteral("EUR / MWh"));
    reply.insert(QStringLiteral("deprecated"), false);
    *status = 200;
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

QByteArray PriceServer::respond(const QByteArray &target, int *status)
{
    m_requestCount++;
    int from = 0;
    int to = 0;
    publishedRange(&from, &to);
    const QByteArray path = target.split('?').value(0);
    if (m_scenario.priceProvider == QLatin1String("awattar") && path == "/v1/marketdata") {
        *status = 200;
        return body(from, to);
    }
    if (m_scenario.priceProvider == QLatin1String("energy-charts") && path == "/price")
        return energyChartsBody(target.mid(path.size() + 1), from, to, status);
    *status = 404;
    return QByteArrayLiteral("{\"detail\":\"Not Found\"}");
}

void PriceServer::answer(QTcpSocket *socket)
{
    // "GET <target> HTTP/1.1"
    const QByteArray target = socket->readAll().split('\r').value(0).split(' ').value(1);
    int status = 404;
    const QByteArray payload = respond(target, &status);
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Error")
                          + "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: ";
    response += QByteArray::number(payload.size()) + "\r\n\r\n" + payload;
    socket->write(response);
    socket->disconnectFromHost();
}
