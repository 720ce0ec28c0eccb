#ifndef SHAREROUNDS_H
#define SHAREROUNDS_H

#include "smartcharging/chargingcycle.h"
#include "smartcharging/chargingprocessinfo.h"
#include "smartcharging/chargingsharecalculator.h"
#include "smartcharging/surplusgate.h"
#include "types/chargingaction.h"

#include "tavro/thing.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QVector>

class EvChargerAc;
class HouseholdBalance;
struct ChargingContext;

using EvChargerAcs = QList<EvChargerAc *>;

// Divides one budget between the AC chargers whose winning issuer competes
// for it (deadlines, then spot market, then surplus), and keeps the fairness
// counters and rotation of every share group (AC issuers 1..3, DC groups
// 1000/1001) so that a shortage moves between the chargers over time.
// Surplus chargers obey their calm-switching gates alone and in a group
// alike: one charging keeps its place for a turn of about an hour and rides
// a dip out on the owner's tolerance, and the surplus goes only to chargers
// that can take it now. Context and balance are not owned.
class ShareRounds
{
public:
    ShareRounds(ChargingContext &context, const HouseholdBalance &balance)
        : m_context(context),
          m_balance(balance)
    {
    }

    // Picks each prepared AC charger's winning issuer and shares every
    // issuer group's budget; the results replace the planned actions.
    void applyAcChargingShares(const QDateTime &currentDateTime);

    // How often the charger was left out (the share calculator serves the
    // highest first); 0 for one never seen.
    uint fairness(const ThingId &evChargerId) const { return m_chargingShareFairness.value(evChargerId, 0); }
    // Rotates the group's counters once per rotation window.
    void updateChargingShareFairness(int issuer, const QDateTime &currentDateTime);
    // The chargers the group served this round: the others' counters rise.
    void storeChargingShareServedChargers(const QList<ThingId> &served, int issuer);
    // The counter a surplus admission sees: one charging on surplus counts
    // as served a turn (about an hour) less, so it keeps its place for a
    // turn; a tie goes to the one charging.
    quint32 surplusAdmissionCounter(const ThingId &evChargerId, bool charging) const;

