#ifndef CHARGINGPROCESSINFO_H
#define CHARGINGPROCESSINFO_H

#include "types/chargingschedule.h"

#include "tavro/electricity.h"

#include <QDateTime>

// The per-charger planning record of one update cycle: what the charger can
// do, what the car can take and what its configuration asks for. AC records
// are rebuilt every cycle (carrying the two energy counters over); DC
// records are kept and updated in place.
struct ChargingProcessInfo {
    uint effectivePhaseCount = 1; // phases the car charges on now
    Electricity::Phases effectivePhases = Electricity::PhaseA;
    double capacity = 40000.0; // Wh
    double capacityKwh = 40.0; // kWh
    int batteryLevel = 100;    // %
    uint carPhaseCount = 1;
    double lossFactor = 0.9;                // share of grid energy reaching the battery
    uint chargingEnergyLoss = 10;           // %
    uint minChargingCurrent = 6;            // A
    uint maxChargingCurrent = 80;           // A
    int remainingPercentage = 0;            // %
    double remainingChargingHours = 0.0;    // h
    double chargerPhaseLimitPower = 1380.0; // W per phase
    double phaseLimitPower = 0.0;           // W per phase, household and charger limit
    double fullChargingHours = 0.0;         // h from 0 to 100 %
    double voltage = 230.0;                 // V
    QDateTime projectedEndTime;
    bool phaseSwitchingPossible = false;
    bool carLimitedToSinglePhase = false;
    uint maxPhaseCount = 1;
    uint minPhaseCount = 1;
    Electricity::Phases maxPhases = Electricity::PhaseA;
    double chargedEnergyToday = 0.0;        // kWh
    double dailySpotMarketEnergy = 0.0;     // kWh
    double dailySpotMarketPercentage = 0.0; // %
    bool dailySpotMarketRequired = false;
    bool spotMarketUntilTargetTime = false;
    uint spotMarketMissingMinutes = 0;  // of the target plan: minutes no slot before the target could take
    uint spotMarketSunMinutes = 0;      // of the target plan: minutes left to the expected sun
    bool targetTimeUnreachable = false; // the target time cannot be met, even charging at once
    // The target time the charger must meet (target-time mode); invalid
    // without one. Deadlines that compete for the fuse are served earliest first.
    QDateTime deadline;
    // % the car can have by its deadline with what the fuse leaves it, after
    // the chargers whose deadlines come first: at best (the most the house
    // left the cars during the last hours) and as it is now. -1 when not
    // estimated (no deadline or no phase limit): the charging time tells.
    double deadlineReachablePercentage = -1;
    double deadlineReachableNowPercentage = -1;
    // When the car must be charging at the latest for the deadlines that
    // count on it (its own and later ones, which wait for it); invalid
    // without one.
    QDateTime deadlineStartBy;
    // Place in the order the fuse serves the cars that charge from the grid
    // for a deadline or a daily share: a lower place first, equal places
    // alike; -1 when not placed (no phase limit, surplus only).
    int fusePlace = -1;
    // A per phase the fuse leaves a DC car charging from the grid in that
    // order (what its deadline plan counts on); -1 when not planned.
    double dcFuseShare = -1;
    double lastTotalEnergyCharged = 0.0; // kWh, last "totalEnergyCharged" reading
    ChargingSchedule chargingSchedule;

    // Phases the car draws at the most phases it can be told (maxPhaseCount):
    // a two-phase car on a charger that switches between one and three draws
    // two. Energy and charging times count these; commands keep maxPhaseCount.
    uint drawnPhaseCount() const
    {
        return qMax(1u, carPhaseCount > 0 ? qMin(maxPhaseCount, carPhaseCount) : maxPhaseCount);
    }
    // The fewest phases it can be told: its minimum where the charger
    // switches, else the phases it always charges on.
    uint fewestPhaseCount() const { return qMax(1u, phaseSwitchingPossible ? minPhaseCount : maxPhaseCount); }
};

#endif // CHARGINGPROCESSINFO_H
