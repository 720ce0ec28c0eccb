#include "solarplanes.h"

SolarPlanes::SolarPlanes(const QList<SolarPlane> &other)
    : QList<SolarPlane>(other)
{
}

QVariant SolarPlanes::get(int index) const
{
    if (index < 0 || index >= count())
        return QVariant();
    return QVariant::fromValue(at(index));
}

void SolarPlanes::put(const QVariant &variant)
{
    append(variant.value<SolarPlane>());
}

double SolarPlanes::totalKwp() const
{
    double total = 0;
    for (const SolarPlane &plane : *this)
        total += plane.kwp();
    return total;
}
