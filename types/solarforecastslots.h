#ifndef SOLARFORECASTSLOTS_H
#define SOLARFORECASTSLOTS_H

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QVariant>

#include <initializer_list>

#include "types/solarforecastslot.h"

// Forecast slots ordered by start and not overlapping (what the provider
// hands out); the energy of a slot is taken as spread evenly over it.
class SolarForecastSlots : public QList<SolarForecastSlot>
{
    Q_GADGET
    Q_PROPERTY(int count READ count)

public:
    // Minutes of the grid the planes' forecasts are added up on.
    static constexpr int gridMinutes = 15;

    SolarForecastSlots() = default;
    SolarForecastSlots(const QList<SolarForecastSlot> &other);
    SolarForecastSlots(std::initializer_list<SolarForecastSlot> items)
        : QList<SolarForecastSlot>(items)
    {
    }

    // An index outside the list gives an invalid QVariant.
    Q_INVOKABLE QVariant get(int index) const;
    Q_INVOKABLE void put(const QVariant &variant);

    // Wh expected in [from, to): whole slots inside, the overlapping share
    // of slots cut by either end. 0 for an empty or reversed interval.
    double energyBetween(const QDateTime &from, const QDateTime &to) const;
    // W of the slot running at dateTime (start <= dateTime < end), else 0.
    double powerAt(const QDateTime &dateTime) const;
    // The first start and the last end; invalid for an empty list.
    QDateTime firstStart() const;
    QDateTime lastEnd() const;

    // The slots of every list added up on one grid of gridMinutes-long
    // cells aligned to the epoch (so to quarter hours of every zone): each
    // slot's energy goes to the cells it overlaps, in proportion. Only cells
    // a slot touches are listed (a zero-energy slot lists its cells with 0),
    // earliest first. Slots without length are left out.
    static SolarForecastSlots onGrid(const QList<SolarForecastSlots> &lists);
};
Q_DECLARE_METATYPE(SolarForecastSlots)

#endif // SOLARFORECASTSLOTS_H
