#ifndef CHARGERTRACKING_H
#define CHARGERTRACKING_H

#include "tavro/thing.h"

#include <QDateTime>
#include <QObject>

class ConfigurationStore;
class ProcessPreparation;
struct ChargingContext;

// Follows the host's chargers, cars, home batteries and root meter: wraps
// each charger in its adapter (a child of the thing), keeps the context's
// tables of them, refreshes the coverage when what it depends on changes,
// and samples the energy every charger delivers. A charger's configuration
// comes from the settings file when the charger appears and leaves it when
// the host removes the charger. Context, store and preparation are not owned.
class ChargerTracking : public QObject
{
    Q_OBJECT
public:
    ChargerTracking(ChargingContext &context, ConfigurationStore &store, ProcessPreparation &preparation,
                    QObject *parent = nullptr)
        : QObject(parent),
          m_context(context),
          m_store(store),
          m_preparation(preparation)
    {
    }

    // Takes up the energy storages, chargers and cars the host has now.
    void trackConfiguredThings();
    void onThingAdded(Thing *thing);
    void onThingRemoved(const ThingId &thingId);
    // The energy manager's root meter (null: none) becomes the context's.
    void setupRootMeter(Thing *rootMeter);
    // Adds every charger's energy since the last sample to its delivered
    // energy; charging power (W) is what it draws now, discharge counts 0.
    void sampleDeliveredEnergy(const QDateTime &currentDateTime);
    // Lets each AC charger's on/off lock run out.
    void evaluateChargingLocks(const QDateTime &currentDateTime);

signals:
    // A charger's "pluggedIn" state changed.
    void pluggedInChanged(Thing *charger, bool pluggedIn);
    // The thing goes away: whatever is kept for its id must go.
    void thingForgotten(const ThingId &thingId);

private:
    void addEvChargerAc(Thing *thing);
    void addEvChargerDc(Thing *thing);
    void setupEvChargerThing(Thing *thing);
    void setupEvChargerAc(Thing *thing);
    void setupPluggedInHandlers(const Thing *thing);
    void setupCarBatteryHandlers(const Thing *car);
    void setupEnergyStorage(Thing *thing);

    ChargingContext &m_context;
    ConfigurationStore &m_store;
    ProcessPreparation &m_preparation;
};

#endif // CHARGERTRACKING_H
