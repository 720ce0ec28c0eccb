#include "chargingbook.h"

#include "common/tavroenergylogging.h"

namespace {
// Surplus coverages closer than this count as unchanged, so that rounding
// noise of a recalculation is not broadcast.
const double surplusCoverageTolerance = 0.000001;
}

ChargingBook::ChargingBook(QObject *parent)
    : QObject(parent)
{
}

const ChargingConfiguration &ChargingBook::configuration(const ThingId &evChargerId) const
{
    const auto stored = m_configurations.constFind(evChargerId);
    if (stored != m_configurations.constEnd())
        return stored.value();
    // Made afresh each time, as a copy would be: a default takes the
    // locale of the moment.
    ChargingConfiguration &fallback = m_defaultConfigurations[evChargerId];
    fallback = ChargingConfiguration(evChargerId);
    return fallback;
}

void ChargingBook::restoreConfiguration(const ChargingConfiguration &configuration)
{
    m_configurations.insert(configuration.evChargerId(), configuration);
}

void ChargingBook::addConfiguration(const ChargingConfiguration &configuration)
{
    if (m_configurations.contains(configuration.evChargerId()))
        return;
    m_configurations.insert(configuration.evChargerId(), configuration);
    emit chargingConfigurationAdded(configuration);
}

void ChargingBook::storeConfiguration(const ChargingConfiguration &configuration)
{
    m_configurations.insert(configuration.evChargerId(), configuration);
}

void ChargingBook::announceConfiguration(const ChargingConfiguration &configuration)
{
    emit chargingConfigurationChanged(configuration);
}

bool ChargingBook::setChargingMode(const ThingId &evChargerId, ChargingConfiguration::ChargingMode mode,
                                   ChargingConfiguration *changed)
{
    auto it = m_configurations.find(evChargerId);
    if (it == m_configurations.end() || it->chargingMode() == mode)
        return false;
    it->setChargingMode(mode);
    // Copy: a receiver of the signal may change the table.
    *changed = it.value();
    return true;
}

void ChargingBook::setManualAcParameters(const ThingId &evChargerId, bool enabled, double maxChargingCurrent,
                                         uint desiredPhaseCount)
{
    auto it = m_configurations.find(evChargerId);
    if (it == m_configurations.end())
        return;
    it->setManualChargingEnabled(enabled);
    it->setManualMaxChargingCurrent(maxChargingCurrent);
    it->setManualDesiredPhaseCount(desiredPhaseCount);
}

void ChargingBook::setManualDcParameters(const ThingId &evChargerId, bool enabled, double chargingPower)
{
    auto it = m_configurations.find(evChargerId);
    if (it == m_configurations.end())
        return;
    it->setManualChargingEnabled(enabled);
    it->setManualChargingPower(chargingPower);
}

void ChargingBook::addState(const ThingId &evChargerId, int powerLockDuration)
{
    if (m_states.contains(evChargerId))
        return;
    ChargingState state(evChargerId);
    state.setPowerLockDuration(powerLockDuration);
    state.setSurplusCoverage(coverage(evChargerId));
    m_states.insert(evChargerId, state);
    emit chargingStateAdded(state);
}

void ChargingBook::removeCharger(const ThingId &evChargerId)
{
    m_configurations.remove(evChargerId);
    m_defaultConfigurations.erase(evChargerId);
    m_states.remove(evChargerId);
    emit chargingConfigurationRemoved(evChargerId);
    emit chargingStateRemoved(evChargerId);
}

void ChargingBook::commitState(const ChargingState &state)
{
    auto it = m_states.find(state.evChargerId());
    if (it == m_states.end() || it.value() == state)
        return;
    it.value() = state;
    emit chargingStateChanged(state);
}

void ChargingBook::resetTransient(const ThingId &evChargerId, ChargingState::WaitingReason waitingReason)
{
    if (!m_states.contains(evChargerId))
        return;
    ChargingState state = m_states.value(evChargerId);
    state.setMode(ChargingState::ModeIdle);
    state.setTargetTimeOvershot(0);
    state.setBatteryLevelConsiderationActive(false);
    state.setWaitingReason(waitingReason);
    refreshCoverageOf(state);
    commitState(state);
}

void ChargingBook::setMode(const ThingId &evChargerId, ChargingState::Mode mode)
{
    if (!m_states.contains(evChargerId))
        return;
    ChargingState state = m_states.value(evChargerId);
    state.setMode(mode);
    // A charger that does something no longer waits for anything.
    if (mode != ChargingState::ModeIdle)
        state.setWaitingReason(ChargingState::WaitingReasonNone);
    refreshCoverageOf(state);
    commitState(state);
}

void ChargingBook::setTargetTimeOvershot(const ThingId &evChargerId, int seconds)
{
    // Never creates a state for an unknown id.
    if (!m_states.contains(evChargerId))
        return;
    ChargingState state = m_states.value(evChargerId);
    state.setTargetTimeOvershot(seconds);
    commitState(state);
}

