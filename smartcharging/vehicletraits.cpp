#include "vehicletraits.h"

#include "tavro/thing.h"

bool VehicleTraits::isCar(const Thing *thing)
{
    const QStringList &interfaces = thing->thingClass().interfaces();
    return interfaces.contains(QStringLiteral("electricvehicle"))
           || interfaces.contains(QStringLiteral("electricvehiclehlc"));
}

QString VehicleTraits::carChargingInterfaces(const Thing *car)
{
    if (car->hasState(QStringLiteral("chargingInterfaces"))) {
        const QString interfaces = car->stateValue(QStringLiteral("chargingInterfaces")).toString();
        if (!interfaces.isEmpty())
            return interfaces;
    }
    const ThingClass &thingClass = car->thingClass();
    const bool ac = thingClass.hasStateType(QStringLiteral("acPhaseCount"));
    const bool dc = thingClass.hasStateType(QStringLiteral("dcMaxChargingPower"));
    if (ac && dc)
        return QStringLiteral("acdc");
    if (ac)
        return QStringLiteral("ac");
    if (dc)
        return QStringLiteral("dc");
    return QString();
}

bool VehicleTraits::thingProvidesVehicleBatteryLevel(const Thing *thing)
{
    return thing && isCar(thing) && thing->thingClass().hasStateType(QStringLiteral("batteryLevel"));
}

bool VehicleTraits::isManualSocCar(const Thing *car)
{
    if (!car || !isCar(car))
        return false;
    const StateType batteryLevelType = car->thingClass().stateTypes().findByName(QStringLiteral("batteryLevel"));
    return batteryLevelType.isValid() && batteryLevelType.writable();
}
