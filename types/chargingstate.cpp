#include "chargingstate.h"

#include <QMetaEnum>

#include <cmath>

ChargingState::ChargingState(const ThingId &evChargerId)
    : m_evChargerId(evChargerId)
{
}

QString ChargingState::modeToString(Mode mode)
{
    switch (mode) {
    case ModeSurplusCharging:
        return QStringLiteral("surplus charging");
    case ModeSpotMarketCharging:
        return QStringLiteral("spot market charging");
    case ModeTimeRequirement:
        return QStringLiteral("time requirement");
    case ModeDischarging:
        return QStringLiteral("discharging");
    case ModeIdle:
        break;
    }
    return QStringLiteral("idle");
}

ThingId ChargingState::evChargerId() const
{
    return m_evChargerId;
}

void ChargingState::setEvChargerId(const ThingId &evChargerId)
{
    m_evChargerId = evChargerId;
}

ChargingState::Mode ChargingState::mode() const
{
    return m_mode;
}

void ChargingState::setMode(Mode mode)
{
    m_mode = mode;
}

bool ChargingState::overloadProtectionActive() const
{
    return m_overloadProtectionActive;
}

void ChargingState::setOverloadProtectionActive(bool overloadProtectionActive)
{
    m_overloadProtectionActive = overloadProtectionActive;
}

double ChargingState::overloadProtectionThrottle() const
{
    return m_overloadProtectionThrottle;
}

void ChargingState::setOverloadProtectionThrottle(double overloadProtectionThrottle)
{
    m_overloadProtectionThrottle = overloadProtectionThrottle;
}

int ChargingState::targetTimeOvershot() const
{
    return m_targetTimeOvershot;
}

void ChargingState::setTargetTimeOvershot(int targetTimeOvershot)
{
    m_targetTimeOvershot = targetTimeOvershot;
}

bool ChargingState::targetPercentageReached() const
{
    return m_targetPercentageReached;
}

void ChargingState::setTargetPercentageReached(bool targetPercentageReached)
{
    m_targetPercentageReached = targetPercentageReached;
}

int ChargingState::powerLockSeconds() const
{
    return m_powerLockSeconds;
}

void ChargingState::setPowerLockSeconds(int powerLockSeconds)
{
    m_powerLockSeconds = powerLockSeconds;
}

int ChargingState::powerLockDuration() const
{
    return m_powerLockDuration;
}

void ChargingState::setPowerLockDuration(int powerLockDuration)
{
    m_powerLockDuration = powerLockDuration;
}

bool ChargingState::batteryLevelConsiderationActive() const
{
    return m_batteryLevelConsiderationActive;
}

void ChargingState::setBatteryLevelConsiderationActive(bool batteryLevelConsiderationActive)
{
    m_batteryLevelConsiderationActive = batteryLevelConsiderationActive;
}

ChargingState::WaitingReason ChargingState::waitingReason() const
{
    return m_waitingReason;
}

void ChargingState::setWaitingReason(WaitingReason waitingReason)
{
    m_waitingReason = waitingReason;
}

double ChargingState::surplusCoverage() const
{
    return m_surplusCoverage;
}

void ChargingState::setSurplusCoverage(double surplusCoverage)
{
    m_surplusCoverage = surplusCoverage;
}

bool ChargingState::operator==(const ChargingState &other) const
{
    static const double tolerance = 0.000001;
    return m_evChargerId == other.m_evChargerId && m_mode == other.m_mode
           && m_overloadProtectionActive == other.m_overloadProtectionActive
           && std::fabs(m_overloadProtectionThrottle - other.m_overloadProtectionThrottle) < tolerance
           && m_targetTimeOvershot == other.m_targetTimeOvershot
           && m_targetPercentageReached == other.m_targetPercentageReached
           && m_powerLockSeconds == other.m_powerLockSeconds && m_powerLockDuration == other.m_powerLockDuration
           && m_batteryLevelConsiderationActive == other.m_batteryLevelConsiderationActive
           && m_waitingReason == other.m_waitingReason
           && std::fabs(m_surplusCoverage - other.m_surplusCoverage) < tolerance;
}

bool ChargingState::operator!=(const ChargingState &other) const
{
    return !(*this == other);
}

ChargingStates::ChargingStates(const QList<ChargingState> &other)
    : QList<ChargingState>(other)
{
}

QVariant ChargingStates::get(int index) const
{
    if (index < 0 || index >= count())
        return QVariant();
    return QVariant::fromValue(at(index));
}

void ChargingStates::put(const QVariant &variant)
{
    append(variant.value<ChargingState>());
}

QDebug operator<<(QDebug debug, const ChargingState &state)
{
    QDebugStateSaver saver(debug);
    debug.nospace().noquote() << "ChargingState: Charger: " << state.evChargerId().toString()
                              << ", Mode: " << QMetaEnum::fromType<ChargingState::Mode>().valueToKey(state.mode())
                              << ", Overload protection: " << (state.overloadProtectionActive() ? "true" : "false")
                              << " (throttle " << state.overloadProtectionThrottle() << ")"
                              << ", Target time overshot: " << state.targetTimeOvershot() << "s"
                              << ", Target reached: " << (state.targetPercentageReached() ? "true" : "false")
                              << ", Power lock: " << state.powerLockSeconds() << " / " << state.powerLockDuration()
                              << "s"
                              << ", Battery level consideration: "
                              << (state.batteryLevelConsiderationActive() ? "true" : "false") << ", Waiting reason: "
                              << QMetaEnum::fromType<ChargingState::WaitingReason>().valueToKey(state.waitingReason())
                              << ", Surplus coverage: " << state.surplusCoverage();
    return debug;
}
