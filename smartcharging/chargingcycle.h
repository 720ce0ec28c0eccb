#ifndef CHARGINGCYCLE_H
#define CHARGINGCYCLE_H

#include "smartcharging/chargingprocessinfo.h"
#include "smartcharging/commandeddraws.h"
#include "smartcharging/phaseheadroom.h"
#include "smartcharging/surplusgate.h"
#include "types/chargingaction.h"

#include "tavro/thing.h"

#include <QDateTime>
#include <QHash>
#include <QList>

class EvChargerAc;
class EvChargerDc;
class RootMeter;

using EvChargerAcs = QList<EvChargerAc *>;

// What the steps of the smart charging cycle hand one another, per charger:
// an AC charger's process info (once prepared) and the actions its issuers
// planned, a DC charger's process info, every charger's surplus gate, and
// the headroom the commands of the running cycle spend. A step writes what
// another step reads only through this record.
//
// The manager's update() opens a cycle on it: the actions start over, and a
// headroom is measured once the overload check has run. The process infos
// carry over from cycle to cycle (AC: the two energy counters; DC: updated
// in place), so that steps called between cycles find the last ones.
// Adapters are not owned; forget() drops everything kept for a charger.
class ChargingCycle
{
public:
    using Issuer = ChargingAction::ChargingActionIssuer;
    using Actions = QHash<Issuer, ChargingAction>;

    // --- AC chargers ---
    // The charger's prepared process info; null when it was not prepared.
    const ChargingProcessInfo *acInfo(EvChargerAc *charger) const;
    ChargingProcessInfo *acInfo(EvChargerAc *charger);
    // A copy; a default info for a charger that was not prepared.
    ChargingProcessInfo acInfoOrDefault(EvChargerAc *charger) const;
    void setAcInfo(EvChargerAc *charger, const ChargingProcessInfo &info);
    // The charger's info for a step that changes it; a default one (and the
    // charger prepared) when it has none.
    ChargingProcessInfo &acInfoToChange(EvChargerAc *charger);
    // fn(EvChargerAc *, ChargingProcessInfo &) for every prepared charger.
    template<typename Fn>
    void forEachAcInfo(Fn fn);
    template<typename Fn>
    void forEachAcInfo(Fn fn) const;

    // The chargers whose issuers have actions this cycle.
    EvChargerAcs plannedAcChargers() const;
    // The charger's actions by issuer (empty when it has none).
    Actions acActions(EvChargerAc *charger) const;
    // The issuer's action of the charger; a default one when it has none.
    ChargingAction acAction(EvChargerAc *charger, Issuer issuer) const;
    // The charger's actions for a step that changes them; created empty
    // (and the charger planned) when it has none.
    Actions &acActionsToChange(EvChargerAc *charger);
    // The issuer's action of the charger for a step that changes it; a
    // default one when it has none.
    ChargingAction &acActionToChange(EvChargerAc *charger, Issuer issuer) { return acActionsToChange(charger)[issuer]; }
    void setAcAction(EvChargerAc *charger, Issuer issuer, const ChargingAction &action)
    {
        acActionsToChange(charger).insert(issuer, action);
    }
    // Every given charger starts the planning with each issuer's action
    // off at its minimum current and phase count; no other charger is planned.
    void resetAcActions(const EvChargerAcs &chargers);
    // Drops the charger's info and actions.
    void dropAc(EvChargerAc *charger);
    // Drops the charger's info; its actions stay.
    void dropAcInfo(EvChargerAc *charger);

    // --- DC chargers ---
    const ChargingProcessInfo *dcInfo(EvChargerDc *charger) const;
    ChargingProcessInfo *dcInfo(EvChargerDc *charger);
    // A copy; a default info for a charger without one.
    ChargingProcessInfo dcInfoOrDefault(EvChargerDc *charger) const;
    // The charger's info for a step that changes it, created when it has none.
    ChargingProcessInfo &dcInfoToChange(EvChargerDc *charger);
    // fn(EvChargerDc *, ChargingProcessInfo &) for every DC charger with an info.
    template<typename Fn>
    void forEachDcInfo(Fn fn);
    template<typename Fn>
    void forEachDcInfo(Fn fn) const;

    // The cars that can still take power (at least 1): they share the expected
    // sun. pluggedInOnly: only those plugged in now (a car out takes none of
    // the coming hour's sun).
    int sunTakers(bool pluggedInOnly = false) const;

    // --- surplus gates (AC and DC, by charger id) ---
    bool hasSurplusGate(const ThingId &evChargerId) const { return m_surplusGates.contains(evChargerId); }
    // The charger's gate, created when it has none.
    SurplusGate &surplusGate(const ThingId &evChargerId);
    // A copy of the charger's last reading (a fresh gate's when it has none).
    SurplusGate::Reading surplusReading(const ThingId &evChargerId) const;

