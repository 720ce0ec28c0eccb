#include "acchargeradjuster.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/sharerounds.h"

#include "devices/evchargerac.h"
#include "devices/rootmeter.h"
#include "common/tavroenergylogging.h"
#include "common/units.h"
#include "smartcharging/chargingcurrent.h"
#include "smartcharging/phaseheadroom.h"

#include "tavro/thingutils.h"

#include <algorithm>
#include <cmath>

namespace {
using Issuer = ChargingAction::ChargingActionIssuer;

// The planning issuers in the order the executor prefers them.
Issuer winningIssuer(const QHash<Issuer, ChargingAction> &actions)
{
    for (Issuer issuer :
         {ChargingAction::ChargingActionIssuerTimeRequirement, ChargingAction::ChargingActionIssuerSurplusCharging,
          ChargingAction::ChargingActionIssuerSpotMarketCharging}) {
        if (actions.value(issuer).chargingEnabled())
            return issuer;
    }
    return ChargingAction::ChargingActionIssuerUnknown;
}

// Chargers going off come first, then those coming down (what they free is
// there for the others), then deadlines, spot market and surplus, which
// need the fuse in that order.
int commandRank(Issuer issuer, bool comingDown)
{
    if (issuer == ChargingAction::ChargingActionIssuerUnknown)
        return 0;
    if (comingDown)
        return 1;
    switch (issuer) {
    case ChargingAction::ChargingActionIssuerTimeRequirement:
        return 2;
    case ChargingAction::ChargingActionIssuerSpotMarketCharging:
        return 3;
    case ChargingAction::ChargingActionIssuerSurplusCharging:
        return 4;
    default:
        return 0;
    }
}

// The action asks the charger for less than it draws now on each phase.
bool comingDown(EvChargerAc *charger, const ChargingProcessInfo &info, const ChargingAction &action)
{
    const uint phases = qMax(1u, info.effectivePhaseCount);
    const double ownCurrent = qMax(0.0, charger->currentPower()) / (phases * Units::phaseVoltage);
    return ownCurrent > 0 && action.desiredPhaseCount() <= phases && action.maxChargingCurrent() < ownCurrent;
}

}

EvChargerAcs AcChargerAdjuster::acCommandOrder() const
{
    // By command rank of the winning issuer, the earlier deadline first
    // (none last), then by id text.
    struct Entry {
        int rank;
        QDateTime deadline;
        QString idText;
        EvChargerAc *charger;
    };
    QVector<Entry> order;
    const EvChargerAcs planned = m_context.cycle.plannedAcChargers();
    for (EvChargerAc *charger : planned) {
        const ChargingCycle::Actions actions = m_context.cycle.acActions(charger);
        const Issuer issuer = winningIssuer(actions);
        const ChargingProcessInfo info = m_context.cycle.acInfoOrDefault(charger);
        const int rank = commandRank(issuer, comingDown(charger, info, actions.value(issuer)));
        order.append({rank, info.deadline, charger->id().toString(), charger});
    }
    std::sort(order.begin(), order.end(), [](const Entry &a, const Entry &b) {
        if (a.rank != b.rank)
            return a.rank < b.rank;
        if (a.deadline.isValid() != b.deadline.isValid())
            return a.deadline.isValid();
        if (a.deadline != b.deadline)
            return a.deadline < b.deadline;
        return a.idText < b.idText;
    });
    EvChargerAcs chargers;
    for (const Entry &entry : qAsConst(order))
        chargers.append(entry.charger);
    return chargers;
}

void AcChargerAdjuster::adjustEvChargers(const QDateTime &currentDateTime)
{
    qCDebug(dcTavroEnergy()) << "------ Adjusting chargers  ------";

    m_shares.applyAcChargingShares(currentDateTime);
    m_context.cycle.clearFuseClaims();

    // Every command is fitted to what the fuse leaves after the commands
    // before it, so no two chargers count on the same headroom.
    PhaseHeadroom &headroom = m_context.headroom();

    m_waiting = acCommandOrder();
    while (!m_waiting.isEmpty())
        adjustAcCharger(m_waiting.takeFirst(), headroom, currentDateTime);
}

