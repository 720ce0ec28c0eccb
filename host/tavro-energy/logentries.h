#ifndef LOGENTRIES_H
#define LOGENTRIES_H

#include "tavro/typeutils.h"

#include <QDateTime>
#include <QMetaType>

// One sample of the household power balance. Powers in W: acquisition > 0
// is grid import; production <= 0 is generated power; storage > 0 charges
// the home battery.
class PowerBalanceLogEntry
{
public:
    PowerBalanceLogEntry() = default;
    PowerBalanceLogEntry(const QDateTime &timestamp, double consumption, double production, double acquisition,
                         double storage)
        : m_timestamp(timestamp),
          m_consumption(consumption),
          m_production(production),
          m_acquisition(acquisition),
          m_storage(storage)
    {
    }

    QDateTime timestamp() const { return m_timestamp; }
    double consumption() const { return m_consumption; }
    double production() const { return m_production; }
    double acquisition() const { return m_acquisition; }
    double storage() const { return m_storage; }

private:
    QDateTime m_timestamp;
    double m_consumption = 0;
    double m_production = 0;
    double m_acquisition = 0;
    double m_storage = 0;
};

// One sample of one thing's power (W).
class ThingPowerLogEntry
{
public:
    ThingPowerLogEntry() = default;
    ThingPowerLogEntry(const QDateTime &timestamp, const ThingId &thingId, double currentPower)
        : m_timestamp(timestamp),
          m_thingId(thingId),
          m_currentPower(currentPower)
    {
    }

    QDateTime timestamp() const { return m_timestamp; }
    ThingId thingId() const { return m_thingId; }
    double currentPower() const { return m_currentPower; }

private:
    QDateTime m_timestamp;
    ThingId m_thingId;
    double m_currentPower = 0;
};

Q_DECLARE_METATYPE(PowerBalanceLogEntry)
Q_DECLARE_METATYPE(ThingPowerLogEntry)

#endif // LOGENTRIES_H
