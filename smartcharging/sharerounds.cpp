#include "sharerounds.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/householdbalance.h"

#include "config/energymanagerconfiguration.h"
#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "devices/rootmeter.h"
#include "common/tavroenergylogging.h"
#include "common/units.h"
#include "smartcharging/chargingcurrent.h"
#include "smartcharging/chargingsharecalculator.h"
#include "smartcharging/phaseheadroom.h"

#include <QSet>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {
using Issuer = ChargingAction::ChargingActionIssuer;

// Minutes a charger charging on surplus keeps its place in a group before
// one left out longer takes it over: every hand-over is a stop and a start.
const uint calmTurnMinutes = 60;

// Highest precedence first; the index is the request priority of the issuer.
const QList<Issuer> &shareIssuerOrder()
{
    static const QList<Issuer> order = {ChargingAction::ChargingActionIssuerTimeRequirement,
                                        ChargingAction::ChargingActionIssuerSpotMarketCharging,
                                        ChargingAction::ChargingActionIssuerSurplusCharging};
    return order;
}

int sharePriority(Issuer issuer)
{
    const int index = shareIssuerOrder().indexOf(issuer);
    return index < 0 ? 3 : index;
}

// The share calculator admits in this order.
bool admittedBefore(const ChargingShareCalculator::Request &x, const ChargingShareCalculator::Request &y)
{
    return x.fairnessCounter != y.fairnessCounter ? x.fairnessCounter < y.fairnessCounter : x.thingId < y.thingId;
}

void disableAction(QHash<Issuer, ChargingAction> &actions, Issuer issuer)
{
    auto it = actions.find(issuer);
    if (it != actions.end())
        it->setChargingEnabled(false);
}

// The chargers whose winning issuer is issuer, ordered by id text (each
// id is turned into text once); fewer than two are left unsorted.
EvChargerAcs acShareGroup(const QHash<EvChargerAc *, Issuer> &winners, Issuer issuer)
{
    EvChargerAcs group;
    for (auto it = winners.constBegin(); it != winners.constEnd(); ++it) {
        if (it.value() == issuer)
            group.append(it.key());
    }
    if (group.count() < 2)
        return group;

    QList<QPair<QString, EvChargerAc *>> byId;
    byId.reserve(group.count());
    for (EvChargerAc *charger : qAsConst(group))
        byId.append({charger->id().toString(), charger});
    std::sort(byId.begin(), byId.end(),
              [](const QPair<QString, EvChargerAc *> &a, const QPair<QString, EvChargerAc *> &b) {
                  return a.first < b.first;
              });
    for (int i = 0; i < byId.count(); i++)
        group[i] = byId.at(i).second;
    return group;
}

}

void ShareRounds::applyAcChargingShares(const QDateTime &currentDateTime)
{
    // 1. Pick the one issuer per charger that competes for power.
    QHash<EvChargerAc *, Issuer> winners;
    const EvChargerAcs chargers = m_context.cycle.plannedAcChargers();
    for (EvChargerAc *charger : chargers) {
        Issuer winner = ChargingAction::ChargingActionIssuerUnknown;
        if (pickAcShareWinner(charger, currentDateTime, &winner))
            winners.insert(charger, winner);
    }

    // 2. Share per issuer group; what a higher group got is reserved.
    m_groupReadings.clear();
    m_ridingBesideRoomBefore = std::exchange(m_ridingBesideRoomSince, QDateTime());
    m_stoppedByRounds.clear();
    m_yielders.clear();
    m_reserveRider = nullptr;
    m_surplusGroup = SurplusGroup();
    double reservedPower = 0;
    const ChargingShareCalculator::Strategy strategy = m_context.configuration->chargingShareStrategy();
    for (Issuer issuer : shareIssuerOrder()) {
        const EvChargerAcs group = acShareGroup(winners, issuer);
        // A single charger keeps its own plan.
        if (group.count() < 2)
            continue;
        shareAcIssuerGroup(issuer, group, strategy, &reservedPower, currentDateTime);
    }

    // 3. Calm switching decides whether the surplus chargers charge; what
    // a charger the gate holds back or the rounding leaves goes to the others.
    applySurplusGates(winners, currentDateTime);
    settleYields();
    spendSurplusRemainder(m_surplusGroup.members, m_surplusGroup.requests, m_surplusGroup.budget);
}