    // The fairness of every group as a restart must find it again: the
    // counters by charger, and by group its last rotation and the chargers
    // it served since.
    struct Fairness {
        QHash<ThingId, uint> counters;
        QHash<int, QDateTime> lastRotations;
        QHash<int, QList<ThingId>> served;
    };
    Fairness fairnessState() const
    {
        return {m_chargingShareFairness, m_chargingShareLastRotation, m_chargingShareServed};
    }
    void restoreFairness(const Fairness &fairness)
    {
        m_chargingShareFairness = fairness.counters;
        m_chargingShareLastRotation = fairness.lastRotations;
        m_chargingShareServed = fairness.served;
    }

private:
    // The one issuer of the charger that competes for power (false: none);
    // disables the others' actions.
    bool pickAcShareWinner(EvChargerAc *charger, const QDateTime &currentDateTime,
                           ChargingAction::ChargingActionIssuer *winner);
    // The first issuer in share order whose action charges (false: none);
    // without a remaining charge target the surplus action is disabled and
    // skipped.
    bool firstEnabledIssuer(EvChargerAc *charger, ChargingCycle::Actions &actions, bool hasRemainingChargeTarget,
                            bool stopsOnTarget, ChargingAction::ChargingActionIssuer *winner);
    // False when the car takes no more charge (target reached, refusal
    // latched, full); evaluates the charger's charge refusal.
    bool acHasRemainingChargeTarget(EvChargerAc *charger, const ChargingProcessInfo &info, bool stopsOnTarget,
                                    const QDateTime &currentDateTime);
    // Shares the group's budget; adds what it hands out to *reservedPower (W).
    void shareAcIssuerGroup(ChargingAction::ChargingActionIssuer issuer, const EvChargerAcs &group,
                            ChargingShareCalculator::Strategy strategy, double *reservedPower,
                            const QDateTime &currentDateTime);
    // Fairness counter the admission sees: one charging on surplus counts
    // as served a turn less, so it keeps its place for a turn.
    quint32 surplusAdmissionCounter(EvChargerAc *charger) const;
    // Sun first: a charger left out longer than one charging in its turn
    // takes that one's place at once where it would take more of the sun
    // (W) than the displaced minimums (less is what a cloud edge undoes),
    // e.g. a three-phase car beside a one-phase one at its maximum. Only
    // one that would start now; not while a DC charger charges (it takes
    // what the group leaves). Rewrites the order in *requests and the
    // *results when it does.
    void putSunFirst(const EvChargerAcs &group, QList<ChargingShareCalculator::Request> *requests,
                     QList<ChargingShareCalculator::Result> *results, double budget,
                     ChargingShareCalculator::Strategy strategy, const QDateTime &currentDateTime) const;
    // After the surplus group's shares: each member's part of the budget
    // for its gate; chargers left out while charging ride the dip out at
    // their minimum (the gate decides how long), or stop at once when a
    // charger with a lower counter took their place (a hand-over).
    // balance: the budget before its floor at 0 (W, below 0 while the house
    // alone imports).
    // Returns the starts held back beside a rider (not served).
    EvChargerAcs settleSurplusGroup(const EvChargerAcs &group, const QList<ChargingShareCalculator::Request> &requests,
                                    const QList<ChargingShareCalculator::Result> &results, double budget,
                                    double balance, const QDateTime &currentDateTime);
    // What settling the surplus group finds, by member (the group's order).
    struct GroupSettlement {
        QVector<double> allocated;  // W
        QVector<bool> admitted;     // charges on its share (a start may be held back beside a rider)
        QVector<bool> riding;       // left out while charging: rides the dip out at its minimum
        double ridersMinimum = 0;   // W
        double admittedMinimum = 0; // W
    };
    // The admitted members' shares; the members left out while charging
    // ride the dip out at their minimum or are handed over.
    void settleLeftOut(const EvChargerAcs &group, const QList<ChargingShareCalculator::Request> &requests,
                       const QList<ChargingShareCalculator::Result> &results, GroupSettlement *settlement);
    // A dip riders (indices into group) have ridden out long enough to stop
    // all but one: together they have spent half of a full reserve. A short
    // one is ridden out by all, as by one alone: a stop and a start for a
    // few minutes of cloud cost more than they save.
    bool longDip(const EvChargerAcs &group, const QList<int> &riders) const;
    // A long dip is ridden out on one reserve: the riders the surplus left
    // after the admitted members' minimums covers within the tolerance ride
    // on, and one more on its reserve; every other rider stops now (a stop
    // for lack of surplus, its restart waits). Each rider spending its own
    // reserve would buy the same dip from the grid once per charger. The
    // rider kept on the reserve is one with a reserve left: the one buying
    // least (the smallest minimum), then the one a stop would cost most (the
    // most stops today, its restart waits longest), then the fullest
    // reserve. One whose on/off lock keeps it charging, or that has stopped
    // as often today as a calm day allows, rides on on its own reserve; so
    // do all where the owner lets the whole minimum come from the grid.
    // balance: as for settleSurplusGroup().
    void stopRidersBeyondOneReserve(const EvChargerAcs &group,
                                    const QList<ChargingShareCalculator::Request> &requests, double budget,
                                    double balance, const QDateTime &currentDateTime, GroupSettlement *settlement);
    // While one rides a dip out, the others take no more than the budget
    // leaves after all minimums: what they would take above it the rider
    // would buy from the grid.
    void capBesideRiders(const EvChargerAcs &group, const QList<ChargingShareCalculator::Request> &requests,
                         double budget, GroupSettlement *settlement);
    // A rider draws its minimum: a charger not charging yet starts beside
    // it only where the budget, after the riders' and the running members'
    // minimums, still covers the tolerance's share of its own; else both
    // minimums would be bought. One the budget carries wholly without the
    // riders takes their place instead (they are handed over) where its
    // gate lets it start now. Riders without a reserve stop this cycle and
    // hold nothing back. Returns the starts held back.
    EvChargerAcs holdStartsBesideRiders(const EvChargerAcs &group,
                                        const QList<ChargingShareCalculator::Request> &requests, double budget,
                                        const QDateTime &currentDateTime, GroupSettlement *settlement);
    // Stops every rider for a start the surplus carries wholly; returns
    // the minimums (W) the riders with a reserve would have drawn.
    double handOverRiders(const EvChargerAcs &group, const QList<ChargingShareCalculator::Request> &requests,
                          GroupSettlement *settlement);
    // Each member's part of the budget, for its gate; below 0 where the
    // balance is. Riders whose part the admitted could take keep it for
    // twice the stop delay only: then they ride on their reserve as in a
    // dip without surplus.
    void noteGroupReadings(const EvChargerAcs &group, const QList<ChargingShareCalculator::Request> &requests,
                           double budget, double balance, const GroupSettlement &settlement,
                           const QDateTime &currentDateTime);
    // Hands what the shares rounded off to the first members that can take another step.
    void spendSurplusRemainder(const EvChargerAcs &group, const QList<ChargingShareCalculator::Request> &requests,
                               double budget);
    // A yield is a yield only where the charger kept on its reserve rides
    // on; where its gate stopped it in the same cycle the whole dip went
    // unridden, and the yielders' stops count as their own.
    void settleYields();
    // Whether each surplus winner charges, through its gate.
    void applySurplusGates(const QHash<EvChargerAc *, ChargingAction::ChargingActionIssuer> &winners,
                           const QDateTime &currentDateTime);
    QHash<EvChargerAc *, uint> acSharePhaseCounts(const EvChargerAcs &group,
                                                  ChargingAction::ChargingActionIssuer issuer, double budget) const;
    QList<ChargingShareCalculator::Request> acShareRequests(const EvChargerAcs &group,
                                                            ChargingAction::ChargingActionIssuer issuer,
                                                            const QHash<EvChargerAc *, uint> &phaseCounts) const;
    // Wh the car can still take at the charger, up to full or up to the
    // target it stops at; 0 when its capacity is not known.
    double acRoomEnergy(EvChargerAc *charger, const ChargingProcessInfo &info) const;
    // The request priority of a charger in a grid group (deadlines, spot
    // market): how many earlier deadlines the group holds.
    qint32 deadlineRank(EvChargerAc *charger, const EvChargerAcs &group) const;
    void applyChargingShareResult(EvChargerAc *charger, ChargingAction::ChargingActionIssuer issuer, double power);

