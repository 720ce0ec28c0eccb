#include "energychartsreply.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>

namespace {

// EUR/MWh; day-ahead prices stay within a few thousand either way.
const double maximumPrice = 1e6;
// Texts of the reply go into the log, the provider info and the cache.
const int maximumTextLength = 300;

bool isSlotLength(qint64 seconds)
{
    return seconds == 900 || seconds == 1800 || seconds == 3600;
}

// One line of printable characters, of a sane length.
QString printable(const QString &text)
{
    QString line;
    for (const QChar c : text) {
        if (line.size() >= maximumTextLength)
            break;
        line.append(c.isPrint() ? c : QChar(' '));
    }
    return line.simplified();
}

}

EnergyChartsReply::EnergyChartsReply(const QByteArray &payload, const QString &zone, const QDateTime &earliest,
                                     const QDateTime &latest)
{
    parse(payload, zone, earliest, latest);
    if (!isValid())
        m_entries.clear();
}

void EnergyChartsReply::parse(const QByteArray &payload, const QString &zone, const QDateTime &earliest,
                              const QDateTime &latest)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError) {
        m_errorString = QStringLiteral("The payload contains invalid JSON data: %1").arg(error.errorString());
        return;
    }
    const QJsonObject reply = document.object();
    const QJsonValue seconds = reply.value(QStringLiteral("unix_seconds"));
    const QJsonValue prices = reply.value(QStringLiteral("price"));
    if (!document.isObject() || !seconds.isArray() || !prices.isArray()) {
        m_errorString = QStringLiteral("The payload is no object with \"unix_seconds\" and \"price\" arrays.");
        return;
    }
    if (!checkZoneAndUnit(reply, zone))
        return;

    const QJsonArray times = seconds.toArray();
    const QJsonArray values = prices.toArray();
    if (times.count() != values.count()) {
        m_errorString = QStringLiteral("\"unix_seconds\" has %1 values but \"price\" %2.")
                                .arg(times.count())
                                .arg(values.count());
        return;
    }
    if (times.count() < 2) {
        // One timestamp tells no slot length.
        m_errorString = QStringLiteral("The reply holds fewer than two slots.");
        return;
    }
    const QVector<qint64> starts = slotStarts(times, earliest, latest);
    if (!isValid())
        return;
    readPrices(starts, values);
    if (m_entries.isEmpty()) {
        m_errorString = QStringLiteral("The reply holds no usable price.");
        return;
    }

    m_license = printable(reply.value(QStringLiteral("license_info")).toString());
    m_deprecated = reply.value(QStringLiteral("deprecated")).toBool(false);
}

bool EnergyChartsReply::checkZoneAndUnit(const QJsonObject &reply, const QString &zone)
{
    // The service names neither the zone nor always the unit; when it does,
    // they must be the ones asked for.
    const QJsonValue bzn = reply.value(QStringLiteral("bzn"));
    if (!bzn.isUndefined() && bzn.toString().compare(zone, Qt::CaseInsensitive) != 0) {
        m_errorString =
                QStringLiteral("The reply is for the zone \"%1\", not %2.").arg(printable(bzn.toString()), zone);
        return false;
    }
    const QJsonValue unit = reply.value(QStringLiteral("unit"));
    if (!unit.isUndefined()
        && unit.toString().remove(QLatin1Char(' ')).compare(QLatin1String("EUR/MWh"), Qt::CaseInsensitive) != 0) {
        m_errorString = QStringLiteral("The prices are in %1, not EUR/MWh.").arg(printable(unit.toString()));
        return false;
    }
    return true;
}

QVector<qint64> EnergyChartsReply::slotStarts(const QJsonArray &times, const QDateTime &earliest,
                                              const QDateTime &latest)
{
    // Seconds since the epoch, checked before any cast to an integer.
    const double earliestSeconds = static_cast<double>(earliest.toSecsSinceEpoch());
    const double latestSeconds = static_cast<double>(latest.toSecsSinceEpoch());
    QVector<qint64> starts;
    starts.reserve(times.count());
    for (int i = 0; i < times.count(); i++) {
        const double time = times.at(i).toDouble(std::nan(""));
        if (!times.at(i).isDouble() || !std::isfinite(time) || std::floor(time) != time) {
            m_errorString = QStringLiteral("Timestamp %1 is no whole number of seconds.").arg(i);
            return {};
        }
        if (time < earliestSeconds || time >= latestSeconds) {
            m_errorString = QStringLiteral("Timestamp %1 lies outside the range asked for.").arg(i);
            return {};
        }
        starts.append(static_cast<qint64>(time));
        if (i == 0)
            continue;
        const qint64 gap = starts.at(i) - starts.at(i - 1);
        if (gap <= 0) {
            m_errorString = QStringLiteral("Timestamp %1 is not later than the one before.").arg(i);
            return {};
        }
        // A slot is 15, 30 or 60 minutes and starts on a multiple of its
        // length; anything else means slots are missing.
        if (!isSlotLength(gap) || starts.at(i - 1) % gap != 0) {
            m_errorString = QStringLiteral("Timestamps %1 and %2 leave a gap of %3 s.").arg(i - 1).arg(i).arg(gap);
            return {};
        }
    }
    const qint64 lastLength = starts.last() - starts.at(starts.count() - 2);
    if (starts.last() + lastLength > latestSeconds) {
        m_errorString = QStringLiteral("Timestamp %1 lies outside the range asked for.").arg(starts.count() - 1);
        return {};
    }
    return starts;
}

void EnergyChartsReply::readPrices(const QVector<qint64> &starts, const QJsonArray &values)
{
    const qint64 lastLength = starts.last() - starts.at(starts.count() - 2);
    for (int i = 0; i < starts.count(); i++) {
        const QJsonValue price = values.at(i);
        if (price.isNull()) {
            // Not cleared yet: no slot, certainly not a free one.
            m_nullPrices++;
            continue;
        }
        if (!price.isDouble() || !std::isfinite(price.toDouble()) || std::abs(price.toDouble()) > maximumPrice) {
            m_unusablePrices++;
            continue;
        }
        const qint64 end = i + 1 < starts.count() ? starts.at(i + 1) : starts.at(i) + lastLength;
        ScoreEntry entry;
        entry.setStartDateTime(QDateTime::fromSecsSinceEpoch(starts.at(i)));
        entry.setEndDateTime(QDateTime::fromSecsSinceEpoch(end));
        entry.setValue(price.toDouble());
        m_entries.append(entry);
    }
}