bool ShareRounds::pickAcShareWinner(EvChargerAc *charger, const QDateTime &currentDateTime,
                                    ChargingAction::ChargingActionIssuer *winner)
{
    ChargingCycle::Actions &actions = m_context.cycle.acActionsToChange(charger);

    if (!charger->pluggedIn()) {
        qCDebug(dcTavroEnergy()) << "Skipping AC sharing on" << charger->name() << "because it is unplugged.";
        for (Issuer issuer : shareIssuerOrder())
            disableAction(actions, issuer);
        return false;
    }
    if (!m_context.cycle.acInfo(charger)) {
        for (Issuer issuer : shareIssuerOrder())
            disableAction(actions, issuer);
        return false;
    }

    const ChargingProcessInfo info = m_context.cycle.acInfoOrDefault(charger);
    const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
    const bool stopsOnTarget = configuration.stopsOnTarget();
    const bool hasRemainingChargeTarget = acHasRemainingChargeTarget(charger, info, stopsOnTarget, currentDateTime);

    bool hasWinner = firstEnabledIssuer(charger, actions, hasRemainingChargeTarget, stopsOnTarget, winner);

    // An eco charger takes part in surplus sharing even when its own
    // surplus plan found too little: the group may still afford it. One
    // waiting for a home battery below its lower limit only while the
    // battery charges: the group's budget is then what it cannot take, and
    // where no member's part of that export covers its minimum alone, the
    // sharing hands it to one of them instead of to the grid, once its
    // gate would let it start. A battery that does not charge is held back
    // from every car.
    const bool ecoMode = configuration.chargingMode() == ChargingConfiguration::ChargingModeEco
                         || configuration.chargingMode() == ChargingConfiguration::ChargingModeEcoWithTargetTime;
    const bool waitsForBattery = m_context.book.state(charger->id()).batteryLevelConsiderationActive()
                                 && !(m_balance.homeBattery().power > 0
                                      && m_context.cycle.surplusGate(charger->id())
                                                 .startsNow(currentDateTime, m_context.surplusGateDelays()));
    if (!hasWinner && ecoMode && hasRemainingChargeTarget && !waitsForBattery) {
        *winner = ChargingAction::ChargingActionIssuerSurplusCharging;
        hasWinner = true;
    }

    if (hasWinner) {
        for (Issuer issuer : shareIssuerOrder()) {
            if (issuer != *winner)
                disableAction(actions, issuer);
        }
    }
    return hasWinner;
}

bool ShareRounds::firstEnabledIssuer(EvChargerAc *charger, ChargingCycle::Actions &actions,
                                     bool hasRemainingChargeTarget, bool stopsOnTarget,
                                     ChargingAction::ChargingActionIssuer *winner)
{
    for (Issuer issuer : shareIssuerOrder()) {
        if (issuer == ChargingAction::ChargingActionIssuerSurplusCharging && !hasRemainingChargeTarget) {
            disableAction(actions, issuer);
            if (stopsOnTarget)
                qCDebug(dcTavroEnergy()) << "Skipping AC surplus sharing on" << charger->name()
                                         << "because its configured target percentage has been reached.";
            else if (charger->hasPowerMeter())
                qCDebug(dcTavroEnergy()) << "Skipping AC surplus sharing on" << charger->name()
                                         << "because the enabled charger is no longer accepting charge.";
            else
                qCDebug(dcTavroEnergy()) << "Skipping AC surplus sharing on" << charger->name()
                                         << "because it has no remaining charge target.";
            continue;
        }
        if (actions.contains(issuer) && actions.value(issuer).chargingEnabled()) {
            *winner = issuer;
            return true;
        }
    }
    return false;
}

bool ShareRounds::acHasRemainingChargeTarget(EvChargerAc *charger, const ChargingProcessInfo &info, bool stopsOnTarget,
                                             const QDateTime &currentDateTime)
{
    const bool latchedBefore = charger->chargeRefusalLatched();
    if (!stopsOnTarget)
        charger->evaluateChargeRefusal(currentDateTime);
    if (!latchedBefore && charger->chargeRefusalLatched())
        qCDebug(dcTavroEnergy())
                << "Excluding AC charger" << charger->name()
                << "from surplus sharing because it remained enabled but is no longer accepting charge.";

    bool hasRemainingChargeTarget = true;
    if (stopsOnTarget)
        hasRemainingChargeTarget = !m_context.book.state(charger->id()).targetPercentageReached();
    else if (charger->hasPowerMeter())
        // A full car that draws nothing cannot take a share either.
        hasRemainingChargeTarget =
                !charger->chargeRefusalLatched() && !(info.batteryLevel > 99 && charger->currentPower() <= 0);
    else if (info.remainingPercentage < 1 && info.batteryLevel > 99)
        hasRemainingChargeTarget = charger->currentPower() > 0;
    return hasRemainingChargeTarget;
}

void ShareRounds::shareAcIssuerGroup(ChargingAction::ChargingActionIssuer issuer, const EvChargerAcs &group,
                                     ChargingShareCalculator::Strategy strategy, double *reservedPower,
                                     const QDateTime &currentDateTime)
{
    const bool surplusGroup = issuer == ChargingAction::ChargingActionIssuerSurplusCharging;
    const double budget = surplusGroup ? m_balance.availableAcSurplusChargingPower(group, *reservedPower)
                                       : m_balance.availableAcChargingPower(group, *reservedPower);
    const double balance = surplusGroup ? m_balance.acSurplusBalance(group, *reservedPower) : budget;
    const QHash<EvChargerAc *, uint> phaseCounts = acSharePhaseCounts(group, issuer, budget);
    QList<ChargingShareCalculator::Request> requests = acShareRequests(group, issuer, phaseCounts);

    updateChargingShareFairness(issuer, currentDateTime);

    QList<ChargingShareCalculator::Result> results = ChargingShareCalculator().calculate(requests, budget, strategy);
    if (surplusGroup)
        putSunFirst(group, &requests, &results, budget, strategy, currentDateTime);
    QList<ThingId> served;
    // One result per request, in request order, and the requests follow the group.
    for (int i = 0; i < results.count() && i < group.count(); i++) {
        const ChargingShareCalculator::Result &result = results.at(i);
        EvChargerAc *charger = group.at(i);

        qCDebug(dcTavroEnergy()) << "AC charging share result for" << charger->name()
                                 << "allocated:" << result.allocatedPower << "[W],"
                                 << "enabled:" << (result.enabled ? "true" : "false");
        if (!result.enabled) {
            disableAction(m_context.cycle.acActionsToChange(charger), issuer);
            continue;
        }
        ChargingAction &action = m_context.cycle.acActionToChange(charger, issuer);
        if (phaseCounts.contains(charger))
            action.setDesiredPhaseCount(phaseCounts.value(charger));
        applyChargingShareResult(charger, issuer, result.allocatedPower);
        *reservedPower += result.allocatedPower;
        served.append(charger->id());
    }
    if (surplusGroup) {
        // A start held back beside a rider was not served.
        for (EvChargerAc *charger : settleSurplusGroup(group, requests, results, budget, balance, currentDateTime))
            served.removeAll(charger->id());
        m_surplusGroup = {group, requests, budget};
    }
    storeChargingShareServedChargers(served, issuer);
}

