#include "solarforecastslots.h"

#include <QMap>

SolarForecastSlots::SolarForecastSlots(const QList<SolarForecastSlot> &other)
    : QList<SolarForecastSlot>(other)
{
}

QVariant SolarForecastSlots::get(int index) const
{
    if (index < 0 || index >= count())
        return QVariant();
    return QVariant::fromValue(at(index));
}

void SolarForecastSlots::put(const QVariant &variant)
{
    append(variant.value<SolarForecastSlot>());
}

double SolarForecastSlots::energyBetween(const QDateTime &from, const QDateTime &to) const
{
    const qint64 begin = from.toMSecsSinceEpoch();
    const qint64 end = to.toMSecsSinceEpoch();
    double energy = 0;
    if (!from.isValid() || !to.isValid() || end <= begin)
        return energy;
    for (const SolarForecastSlot &slot : *this) {
        const qint64 start = slot.startDateTime().toMSecsSinceEpoch();
        const qint64 stop = slot.endDateTime().toMSecsSinceEpoch();
        const qint64 overlap = qMin(stop, end) - qMax(start, begin);
        if (stop > start && overlap > 0)
            energy += slot.energy() * static_cast<double>(overlap) / static_cast<double>(stop - start);
    }
    return energy;
}

double SolarForecastSlots::powerAt(const QDateTime &dateTime) const
{
    for (const SolarForecastSlot &slot : *this) {
        if (slot.isActive(dateTime))
            return slot.power();
    }
    return 0.0;
}

QDateTime SolarForecastSlots::firstStart() const
{
    return isEmpty() ? QDateTime() : first().startDateTime();
}

QDateTime SolarForecastSlots::lastEnd() const
{
    return isEmpty() ? QDateTime() : last().endDateTime();
}

SolarForecastSlots SolarForecastSlots::onGrid(const QList<SolarForecastSlots> &lists)
{
    const qint64 cell = gridMinutes * 60000LL;
    QMap<qint64, double> cells; // cell start (ms since the epoch) → Wh
    for (const SolarForecastSlots &list : lists) {
        for (const SolarForecastSlot &slot : list) {
            const qint64 start = slot.startDateTime().toMSecsSinceEpoch();
            const qint64 stop = slot.endDateTime().toMSecsSinceEpoch();
            if (stop <= start)
                continue;
            // Floor division: cells before the epoch start below it too.
            qint64 cellStart = start - ((start % cell) + cell) % cell;
            for (; cellStart < stop; cellStart += cell) {
                const qint64 overlap = qMin(stop, cellStart + cell) - qMax(start, cellStart);
                cells[cellStart] += slot.energy() * static_cast<double>(overlap) / static_cast<double>(stop - start);
            }
        }
    }
    SolarForecastSlots result;
    result.reserve(cells.count());
    for (auto it = cells.constBegin(); it != cells.constEnd(); ++it)
        result.append(SolarForecastSlot(QDateTime::fromMSecsSinceEpoch(it.key()),
                                        QDateTime::fromMSecsSinceEpoch(it.key() + cell), it.value()));
    return result;
}
