#ifndef VEHICLETRAITS_H
#define VEHICLETRAITS_H

#include <QString>

class Thing;

// What a car thing offers the smart charging, read from its class and states.
class VehicleTraits
{
public:
    // A thing with the "electricvehicle" or "electricvehiclehlc" interface.
    static bool isCar(const Thing *thing);
    // "ac", "dc", "acdc" or empty: the car's "chargingInterfaces" state, else
    // what its state types suggest.
    static QString carChargingInterfaces(const Thing *car);
    // A car (not null) that reports its own battery level.
    static bool thingProvidesVehicleBatteryLevel(const Thing *thing);
    // A car whose class has a writable "batteryLevel" state: the user types its level.
    static bool isManualSocCar(const Thing *car);
};

#endif // VEHICLETRAITS_H