quint32 ShareRounds::surplusAdmissionCounter(EvChargerAc *charger) const
{
    return surplusAdmissionCounter(charger->id(), m_context.runsOnSurplus(charger));
}

quint32 ShareRounds::surplusAdmissionCounter(const ThingId &evChargerId, bool charging) const
{
    const uint window = m_context.configuration->chargingShareRotationWindow();
    const quint32 turn = (calmTurnMinutes + qMax(1u, window) - 1) / qMax(1u, window);
    const quint32 counter = m_chargingShareFairness.value(evChargerId, 0);
    // Doubled so that a tie goes to the one charging, whatever the ids: it
    // hands over only to a charger left out longer, as a stop and a start
    // are worth nothing to one merely sorted first.
    if (charging)
        return 2 * (counter > turn ? counter - turn : 0);
    return 2 * counter + 1;
}

void ShareRounds::putSunFirst(const EvChargerAcs &group, QList<ChargingShareCalculator::Request> *requests,
                              QList<ChargingShareCalculator::Result> *results, double budget,
                              ChargingShareCalculator::Strategy strategy, const QDateTime &currentDateTime) const
{
    // What the group leaves a DC charger that charges takes: it is not lost.
    for (EvChargerDc *dc : qAsConst(m_context.evChargersDc)) {
        if (dc->pluggedIn() && dc->chargingEnabled())
            return;
    }
    const int count = qMin(group.count(), qMin(requests->count(), results->count()));
    // W of the sun taken: a minimum on the tolerance may lie beyond the budget.
    auto served = [count, budget](const QList<ChargingShareCalculator::Result> &shares) {
        double sum = 0;
        for (int i = 0; i < count; i++)
            sum += shares.at(i).allocatedPower;
        return qMin(sum, budget);
    };
    const double inTurn = served(*results);
    for (int w = 0; w < count; w++) {
        EvChargerAc *waiting = group.at(w);
        if (results->at(w).enabled || m_context.runsOnSurplus(waiting) || requests->at(w).maximumPower <= 0
            || !m_context.cycle.surplusGate(waiting->id()).startsNow(currentDateTime, m_context.surplusGateDelays()))
            continue;
        // The same order with the waiting one first.
        QList<ChargingShareCalculator::Request> first = *requests;
        for (int i = 0; i < count; i++)
            first[i].fairnessCounter = i == w ? 0 : first.at(i).fairnessCounter + 1;
        const QList<ChargingShareCalculator::Result> alternative =
                ChargingShareCalculator().calculate(first, budget, strategy);
        if (alternative.count() < count || !alternative.at(w).enabled)
            continue;
        double displaced = 0; // W, the minimums of those it stops
        bool longer = true;   // left out longer than each of them
        for (int r = 0; r < count; r++) {
            if (!results->at(r).enabled || alternative.at(r).enabled)
                continue;
            displaced += requests->at(r).minimumPower;
            // Rotations served: fewer is left out longer.
            longer = longer && fairness(waiting->id()) < fairness(group.at(r)->id());
        }
        const double sunFirst = served(alternative);
        if (displaced <= 0 || !longer || sunFirst - inTurn < displaced)
            continue;
        qCDebug(dcTavroEnergy()) << waiting->name() << "takes the surplus over: it takes" << sunFirst
                                 << "[W] of the sun where the chargers in their turn take" << inTurn << "[W].";
        *requests = first;
        *results = alternative;
        return;
    }
}

EvChargerAcs ShareRounds::settleSurplusGroup(const EvChargerAcs &group,
                                             const QList<ChargingShareCalculator::Request> &requests,
                                             const QList<ChargingShareCalculator::Result> &results, double budget,
                                             double balance, const QDateTime &currentDateTime)
{
    const int count = qMin(group.count(), qMin(requests.count(), results.count()));
    GroupSettlement settlement;
    settlement.allocated.fill(0.0, count);
    settlement.riding.fill(false, count);
    settlement.admitted.fill(false, count);
    for (int i = 0; i < count; i++)
        settlement.admitted[i] = results.at(i).enabled;
    settleLeftOut(group, requests, results, &settlement);
    stopRidersBeyondOneReserve(group, requests, budget, balance, currentDateTime, &settlement);
    EvChargerAcs held;
    if (settlement.ridersMinimum > 0) {
        held = holdStartsBesideRiders(group, requests, budget, currentDateTime, &settlement);
        capBesideRiders(group, requests, budget, &settlement);
    }
    noteGroupReadings(group, requests, budget, balance, settlement, currentDateTime);
    return held;
}

