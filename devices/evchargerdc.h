#ifndef EVCHARGERDC_H
#define EVCHARGERDC_H

#include <QObject>

#include "tavro/typeutils.h"

class Thing;
class ThingManager;
class ThingActionInfo;

// A thin typed view onto one host thing implementing "evchargerdc": a charger
// that is given a power (W) rather than a current and that may discharge the
// car into the house. It keeps no locks and no state of its own; limits are
// the caller's business, values are sent as given. Like every adapter it is
// a child of the thing and dies with it.
class EvChargerDc : public QObject
{
    Q_OBJECT
public:
    // The thing becomes the parent; the thing manager is not owned.
    EvChargerDc(ThingManager *thingManager, Thing *thing);

    ThingId id() const;
    Thing *thing() const;
    QString name() const;

    bool chargingEnabled() const;
    // W, the power last set; negative while discharging.
    double chargingPower() const;
    // "charging", "discharging" or "bidirectional"; empty when unknown.
    QString chargingCapabilities() const;
    bool supportsCharging() const;
    bool supportsDischarging() const;

    // W; 0.0 when the charger does not report the limit.
    double minChargingPower() const;
    double maxChargingPower() const;
    double minDischargingPower() const;
    double maxDischargingPower() const;

    // True when the charger cannot tell.
    bool pluggedIn() const;
    bool hlcSessionActive() const;
    // Null when the charger does not name the connected car.
    ThingId connectedVehicleThingId() const;

    // W; "currentPower" when the class declares it, else chargingPower().
    double measuredPower() const;
    // State "connected" for "connectable" classes, otherwise always true.
    bool available() const;

    // Return the host's info for the action (owned by the host; callers may
    // ignore it). A class without the state gets an action the host rejects.
    ThingActionInfo *setChargingEnabled(bool enabled);
    ThingActionInfo *setChargingPower(double power);

private:
    double optionalPower(const QString &stateName) const;
    ThingActionInfo *executeStateAction(const QString &stateName, const QVariant &value);

    ThingManager *m_thingManager = nullptr;
    Thing *m_thing = nullptr;
};

#endif // EVCHARGERDC_H
