#ifndef SURPLUSPLANNER_H
#define SURPLUSPLANNER_H

#include "smartcharging/chargingprocessinfo.h"
#include "smartcharging/surplusgate.h"
#include "types/chargingaction.h"
#include "types/chargingconfiguration.h"
#include "types/scoreentries.h"
#include "types/timeframe.h"

#include "tavro/thing.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>

class EvChargerAc;
class EvChargerDc;
class HouseholdBalance;
class OwnerNotifier;
class ProcessPreparation;
struct ChargingContext;

using EvChargerAcs = QList<EvChargerAc *>;

// Plans the eco chargers on the solar surplus (home battery counted in) and
// the target-time chargers' deadline schedules; calm switching through one
// SurplusGate per charger. Also the deadline arithmetic the DC chargers
// share. Collaborators are not owned.
class SurplusPlanner
{
public:
    SurplusPlanner(ChargingContext &context, const HouseholdBalance &balance, ProcessPreparation &preparation,
                   OwnerNotifier &notifier)
        : m_context(context),
          m_balance(balance),
          m_preparation(preparation),
          m_notifier(notifier)
    {
    }

    void planSurplusCharging(const QDateTime &currentDateTime);
    // Share (0..1) of what the charger draws that the surplus covers; -1
    // when it draws nothing.
    double calculateSurplusCoverage(const ThingId &evChargerId) const;

