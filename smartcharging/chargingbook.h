#ifndef CHARGINGBOOK_H
#define CHARGINGBOOK_H

#include "types/chargingconfiguration.h"
#include "types/chargingstate.h"

#include "tavro/thing.h"

#include <QHash>
#include <QObject>

#include <functional>
#include <map>

// The book of every charger's configuration and state. Each change is
// announced exactly once, and only a real change: writers hand in what they
// want and the book compares. Restored configurations and the manual restore
// values of a configuration are stored without a signal.
class ChargingBook : public QObject
{
    Q_OBJECT
public:
    // Surplus coverage of a charger (0..1, -1 when it draws nothing).
    using CoverageSource = std::function<double(const ThingId &evChargerId)>;

    explicit ChargingBook(QObject *parent = nullptr);

    // Where new and refreshed states take their coverage from (-1 until set).
    void setCoverageSource(const CoverageSource &source) { m_coverage = source; }

    // --- configurations ---
    const QHash<ThingId, ChargingConfiguration> &configurations() const { return m_configurations; }
    bool hasConfiguration(const ThingId &evChargerId) const { return m_configurations.contains(evChargerId); }
    // The stored configuration, or the default one of the charger. The
    // reference holds until the book's configurations next change: copy it
    // to keep it across a write or a command to a charger.
    const ChargingConfiguration &configuration(const ThingId &evChargerId) const;
    // From the settings file: stored without a signal.
    void restoreConfiguration(const ChargingConfiguration &configuration);
    // A new charger's configuration (its default one, or the one the
    // settings file kept), announced; nothing when it has one.
    void addConfiguration(const ChargingConfiguration &configuration);
    // Stores a configuration the caller found changed; the caller announces it.
    void storeConfiguration(const ChargingConfiguration &configuration);
    // Changes a stored configuration's mode; false when there is none or it
    // has that mode already. changed receives the result, which the caller
    // announces.
    bool setChargingMode(const ThingId &evChargerId, ChargingConfiguration::ChargingMode mode,
                         ChargingConfiguration *changed);
    void announceConfiguration(const ChargingConfiguration &configuration);
    // The values normal mode restores (A, phases; W for DC), not announced.
    void setManualAcParameters(const ThingId &evChargerId, bool enabled, double maxChargingCurrent,
                               uint desiredPhaseCount);
    void setManualDcParameters(const ThingId &evChargerId, bool enabled, double chargingPower);

    // --- states ---
    const QHash<ThingId, ChargingState> &states() const { return m_states; }
    bool hasState(const ThingId &evChargerId) const { return m_states.contains(evChargerId); }
    // The stored state, or a default one with a null charger id.
    ChargingState state(const ThingId &evChargerId) const { return m_states.value(evChargerId); }
    // A new charger's state with the lock duration (s), announced; nothing
    // when it has one.
    void addState(const ThingId &evChargerId, int powerLockDuration);
    // Forgets configuration and state; both removals are announced.
    void removeCharger(const ThingId &evChargerId);

    // Replaces the stored state of its charger and announces it when it
    // differs; a charger without a stored state is left alone. The same
    // holds for every setter below.
    void commitState(const ChargingState &state);
    // Idle, no overshoot, no battery flag, the given reason; coverage refreshed.
    void resetTransient(const ThingId &evChargerId, ChargingState::WaitingReason waitingReason);
    // A mode other than idle clears the waiting reason; coverage refreshed.
    void setMode(const ThingId &evChargerId, ChargingState::Mode mode);
    void setTargetTimeOvershot(const ThingId &evChargerId, int seconds);
    // Active sets the home-battery reason, inactive clears it.
    void setBatteryLevelConsiderationActive(const ThingId &evChargerId, bool active);
    void setWaitingReason(const ThingId &evChargerId, ChargingState::WaitingReason waitingReason);
    // Mode, battery flag and waiting reason in one change; coverage refreshed.
    void setModeAndReason(const ThingId &evChargerId, ChargingState::Mode mode, bool batteryLevelConsiderationActive,
                          ChargingState::WaitingReason waitingReason);
    // Throttle 0..1 (clamped; 0 when inactive).
    void setOverloadProtection(const ThingId &evChargerId, bool active, double throttle);
    // True when it changed.
    bool setTargetPercentageReached(const ThingId &evChargerId, bool reached);
    // The target is reached: idle, no overshoot, no battery flag, no reason.
    void markTargetPercentageReached(const ThingId &evChargerId);
    // The on/off lock engaged: always announced, the countdown may have been
    // stored quietly just before.
    void announcePowerLockSeconds(const ThingId &evChargerId, int seconds);
    // A running countdown is stored quietly (it ticks every second); only an
    // extended lock is announced.
    void storePowerLockSeconds(const ThingId &evChargerId, int seconds);
    // Recalculates the coverage; announced when it moved by 1e-6 or more.
    void refreshCoverage(const ThingId &evChargerId);
    void refreshAllCoverages();

signals:
    void chargingConfigurationAdded(const ChargingConfiguration &chargingConfiguration);
    void chargingConfigurationRemoved(const ThingId &evChargerThingId);
    void chargingConfigurationChanged(const ChargingConfiguration &chargingConfiguration);
    void chargingStateAdded(const ChargingState &chargingState);
    void chargingStateRemoved(const ThingId &evChargerThingId);
    void chargingStateChanged(const ChargingState &chargingState);

private:
    double coverage(const ThingId &evChargerId) const;
    // Refreshes the coverage held in state when it moved by 1e-6 or more.
    void refreshCoverageOf(ChargingState &state) const;

    QHash<ThingId, ChargingConfiguration> m_configurations;
    // The default configurations handed out for chargers without a stored
    // one; a node map, so handed-out references survive later inserts.
    mutable std::map<ThingId, ChargingConfiguration> m_defaultConfigurations;
    QHash<ThingId, ChargingState> m_states;
    CoverageSource m_coverage;
};

#endif // CHARGINGBOOK_H
