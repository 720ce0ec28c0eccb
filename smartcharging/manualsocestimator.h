#ifndef MANUALSOCESTIMATOR_H
#define MANUALSOCESTIMATOR_H

#include "types/chargingconfiguration.h"

#include "tavro-energy/energylogs.h"
#include "tavro/thing.h"

#include <QDateTime>
#include <QHash>

class OwnerNotifier;
class ProcessPreparation;
struct ChargingContext;

// Estimates the battery level of cars that cannot report it: the user types
// the level at plug-in (asked for by a notification), then the energy the
// charger delivers (from its meter, else from its power once per cycle)
// moves the estimate on. Collaborators are not owned.
class ManualSocEstimator
{
public:
    // Why a manual state-of-charge session starts.
    enum ManualSocInitializationTrigger {
        ManualSocInitializationTriggerPluggedIn = 0,
        ManualSocInitializationTriggerSmartModeEntered = 1,
        ManualSocInitializationTriggerCarAssigned = 2
    };

    ManualSocEstimator(ChargingContext &context, ProcessPreparation &preparation, OwnerNotifier &notifier)
        : m_context(context),
          m_preparation(preparation),
          m_notifier(notifier)
    {
    }

    // True when a session was started for the charger's car (at most one per plug-in).
    bool initializeManualSocSession(const ThingId &evChargerId, const ChargingConfiguration &chargingConfiguration,
                                    ManualSocInitializationTrigger trigger);
    // The plug-in ended, the car changed or the charger went away.
    void endSession(const ThingId &evChargerId) { m_manualSocSessions.remove(evChargerId); }
    bool hasSession(const ThingId &evChargerId) const { return m_manualSocSessions.contains(evChargerId); }
    // Charger → the car a session was started for during the plug-in that
    // runs now; a restart takes them up again for the chargers still plugged in.
    QHash<ThingId, ThingId> sessions() const { return m_manualSocSessions; }
    void restoreSession(const ThingId &evChargerId, const ThingId &carId)
    {
        m_manualSocSessions.insert(evChargerId, carId);
    }
    // With the host's one-minute entries of the chargers' meters.
    void updateManualSoCsWithMeter(EnergyLogs::SampleRate sampleRate, const ThingPowerLogEntry &entry);
    // Once per cycle for the chargers without a meter.
    void updateManualSoCsWithoutMeter(const QDateTime &currentDateTime);

private:
    // The car a session on the charger is for: the one a DC charger talks
    // to, else the assigned one; null (logged) for none.
    Thing *sessionCar(const ThingId &evChargerId, const ChargingConfiguration &chargingConfiguration) const;
    static void logSessionStart(ManualSocInitializationTrigger trigger, Thing *car);
    void setManualSocCarBatteryLevel(Thing *car, int batteryLevel);
    // Adds energy (kWh, already reduced by the loss factor) to the car's estimate.
    void addManualSocEnergy(const ThingId &evChargerId, Thing *car, double energy, const QDateTime &currentDateTime);

    ChargingContext &m_context;
    ProcessPreparation &m_preparation;
    OwnerNotifier &m_notifier;

    // Charger → the car a session was started for during this plug-in.
    QHash<ThingId, ThingId> m_manualSocSessions;
};

#endif // MANUALSOCESTIMATOR_H
