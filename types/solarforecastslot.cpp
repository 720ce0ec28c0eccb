#include "solarforecastslot.h"

SolarForecastSlot::SolarForecastSlot(const QDateTime &startDateTime, const QDateTime &endDateTime, double energy)
    : TimeFrame(startDateTime, endDateTime),
      m_energy(energy)
{
}

double SolarForecastSlot::power() const
{
    const qint64 milliseconds = startDateTime().msecsTo(endDateTime());
    return milliseconds > 0 ? m_energy * 3600000.0 / static_cast<double>(milliseconds) : 0.0;
}

bool SolarForecastSlot::operator==(const SolarForecastSlot &other) const
{
    return TimeFrame::operator==(other) && m_energy == other.m_energy;
}

QDebug operator<<(QDebug debug, const SolarForecastSlot &slot)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "SolarForecastSlot(" << slot.startDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm"))
                    << " - " << slot.endDateTime().toString(QStringLiteral("hh:mm")) << ", " << slot.energy() << " Wh)";
    return debug;
}