    ChargingContext &m_context;
    const HouseholdBalance &m_balance;

    // Fairness counters per charger, last rotation and served chargers per group.
    QHash<ThingId, uint> m_chargingShareFairness;
    QHash<int, QDateTime> m_chargingShareLastRotation;
    QHash<int, QList<ThingId>> m_chargingShareServed;
    // This cycle's surplus group members: their part of the group's budget
    // for the gate; members the rounds switched off themselves (handed over
    // to another charger, or left without a reserve to ride a dip on): their
    // gates are not asked.
    QHash<EvChargerAc *, SurplusGate::Reading> m_groupReadings;
    QSet<EvChargerAc *> m_stoppedByRounds;
    // Since when the surplus group has had riders beside admitted members
    // that could take their part, whichever rode (invalid: none this
    // cycle); the last cycle's, to continue from.
    QDateTime m_ridingBesideRoomSince;
    QDateTime m_ridingBesideRoomBefore;
    // This cycle's riders stopped for another's ride, and the one kept
    // riding the dip on its reserve for them (none: no yield this cycle).
    EvChargerAcs m_yielders;
    EvChargerAc *m_reserveRider = nullptr;
    // This cycle's surplus group (none: no members), its requests and budget (W).
    struct SurplusGroup {
        EvChargerAcs members;
        QList<ChargingShareCalculator::Request> requests;
        double budget = 0;
    };
    SurplusGroup m_surplusGroup;
};

#endif // SHAREROUNDS_H
