#ifndef CHARGINGCONFIGURATOR_H
#define CHARGINGCONFIGURATOR_H

#include "types/chargingconfiguration.h"

#include "tavro-energy/energymanager.h"
#include "tavro/action.h"
#include "tavro/thing.h"

#include <QDateTime>
#include <QVariant>

#include <functional>

class ConfigurationStore;
class DcController;
class ManualSocEstimator;
class OverloadProtection;
struct ChargingContext;

// What the owner changes: checks and applies new charging configurations,
// hands a charger back to the user when it leaves the smart modes, takes
// the user's actions on a charger in normal mode as its manual values and
// starts the manual state-of-charge sessions at plug-in. Collaborators are
// not owned; requestUpdate runs a cycle at once.
class ChargingConfigurator
{
public:
    using UpdateRequest = std::function<void(const QDateTime &currentDateTime)>;

    ChargingConfigurator(ChargingContext &context, ConfigurationStore &store, DcController &dc,
                         ManualSocEstimator &manualSoc, OverloadProtection &overload, UpdateRequest requestUpdate)
        : m_context(context),
          m_store(store),
          m_dc(dc),
          m_manualSoc(manualSoc),
          m_overload(overload),
          m_requestUpdate(std::move(requestUpdate))
    {
    }

    // 0 (no error) when accepted or unchanged, 2 (invalid parameter) when
    // refused. The settings file takes the configuration first: when it
    // cannot, nothing changes, the reason goes to storageError (empty
    // otherwise) and the result is 2.
    EnergyManager::EnergyError setChargingConfiguration(const ChargingConfiguration &chargingConfiguration,
                                                        QString *storageError = nullptr);
    // Runs before a configuration with a new mode is stored.
    void onChargingModeChanged(const ThingId &evChargerId, const ChargingConfiguration &chargingConfiguration);
    void onActionExecuted(const Action &action, Thing::ThingError status);
    void onPluggedInChanged(Thing *charger, bool pluggedIn);

private:
    void update(const QDateTime &currentDateTime) { m_requestUpdate(currentDateTime); }
    // A user action on a charger in normal mode becomes its manual values;
    // true when it was one that does.
    bool applyManualAcAction(Thing *charger, const QString &stateName, const QVariant &value,
                             const ChargingConfiguration &stored);
    bool applyManualDcAction(Thing *charger, const QString &stateName, const QVariant &value,
                             const ChargingConfiguration &stored);
    // The level the user typed for a car without its own becomes the base of its estimate.
    void resetTypedBatteryLevel(Thing *car);
    bool isDcChargingConfigurationValid(const ChargingConfiguration &chargingConfiguration, Thing *charger) const;
    // The percentages, repeat days and (DC) power range are in range; logs the first that is not.
    bool chargingConfigurationValuesValid(const ChargingConfiguration &chargingConfiguration, Thing *charger,
                                          bool dcCharger) const;
    // The car offers what the charger (AC or DC) needs; logs why not.
    bool assignedCarFits(Thing *car, bool acCharger, bool dcCharger) const;
    // No car assigned, or one the system knows that fits the charger; logs why not.
    bool assignedCarAccepted(const ChargingConfiguration &newConfiguration, bool acCharger, bool dcCharger) const;
    // A new car ends the manual state-of-charge session (and starts one for
    // a plugged-in car outside normal mode); a new mode is taken over.
    void followCarAndMode(Thing *charger, const ChargingConfiguration &newConfiguration,
                          const ChargingConfiguration &stored);

    ChargingContext &m_context;
    ConfigurationStore &m_store;
    DcController &m_dc;
    ManualSocEstimator &m_manualSoc;
    OverloadProtection &m_overload;
    UpdateRequest m_requestUpdate;
};

#endif // CHARGINGCONFIGURATOR_H
