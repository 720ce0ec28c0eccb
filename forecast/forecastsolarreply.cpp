#include "forecastsolarreply.h"

#include <QDate>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QTimeZone>
#include <QVector>

#include <algorithm>
#include <cmath>

namespace {

// Rounding of the service's integers, Wh.
const double roundingWh = 1.0;
const qint64 hourMs = 3600000;
// A forecast for another century is no forecast.
const int firstYear = 2000;
const int lastYear = 2099;

struct Entry {
    qint64 instant = 0; // ms since the epoch
    QDate date;         // the site's local date
    double value = 0;
};

// Reads the site's local times: the named zone, or this system's local time.
class SiteClock
{
public:
    explicit SiteClock(const QString &zoneName)
        : m_zone(zoneName.toUtf8())
    {
        m_named = !zoneName.isEmpty() && m_zone.isValid();
    }

    // False for a time the clocks skip there.
    bool instant(const QDate &date, const QTime &time, qint64 *milliseconds) const
    {
        const QDateTime dateTime = m_named ? QDateTime(date, time, m_zone) : QDateTime(date, time, Qt::LocalTime);
        // A time the clocks skip does not exist: Qt makes it invalid (5.15)
        // or moves it past the gap.
        if (!dateTime.isValid() || dateTime.date() != date || dateTime.time() != time)
            return false;
        *milliseconds = dateTime.toMSecsSinceEpoch();
        return true;
    }

private:
    QTimeZone m_zone;
    bool m_named = false;
};

bool plausible(const QJsonValue &value, double maximum)
{
    return value.isDouble() && std::isfinite(value.toDouble()) && value.toDouble() >= 0
           && value.toDouble() <= maximum + roundingWh;
}

int boundedInteger(const QJsonValue &value, int maximum)
{
    if (!value.isDouble() || !std::isfinite(value.toDouble()) || value.toDouble() < 0)
        return -1;
    return static_cast<int>(qMin(value.toDouble(), static_cast<double>(maximum)));
}

// Reads one series' entries into *series in time order; the reason it is
// refused, else empty. maximum: the most a value may be (W or Wh).
QString readSeries(const QString &name, const QJsonObject &entries, bool daily, double maximum, double kwp,
                   const SiteClock &clock, QVector<Entry> *series)
{
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        const QString key = it.key();
        const QDate date = QDate::fromString(key.left(10), QStringLiteral("yyyy-MM-dd"));
        const QTime time = daily ? QTime(0, 0) : QTime::fromString(key.mid(11), QStringLiteral("HH:mm:ss"));
        const bool shaped = daily ? key.length() == 10 : key.length() == 19 && key.at(10) == QLatin1Char(' ');
        if (!shaped || !date.isValid() || !time.isValid() || date.year() < firstYear || date.year() > lastYear)
            return QStringLiteral("%1: unreadable timestamp \"%2\"").arg(name, key.left(40));
        if (!plausible(it.value(), maximum))
            return QStringLiteral("%1: implausible value at %2 for a plane of %3 kWp").arg(name, key).arg(kwp);
        Entry entry;
        entry.date = date;
        entry.value = it.value().toDouble();
        if (daily || clock.instant(date, time, &entry.instant))
            series->append(entry);
    }
    std::sort(series->begin(), series->end(), [](const Entry &a, const Entry &b) { return a.instant < b.instant; });
    return {};
}

// The periods between a day's consecutive timestamps into *periods, from
// the energies (fromEnergy) or the powers; the reason they are refused,
// else empty.
QString readPeriods(const QVector<Entry> &entries, bool fromEnergy, double maximumPower, double kwp,
                    const SiteClock &clock, SolarForecastSlots *periods)
{
    for (int i = 0; i < entries.count(); i++) {
        const Entry &entry = entries.at(i);
        const bool opensDay = i == 0 || entries.at(i - 1).date != entry.date;
        qint64 start = 0;
        double energy = 0;
        if (!opensDay) {
            const Entry &previous = entries.at(i - 1);
            start = previous.instant;
            energy = fromEnergy ? entry.value
                                : (previous.value + entry.value) / 2.0 * static_cast<double>(entry.instant - start)
                                          / static_cast<double>(hourMs);
        } else if (fromEnergy && entry.value > 0) {
            qint64 midnight = 0;
            start = entry.instant - hourMs;
            if (clock.instant(entry.date, QTime(0, 0), &midnight))
                start = qMax(start, midnight);
            energy = entry.value;
        } else {
            continue;
        }
        if (entry.instant <= start)
            continue;
        const double hours = static_cast<double>(entry.instant - start) / static_cast<double>(hourMs);
        if (energy > maximumPower * hours + roundingWh)
            return QStringLiteral("watt_hours_period: implausible energy %1 Wh in %2 h for a plane of %3 kWp")
                    .arg(energy)
                    .arg(hours)
                    .arg(kwp);
        periods->append(SolarForecastSlot(QDateTime::fromMSecsSinceEpoch(start),
                                          QDateTime::fromMSecsSinceEpoch(entry.instant), energy));
    }
    return {};
}
}

