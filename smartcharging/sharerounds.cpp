#include "sharerounds.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/householdbalance.h"

#include "config/energymanagerconfiguration.h"
#include "devices/evchargerac.h"
#include "devices/rootmeter.h"
#include "common/tavroenergylogging.h"
#include "common/units.h"
#include "smartcharging/chargingcurrent.h"
#include "smartcharging/chargingsharecalculator.h"
#include "smartcharging/phaseheadroom.h"

#include <QSet>

#include <algorithm>

namespace {
using Issuer = ChargingAction::ChargingActionIssuer;

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
    const EvChargerAcs chargers = m_context.acChargingActions.keys();
    for (EvChargerAc *charger : chargers) {
        Issuer winner = ChargingAction::ChargingActionIssuerUnknown;
        if (pickAcShareWinner(charger, currentDateTime, &winner))
            winners.insert(charger, winner);
    }

    // 2. Share per issuer group; what a higher group got is reserved.
    double reservedPower = 0;
    const ChargingShareCalculator::Strategy strategy = m_context.configuration->chargingShareStrategy();
    for (Issuer issuer : shareIssuerOrder()) {
        const EvChargerAcs group = acShareGroup(winners, issuer);
        // A single charger keeps its own plan.
        if (group.count() < 2)
            continue;
        shareAcIssuerGroup(issuer, group, strategy, &reservedPower, currentDateTime);
    }
}

bool ShareRounds::pickAcShareWinner(EvChargerAc *charger, const QDateTime &currentDateTime,
                                    ChargingAction::ChargingActionIssuer *winner)
{
    QHash<Issuer, ChargingAction> &actions = m_context.acChargingActions[charger];

    if (!charger->pluggedIn()) {
        qCDebug(dcTavroEnergy()) << "Skipping AC sharing on" << charger->name() << "because it is unplugged.";
        for (Issuer issuer : shareIssuerOrder())
            disableAction(actions, issuer);
        return false;
    }
    if (!m_context.acProcessInfos.contains(charger)) {
        for (Issuer issuer : shareIssuerOrder())
            disableAction(actions, issuer);
        return false;
    }

    const ChargingProcessInfo info = m_context.acProcessInfos.value(charger);
    const ChargingConfiguration configuration = m_context.book.configuration(charger->id());
    const bool stopsOnTarget = configuration.stopOnTargetPercentage() && configuration.targetPercentage() <= 99;
    const bool hasRemainingChargeTarget = acHasRemainingChargeTarget(charger, info, stopsOnTarget, currentDateTime);

    bool hasWinner = false;
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
            hasWinner = true;
            break;
        }
    }

    // An eco charger takes part in surplus sharing even when its own
    // surplus plan found too little: the group may still afford it.
    const bool ecoMode = configuration.chargingMode() == ChargingConfiguration::ChargingModeEco
                         || configuration.chargingMode() == ChargingConfiguration::ChargingModeEcoWithTargetTime;
    if (!hasWinner && ecoMode && hasRemainingChargeTarget
        && !m_context.book.state(charger->id()).batteryLevelConsiderationActive()) {
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
        hasRemainingChargeTarget = !charger->chargeRefusalLatched();
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
    const QHash<EvChargerAc *, uint> phaseCounts = acSharePhaseCounts(group, issuer, budget);
    const QList<ChargingShareCalculator::Request> requests = acShareRequests(group, issuer, phaseCounts);

    updateChargingShareFairness(issuer, currentDateTime);

    const QList<ChargingShareCalculator::Result> results =
            ChargingShareCalculator().calculate(requests, budget, strategy);
    QList<ThingId> served;
    // One result per request, in request order, and the requests follow the group.
    for (int i = 0; i < results.count() && i < group.count(); i++) {
        const ChargingShareCalculator::Result &result = results.at(i);
        EvChargerAc *charger = group.at(i);

        qCDebug(dcTavroEnergy()) << "AC charging share result for" << charger->name()
                                 << "allocated:" << result.allocatedPower << "[W],"
                                 << "enabled:" << (result.enabled ? "true" : "false");
        if (!result.enabled) {
            disableAction(m_context.acChargingActions[charger], issuer);
            continue;
        }
        ChargingAction &action = m_context.acChargingActions[charger][issuer];
        if (phaseCounts.contains(charger))
            action.setDesiredPhaseCount(phaseCounts.value(charger));
        applyChargingShareResult(charger, issuer, result.allocatedPower);
        *reservedPower += result.allocatedPower;
        served.append(charger->id());
    }
    storeChargingShareServedChargers(served, issuer);
}

