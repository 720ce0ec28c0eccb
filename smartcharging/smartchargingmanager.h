#ifndef SMARTCHARGINGMANAGER_H
#define SMARTCHARGINGMANAGER_H

#include "smartcharging/chargingsteps.h"
#include "types/chargingconfiguration.h"
#include "types/chargingschedule.h"
#include "types/chargingstate.h"

#include "tavro-energy/energylogs.h"
#include "tavro-energy/energymanager.h"
#include "tavro/action.h"
#include "tavro/electricity.h"
#include "tavro/thing.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>

class EnergyManagerConfiguration;
class SolarForecastManager;
class SpotMarketManager;
class ThingManager;

// The front of the smart charging: the API the plugin, the JSON-RPC and
// D-Bus interfaces use, the global settings and their signals, and one
// update cycle per minute (triggered by the host's one-minute power balance
// entry) that runs the steps in ChargingSteps in order. Each step is a class
// of its own; the slots hand over to them.
//
// Collaborators are not owned. Adapters (EvChargerAc, EvChargerDc,
// RootMeter) are children of the thing they wrap; the steps only keep
// references and drop them when the thing goes away.
class SmartChargingManager : public QObject
{
    Q_OBJECT
public:
    SmartChargingManager(EnergyManager *energyManager, ThingManager *thingManager, SpotMarketManager *spotMarketManager,
                         EnergyManagerConfiguration *configuration, QObject *parent = nullptr);

    // The setters store the value in the settings file first and take it
    // only when the file holds it: false (and nothing changed) when it
    // cannot, with the reason in storageError. True also for an unchanged value.

    // Household current limit per phase at the root meter (A); 0 = unset.
    uint phasePowerLimit() const { return m_steps.context.phasePowerLimit; }
    bool setPhasePowerLimit(uint phasePowerLimit, QString *storageError = nullptr);
    // Fractions 0..1.
    double acquisitionTolerance() const { return m_steps.context.acquisitionTolerance; }
    bool setAcquisitionTolerance(double acquisitionTolerance, QString *storageError = nullptr);
    double batteryLevelConsideration() const { return m_steps.context.batteryLevelLowerLimit; }
    bool setBatteryLevelConsideration(double batteryLevelConsideration, QString *storageError = nullptr);
    double batteryLevelLowerLimit() const { return m_steps.context.batteryLevelLowerLimit; }
    double batteryLevelUpperLimit() const { return m_steps.context.batteryLevelUpperLimit; }
    bool setBatteryLevelLimits(double lowerLimit, double upperLimit, QString *storageError = nullptr);

    SpotMarketManager *spotMarketManager() const { return m_steps.context.spotMarketManager; }
    // The solar forecast the plans count on (not owned; null: none, the
    // plans are made as if no sun were coming).
    void setSolarForecastManager(SolarForecastManager *solarForecastManager);
    // The host's collaborators, for readers beside the cycle (not owned).
    ThingManager *thingManager() const { return m_steps.context.thingManager; }
    EnergyManager *energyManager() const { return m_steps.context.energyManager; }

    ChargingConfigurations chargingConfigurations() const;
    // A default configuration with a null charger id when there is none.
    ChargingConfiguration chargingConfiguration(const ThingId &evChargerId) const;
    // 0 (no error) when accepted or unchanged, 2 (invalid parameter) when
    // refused; also 2 when the settings file cannot take it, with the reason
    // in storageError (empty otherwise).
    EnergyManager::EnergyError setChargingConfiguration(const ChargingConfiguration &chargingConfiguration,
                                                        QString *storageError = nullptr);

    ChargingStates chargingStates() const;
    // A default state with a null charger id when there is none.
    ChargingState chargingState(const ThingId &evChargerId) const;

    ChargingSchedules chargingSchedules() const;

    // The context and the steps of the cycle, for tests and benchmarks that
    // drive one step at a time.
    ChargingSteps &steps() { return m_steps; }

    // 3 → A|B|C, 2 → A|B, anything else → A.
    static Electricity::Phases getAscendingPhasesForCount(uint count);

