#include "solarplane.h"

#include <cmath>

namespace {

bool within(double value, double minimum, double maximum)
{
    return std::isfinite(value) && value >= minimum && value <= maximum;
}

}

SolarPlane::SolarPlane(double latitude, double longitude, double declination, double azimuth, double kwp)
    : m_latitude(latitude),
      m_longitude(longitude),
      m_declination(declination),
      m_azimuth(azimuth),
      m_kwp(kwp)
{
}

QString SolarPlane::validationError() const
{
    if (!within(m_latitude, -90, 90))
        return QStringLiteral("latitude must lie within -90…90°");
    if (!within(m_longitude, -180, 180))
        return QStringLiteral("longitude must lie within -180…180°");
    if (!within(m_declination, 0, 90))
        return QStringLiteral("declination must lie within 0…90°");
    if (!within(m_azimuth, -180, 180))
        return QStringLiteral("azimuth must lie within -180…180°");
    // A plane without power has nothing to forecast; the service would
    // answer with zeros or an error for every request spent on it.
    if (!within(m_kwp, 0, maximumKwp) || m_kwp <= 0)
        return QStringLiteral("kwp must lie above 0 and at most %1").arg(maximumKwp);
    if (m_horizon.count() > maximumHorizonPoints)
        return QStringLiteral("the horizon has more than %1 points").arg(maximumHorizonPoints);
    for (int elevation : m_horizon) {
        if (elevation < 0 || elevation > 90)
            return QStringLiteral("horizon elevations must lie within 0…90°");
    }
    return QString();
}

bool SolarPlane::operator==(const SolarPlane &other) const
{
    return m_latitude == other.m_latitude && m_longitude == other.m_longitude && m_declination == other.m_declination
           && m_azimuth == other.m_azimuth && m_kwp == other.m_kwp && m_horizon == other.m_horizon;
}

QDebug operator<<(QDebug debug, const SolarPlane &plane)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "SolarPlane(" << plane.latitude() << ", " << plane.longitude() << ", declination "
                    << plane.declination() << ", azimuth " << plane.azimuth() << ", " << plane.kwp() << " kWp";
    if (!plane.horizon().isEmpty())
        debug.nospace() << ", horizon of " << plane.horizon().count() << " points";
    debug.nospace() << ")";
    return debug;
}