void ShareRounds::settleLeftOut(const EvChargerAcs &group, const QList<ChargingShareCalculator::Request> &requests,
                                const QList<ChargingShareCalculator::Result> &results, GroupSettlement *settlement)
{
    const Issuer issuer = ChargingAction::ChargingActionIssuerSurplusCharging;
    const int count = settlement->allocated.count();
    auto before = [&](int a, int b) { return admittedBefore(requests.at(a), requests.at(b)); };

    // Who rides a dip out: left out while charging, unless a charger left
    // out longer took its place (a hand-over: it stops at once).
    for (int i = 0; i < count; i++) {
        EvChargerAc *charger = group.at(i);
        if (results.at(i).enabled) {
            settlement->allocated[i] = results.at(i).allocatedPower;
            settlement->admittedMinimum += requests.at(i).minimumPower;
            continue;
        }
        if (!m_context.runsOnSurplus(charger))
            continue;
        bool handedOver = false;
        for (int j = 0; j < count; j++)
            handedOver = handedOver || (results.at(j).enabled && !m_context.runsOnSurplus(group.at(j)) && before(j, i));
        if (handedOver) {
            qCDebug(dcTavroEnergy()) << "Handing the surplus of" << charger->name()
                                     << "over to a charger left out longer.";
            m_context.cycle.surplusGate(charger->id()).handOver();
            m_stoppedByRounds.insert(charger);
            disableAction(m_context.cycle.acActionsToChange(charger), issuer);
            continue;
        }
        // At its minimum until its gate stops it.
        settlement->riding[i] = true;
        settlement->ridersMinimum += requests.at(i).minimumPower;
        applyChargingShareResult(charger, issuer, requests.at(i).minimumPower);
    }
}

bool ShareRounds::longDip(const EvChargerAcs &group, const QList<int> &riders) const
{
    // What each has spent of its full reserve, against the largest one.
    const SurplusGate::Delays delays = m_context.surplusGateDelays();
    double spent = 0; // Wh
    double full = 0;  // Wh
    for (int i : riders) {
        const SurplusGate &gate = m_context.cycle.surplusGate(group.at(i)->id());
        const double own = SurplusGate::fullReserve(m_context.cycle.surplusReading(group.at(i)->id()), delays);
        spent += qMax(0.0, own - gate.reserve());
        full = qMax(full, own);
    }
    return spent >= full / 2;
}

void ShareRounds::stopRidersBeyondOneReserve(const EvChargerAcs &group,
                                             const QList<ChargingShareCalculator::Request> &requests, double budget,
                                             double balance, const QDateTime &currentDateTime,
                                             GroupSettlement *settlement)
{
    QList<int> riders;
    for (int i = 0; i < settlement->riding.count(); i++) {
        if (settlement->riding[i])
            riders.append(i);
    }
    // Where the owner lets the whole minimum come from the grid each may
    // ride on its own: the group still buys no more than it allows.
    if (riders.count() < 2 || m_balance.surplusAcquisitionTolerance() <= 0)
        return;
    if (!longDip(group, riders))
        return;
    auto stops = [&](int i) { return m_context.cycle.surplusGate(group.at(i)->id()).stopsOn(currentDateTime.date()); };
    auto reserve = [&](int i) { return m_context.cycle.surplusGate(group.at(i)->id()).reserve(); };
    std::stable_sort(riders.begin(), riders.end(), [&](int a, int b) {
        const bool lockedA = group.at(a)->chargingEnabledLocked();
        if (lockedA != group.at(b)->chargingEnabledLocked())
            return lockedA;
        if ((reserve(a) > 0) != (reserve(b) > 0))
            return reserve(a) > 0;
        if (requests.at(a).minimumPower != requests.at(b).minimumPower)
            return requests.at(a).minimumPower < requests.at(b).minimumPower;
        if (stops(a) != stops(b))
            return stops(a) > stops(b);
        return reserve(a) > reserve(b);
    });
    // What the surplus leaves the riders; below 0 where the house alone imports.
    double left = qMin(budget, balance) - settlement->admittedMinimum;
    bool reserveTaken = false;
    for (int i : qAsConst(riders)) {
        EvChargerAc *charger = group.at(i);
        const bool covered = left >= requests.at(i).admissionPower;
        // A day of many stops keeps the rest of its switches for the sun's return.
        const SurplusGate &gate = m_context.cycle.surplusGate(charger->id());
        const bool calmSpent = stops(i) + gate.yieldsOn(currentDateTime.date()) >= SurplusGate::calmStopsPerDay;
        if (covered || !reserveTaken || calmSpent || charger->chargingEnabledLocked()) {
            if (!covered && !reserveTaken)
                m_reserveRider = charger;
            reserveTaken = reserveTaken || !covered;
            left -= requests.at(i).minimumPower;
            continue;
        }
        qCDebug(dcTavroEnergy()) << charger->name() << "stops: another charger rides this dip out on its reserve.";
        m_context.cycle.surplusGate(charger->id()).yielded(currentDateTime);
        m_stoppedByRounds.insert(charger);
        m_yielders.append(charger);
        disableAction(m_context.cycle.acActionsToChange(charger), ChargingAction::ChargingActionIssuerSurplusCharging);
        settlement->riding[i] = false;
        settlement->ridersMinimum -= requests.at(i).minimumPower;
    }
}

