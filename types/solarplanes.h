#ifndef SOLARPLANES_H
#define SOLARPLANES_H

#include <QList>
#include <QMetaType>
#include <QVariant>

#include <initializer_list>

#include "types/solarplane.h"

// The planes of the owner's PV array; their forecasts add up.
class SolarPlanes : public QList<SolarPlane>
{
    Q_GADGET
    Q_PROPERTY(int count READ count)

public:
    SolarPlanes() = default;
    SolarPlanes(const QList<SolarPlane> &other);
    SolarPlanes(std::initializer_list<SolarPlane> items)
        : QList<SolarPlane>(items)
    {
    }

    // An index outside the list gives an invalid QVariant.
    Q_INVOKABLE QVariant get(int index) const;
    // Appends the plane held by the variant; a variant that cannot be
    // converted appends a default (invalid, 0 kWp) plane.
    Q_INVOKABLE void put(const QVariant &variant);

    // kW of all planes together.
    double totalKwp() const;
};
Q_DECLARE_METATYPE(SolarPlanes)

#endif // SOLARPLANES_H