void AcChargerAdjuster::stopSurplusForDeadline(EvChargerAc *charger, const ChargingProcessInfo &info,
                                               Electricity::Phases phases, double wanted, PhaseHeadroom &headroom,
                                               const QDateTime &currentDateTime)
{
    // The deadline was timed on the fuse the house leaves without the cars
    // in eco mode: surplus charging, which has no deadline (at a tolerance
    // of 0 it buys its whole minimum), makes way for it. The last in
    // the command order first, and only as many as the plan needs; one its
    // on/off lock holds stays on.
    const double planned = info.phaseLimitPower > 0 ? info.phaseLimitPower / info.voltage : wanted;
    const double needed = qMin(wanted, planned);
    for (int i = m_waiting.count() - 1; i >= 0; i--) {
        if (headroom.available(phases) - Units::phaseLimitMargin >= needed)
            return;
        EvChargerAc *other = m_waiting.at(i);
        ChargingCycle::Actions &actions = m_context.cycle.acActionsToChange(other);
        const Electricity::Phases otherPhases = m_context.cycle.acInfoOrDefault(other).effectivePhases;
        if (winningIssuer(actions) != ChargingAction::ChargingActionIssuerSurplusCharging || !(otherPhases & phases)
            || !other->chargingEnabled() || other->chargingEnabledLocked())
            continue;
        qCDebug(dcTavroEnergy()) << other->name() << "stops charging on surplus: the deadline charge of"
                                 << charger->name() << "needs the fuse on its phases.";
        for (ChargingAction &action : actions)
            action.setChargingEnabled(false);
        m_waiting.removeAt(i);
        adjustAcCharger(other, headroom, currentDateTime);
        m_context.book.setWaitingReason(other->id(), ChargingState::WaitingReasonPhasePowerLimit);
    }
}

void AcChargerAdjuster::claimFuseForDeadline(EvChargerAc *charger, const ChargingProcessInfo &info,
                                             const ChargingAction &action, Electricity::Phases phases, double current)
{
    // A charge in the fuse's deadline order that the phase limit holds below
    // its plan: what it lacks is claimed from the DC chargers placed after it
    // (they command later in the cycle, on what this command leaves, and
    // would keep the fuse to themselves until their own deadline). Not for a
    // target out of reach even served first, nor for a car on fewer than
    // three phases: the DC car draws alike on all three, so it would give
    // up more than the AC car gets. A charger its on/off lock holds off
    // could not take the room, and less than one current step it could not use.
    const ChargingAction::ChargingActionIssuer issuer = action.issuer();
    if (info.fusePlace < 0 || info.targetTimeUnreachable || Electricity::phaseCount(phases) < 3
        || !m_context.headroom().limited()
        || (issuer != ChargingAction::ChargingActionIssuerTimeRequirement
            && issuer != ChargingAction::ChargingActionIssuerSpotMarketCharging)
        || (!charger->chargingEnabled() && charger->chargingEnabledLocked()))
        return;
    const double wanted = qMin(action.maxChargingCurrent(), double(info.maxChargingCurrent));
    const double planned = info.phaseLimitPower > 0 ? info.phaseLimitPower / info.voltage : wanted;
    const double step = charger->maxChargingCurrentStepSize();
    double lacking = qMin(wanted, planned) - current;
    if (step > 0)
        lacking = std::floor(lacking / step + 1e-9) * step;
    if (lacking <= 0)
        return;
    qCDebug(dcTavroEnergy()) << charger->name() << "claims" << lacking
                             << "[A] per phase of the fuse from the DC chargers after place" << info.fusePlace
                             << "in deadline order.";
    m_context.cycle.claimFuse(info.fusePlace, phases, lacking);
}

double AcChargerAdjuster::takeBackOwnDraw(EvChargerAc *charger, const ChargingProcessInfo &info,
                                          PhaseHeadroom &headroom) const
{
    // A command of this minute that the meter does not show yet is part of
    // the charger's own draw: the headroom counted it already.
    const Electricity::Phases pendingPhases = m_context.cycle.commandedDraws().phases(charger->id());
    const double pending = m_context.pendingAmperes(charger);
    const bool pendingOnOwnPhases = pendingPhases == info.effectivePhases;
    if (!pendingOnOwnPhases)
        headroom.spend(pendingPhases, -pending);
    const double ownCurrent =
            qMax(0.0, charger->currentPower()) / (qMax(1u, info.effectivePhaseCount) * Units::phaseVoltage)
            + (pendingOnOwnPhases ? pending : 0.0);
    // Until a command says otherwise the charger keeps its present draw.
    headroom.spend(info.effectivePhases, -ownCurrent);
    return ownCurrent;
}