EvChargerAcs ShareRounds::holdStartsBesideRiders(const EvChargerAcs &group,
                                                 const QList<ChargingShareCalculator::Request> &requests,
                                                 double budget, const QDateTime &currentDateTime,
                                                 GroupSettlement *settlement)
{
    const int count = settlement->allocated.count();
    // What the budget leaves once the riders and the members charging on
    // have their minimums; the starts, in the order they were admitted,
    // must find the tolerance's share of theirs in it. A rider without a
    // reserve left stops in this cycle (where the owner allows no grid it
    // never has one): the start takes its place at once.
    double left = budget;
    double ridersDraw = 0; // W, the riders with a reserve
    QList<int> starts;
    for (int i = 0; i < count; i++) {
        EvChargerAc *charger = group.at(i);
        if (settlement->riding[i] && m_context.cycle.surplusGate(charger->id()).reserve() > 0)
            ridersDraw += requests.at(i).minimumPower;
        if (!settlement->admitted[i])
            continue;
        if (m_context.runsOnSurplus(charger))
            left -= requests.at(i).minimumPower;
        else
            starts.append(i);
    }
    if (ridersDraw <= 0)
        return {};
    std::sort(starts.begin(), starts.end(),
              [&](int a, int b) { return admittedBefore(requests.at(a), requests.at(b)); });
    EvChargerAcs held;
    for (int i : qAsConst(starts)) {
        // One the surplus would carry wholly takes the riders' place: they
        // would spend their reserves while the sun could carry it. Not one
        // whose restart waits: the riders would stop for nothing.
        const bool startsNow = m_context.cycle.surplusGate(group.at(i)->id())
                                       .startsNow(currentDateTime, m_context.surplusGateDelays());
        if (ridersDraw > 0 && startsNow && left >= requests.at(i).minimumPower)
            ridersDraw -= handOverRiders(group, requests, settlement);
        if (left - ridersDraw >= requests.at(i).admissionPower) {
            left -= requests.at(i).minimumPower;
            continue;
        }
        EvChargerAc *charger = group.at(i);
        qCDebug(dcTavroEnergy()) << charger->name() << "waits: the surplus it would start on carries a dip ridden out"
                                 << "beside it.";
        settlement->admitted[i] = false;
        settlement->allocated[i] = 0;
        settlement->admittedMinimum -= requests.at(i).minimumPower;
        disableAction(m_context.cycle.acActionsToChange(charger), ChargingAction::ChargingActionIssuerSurplusCharging);
        held.append(charger);
    }
    return held;
}

double ShareRounds::handOverRiders(const EvChargerAcs &group, const QList<ChargingShareCalculator::Request> &requests,
                                   GroupSettlement *settlement)
{
    double freed = 0;
    for (int i = 0; i < settlement->riding.count(); i++) {
        EvChargerAc *charger = group.at(i);
        SurplusGate &gate = m_context.cycle.surplusGate(charger->id());
        if (!settlement->riding[i] || gate.reserve() <= 0)
            continue;
        qCDebug(dcTavroEnergy()) << "Handing the surplus of" << charger->name()
                                 << "over to a charger the surplus carries wholly.";
        gate.handOver();
        m_stoppedByRounds.insert(charger);
        disableAction(m_context.cycle.acActionsToChange(charger), ChargingAction::ChargingActionIssuerSurplusCharging);
        settlement->riding[i] = false;
        settlement->ridersMinimum -= requests.at(i).minimumPower;
        freed += requests.at(i).minimumPower;
    }
    return freed;
}

void ShareRounds::capBesideRiders(const EvChargerAcs &group, const QList<ChargingShareCalculator::Request> &requests,
                                  double budget, GroupSettlement *settlement)
{
    const Issuer issuer = ChargingAction::ChargingActionIssuerSurplusCharging;
    const int count = settlement->allocated.count();
    QVector<double> &allocated = settlement->allocated;
    double spare = qMax(0.0, budget - settlement->ridersMinimum - settlement->admittedMinimum);
    QList<int> open;
    for (int i = 0; i < count; i++) {
        if (settlement->admitted[i]) {
            allocated[i] = requests.at(i).minimumPower;
            open.append(i);
        }
    }
    while (spare > 1e-6 && !open.isEmpty()) {
        const double share = spare / open.count();
        for (int k = open.count() - 1; k >= 0; k--) {
            const int i = open.at(k);
            const double add = qMin(share, requests.at(i).maximumPower - allocated[i]);
            allocated[i] += add;
            spare -= add;
            if (add < share)
                open.removeAt(k);
        }
        if (open.count() == 0 || share < 1e-6)
            break;
    }
    for (int i = 0; i < count; i++) {
        if (settlement->admitted[i])
            applyChargingShareResult(group.at(i), issuer, allocated[i]);
    }
}

