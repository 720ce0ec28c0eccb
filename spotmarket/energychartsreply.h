#ifndef ENERGYCHARTSREPLY_H
#define ENERGYCHARTSREPLY_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QVector>
#include <QString>

#include "types/scoreentries.h"

// The body of an Energy-Charts "/price" reply, read and checked:
//   {"license_info": "...", "unix_seconds": [s, ...], "price": [EUR/MWh or
//    null, ...], "unit": "EUR / MWh", "deprecated": false}
// A slot lasts from its timestamp to the next one (15, 30 or 60 minutes, the
// resolutions may mix); the last one as long as the one before it.
//
// The reply is refused as a whole (isValid() false, nothing to take) when it
// is no JSON object, when the two arrays are missing or differ in length,
// when a timestamp is no number, not later than the one before, lies outside
// [earliest, latest) or leaves a gap (an interval that is no slot length, or
// a slot not starting on a multiple of its length), when it has fewer than
// two timestamps, names another unit or another bidding zone ("bzn"), or
// holds no usable price at all. A single price that is null (not cleared
// yet), no number or beyond ±1e6 EUR/MWh only drops its own slot.
class EnergyChartsReply
{
public:
    EnergyChartsReply(const QByteArray &payload, const QString &zone, const QDateTime &earliest,
                      const QDateTime &latest);

    bool isValid() const { return m_errorString.isEmpty(); }
    // Why the reply was refused; empty when it was not.
    QString errorString() const { return m_errorString; }

    // The usable slots in time order, weighting 0; empty when refused.
    ScoreEntries entries() const { return m_entries; }
    // Slots dropped for a null or unusable price.
    int nullPrices() const { return m_nullPrices; }
    int unusablePrices() const { return m_unusablePrices; }
    QString license() const { return m_license; }
    bool deprecated() const { return m_deprecated; }

private:
    void parse(const QByteArray &payload, const QString &zone, const QDateTime &earliest, const QDateTime &latest);
    // False (with the error set) where the reply names another zone or unit.
    bool checkZoneAndUnit(const QJsonObject &reply, const QString &zone);
    // The slots' starts (s since the epoch); empty with the error set where a
    // timestamp is refused. At least two timestamps.
    QVector<qint64> slotStarts(const QJsonArray &times, const QDateTime &earliest, const QDateTime &latest);
    // The usable slots of starts into m_entries; counts the dropped ones.
    void readPrices(const QVector<qint64> &starts, const QJsonArray &values);

    ScoreEntries m_entries;
    QString m_errorString;
    QString m_license;
    int m_nullPrices = 0;
    int m_unusablePrices = 0;
    bool m_deprecated = false;
};

#endif // ENERGYCHARTSREPLY_H
