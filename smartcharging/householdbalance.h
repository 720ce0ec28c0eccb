#ifndef HOUSEHOLDBALANCE_H
#define HOUSEHOLDBALANCE_H

#include "tavro/thing.h"

#include <QList>

class EvChargerAc;
struct ChargingContext;

using EvChargerAcs = QList<EvChargerAc *>;

// The household as the planners see it: the home batteries, and what the
// root meter and the phase limit leave the chargers. Reads the meter and the
// batteries when asked; the context is not owned.
class HouseholdBalance
{
public:
    // All home batteries together.
    struct HomeBattery {
        int count = 0;
        double level = 0;             // %, the mean rounded to whole percent (0 without batteries)
        double power = 0;             // W, positive while charging
        bool belowLowerLimit = false; // level under the consideration limit: the battery goes first
        bool dischargeUsable = false; // level above the upper limit: its discharge may feed the cars
        // W the battery adds to the surplus: what it charges with, a discharge
        // it may not give counted against it. While it goes first it counts
        // as charging with the most it has been seen to charge with since
        // (ChargingContext::batteryChargeSeen): what it charges with less
        // counts against the surplus, so the cars get only what it cannot take.
        double surplusTerm = 0;
        // W the battery adds while it goes first (below its lower limit, or to
        // a car waiting for it to recover): at most 0, as surplusTerm below it.
        double goingFirstTerm = 0;
    };

    explicit HouseholdBalance(const ChargingContext &context)
        : m_context(context)
    {
    }

    // The tracked things with the "energystorage" interface, in the thing
    // manager's order: a look-up per charger and cycle must not scan every thing.
    Things energyStorages() const;
    HomeBattery homeBattery() const;
    // The battery limits as whole percent.
    double lowerLimitPercent() const;
    double upperLimitPercent() const;

    // W the chargers may share from the grid: what they draw, the export and
    // what the phase limit leaves, less reservedPower (W); at least 0.
    double availableAcChargingPower(const EvChargerAcs &chargers, double reservedPower) const;
    // W the chargers may share from the surplus (home battery counted in),
    // less reservedPower (W); at least 0.
    double availableAcSurplusChargingPower(const EvChargerAcs &chargers, double reservedPower) const;
    // The same before the floor at 0: below 0 (W) by what the household
    // imports beyond the chargers' own draw and what the DC cars can shed.
    double acSurplusBalance(const EvChargerAcs &chargers, double reservedPower) const;
    // The acquisition tolerance (0..1) the surplus shares with: 1 while a home
    // battery may not pay for what the surplus does not cover.
    double surplusAcquisitionTolerance() const;
    // W the phase limit leaves on all three phases, after what this cycle's
    // commands took; -1 without a meter or a limit.
    double availableDcChargingPowerByPhaseLimit() const;
    // The same, at least 0.
    double availableDcOverloadThrottlePower() const;
    // W the DC chargers may add on all three phases and keep the margin the
    // AC commands keep free at the meter; below 0 when a phase is over
    // (they must take less), infinite without a meter or a limit.
    double dcPhaseLimitHeadroom() const;

private:
    // A the phase limit leaves on all three phases (below 0 when one is
    // over); needs a root meter and a limit.
    double allPhasesAllowance() const;

    const ChargingContext &m_context;
};

#endif // HOUSEHOLDBALANCE_H