void ShareRounds::noteGroupReadings(const EvChargerAcs &group, const QList<ChargingShareCalculator::Request> &requests,
                                    double budget, double balance, const GroupSettlement &settlement,
                                    const QDateTime &currentDateTime)
{
    const int count = settlement.allocated.count();
    const QVector<double> &allocated = settlement.allocated;
    const QVector<bool> &riding = settlement.riding;
    // The admitted members' minimums may exceed the budget by what the
    // tolerance lets the last of them buy: each has its part of the
    // budget; riders share what the admitted leave.
    double granted = 0;
    double wanted = 0; // W, the admitted at their maximums
    int riders = 0;
    for (int i = 0; i < count; i++) {
        granted += allocated[i];
        wanted += settlement.admitted[i] ? qMax(allocated[i], requests.at(i).maximumPower) : 0.0;
        riders += riding[i] ? 1 : 0;
    }
    const double scale = settlement.ridersMinimum == 0 && granted > budget && granted > 0 ? budget / granted : 1.0;
    // Where the house alone imports there is no surplus, not a surplus of
    // 0: at a tolerance of 0 that would cover every minimum, all night.
    // The riders share the import as a charger alone bears it.
    const double left = balance < 0 ? balance : qMax(0.0, budget - granted);
    const double rest = riders > 0 ? left / riders : 0.0;
    // One left out sees what the admitted and the riders leave, below 0
    // where their minimums take more than the budget: at a tolerance of 0
    // a reading of 0 covers any minimum, and its gate would start it
    // beside them (the group buys one minimum beyond the surplus at most).
    // What the admitted could still take is not left either: at a tolerance
    // of 0 a start beside them would buy its whole minimum for nothing.
    const double none = qMin(qMin(0.0, balance), budget - wanted - settlement.ridersMinimum);
    // Riders whose part the admitted could take up to their maximums buy
    // their minimum for sun the others would have taken. A cloud is ridden
    // out all the same; where it stays twice the stop delay it is no cloud
    // but the sun of the hour: they spend their reserve as in a dip
    // without surplus and stop.
    const bool roomBeside = m_balance.surplusAcquisitionTolerance() > 0 && balance >= 0 && left > 0
                            && wanted - granted >= left;
    const qint64 settled = 2 * qint64(m_context.surplusGateDelays().stop);
    for (int i = 0; i < count; i++) {
        EvChargerAc *charger = group.at(i);
        if (m_stoppedByRounds.contains(charger))
            continue;
        SurplusGate::Reading reading = m_context.cycle.surplusReading(charger->id());
        reading.surplusPower = settlement.admitted[i] ? allocated[i] * scale : (riding[i] ? rest : none);
        if (riding[i] && roomBeside && settled > 0) {
            const QDateTime since = m_ridingBesideRoomBefore.isValid() ? m_ridingBesideRoomBefore : currentDateTime;
            m_ridingBesideRoomSince = since;
            if (since.secsTo(currentDateTime) >= settled) {
                qCDebug(dcTavroEnergy()) << charger->name() << "has ridden beside chargers that could take its part"
                                         << "since" << since << "and spends its reserve.";
                reading.surplusPower = 0;
            }
        }
        m_groupReadings.insert(charger, reading);
    }
}

void ShareRounds::spendSurplusRemainder(const EvChargerAcs &group,
                                        const QList<ChargingShareCalculator::Request> &requests, double budget)
{
    const Issuer issuer = ChargingAction::ChargingActionIssuerSurplusCharging;
    double drawn = 0;
    for (EvChargerAc *charger : group) {
        const ChargingAction action = m_context.cycle.acAction(charger, issuer);
        if (action.chargingEnabled()) {
            drawn += action.maxChargingCurrent() * qMax(1u, action.desiredPhaseCount()) * Units::phaseVoltage;
        } else if (charger->chargingEnabled() && charger->chargingEnabledLocked()) {
            // Told to stop, but its on/off lock keeps it charging: what it
            // draws is not left for the others (they would buy it).
            const uint phases = qMax(1u, m_context.cycle.acInfoOrDefault(charger).effectivePhaseCount);
            drawn += qMax(0.0, charger->currentPower())
                     + m_context.pendingAmperes(charger) * phases * Units::phaseVoltage;
        }
    }
    double left = budget - drawn;
    for (int i = 0; i < group.count() && i < requests.count() && left > 0; i++) {
        EvChargerAc *charger = group.at(i);
        ChargingAction &action = m_context.cycle.acActionToChange(charger, issuer);
        const double step = charger->maxChargingCurrentStepSize() > 0 ? charger->maxChargingCurrentStepSize() : 1.0;
        const uint phases = qMax(1u, action.desiredPhaseCount());
        const double stepPower = step * phases * Units::phaseVoltage;
        if (!action.chargingEnabled() || m_stoppedByRounds.contains(charger))
            continue;
        const double most = qMin<double>(m_context.cycle.acInfoOrDefault(charger).maxChargingCurrent,
                                         requests.at(i).maximumPower / (phases * Units::phaseVoltage));
        const int steps = static_cast<int>(qMin(std::floor(left / stepPower + 1e-9),
                                                std::floor((most - action.maxChargingCurrent()) / step + 1e-9)));
        if (steps <= 0)
            continue;
        action.setMaxChargingCurrent(action.maxChargingCurrent() + steps * step);
        left -= steps * stepPower;
    }
}

void ShareRounds::applySurplusGates(const QHash<EvChargerAc *, Issuer> &winners, const QDateTime &currentDateTime)
{
    const Issuer issuer = ChargingAction::ChargingActionIssuerSurplusCharging;
    const SurplusGate::Delays delays = m_context.surplusGateDelays();
    for (auto it = winners.constBegin(); it != winners.constEnd(); ++it) {
        EvChargerAc *charger = it.key();
        if (it.value() != issuer || m_stoppedByRounds.contains(charger))
            continue;
        SurplusGate &gate = m_context.cycle.surplusGate(charger->id());
        // Only chargers the surplus plan read this cycle.
        if (!gate.hasReading(currentDateTime))
            continue;
        ChargingAction &action = m_context.cycle.acActionToChange(charger, issuer);
        const SurplusGate::Reading reading = m_groupReadings.value(charger, gate.reading());
        // A rider whose part covers its fewest phases goes on there rather than off.
        const uint phases = gate.dipPhaseCount(reading, qMax(1u, action.desiredPhaseCount()), currentDateTime, delays);
        action.setDesiredPhaseCount(phases);
        const bool enabled = gate.chargingEnabled(reading, phases, currentDateTime, delays);
        if (enabled && !SurplusGate::covers(reading, phases)) {
            const double minimum = m_context.cycle.acInfoOrDefault(charger).minChargingCurrent;
            qCDebug(dcTavroEnergy()) << charger->name() << "rides out a dip at its minimum of" << minimum << "[A] on"
                                     << phases << "phases, reserve left:" << gate.reserve() << "[Wh]";
            action.setMaxChargingCurrent(minimum);
        }
        action.setChargingEnabled(enabled);
    }
}