void ChargingBook::setBatteryLevelConsiderationActive(const ThingId &evChargerId, bool active)
{
    if (!m_states.contains(evChargerId))
        return;
    ChargingState state = m_states.value(evChargerId);
    state.setBatteryLevelConsiderationActive(active);
    if (active)
        state.setWaitingReason(ChargingState::WaitingReasonHomeBattery);
    else if (state.waitingReason() == ChargingState::WaitingReasonHomeBattery)
        state.setWaitingReason(ChargingState::WaitingReasonNone);
    commitState(state);
}

void ChargingBook::setWaitingReason(const ThingId &evChargerId, ChargingState::WaitingReason waitingReason)
{
    if (!m_states.contains(evChargerId))
        return;
    ChargingState state = m_states.value(evChargerId);
    state.setWaitingReason(waitingReason);
    commitState(state);
}

void ChargingBook::setModeAndReason(const ThingId &evChargerId, ChargingState::Mode mode,
                                    bool batteryLevelConsiderationActive, ChargingState::WaitingReason waitingReason)
{
    if (!m_states.contains(evChargerId))
        return;
    ChargingState state = m_states.value(evChargerId);
    state.setMode(mode);
    state.setBatteryLevelConsiderationActive(batteryLevelConsiderationActive);
    state.setWaitingReason(waitingReason);
    refreshCoverageOf(state);
    commitState(state);
}

void ChargingBook::setOverloadProtection(const ThingId &evChargerId, bool active, double throttle)
{
    throttle = active ? qBound(0.0, throttle, 1.0) : 0.0;
    auto it = m_states.find(evChargerId);
    if (it == m_states.end())
        return;

    bool changed = false;
    if (it->overloadProtectionActive() != active) {
        it->setOverloadProtectionActive(active);
        changed = true;
    }
    if (qAbs(it->overloadProtectionThrottle() - throttle) >= 0.000001) {
        it->setOverloadProtectionThrottle(throttle);
        changed = true;
    }
    if (changed)
        emit chargingStateChanged(*it);
}

bool ChargingBook::setTargetPercentageReached(const ThingId &evChargerId, bool reached)
{
    auto state = m_states.find(evChargerId);
    if (state == m_states.end() || state->targetPercentageReached() == reached)
        return false;
    state->setTargetPercentageReached(reached);
    const ChargingState changed = *state;
    emit chargingStateChanged(changed);
    return true;
}

void ChargingBook::markTargetPercentageReached(const ThingId &evChargerId)
{
    // All fields at once, so that the change is announced once.
    auto state = m_states.find(evChargerId);
    if (state == m_states.end())
        return;
    const ChargingState before = *state;
    state->setBatteryLevelConsiderationActive(false);
    state->setTargetPercentageReached(true);
    state->setTargetTimeOvershot(0);
    state->setMode(ChargingState::ModeIdle);
    state->setWaitingReason(ChargingState::WaitingReasonNone);
    if (*state != before) {
        const ChargingState changed = *state;
        emit chargingStateChanged(changed);
        qCDebug(dcTavroEnergy()) << changed;
    }
}

void ChargingBook::announcePowerLockSeconds(const ThingId &evChargerId, int seconds)
{
    auto it = m_states.find(evChargerId);
    if (it == m_states.end())
        return;
    it->setPowerLockSeconds(seconds);
    emit chargingStateChanged(it.value());
}

void ChargingBook::storePowerLockSeconds(const ThingId &evChargerId, int seconds)
{
    auto it = m_states.find(evChargerId);
    if (it == m_states.end())
        return;
    const bool extended = it->powerLockSeconds() > 0 && it->powerLockSeconds() < seconds;
    it->setPowerLockSeconds(seconds);
    if (extended)
        emit chargingStateChanged(it.value());
}

void ChargingBook::refreshCoverage(const ThingId &evChargerId)
{
    auto state = m_states.find(evChargerId);
    if (state == m_states.end())
        return;

    const double value = coverage(evChargerId);
    if (qAbs(value - state->surplusCoverage()) < surplusCoverageTolerance)
        return;

    state->setSurplusCoverage(value);
    const ChargingState changed = *state;
    emit chargingStateChanged(changed);
}

void ChargingBook::refreshAllCoverages()
{
    const QList<ThingId> chargerIds = m_states.keys();
    for (const ThingId &chargerId : chargerIds)
        refreshCoverage(chargerId);
}

double ChargingBook::coverage(const ThingId &evChargerId) const
{
    return m_coverage ? m_coverage(evChargerId) : -1.0;
}

void ChargingBook::refreshCoverageOf(ChargingState &state) const
{
    const double value = coverage(state.evChargerId());
    if (qAbs(value - state.surplusCoverage()) >= surplusCoverageTolerance)
        state.setSurplusCoverage(value);
}
