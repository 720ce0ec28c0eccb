#include "householdbalance.h"
#include "chargingcontext.h"
#include "phaseheadroom.h"

#include "common/tavroenergylogging.h"
#include "common/units.h"
#include "devices/evchargerac.h"
#include "devices/rootmeter.h"

#include <cmath>
#include <limits>

namespace {

// A fraction as whole percent, rounded half away from zero.
double wholePercent(double fraction)
{
    return std::round(fraction * 100);
}

double nonNegativePowerSum(const EvChargerAcs &chargers)
{
    double power = 0;
    for (EvChargerAc *charger : chargers)
        power += qMax(0.0, charger->currentPower());
    return power;
}

} // namespace

Things HouseholdBalance::energyStorages() const
{
    Things storages;
    for (const QPointer<Thing> &storage : m_context.energyStorages) {
        if (storage)
            storages.append(storage.data());
    }
    return storages;
}

HouseholdBalance::HomeBattery HouseholdBalance::homeBattery() const
{
    const Things storages = energyStorages();
    double levelSum = 0;
    double powerSum = 0;
    for (Thing *storage : storages) {
        levelSum += storage->stateValue(QStringLiteral("batteryLevel")).toDouble();
        powerSum += storage->stateValue(QStringLiteral("currentPower")).toDouble();
    }

    HomeBattery battery;
    battery.count = storages.count();
    if (battery.count == 0)
        return battery;
    battery.level = std::round(levelSum / battery.count);
    battery.power = powerSum;
    battery.belowLowerLimit = battery.level < lowerLimitPercent();
    battery.dischargeUsable = upperLimitPercent() < battery.level;
    battery.goingFirstTerm = battery.power - qMax(m_context.batteryChargeSeen, battery.power);
    if (battery.belowLowerLimit)
        battery.surplusTerm = battery.goingFirstTerm;
    else if (battery.power > 0)
        battery.surplusTerm = battery.power;
    else if (battery.power < 0)
        battery.surplusTerm = battery.dischargeUsable ? 0 : battery.power;
    return battery;
}

double HouseholdBalance::lowerLimitPercent() const
{
    return wholePercent(m_context.batteryLevelLowerLimit);
}

double HouseholdBalance::upperLimitPercent() const
{
    return wholePercent(m_context.batteryLevelUpperLimit);
}

double HouseholdBalance::availableAcChargingPower(const EvChargerAcs &chargers, double reservedPower) const
{
    const double chargerPower = nonNegativePowerSum(chargers);
    if (!m_context.rootMeter)
        return qMax(chargerPower - reservedPower, 0.0);

    double headroom = 0;
    if (m_context.phasePowerLimit != 0) {
        const double allowance =
                m_context.rootMeter->calculateAllowanceAmpere(Electricity::PhaseNone, m_context.phasePowerLimit);
        if (allowance > 0)
            headroom = allowance * Units::phaseVoltage * 3;
    }
    const double rootPower = m_context.rootMeter->currentPower();
    const double exportPower = rootPower < 0 ? -rootPower : 0;
    return qMax(exportPower + chargerPower + headroom - reservedPower, 0.0);
}

double HouseholdBalance::availableAcSurplusChargingPower(const EvChargerAcs &chargers, double reservedPower) const
{
    const double groupPower = nonNegativePowerSum(chargers);
    const double rootPower = m_context.rootMeter ? m_context.rootMeter->currentPower() : 0;
    const HomeBattery battery = homeBattery();

    const double available = qMax(acSurplusBalance(chargers, reservedPower), 0.0);
    qCDebug(dcTavroEnergy()) << "AC surplus share budget:"
                             << "current group power:" << groupPower << "root power:" << rootPower
                             << "energy storage count:" << battery.count << "energy storage SoC:" << battery.level
                             << "energy storage power:" << battery.power
                             << "energy storage surplus power:" << battery.surplusTerm
                             << "surplus blocked by energy storage:" << battery.belowLowerLimit
                             << "battery lower limit:" << lowerLimitPercent()
                             << "battery upper limit:" << upperLimitPercent()
                             << "battery discharge usable:" << battery.dischargeUsable << "reserved:" << reservedPower
                             << "available for sharing:" << available;
    return available;
}

double HouseholdBalance::acSurplusBalance(const EvChargerAcs &chargers, double reservedPower) const
{
    const double rootPower = m_context.rootMeter ? m_context.rootMeter->currentPower() : 0;
    // A DC car's discharge is not surplus, nor the sun kept for a DC car
    // short of a target time (see SurplusPlanner::surplusRootLoad).
    const double netLoad = rootPower + m_context.dcFeedIn() + m_context.dcDeadlineClaim - homeBattery().surplusTerm;
    return nonNegativePowerSum(chargers) - netLoad + m_context.importDcCanShed(chargers, netLoad) - reservedPower;
}

double HouseholdBalance::surplusAcquisitionTolerance() const
{
    // A home battery that may not be discharged into the car must not pay
    // for the part of the minimum that the surplus does not cover.
    const HomeBattery battery = homeBattery();
    return (battery.count > 0 && !battery.dischargeUsable) ? 1.0 : m_context.acquisitionTolerance;
}

double HouseholdBalance::allPhasesAllowance() const
{
    // Within a cycle the AC chargers may have taken some of it already.
    return m_context.availableOnAllPhases();
}

double HouseholdBalance::availableDcChargingPowerByPhaseLimit() const
{
    if (!m_context.rootMeter || m_context.phasePowerLimit == 0)
        return -1.0;
    return qMax(0.0, allPhasesAllowance()) * Units::phaseVoltage * 3;
}

double HouseholdBalance::dcPhaseLimitHeadroom() const
{
    if (!m_context.rootMeter || m_context.phasePowerLimit == 0)
        return std::numeric_limits<double>::infinity();
    return (allPhasesAllowance() - Units::phaseLimitMargin) * Units::phaseVoltage * 3;
}

double HouseholdBalance::availableDcOverloadThrottlePower() const
{
    return qMax(0.0, availableDcChargingPowerByPhaseLimit());
}