void ShareRounds::settleYields()
{
    if (m_yielders.isEmpty() || !m_reserveRider)
        return;
    const Issuer issuer = ChargingAction::ChargingActionIssuerSurplusCharging;
    if (m_context.cycle.acAction(m_reserveRider, issuer).chargingEnabled())
        return;
    qCDebug(dcTavroEnergy()) << m_reserveRider->name() << "stops as well: nobody rides this dip out, the"
                             << m_yielders.count() << "chargers stopped for its ride stopped for lack of surplus.";
    for (EvChargerAc *charger : qAsConst(m_yielders))
        m_context.cycle.surplusGate(charger->id()).yieldNotRidden();
}

QHash<EvChargerAc *, uint> ShareRounds::acSharePhaseCounts(const EvChargerAcs &group,
                                                           ChargingAction::ChargingActionIssuer issuer,
                                                           double budget) const
{
    const bool surplusGroup = issuer == ChargingAction::ChargingActionIssuerSurplusCharging;
    // A charger charging on surplus keeps the phase count its gate
    // decided: switching it costs a pause. Any other may change for free.
    QHash<EvChargerAc *, uint> phaseCounts;
    double sumOfMinimums = 0;
    for (EvChargerAc *charger : group) {
        const ChargingProcessInfo info = m_context.cycle.acInfoOrDefault(charger);
        uint phases = info.maxPhaseCount;
        if (surplusGroup && info.phaseSwitchingPossible && m_context.runsOnSurplus(charger)) {
            phases = qBound(info.minPhaseCount, m_context.cycle.acAction(charger, issuer).desiredPhaseCount(),
                            info.maxPhaseCount);
        } else if (!surplusGroup) {
            phases = qMax(1u, m_context.cycle.acAction(charger, issuer).desiredPhaseCount());
            phases = qMin(phases, info.maxPhaseCount);
            phases = qMax(phases, info.minPhaseCount);
        }
        phaseCounts.insert(charger, phases);
        sumOfMinimums += phases * info.minChargingCurrent * Units::phaseVoltage;
    }

    // Below the sum of minimums, chargers that can drop to fewer phases
    // do so, which lowers their minimum and may admit more of them.
    if (surplusGroup && budget < sumOfMinimums) {
        for (EvChargerAc *charger : group) {
            const ChargingProcessInfo info = m_context.cycle.acInfoOrDefault(charger);
            // One the sun carries at its phases (a deadline charge just
            // handed to the surplus) keeps them: a switch costs a pause.
            if ((info.phaseSwitchingPossible || info.carLimitedToSinglePhase) && !m_context.runsOnSurplus(charger)
                && !m_context.sunCarries(charger, info))
                phaseCounts.insert(charger, info.minPhaseCount);
        }
    }
    return phaseCounts;
}

QList<ChargingShareCalculator::Request>
ShareRounds::acShareRequests(const EvChargerAcs &group, ChargingAction::ChargingActionIssuer issuer,
                             const QHash<EvChargerAc *, uint> &phaseCounts) const
{
    const bool surplusGroup = issuer == ChargingAction::ChargingActionIssuerSurplusCharging;
    // What the fuse leaves the whole group: its present draw plus the
    // headroom. Each request is capped by that, not by its own draw, so
    // a charger already charging does not keep the fuse from one that
    // waits; the fairness order decides who is admitted.
    PhaseHeadroom groupHeadroom = m_context.measuredHeadroom();
    for (EvChargerAc *charger : group) {
        const ChargingProcessInfo info = m_context.cycle.acInfoOrDefault(charger);
        groupHeadroom.spend(info.effectivePhases, -qMax(0.0, charger->currentPower())
                                                          / (qMax(1u, info.effectivePhaseCount) * Units::phaseVoltage));
    }
    // A surplus group starts on the acquisition tolerance like a single
    // charger does: a charger is admitted while what is left covers that
    // share of its minimum.
    const double minimumShare = surplusGroup ? m_balance.surplusAcquisitionTolerance() : 1.0;

    QList<ChargingShareCalculator::Request> requests;
    bool fuseCaps = false;
    for (EvChargerAc *charger : group) {
        const ChargingProcessInfo info = m_context.cycle.acInfoOrDefault(charger);
        const ChargingAction action = m_context.cycle.acAction(charger, issuer);
        const uint phases = phaseCounts.value(charger, qMax(1u, action.desiredPhaseCount()));

        ChargingShareCalculator::Request request;
        request.thingId = charger->id().toString();
        request.phaseCount = phases;
        request.minimumPower = info.minChargingCurrent * Units::phaseVoltage * phases;
        request.admissionPower = request.minimumPower * minimumShare;
        const double current = surplusGroup ? info.maxChargingCurrent : action.maxChargingCurrent();
        request.maximumPower = current * Units::phaseVoltage * phases;
        if (groupHeadroom.limited()) {
            const double allowance =
                    qMax(0.0, groupHeadroom.available(ChargingContext::ascendingPhasesForCount(phases)));
            const double capped = allowance * Units::phaseVoltage * phases;
            fuseCaps = fuseCaps || capped < request.maximumPower;
            request.maximumPower = qMin(request.maximumPower, capped);
        }
        request.measuredPower = charger->currentPower();
        request.priority = surplusGroup ? sharePriority(issuer) : deadlineRank(charger, group);
        request.fairnessCounter = m_chargingShareFairness.value(charger->id(), 0);
        if (surplusGroup) {
            request.fairnessCounter = surplusAdmissionCounter(charger);
            // The surplus goes to chargers that can start now.
            if (!m_context.runsOnSurplus(charger) && charger->chargingEnabledLocked())
                request.maximumPower = 0;
            request.roomEnergy = acRoomEnergy(charger, info);
        }
        requests.append(request);

        qCDebug(dcTavroEnergy()) << "AC charging share request for" << charger->name()
                                 << "issuer:" << ChargingAction::issuerToString(issuer)
                                 << "minimum:" << request.minimumPower << "[W],"
                                 << "maximum:" << request.maximumPower << "[W],"
                                 << "phase count:" << request.phaseCount << "measured:" << request.measuredPower
                                 << "[W],"
                                 << "priority:" << request.priority << "fairness counter:" << request.fairnessCounter;
    }
    // Where the fuse caps the chargers, each cap is what it leaves the whole
    // group: shares in proportion to the rooms would put one at that cap and
    // the others on top of it. They share equally then.
    if (fuseCaps) {
        for (ChargingShareCalculator::Request &request : requests)
            request.roomEnergy = 0;
    }
    return requests;
}

