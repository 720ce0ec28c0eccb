#ifndef CHARGINGCONTEXT_H
#define CHARGINGCONTEXT_H

#include "smartcharging/chargingbook.h"
#include "smartcharging/chargingcycle.h"
#include "smartcharging/chargingprocessinfo.h"
#include "smartcharging/phaseheadroom.h"
#include "smartcharging/schedulebook.h"
#include "smartcharging/solarcoverage.h"
#include "smartcharging/surplusgate.h"
#include "types/chargingaction.h"

#include "tavro/electricity.h"
#include "tavro/thing.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSet>

class EnergyManager;
class EnergyManagerConfiguration;
class EvChargerAc;
class EvChargerDc;
class RootMeter;
class SpotMarketManager;
class ThingManager;

using EvChargerAcs = QList<EvChargerAc *>;

// What the steps of the smart charging cycle share: the host's
// collaborators, the global settings, the books and the cycle record
// through which one step hands its results to the next. Owned by the SmartChargingManager; every
// step gets it by reference. State only one step needs lives in that step.
//
// Collaborators are not owned. Adapters (EvChargerAc, EvChargerDc,
// RootMeter) are children of the thing they wrap; the tables only keep
// references, the charger tracking drops them when the thing goes away.
struct ChargingContext {
    ChargingContext(EnergyManager *energy, ThingManager *things, SpotMarketManager *spotMarket,
                    EnergyManagerConfiguration *tuning)
        : energyManager(energy),
          thingManager(things),
          spotMarketManager(spotMarket),
          configuration(tuning)
    {
    }

    // 3 → A|B|C, 2 → A|B, anything else → A.
    static Electricity::Phases ascendingPhasesForCount(uint count);

    // The calming delays of the tuning file.
    SurplusGate::Delays surplusGateDelays() const;

    // Minutes of charging at chargerPower (W) the expected sun gives a
    // charger between from and until: its part when several cars can still
    // take power; 0 without a forecast.
    uint sunMinutes(const QDateTime &from, const QDateTime &until, double chargerPower) const;
    // The same as Wh.
    double sunEnergy(const QDateTime &from, const QDateTime &until, double chargerPower) const;

    // Whether the export and the charger's own draw cover its minimum at
    // the phases it charges on now: the sun alone keeps it running. A home
    // battery counts only against it (a discharge it may not give, a charge
    // it is owed below its lower limit), never for it.
    bool sunCarries(EvChargerAc *charger, const ChargingProcessInfo &info) const;
    // W the charger could draw now without importing, counted as for
    // sunCarries (any charger, charging or not; 0 without a root meter).
    double sunPower(EvChargerAc *charger) const;
    // Wh of the sun at hand a deadline check counts on before the deadline:
    // what the charger gets now, as far as the forecast expects it, over
    // the next minutes, at most half the lead time the check keeps before
    // the deadline (0 without a forecast). Should it go, the next minute's
    // check charges at full power and the other half of the lead time
    // covers what it did not give.
    double sunAtHand(EvChargerAc *charger, const ChargingProcessInfo &info, const QDateTime &deadline,
                     const QDateTime &currentDateTime) const;

    // W the DC chargers feed into the house now: their discharge as
    // measured, at least 0. A car's discharge covers the house; whatever of
    // it the meter shows as export (the house fell, the car follows a
    // minute later) is not sun for the AC cars.
    double dcFeedIn() const;
    // W of the import netLoad (W, below 0 an export) the DC cars charging
    // on plain surplus shed for the AC chargers on surplus given, where
    // those that run would else fall below their minimums: what the DC
    // cars draw above theirs, at most the import and what lifts the
    // running ones back to their minimums. A DC car takes any watt the AC
    // cars leave, an AC car only whole amperes: one stopped for the watts
    // a DC car overshot hands the DC car its draw and does not come back.
    // Above their minimums they step down as before.
    double importDcCanShed(const EvChargerAcs &chargers, double netLoad) const;
    // W the charger draws at its car's minimum on its present phases.
    double minimumDraw(EvChargerAc *charger) const;
    // W of the sun kept for DC cars short of a target time and for an idle
    // DC car's minimum (see SurplusPlanner::dcDeadlineClaim, dcMinimumClaim):
    // the AC cars on surplus see only what is beyond it. Set once per cycle
    // before the AC chargers plan.
    double dcDeadlineClaim = 0;

    // Whether an AC or DC charger is switched on in a surplus charge.
    template<typename Charger>
    bool runsOnSurplus(const Charger *charger) const
    {
        return book.state(charger->id()).mode() == ChargingState::ModeSurplusCharging && charger->chargingEnabled();
    }

    // What the fuse leaves on each phase now: the meter's reading less the
    // draws commanded in the last minute that it does not show yet.
    PhaseHeadroom measuredHeadroom() const;
    // The running cycle's headroom; outside one a fresh measurement.
    PhaseHeadroom &headroom();
    // A the phase limit leaves on all three phases, the same way.
    double availableOnAllPhases() const;
    // A per phase (AC) and W (DC) a recent command adds to what the charger
    // draws now; 0 without one.
    double pendingAmperes(EvChargerAc *charger) const;
    double pendingPower(EvChargerDc *charger) const;

    // kWh the charger delivered since the manager started.
    double deliveredEnergy(const ThingId &evChargerId) const { return deliveredEnergies.value(evChargerId).total; }

    // Collaborators (not owned).
    EnergyManager *const energyManager;
    ThingManager *const thingManager;
    SpotMarketManager *const spotMarketManager;
    EnergyManagerConfiguration *const configuration;

    // Global settings: household current limit per phase at the root meter
    // (A, 0 = unset); acquisition tolerance and home-battery limits (0..1).
    uint phasePowerLimit = 0;
    double acquisitionTolerance = 0.5;
    double batteryLevelLowerLimit = 0.9;
    double batteryLevelUpperLimit = 1.0;
    // W: the most the home batteries charged with since they went below the
    // lower limit (0 above it); noted once per cycle by the surplus planner.
    double batteryChargeSeen = 0;

    // Every charger's configuration and state; its signals are the manager's.
    ChargingBook book;
    // The published schedules; its signal is the manager's.
    ScheduleBook schedules;

    // The tracked chargers by thing id.
    QHash<ThingId, EvChargerAc *> evChargersAc;
    QHash<ThingId, EvChargerDc *> evChargersDc;
    // DC chargers whose discharge is within a point of the car's floor and
    // ends with it (kept by the DC controller each cycle): the other
    // chargers must already fit without the fuse room it lends.
    QSet<ThingId> dischargesEnding;
    // Things with the "energystorage" interface (any class), in the order the
    // thing manager lists them; filled before any coverage is calculated.
    QList<QPointer<Thing>> energyStorages;
    QPointer<RootMeter> rootMeter;

    // What the steps of the cycle hand one another per charger.
    ChargingCycle cycle;

    // Energy each charger delivered since the manager started: power
    // sampled once per cycle (sample and hold), for the daily shares.
    struct DeliveredEnergy {
        QDateTime sampledAt;
        double power = 0; // W at the last sample
        double total = 0; // kWh
    };
    QHash<ThingId, DeliveredEnergy> deliveredEnergies;

    // What the sun is expected to give before a time; fed once per cycle
    // before the planners run, covers nothing without a forecast.
    SolarCoverage sun;
};

#endif // CHARGINGCONTEXT_H
