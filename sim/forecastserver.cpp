#include "forecastserver.h"
#include "scenario.h"

#include "tavro/tavroclock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimeZone>

namespace {

const int periodSeconds = 3600;

QString key(const QDateTime &time)
{
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// The local time of a fractional hour of the day, to the minute.
QDateTime atHour(const QDate &date, double hour)
{
    const int minutes = qBound(0, qRound(hour * 60.0), 24 * 60 - 1);
    return QDateTime(date, QTime(minutes / 60, minutes % 60));
}

QByteArray httpResponse(int status, const QByteArray &reason, const QByteArray &body, const QByteArray &headers = {})
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
           + "\r\nContent-Type: application/json\r\nConnection: close\r\n" + headers
           + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

}

ForecastServer::ForecastServer(const Scenario &scenario, QObject *parent)
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
                answer(socket, socket->readAll());
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

bool ForecastServer::start()
{
    return listen(QHostAddress::LocalHost, 0);
}

QString ForecastServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(serverPort());
}

double ForecastServer::noiseFactor(const QDateTime &time) const
{
    if (m_scenario.forecast.noise <= 0)
        return 1.0;
    // The same hour of the same day moves the same way on every request.
    const quint64 hour =
            static_cast<quint64>(time.date().toJulianDay()) * 24 + static_cast<quint64>(time.time().hour());
    auto known = m_noiseByHour.constFind(hour);
    if (known != m_noiseByHour.constEnd())
        return known.value();
    QRandomGenerator random(static_cast<quint32>(m_scenario.forecast.seed ^ (hour * 2654435761u)));
    const double factor = 1.0 + m_scenario.forecast.noise * (2.0 * random.generateDouble() - 1.0);
    m_noiseByHour.insert(hour, factor);
    return factor;
}

double ForecastServer::forecastPower(const QDateTime &time) const
{
    const Scenario::Forecast &forecast = m_scenario.forecast;
    const int day = static_cast<int>(m_scenario.start.date().daysTo(time.date()));
    return m_scenario.clearSkyPower(time) * m_scenario.meanCloudFactor()
           * m_scenario.pvDayFactor(day - forecast.lateByDays) * forecast.bias * noiseFactor(time);
}

QByteArray ForecastServer::estimate(double kwp, const QDateTime &now) const
{
    double totalKwp = 0;
    for (const Scenario::ForecastPlane &plane : m_scenario.forecast.planes)
        totalKwp += plane.kwp;
    const double share = totalKwp > 0 ? kwp / totalKwp : 0.0;

    QJsonObject watts;
    QJsonObject periods;
    QJsonObject cumulative;
    QJsonObject days;
    for (int d = 0; d < 2; d++) {
        const QDate date = now.date().addDays(d);
        // Sunrise, the whole hours of the day, sunset.
        QList<QDateTime> stamps{atHour(date, m_scenario.sunrise)};
        for (int hour = static_cast<int>(m_scenario.sunrise) + 1; hour < m_scenario.sunset; hour++)
            stamps.append(QDateTime(date, QTime(hour, 0)));
        stamps.append(atHour(date, m_scenario.sunset));
        double dayEnergy = 0;
        for (int i = 0; i < stamps.count(); i++) {
            const QDateTime &stamp = stamps.at(i);
            // The energy since the day's previous timestamp, minute by
            // minute as the household runs.
            double energy = 0;
            for (QDateTime minute = i > 0 ? stamps.at(i - 1) : stamp; minute < stamp; minute = minute.addSecs(60))
                energy += forecastPower(minute) * share / 60.0;
            dayEnergy += energy;
            watts.insert(key(stamp), qRound(forecastPower(stamp) * share));
            periods.insert(key(stamp), qRound(energy));
            cumulative.insert(key(stamp), qRound(dayEnergy));
        }
        days.insert(date.toString(QStringLiteral("yyyy-MM-dd")), qRound(dayEnergy));
    }

    QJsonObject info{{QStringLiteral("place"), QStringLiteral("Simulated household")}};
    // The zone the household's clock runs in, when it has a name.
    if (QTimeZone(m_scenario.timeZone).isValid())
        info.insert(QStringLiteral("timezone"), QString::fromUtf8(m_scenario.timeZone));
    else if (m_scenario.timeZone == "UTC0")
        info.insert(QStringLiteral("timezone"), QStringLiteral("UTC"));
    const QJsonObject result{{QStringLiteral("watts"), watts},
                             {QStringLiteral("watt_hours_period"), periods},
                             {QStringLiteral("watt_hours"), cumulative},
                             {QStringLiteral("watt_hours_day"), days}};
    const QJsonObject message{
            {QStringLiteral("code"), 0},
            {QStringLiteral("type"), QStringLiteral("success")},
            {QStringLiteral("text"), QString()},
            {QStringLiteral("info"), info},
            {QStringLiteral("ratelimit"), QJsonObject{{QStringLiteral("period"), periodSeconds},
                                                      {QStringLiteral("limit"), callsPerHour},
                                                      {QStringLiteral("remaining"), callsPerHour - m_calls.count()}}}};
    return QJsonDocument(QJsonObject{{QStringLiteral("result"), result}, {QStringLiteral("message"), message}})
            .toJson(QJsonDocument::Compact);
}

void ForecastServer::answer(QTcpSocket *socket, const QByteArray &request)
{
    m_requestCount++;
    const QDateTime now = TavroClock::currentDateTime();
    while (!m_calls.isEmpty() && m_calls.first().secsTo(now) >= periodSeconds)
        m_calls.removeFirst();

    // "GET [/KEY]/estimate/LAT/LON/DEC/AZ/KWP[?horizon=…] HTTP/1.1"
    const QStringList path = QString::fromUtf8(request.split(' ').value(1))
                                     .section(QLatin1Char('?'), 0, 0)
                                     .split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const int estimate = path.indexOf(QStringLiteral("estimate"));
    bool kwpOk = false;
    const double kwp = path.value(estimate + 5).toDouble(&kwpOk);
    if (estimate < 0 || estimate > 1 || path.count() != estimate + 6 || !kwpOk) {
        socket->write(
                httpResponse(404, "Not Found",
                             R"({"result": null, "message": {"code": 404, "type": "error", "text": "Not found"}})"));
        socket->disconnectFromHost();
        return;
    }
    if (m_calls.count() >= callsPerHour) {
        m_refusedCount++;
        const qint64 wait = qMax<qint64>(1, periodSeconds - m_calls.first().secsTo(now));
        socket->write(httpResponse(
                429, "Too Many Requests",
                R"({"result": null, "message": {"code": 429, "type": "error", "text": "Rate limit for API calls reached.", "ratelimit": {"period": 3600, "limit": 12, "remaining": 0}}})",
                "Retry-After: " + QByteArray::number(wait) + "\r\n"));
        socket->disconnectFromHost();
        return;
    }
    m_calls.append(now);
    socket->write(httpResponse(200, "OK", this->estimate(kwp, now)));
    socket->disconnectFromHost();
}