void AcChargerAdjuster::adjustAcCharger(EvChargerAc *charger, PhaseHeadroom &headroom, const QDateTime &currentDateTime)
{
    const ThingId id = charger->id();
    const ChargingState state = m_context.book.states().value(id, ChargingState(id));
    const bool normalMode =
            m_context.book.configuration(id).chargingMode() == ChargingConfiguration::ChargingModeNormal;
    qCDebug(dcTavroEnergy()) << charger->name() << state;

    if (state.targetPercentageReached()) {
        qCDebug(dcTavroEnergy()) << charger->name() << "has reached the target percentage and is done. Ignoring...";
        m_context.book.resetTransient(id, ChargingState::WaitingReasonNone);
        return;
    }
    if (normalMode) {
        qCDebug(dcTavroEnergy()) << charger->name() << "is set to manual mode. Ignoring...";
        m_context.book.resetTransient(id, ChargingState::WaitingReasonNone);
        return;
    }
    if (!charger->available()) {
        qCDebug(dcTavroEnergy()) << charger->name() << "is not available. Ignoring...";
        m_context.book.resetTransient(id, ChargingState::WaitingReasonChargerUnavailable);
        return;
    }

    const ChargingProcessInfo info = m_context.cycle.acInfoOrDefault(charger);
    const double ownCurrent = takeBackOwnDraw(charger, info, headroom);
    Electricity::Phases drawPhases = info.effectivePhases;
    double drawCurrent = ownCurrent;

    if (!charger->pluggedIn()) {
        qCDebug(dcTavroEnergy()) << charger->name() << "is unplugged. Switching off charging.";
        m_overloadCut.remove(id);
        if (charger->setChargingEnabled(false, currentDateTime, false, true) || charger->holdsChargingEnabled(false))
            drawCurrent = 0;
        headroom.spend(drawPhases, drawCurrent);
        m_context.book.resetTransient(id, ChargingState::WaitingReasonVehicleNotPluggedIn);
        return;
    }

    qCDebug(dcTavroEnergy()) << "Final charging schedules" << charger->thing()
                             << m_context.schedules.acSchedules().value(charger);

    bool phaseLimited = false;
    const ChargingState::Mode mode = commandAcWinningAction(charger, info, headroom, ownCurrent, &drawPhases,
                                                            &drawCurrent, &phaseLimited, currentDateTime);
    if (mode == ChargingState::ModeIdle)
        switchOffIdleAcCharger(charger, &drawCurrent, currentDateTime);
    headroom.spend(drawPhases, drawCurrent);
    if (phaseLimited)
        m_context.book.setWaitingReason(id, ChargingState::WaitingReasonPhasePowerLimit);
    m_context.book.setMode(id, mode);
    // Charging, but not fast enough for the target time: say so.
    if (info.targetTimeUnreachable && mode != ChargingState::ModeIdle)
        m_context.book.setWaitingReason(id, ChargingState::WaitingReasonTargetTimeUnreachable);
}

ChargingState::Mode AcChargerAdjuster::commandAcWinningAction(EvChargerAc *charger, const ChargingProcessInfo &info,
                                                              PhaseHeadroom &headroom, double ownCurrent,
                                                              Electricity::Phases *drawPhases, double *drawCurrent,
                                                              bool *phaseLimited, const QDateTime &currentDateTime)
{
    ChargingCycle::Actions &actions = m_context.cycle.acActionsToChange(charger);
    const Issuer issuer = winningIssuer(actions);
    if (issuer == ChargingAction::ChargingActionIssuerUnknown)
        return ChargingState::ModeIdle;

    ChargingAction &action = actions[issuer];
    m_context.book.setBatteryLevelConsiderationActive(charger->id(), false);
    const Electricity::Phases phases = acActionPhases(info, action);
    if (issuer == ChargingAction::ChargingActionIssuerTimeRequirement && headroom.limited())
        stopSurplusForDeadline(charger, info, phases, qMin(action.maxChargingCurrent(), double(info.maxChargingCurrent)),
                               headroom, currentDateTime);
    const double current = fitAcCurrent(charger, info, action, headroom.available(phases), ownCurrent);
    claimFuseForDeadline(charger, info, action, phases, qMax(0.0, current));
    if (current < 0) {
        qCDebug(dcTavroEnergy()) << charger->name() << "cannot start: the phase limit leaves"
                                 << headroom.available(phases) << "[A] on its phases, less than its minimum of"
                                 << info.minChargingCurrent << "[A].";
        *phaseLimited = true;
        return ChargingState::ModeIdle;
    }
    action.setMaxChargingCurrent(current);
    if (executeChargingAction(charger, action, currentDateTime)) {
        *drawPhases = phases;
        *drawCurrent = current;
        if (charger->chargingEnabled())
            m_overloadCut.remove(charger->id());
    }
    if (issuer == ChargingAction::ChargingActionIssuerTimeRequirement)
        return ChargingState::ModeTimeRequirement;
    if (issuer == ChargingAction::ChargingActionIssuerSurplusCharging)
        return ChargingState::ModeSurplusCharging;
    return ChargingState::ModeSpotMarketCharging;
}

