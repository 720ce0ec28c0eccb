#ifndef SOLARFORECASTSLOT_H
#define SOLARFORECASTSLOT_H

#include <QDateTime>
#include <QDebug>
#include <QMetaType>

#include "types/timeframe.h"

// The PV energy (Wh) the forecast expects in [start, end); power is its
// average over the slot (W).
class SolarForecastSlot : public TimeFrame
{
    Q_GADGET
    Q_PROPERTY(QDateTime startDateTime READ startDateTime WRITE setStartDateTime)
    Q_PROPERTY(QDateTime endDateTime READ endDateTime WRITE setEndDateTime)
    Q_PROPERTY(double energy READ energy WRITE setEnergy)
    Q_PROPERTY(double power READ power)

public:
    SolarForecastSlot() = default;
    SolarForecastSlot(const QDateTime &startDateTime, const QDateTime &endDateTime, double energy);

    double energy() const { return m_energy; }
    void setEnergy(double energy) { m_energy = energy; }
    // W; 0 for a slot without length.
    double power() const;

    bool operator==(const SolarForecastSlot &other) const;
    bool operator!=(const SolarForecastSlot &other) const { return !operator==(other); }

private:
    double m_energy = 0;
};
Q_DECLARE_METATYPE(SolarForecastSlot)

QDebug operator<<(QDebug debug, const SolarForecastSlot &slot);

#endif // SOLARFORECASTSLOT_H