bool ShareRounds::acRunsOnSurplus(EvChargerAc *charger) const
{
    return m_context.book.state(charger->id()).mode() == ChargingState::ModeSurplusCharging
           && charger->chargingEnabled();
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
        const ChargingProcessInfo info = m_context.acProcessInfos.value(charger);
        uint phases = info.maxPhaseCount;
        if (surplusGroup && info.phaseSwitchingPossible && acRunsOnSurplus(charger)) {
            phases = qBound(info.minPhaseCount,
                            m_context.acChargingActions.value(charger).value(issuer).desiredPhaseCount(),
                            info.maxPhaseCount);
        } else if (!surplusGroup) {
            phases = qMax(1u, m_context.acChargingActions.value(charger).value(issuer).desiredPhaseCount());
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
            const ChargingProcessInfo info = m_context.acProcessInfos.value(charger);
            if ((info.phaseSwitchingPossible || info.carLimitedToSinglePhase) && !acRunsOnSurplus(charger))
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
    PhaseHeadroom groupHeadroom(m_context.rootMeter, m_context.phasePowerLimit);
    for (EvChargerAc *charger : group) {
        const ChargingProcessInfo info = m_context.acProcessInfos.value(charger);
        groupHeadroom.spend(info.effectivePhases, -qMax(0.0, charger->currentPower())
                                                          / (qMax(1u, info.effectivePhaseCount) * Units::phaseVoltage));
    }
    // A surplus group starts on the acquisition tolerance like a single
    // charger does: a charger is admitted while what is left covers that
    // share of its minimum.
    const double minimumShare = surplusGroup ? m_balance.surplusAcquisitionTolerance() : 1.0;

    QList<ChargingShareCalculator::Request> requests;
    for (EvChargerAc *charger : group) {
        const ChargingProcessInfo info = m_context.acProcessInfos.value(charger);
        const ChargingAction action = m_context.acChargingActions.value(charger).value(issuer);
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
            request.maximumPower = qMin(request.maximumPower, allowance * Units::phaseVoltage * phases);
        }
        request.measuredPower = charger->currentPower();
        request.priority = surplusGroup ? sharePriority(issuer) : deadlineRank(charger, group);
        request.fairnessCounter = m_chargingShareFairness.value(charger->id(), 0);
        requests.append(request);

        qCDebug(dcTavroEnergy()) << "AC charging share request for" << charger->name()
                                 << "issuer:" << ChargingAction::issuerToString(issuer)
                                 << "minimum:" << request.minimumPower << "[W],"
                                 << "maximum:" << request.maximumPower << "[W],"
                                 << "phase count:" << request.phaseCount << "measured:" << request.measuredPower
                                 << "[W],"
                                 << "priority:" << request.priority << "fairness counter:" << request.fairnessCounter;
    }
    return requests;
}

qint32 ShareRounds::deadlineRank(EvChargerAc *charger, const EvChargerAcs &group) const
{
    // Deadlines competing for the fuse: the earliest is served first, one
    // without a deadline (a daily share) after all of them, equal ones share.
    const QDateTime deadline = m_context.acProcessInfos.value(charger).deadline;
    QSet<QDateTime> earlier;
    for (EvChargerAc *other : group) {
        const QDateTime otherDeadline = m_context.acProcessInfos.value(other).deadline;
        if (otherDeadline.isValid() && (!deadline.isValid() || otherDeadline < deadline))
            earlier.insert(otherDeadline);
    }
    return static_cast<qint32>(earlier.count());
}

void ShareRounds::applyChargingShareResult(EvChargerAc *charger, ChargingAction::ChargingActionIssuer issuer,
                                           double power)
{
    QHash<Issuer, ChargingAction> &actions = m_context.acChargingActions[charger];
    if (!actions.contains(issuer)) {
        ChargingAction action;
        action.setIssuer(issuer);
        actions.insert(issuer, action);
    }
    ChargingAction &action = actions[issuer];
    const ChargingProcessInfo info = m_context.acProcessInfos.value(charger);

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