void AcChargerAdjuster::switchOffIdleAcCharger(EvChargerAc *charger, double *drawCurrent,
                                               const QDateTime &currentDateTime)
{
    qCDebug(dcTavroEnergy()).nospace() << "Setting " << charger->name() << " to power OFF. Idle state.";
    ChargingProcessInfo *info = m_context.cycle.acInfo(charger);
    if (info && info->carLimitedToSinglePhase) {
        charger->setDesiredPhaseCount(1);
        info->effectivePhaseCount = 1;
        info->effectivePhases = Electricity::PhaseA;
    }
    const ChargingCycle::Actions actions = m_context.cycle.acActions(charger);
    for (Issuer idleIssuer :
         {ChargingAction::ChargingActionIssuerSurplusCharging, ChargingAction::ChargingActionIssuerSpotMarketCharging,
          ChargingAction::ChargingActionIssuerTimeRequirement}) {
        const double current = actions.value(idleIssuer).maxChargingCurrent();
        if (current > 0) {
            charger->setMaxChargingCurrent(current, currentDateTime, false);
            break;
        }
    }
    // Nothing is sent to a charger that is off already.
    if (charger->setChargingEnabled(false, currentDateTime, false, true) || charger->holdsChargingEnabled(false))
        *drawCurrent = 0;
}

Electricity::Phases AcChargerAdjuster::acActionPhases(const ChargingProcessInfo &info, const ChargingAction &action)
{
    if (info.carLimitedToSinglePhase)
        return Electricity::PhaseA;
    if (!info.phaseSwitchingPossible)
        return info.effectivePhases;
    // A car with fewer phases than the charger offers draws on the first ones.
    return ChargingContext::ascendingPhasesForCount(
            qMin(qMax(1u, action.desiredPhaseCount()), qMax(1u, info.carPhaseCount)));
}

double AcChargerAdjuster::fitAcCurrent(EvChargerAc *charger, const ChargingProcessInfo &info,
                                       const ChargingAction &action, double available, double ownCurrent) const
{
    const double minimum = info.minChargingCurrent;
    const double maximum = info.maxChargingCurrent;
    const double step = charger->maxChargingCurrentStepSize();
    const bool timeRequirement = action.issuer() == ChargingAction::ChargingActionIssuerTimeRequirement;

    if (!std::isfinite(available)) {
        // No limit to fit to. A deadline charge still keeps its margin below
        // the charger's maximum, as it always did.
        double current = action.maxChargingCurrent();
        if (timeRequirement)
            current = qMin(current, maximum - Units::phaseLimitMargin + ownCurrent);
        current = qMax(current, static_cast<double>(charger->maxChargingCurrentMinValue()));
        return floorChargingCurrent(current, minimum, maximum, step);
    }

    const double rootPower = m_context.rootMeter ? m_context.rootMeter->currentPower() : 0.0;
    qCDebug(dcTavroEnergy()).nospace() << "Current load on root meter: " << rootPower << "[W] ( "
                                       << rootPower / Units::phaseVoltage << "[A] ) Phases: A: "
                                       << (m_context.rootMeter ? m_context.rootMeter->currentPhaseA() : 0.0)
                                       << "[A], B: "
                                       << (m_context.rootMeter ? m_context.rootMeter->currentPhaseB() : 0.0)
                                       << "[A], C: "
                                       << (m_context.rootMeter ? m_context.rootMeter->currentPhaseC() : 0.0) << "[A]";
    const double perPhaseLimit = available - Units::phaseLimitMargin;
    const double wanted = qMin(action.maxChargingCurrent(), maximum);
    qCDebug(dcTavroEnergy()) << charger->name() << "current upper limit:" << wanted
                             << "A - Per phase upper limit:" << perPhaseLimit
                             << "Using:" << qMin(wanted, perPhaseLimit);
    if (perPhaseLimit >= minimum)
        return floorChargingCurrent(qMin(wanted, perPhaseLimit), minimum, maximum, step);
    // The margin may be spent on the minimum, the fuse itself may not. Not
    // on a restart after the overload cut: the house's swings that tripped
    // it would trip it again, and the same headroom would start it again
    // each time the on/off lock ran out, all night long.
    if (available >= minimum && (charger->chargingEnabled() || !m_overloadCut.contains(charger->id())))
        return minimum;
    return -1;
}