    // Charging-state bookkeeping used by every planning step (kept in the
    // charging book); each emits chargingStateChanged only when the state
    // really changed.
    void resetChargingStateTransient(const ThingId &evChargerId, ChargingState::WaitingReason waitingReason);
    void setChargingStateMode(const ThingId &evChargerId, ChargingState::Mode mode);
    void setChargingStateTargetTimeOvershot(const ThingId &evChargerId, int seconds);
    void setChargingStateBatteryLevelConsiderationActive(const ThingId &evChargerId, bool active);
    void setChargingStateWaitingReason(const ThingId &evChargerId, ChargingState::WaitingReason waitingReason);

signals:
    void phasePowerLimitChanged(int phasePowerLimit);
    void acquisitionToleranceChanged(double acquisitionTolerance);
    void batteryLevelConsiderationChanged(double batteryLevelConsideration);
    void batteryLevelLimitsChanged(double batteryLevelLowerLimit, double batteryLevelUpperLimit);
    void chargingConfigurationAdded(const ChargingConfiguration &chargingConfiguration);
    void chargingConfigurationRemoved(const ThingId &evChargerThingId);
    void chargingConfigurationChanged(const ChargingConfiguration &chargingConfiguration);
    void chargingStateAdded(const ChargingState &chargingState);
    void chargingStateRemoved(const ThingId &evChargerThingId);
    void chargingStateChanged(const ChargingState &chargingState);
    void chargingSchedulesChanged();

public slots:
    // One cycle: every step in order.
    void update(const QDateTime &currentDateTime);

private slots:
    void prepareInformation(const QDateTime &currentDateTime);
    void planSpotMarketCharging(const QDateTime &currentDateTime);
    void planSurplusCharging(const QDateTime &currentDateTime);
    void adjustEvChargers(const QDateTime &currentDateTime);
    void updateManualSoCsWithMeter(EnergyLogs::SampleRate sampleRate, const ThingPowerLogEntry &entry);
    void updateManualSoCsWithoutMeter(const QDateTime &currentDateTime);
    bool verifyOverloadProtection(const QDateTime &currentDateTime);
    void verifyOverloadProtectionRecovery(const QDateTime &currentDateTime);
    void updateDcChargers(const QDateTime &currentDateTime);
    void evaluateTargetPercentageReached(const ThingId &evChargerId, double batteryLevel,
                                         const QDateTime &currentDateTime);
    void onThingAdded(Thing *thing);
    void onThingRemoved(const ThingId &thingId);
    void onActionExecuted(const Action &action, Thing::ThingError status);
    void onChargingModeChanged(const ThingId &evChargerId, const ChargingConfiguration &chargingConfiguration);

private:
    // --- life cycle and update trigger (smartchargingmanager.cpp) ---
    // Phase limit, acquisition tolerance and battery limits from the settings file.
    void readGlobalSettings();
    // The books' signals become the manager's.
    void connectBooks();
    // Follows the host's things, actions, root meter and energy logs.
    void connectHost();
    void onPowerBalanceEntryAdded(EnergyLogs::SampleRate sampleRate, const PowerBalanceLogEntry &entry);
    static bool isInCurrentMinute(const QDateTime &timestamp, const QDateTime &now);

    // --- the steps of the cycle update() runs, beside the slots above ---
    void sampleDeliveredEnergy(const QDateTime &currentDateTime);
    void evaluateChargingLocks(const QDateTime &currentDateTime);
    // Hands the cycle's forecast, house load and production to the solar coverage.
    void sampleSun(const QDateTime &currentDateTime);
    void checkOverload(const QDateTime &currentDateTime);
    void openHeadroom(const QDateTime &currentDateTime);
    void recoverFromOverload(const QDateTime &currentDateTime);

    // The context and the steps of the cycle.
    ChargingSteps m_steps;
    QPointer<SolarForecastManager> m_solarForecastManager;
};

#endif // SMARTCHARGINGMANAGER_H