    // h the deadline planning counts with: the estimated charging time plus
    // a reserve while a phase limit may slow the charge down.
    double plannedChargingHours(const ChargingProcessInfo &info) const;
    // h of it to buy when the sun is expected to give sunHours of charging
    // first: the reserve is for the grid's part only, the sun needs no fuse.
    double plannedGridHours(const ChargingProcessInfo &info, double sunHours) const;
    // The factor plannedGridHours grows the grid's part by: 1 plus the
    // reserve (1 without a phase limit).
    double deadlineReserveFactor() const;
    // frames, planned for minutes with the deadline reserve in them (AC or
    // DC), with the reserve moved into the cheapest slots after the others
    // where these hold all of it and cost no more than the reserve loses
    // where it is; else frames as they are (the minutes placed stay the
    // same). Left as they are while another car is placed on the fuse.
    QList<TimeFrame> reserveLast(const ChargingProcessInfo &info, const ScoreEntries &weighted,
                                 const QList<TimeFrame> &frames, uint minutes, uint minimumScheduleDuration,
                                 bool charging, const QDateTime &target, const QDateTime &currentDateTime) const;
    // % the car can have by endDateTime charging from now on at the power
    // the charging time was estimated with (at most 100).
    static double reachablePercentage(const ChargingProcessInfo &info, const QDateTime &currentDateTime,
                                      const QDateTime &endDateTime);
    // % the owner is promised for endDateTime when the target is out of reach.
    static double promisedPercentage(const ChargingProcessInfo &info, const QDateTime &currentDateTime,
                                     const QDateTime &endDateTime);
    // Percentage points the promise may be off by: half the difference
    // between the best case and the house as it is now (0 without both).
    static double promiseUncertainty(const ChargingProcessInfo &info, const QDateTime &endDateTime);
    // Tells the owner, once per target time and again when the promise
    // moved, that the charger's target cannot be met (log and notification).
    void reportTargetTimeUnreachable(const ThingId &evChargerId, const ChargingConfiguration &configuration,
                                     const QDateTime &endDateTime, const ChargingProcessInfo &info,
                                     const QDateTime &currentDateTime);
    // Tells the owner, once, that a target he was told is out of reach will
    // be met after all (log and notification).
    void reportTargetTimeBackInReach(const ThingId &evChargerId, const ChargingConfiguration &configuration,
                                     const QDateTime &endDateTime, const ChargingProcessInfo &info,
                                     const QDateTime &currentDateTime);
    // The target time each charger was last reported unreachable for, so
    // that a restart does not tell the owner twice.
    QHash<ThingId, QDateTime> reportedUnreachableTargets() const;
    // The level promised then is not kept: the next promise is taken as it.
    void restoreReportedUnreachableTarget(const ThingId &evChargerId, const QDateTime &endDateTime)
    {
        m_unreachableTargetsReported.insert(evChargerId, {endDateTime, 0, false});
    }
    // The calming delays of the tuning file.
    SurplusGate::Delays surplusGateDelays() const;
    // When the charger last started, stopped and switched phases on surplus.
    SurplusGate &gate(const ThingId &evChargerId);
    // The charger went away.
    void forget(const ThingId &evChargerId);

private:
    // Another car than info's, not yet at its target, is placed on the fuse.
    bool fuseSharedWith(const ChargingProcessInfo &info) const;
    // The chargers the surplus may drive (eco modes, plugged in, prepared,
    // target not reached); sets *schedulesChanged when one was dropped.
    EvChargerAcs selectSurplusChargers(bool *schedulesChanged);
    // Plans the charger's target-time schedule; true when it must charge at
    // full power now (it then leaves the surplus plan).
    bool planAcTargetTime(EvChargerAc *charger, const QDateTime &currentDateTime);
    // The target time the charger's configuration asks to plan for; invalid
    // (and no target-time schedule left) for eco mode, no target time, or a
    // spot-market plan that covers it.
    QDateTime targetTimeToPlan(EvChargerAc *charger, const ChargingConfiguration &configuration,
                               const ChargingProcessInfo &info, const QDateTime &currentDateTime);
    // The car must charge at full power now for internalTarget: the plan
    // ends after it, a deadline charge runs on, or a later deadline counts on it.
    bool mustChargeForTarget(EvChargerAc *charger, const ChargingProcessInfo &info, const QDateTime &internalTarget,
                             const QDateTime &currentDateTime);
    // Whether another plugged-in car charges on the sun beside this one
    // (an eco mode, its target not reached): the sun may go to it instead.
    bool sharesTheSun(EvChargerAc *charger) const;
    // h of charging at full power the sun at hand is counted on before the
    // deadline in the deadline check (0 without a forecast).
    double sunAtHandHours(EvChargerAc *charger, const ChargingProcessInfo &info,
                          const QDateTime &currentDateTime) const;
    // Schedules the full-power charge until internalTarget and reports a
    // target out of reach.
    void forceAcTargetTimeCharge(EvChargerAc *charger, const ChargingConfiguration &configuration,
                                 const ChargingProcessInfo &info, const QDateTime &endDateTime,
                                 const QDateTime &internalTarget, const ChargingAction &timeRequirementAction,
                                 const QDateTime &currentDateTime);
    // The car charges in eco mode with a target time and is short of its target.
    bool shortOfTargetTime(EvChargerAc *charger, const ChargingProcessInfo &info,
                           const QDateTime &currentDateTime) const;
    // The step a car short of a target time charges on: where its price
    // plan buys from the grid later, the step above perPhaseCurrent (A)
    // where what it buys now costs less than what it gives more than the
    // step below (A) would at the dearest slot of the plan, else the step
    // below; nearest without prices or such a plan, below the minimum or on
    // a whole step, and never above nearest for a car that stops at its target.
    double pricedStep(EvChargerAc *charger, const ChargingProcessInfo &info, double perPhaseCurrent, double nearest,
                      double below, double step, const QDateTime &currentDateTime) const;
    // The price now and the dearest of the slots the charger's price plan
    // buys from now on (the provider's unit); false without either.
    bool planPrices(EvChargerAc *charger, const QDateTime &currentDateTime, double *now, double *dearest) const;
    // The expected sun until the end of tomorrow (local) gives all the car can
    // still take (to its target when it stops there, else to full) and, for
    // a car short of a target time, the sun before it gives the way to the
    // target; false without a forecast.
    bool sunGivesTheRest(EvChargerAc *charger, const ChargingProcessInfo &info, uint phaseCount,
                         const QDateTime &currentDateTime) const;
    // The expected sun of the coming hour carries the car's minimum (on its
    // fewest phases, its part where several cars take power) for less than
    // half of it; false without a forecast.
    bool sunFadesBelowMinimum(const ChargingProcessInfo &info, const QDateTime &currentDateTime) const;
    // Wh at the charger the car can still take: to its target when it stops
    // there, else to full.
    double roomToFill(EvChargerAc *charger, const ChargingProcessInfo &info) const;
    // An hour at current (A per phase) on phaseCount phases gives all the
    // car can still take; false without the car's capacity.
    bool fullWithinTheHour(EvChargerAc *charger, const ChargingProcessInfo &info, double current,
                           uint phaseCount) const;
    // A DC charger has a car plugged in: it may take what an AC car leaves.
    bool dcCarPluggedIn() const;
    // W the DC cars short of a target time can still take beyond what they
    // draw (their chargers' most less their draw; 0 for a car whose
    // deadline charge runs, which draws what it can already).
    double dcDeadlineClaim(const QDateTime &currentDateTime) const;
    // Whether the DC car is short of a target time it has set, its deadline
    // charge not yet running.
    bool dcShortOfDeadline(EvChargerDc *charger, const QDateTime &currentDateTime) const;
    // Whether the DC charger is idle in an eco mode with a car that can
    // still take charge (not one short of a target time: that claims more).
    bool dcWaitsForSurplus(EvChargerDc *charger, const QDateTime &currentDateTime) const;
    // W of the sun kept for an idle DC car waiting for it (rootLoad: W at
    // the root meter as the AC cars see it): its minimum charging power
    // where the AC cars on surplus all run at their most and leave twice
    // that beside their minimums, held until the DC charge starts; 0 while
    // a DC car charges on surplus (it takes what the AC cars leave).
    double dcMinimumClaim(const EvChargerAcs &ecoChargers, double rootLoad, const QDateTime &currentDateTime);
    // Notes the DC chargers switched on at their minimum or more whose car has drawn nothing for
    // dcRefusalSeconds (its own limit, a car full below 100 %): no minimum
    // is kept for them until they draw again or are unplugged.
    void noteDcRefusals(const QDateTime &currentDateTime);
    // Places the target-time minutes the other schedules leave between now
    // and internalTarget (spot-market slots count only while the spot market runs).
    void scheduleAcTargetTimeWindow(EvChargerAc *charger, const ChargingProcessInfo &info,
                                    const QDateTime &internalTarget, const ChargingAction &timeRequirementAction,
                                    const QDateTime &currentDateTime);
    // W at the root meter as the surplus sees it, the home battery counted
    // in; drops the chargers the battery holds back from ecoChargers.
    double surplusRootLoad(EvChargerAcs &ecoChargers);
    // Below the lower limit while the battery charges with batteryPower
    // (W, <= 0, less what the meter imports): drops every eco charger from
    // ecoChargers; running cars go down to their minimum, and as few stop
    // as leave the battery something.
    void blockSurplusForHomeBattery(EvChargerAcs &ecoChargers, double batteryPower);
    // W a stop frees this minute: what the charger draws, none while its
    // on/off lock holds it on.
    static double freedByStop(EvChargerAc *charger);
    // The car at its minimum to stop next for a battery left batteryLeft W.
    static EvChargerAc *nextStopForHomeBattery(const EvChargerAcs &atMinimum, double batteryLeft);
    // Runs on at the minimum, past the surplus plan.
    void keepAtMinimumForHomeBattery(EvChargerAc *charger);
    // Off for the battery; a running car's stop makes its restart wait.
    void holdBackForHomeBattery(EvChargerAc *charger, bool running);
    // Whether the charger's car can take power now (not full, still accepting).
    static bool canTakeSurplus(EvChargerAc *charger, const ChargingProcessInfo &info);
    // The eco chargers the root load is shared by: an import by every one
    // whose car can take power, an export only by those that can take more
    // than they draw.
    struct SurplusTakers {
        int power = 0;
        int more = 0;
    };
    // Told its car's most current on the most phases it can have, and
    // drawing: it can take none of an export.
    static bool atItsMost(EvChargerAc *charger, const ChargingProcessInfo &info);
    // Whether the charger charges on surplus now, or the whole export (W,
    // rootLoad below 0) would cover the tolerance's share of its minimum on
    // its fewest phases. One that could not start even alone takes no part
    // of an export: halving it would keep a smaller car from starting too.
    bool startsOnWholeExport(EvChargerAc *charger, const ChargingProcessInfo &info, double rootLoad,
                             double tolerance) const;
    // The charger's surplus action for rootLoad (W), shared by the
    // takers; the gate decides the phases, the share rounds later whether
    // it charges.
    void planAcSurplusAction(EvChargerAc *charger, double rootLoad, double houseImport, const SurplusTakers &takers,
                             double tolerance, const SurplusGate::Delays &delays, const QDateTime &currentDateTime);
    // What the charger's gate judges this minute by: its part of the root
    // load (rootLoad W shared by the takers), what the house imports
    // without the cars (houseImport W), its minimum and its phases.
    SurplusGate::Reading acSurplusReading(EvChargerAc *charger, const ChargingProcessInfo &info, double rootLoad,
                                          double houseImport, const SurplusTakers &takers, double tolerance,
                                          bool running, const QDateTime &currentDateTime);
    // W the household imports with no managed car drawing (at least 0).
    double houseImport(double rootLoad) const;
    // A per phase the surplus action asks for: the surplus (perPhaseCurrent)
    // to the nearest step, the step below where the surplus covers less than
    // the tolerance's share (0..1) of the step above or where the step below
    // fills the car soon enough anyway (not while shared: another car may
    // take the surplus), at most what the fuse leaves rounded down;
    // *allowance: A per phase the fuse leaves the charger.
    double acSurplusTargetCurrent(EvChargerAc *charger, const ChargingProcessInfo &info, double perPhaseCurrent,
                                  uint phaseCount, Electricity::Phases phases, double tolerance, bool shared,
                                  const QDateTime &currentDateTime, double *allowance);
    // The phase count (1 or 3) the available current (A) is best used with.
    uint getBestPhaseCount(EvChargerAc *charger, double availableCurrent, double acquisitionTolerance);

    ChargingContext &m_context;
    const HouseholdBalance &m_balance;
    ProcessPreparation &m_preparation;
    OwnerNotifier &m_notifier;

    // The target time each charger was last reported unreachable for, and
    // the level (%) it was promised.
    struct UnreachableReport {
        QDateTime endDateTime;
        int promised = 0;           // %
        bool promisedKnown = false; // false after a restart
    };
    QHash<ThingId, UnreachableReport> m_unreachableTargetsReported;
    // The DC chargers the last cycle kept their minimum of the sun for.
    QSet<ThingId> m_dcClaims;
    // s a DC charger switched on may draw nothing before its car counts as
    // refusing the charge (as long as an AC car's refusal window).
    static constexpr qint64 dcRefusalSeconds = 300;
    // Since when each DC charger has been switched on without drawing; the
    // ones whose car refuses.
    QHash<ThingId, QDateTime> m_dcOnIdleSince;
    QSet<ThingId> m_dcRefusing;
};

#endif // SURPLUSPLANNER_H