bool AcChargerAdjuster::executeChargingAction(EvChargerAc *charger, const ChargingAction &action,
                                              const QDateTime &currentDateTime)
{
    const ChargingProcessInfo info = m_context.cycle.acInfoOrDefault(charger);
    uint phases = action.desiredPhaseCount();
    if (info.carLimitedToSinglePhase) {
        phases = 1;
        qCDebug(dcTavroEnergy())
                << "Limitations: the charger supports phase switching and 3 phase charging, but the car "
                   "is configured to support only one phase. Switching to single phase charging.";
    }

    // A restart waits for the on/off lock unless forced; nothing at all is
    // sent then, so the charger keeps its present setpoint.
    const bool restarting = !charger->chargingEnabled() && action.chargingEnabled();
    if (!action.force() && restarting && charger->chargingEnabledLocked()) {
        qCDebug(dcTavroEnergy()).nospace()
                << "Not restarting " << charger->name()
                << ": charging enabled is still locked. Keeping current power state and setpoint unchanged. Issuer: "
                << action.issuerString();
        return false;
    }

    const bool switchPhases = info.phaseSwitchingPossible || info.carLimitedToSinglePhase;
    const QString phaseText = switchPhases ? QStringLiteral("Switch phases to: %1, ").arg(phases) : QString();
    qCDebug(dcTavroEnergy()).nospace().noquote()
            << "Executing action " << charger->name() << " to power: " << (action.chargingEnabled() ? "ON," : "OFF,")
            << " Carging current: " << action.maxChargingCurrent() << "A, " << phaseText
            << "Issuer: " << action.issuerString() << ", forced: " << (action.force() ? "true" : "false");

    // Fixed order: phases, then current, then on/off, so the charger never
    // starts with a stale phase count or current.
    bool phasesRaised = false;
    if (switchPhases) {
        // Only values the charger accepts: a two-phase car gets the three
        // the charger offers and draws on two of them.
        phasesRaised = charger->setDesiredPhaseCount(charger->supportedPhaseCount(static_cast<int>(phases)))
                       && phases > info.effectivePhaseCount;
        if (ChargingProcessInfo *prepared = m_context.cycle.acInfo(charger)) {
            prepared->effectivePhaseCount = phases;
            prepared->effectivePhases =
                    phases == 1 ? Electricity::Phases(Electricity::PhaseA) : Electricity::Phases(Electricity::PhaseAll);
        }
    }

    bool applyLock = true;
    if (action.issuer() != ChargingAction::ChargingActionIssuerOverloadProtection)
        applyLock =
                m_context.book.configuration(charger->id()).chargingMode() != ChargingConfiguration::ChargingModeNormal;

    sendCurrentAndPower(charger, action, phasesRaised, applyLock, currentDateTime);
    return true;
}

void AcChargerAdjuster::sendCurrentAndPower(EvChargerAc *charger, const ChargingAction &action, bool phasesRaised,
                                            bool applyLock, const QDateTime &currentDateTime)
{
    const bool wasEnabled = charger->chargingEnabled();
    const double wasCurrent = charger->maxChargingCurrent();
    const bool raisedCurrent =
            charger->setMaxChargingCurrent(action.maxChargingCurrent(), currentDateTime, action.force())
            && action.maxChargingCurrent() > wasCurrent;
    const bool switchedOn =
            charger->setChargingEnabled(action.chargingEnabled(), currentDateTime, action.force(), applyLock)
            && !wasEnabled;
    // A raise shows at the meter only when the car has ramped up.
    if (!action.chargingEnabled())
        m_context.cycle.commandedDraws().forget(charger->id());
    else if (switchedOn || raisedCurrent || phasesRaised)
        m_context.cycle.commandedDraws().record(charger->id(), m_context.cycle.acInfoOrDefault(charger).effectivePhases,
                                                action.maxChargingCurrent(), currentDateTime);
}