double ShareRounds::acRoomEnergy(EvChargerAc *charger, const ChargingProcessInfo &info) const
{
    if (info.capacity <= 0 || info.lossFactor <= 0)
        return 0;
    const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
    const bool stopsOnTarget = configuration.stopsOnTarget();
    const double ceiling = stopsOnTarget ? configuration.targetPercentage() : 100.0;
    // Half a point at least: a car reporting its ceiling may still draw
    // (levels are whole percent), and a room of 0 would read as unknown.
    const double points = qMax(0.5, ceiling - info.batteryLevel);
    return info.capacity * points / 100.0 / info.lossFactor;
}

qint32 ShareRounds::deadlineRank(EvChargerAc *charger, const EvChargerAcs &group) const
{
    // Deadlines competing for the fuse: the earliest is served first, one
    // without a deadline (a daily share) after all of them, equal ones share
    // unless the preparation serves them in turn (sharing would miss them).
    const int place = m_context.cycle.acInfoOrDefault(charger).fusePlace;
    bool placed = place >= 0;
    QSet<int> before;
    for (EvChargerAc *other : group) {
        const int otherPlace = m_context.cycle.acInfoOrDefault(other).fusePlace;
        placed = placed && otherPlace >= 0;
        if (otherPlace < place)
            before.insert(otherPlace);
    }
    if (placed)
        return static_cast<qint32>(before.count());

    const QDateTime deadline = m_context.cycle.acInfoOrDefault(charger).deadline;
    QSet<QDateTime> earlier;
    for (EvChargerAc *other : group) {
        const QDateTime otherDeadline = m_context.cycle.acInfoOrDefault(other).deadline;
        if (otherDeadline.isValid() && (!deadline.isValid() || otherDeadline < deadline))
            earlier.insert(otherDeadline);
    }
    return static_cast<qint32>(earlier.count());
}

void ShareRounds::applyChargingShareResult(EvChargerAc *charger, ChargingAction::ChargingActionIssuer issuer,
                                           double power)
{
    ChargingCycle::Actions &actions = m_context.cycle.acActionsToChange(charger);
    if (!actions.contains(issuer)) {
        ChargingAction action;
        action.setIssuer(issuer);
        actions.insert(issuer, action);
    }
    ChargingAction &action = actions[issuer];
    const ChargingProcessInfo info = m_context.cycle.acInfoOrDefault(charger);

    uint phases = action.desiredPhaseCount();
    if (phases == 0)
        phases = info.effectivePhaseCount;
    if (phases == 0)
        phases = 1;

    // Rounded down: the shares together must stay within the budget.
    const double current = floorChargingCurrent(power / (phases * Units::phaseVoltage), info.minChargingCurrent,
                                                info.maxChargingCurrent, charger->maxChargingCurrentStepSize());
    action.setDesiredPhaseCount(phases);
    action.setMaxChargingCurrent(current);
    action.setChargingEnabled(info.minChargingCurrent <= current);
}

void ShareRounds::updateChargingShareFairness(int issuer, const QDateTime &currentDateTime)
{
    const uint window = m_context.configuration->chargingShareRotationWindow();
    if (window > 0) {
        const QDateTime lastRotation = m_chargingShareLastRotation.value(issuer);
        if (!lastRotation.isValid() || lastRotation > currentDateTime) {
            m_chargingShareLastRotation.insert(issuer, currentDateTime);
            return;
        }
        if (lastRotation.secsTo(currentDateTime) < static_cast<qint64>(window) * 60)
            return;
    }

    m_chargingShareLastRotation.insert(issuer, currentDateTime);
    const QList<ThingId> served = m_chargingShareServed.value(issuer);
    for (const ThingId &id : served)
        m_chargingShareFairness[id] += 1;
}

void ShareRounds::storeChargingShareServedChargers(const QList<ThingId> &served, int issuer)
{
    m_chargingShareServed.insert(issuer, served);
}