ForecastSolarReply ForecastSolarReply::parse(const QByteArray &body, double kwp)
{
    ForecastSolarReply reply;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        reply.m_errorString = QStringLiteral("invalid JSON: %1").arg(error.errorString());
        return reply;
    }
    if (!document.isObject()) {
        reply.m_errorString = QStringLiteral("no JSON object");
        return reply;
    }
    const QJsonObject object = document.object();
    reply.readMessage(object.value(QStringLiteral("message")).toObject());
    if (reply.m_messageCode != 0 || reply.m_messageType == QLatin1String("error")) {
        reply.m_errorString = QStringLiteral("the service reports error %1: %2")
                                      .arg(reply.m_messageCode)
                                      .arg(reply.m_messageText.left(200));
        return reply;
    }
    if (!object.value(QStringLiteral("result")).isObject()) {
        reply.m_errorString = QStringLiteral("no result");
        return reply;
    }
    reply.readResult(object.value(QStringLiteral("result")).toObject(), kwp);
    if (!reply.isValid())
        reply.m_periods.clear();
    return reply;
}

void ForecastSolarReply::readMessage(const QJsonObject &message)
{
    const QJsonValue code = message.value(QStringLiteral("code"));
    if (code.isDouble())
        m_messageCode = std::isfinite(code.toDouble()) && std::abs(code.toDouble()) < 1e6
                                ? static_cast<int>(code.toDouble())
                                : -1;
    else if (!code.isUndefined() && !code.isNull())
        m_messageCode = -1;
    m_messageType = message.value(QStringLiteral("type")).toString();
    m_messageText = message.value(QStringLiteral("text")).toString();
    const QJsonObject info = message.value(QStringLiteral("info")).toObject();
    m_timeZone = info.value(QStringLiteral("timezone")).toString().left(64);
    m_place = info.value(QStringLiteral("place")).toString().left(200);
    const QJsonObject rateLimit = message.value(QStringLiteral("ratelimit")).toObject();
    // A week at most: a longer wait would leave the forecast stale for good.
    m_rateLimit.period = boundedInteger(rateLimit.value(QStringLiteral("period")), 7 * 86400);
    m_rateLimit.limit = boundedInteger(rateLimit.value(QStringLiteral("limit")), 1000000);
    m_rateLimit.remaining = boundedInteger(rateLimit.value(QStringLiteral("remaining")), 1000000);
}

void ForecastSolarReply::readResult(const QJsonObject &result, double kwp)
{
    const double maximumPower = std::isfinite(kwp) && kwp > 0 ? kwp * maximumWattsPerKwp : 0.0;
    const SiteClock clock(m_timeZone);

    // Every series there is must be an object of numbers the plane can give.
    const QString names[] = {QStringLiteral("watts"), QStringLiteral("watt_hours_period"), QStringLiteral("watt_hours"),
                             QStringLiteral("watt_hours_day")};
    QVector<Entry> series[4];
    bool present[4] = {false, false, false, false};
    for (int s = 0; s < 4; s++) {
        const QJsonValue value = result.value(names[s]);
        if (value.isUndefined() || value.isNull())
            continue;
        if (!value.isObject()) {
            m_errorString = QStringLiteral("%1 is no object").arg(names[s]);
            return;
        }
        const QJsonObject entries = value.toObject();
        if (entries.count() > maximumEntries) {
            m_errorString = QStringLiteral("%1 holds %2 entries").arg(names[s]).arg(entries.count());
            return;
        }
        present[s] = true;
        // Power, energy of one day (the period bound is checked below).
        const double maximum = s == 0 ? maximumPower : maximumPower * 24.0;
        m_errorString = readSeries(names[s], entries, s == 3, maximum, kwp, clock, &series[s]);
        if (!m_errorString.isEmpty())
            return;
    }
    if (!present[0] && !present[1]) {
        m_errorString = QStringLiteral("neither watts nor watt_hours_period");
        return;
    }
    const bool fromEnergy = present[1];
    m_errorString = readPeriods(fromEnergy ? series[1] : series[0], fromEnergy, maximumPower, kwp, clock, &m_periods);
    if (m_errorString.isEmpty() && m_periods.isEmpty())
        m_errorString = QStringLiteral("no forecast period");
}