    // --- the cycle and its headroom ---
    // Starts a cycle at currentDateTime: no headroom until openHeadroom(),
    // no overload found.
    void begin(const QDateTime &currentDateTime);
    QDateTime now() const { return m_now; }
    // The overload check of the cycle found (and throttled) an overload:
    // the cycle does not recover from one.
    bool overloaded() const { return m_overloaded; }
    void setOverloaded(bool overloaded) { m_overloaded = overloaded; }
    // From here on every command of the cycle is fitted to what the fuse
    // leaves after the commands before it: the meter shows none of them yet.
    void openHeadroom(const PhaseHeadroom &measured);
    bool headroomOpen() const { return m_headroomOpen; }
    // The headroom of the running cycle; outside one (or before it is
    // opened) the given fresh measurement, which nothing else spends from.
    PhaseHeadroom &headroom(const PhaseHeadroom &measured);
    // W the commands of the running cycle added so far (0 without a headroom).
    double spentPower() const { return m_headroomOpen ? m_headroom.spentPower() : 0.0; }
    // Spends from the running cycle's headroom; nothing outside one.
    void spend(Electricity::Phases phases, double amperes);
    // A the phase limit leaves on all three phases: what the running
    // cycle's headroom leaves, outside one the given fresh measurement.
    double availableOnAllPhases(const PhaseHeadroom &measured) const;

    // --- deadline charges the fuse holds back ---
    // An AC deadline charge that the phase limit keeps below what it needs
    // lays claim to the amperes it lacks on its phases, at its place in the
    // fuse's deadline order (place >= 0). The DC chargers command after the
    // AC ones: one placed later makes way for the claim, as the fuse plan
    // that timed both deadlines served the earlier one first. The claims
    // hold from one pass of the AC adjuster to the next (the DC chargers
    // follow the meter in between); the pass clears them first.
    void claimFuse(int place, Electricity::Phases phases, double amperes);
    void clearFuseClaims() { m_fuseClaims.clear(); }
    // A per phase the claims of the places before place lack, on the phase
    // that lacks the most; all claims for place -1 (not in the deadline
    // order: after every deadline).
    double fuseClaimedBefore(int place) const;

    // What begin() replaces; update() re-enters itself (a command's action
    // can ask for a cycle), and the cycle it interrupted goes on with its own.
    struct Frame {
        QDateTime now;
        bool overloaded = false;
        bool headroomOpen = false;
        PhaseHeadroom headroom;
    };
    Frame frame() const { return {m_now, m_overloaded, m_headroomOpen, m_headroom}; }
    void restore(const Frame &frame);

    // --- draws the meter may not show yet ---
    // Raises commanded in the last minute (kept across cycles until they
    // expire): the AC adjuster and the DC controller record them, every
    // headroom measured from the meter counts them.
    CommandedDraws &commandedDraws() { return m_commandedDraws; }
    const CommandedDraws &commandedDraws() const { return m_commandedDraws; }

    // --- removal ---
    // The charger went away: its infos, actions, gate and commanded draw go.
    void forget(const ThingId &evChargerId, EvChargerAc *acCharger, EvChargerDc *dcCharger);

private:
    struct FuseClaim {
        int place = -1;
        Electricity::Phases phases;
        double amperes = 0;
    };
    // One AC charger's part: present while it is prepared or planned.
    struct AcEntry {
        bool prepared = false;
        ChargingProcessInfo info;
        bool planned = false;
        Actions actions;
    };

    QHash<EvChargerAc *, AcEntry> m_ac;
    QHash<EvChargerDc *, ChargingProcessInfo> m_dc;
    QHash<ThingId, SurplusGate> m_surplusGates;

    QDateTime m_now;
    bool m_overloaded = false;
    bool m_headroomOpen = false;
    PhaseHeadroom m_headroom;
    PhaseHeadroom m_measured; // outside a cycle
    QList<FuseClaim> m_fuseClaims; // since the AC adjuster's last pass
    CommandedDraws m_commandedDraws;
};

template<typename Fn>
void ChargingCycle::forEachAcInfo(Fn fn)
{
    for (auto it = m_ac.begin(); it != m_ac.end(); ++it) {
        if (it->prepared)
            fn(it.key(), it->info);
    }
}

template<typename Fn>
void ChargingCycle::forEachAcInfo(Fn fn) const
{
    for (auto it = m_ac.constBegin(); it != m_ac.constEnd(); ++it) {
        if (it->prepared)
            fn(it.key(), it->info);
    }
}

template<typename Fn>
void ChargingCycle::forEachDcInfo(Fn fn)
{
    for (auto it = m_dc.begin(); it != m_dc.end(); ++it)
        fn(it.key(), it.value());
}

template<typename Fn>
void ChargingCycle::forEachDcInfo(Fn fn) const
{
    for (auto it = m_dc.constBegin(); it != m_dc.constEnd(); ++it)
        fn(it.key(), it.value());
}

#endif // CHARGINGCYCLE_H
