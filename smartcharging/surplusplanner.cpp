#include "surplusplanner.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/householdbalance.h"
#include "smartcharging/ownernotifier.h"
#include "smartcharging/processpreparation.h"

#include "config/energymanagerconfiguration.h"
#include "spotmarket/spotmarketdataprovider.h"
#include "spotmarket/spotmarketmanager.h"
#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "devices/rootmeter.h"
#include "common/tavroenergylogging.h"
#include "common/units.h"
#include "smartcharging/chargingcurrent.h"

#include "tavro/thingmanager.h"
#include "tavro/thingutils.h"

#include <QtMath>

#include <algorithm>
#include <cmath>

namespace {
const char *const unreachableTitle = QT_TRANSLATE_NOOP("SmartChargingManager", "Charging target out of reach");
const char *const unreachableBody =
        QT_TRANSLATE_NOOP("SmartChargingManager", "%1 will only reach about %2 % by %3 (%4 % wanted).");
const char *const backInReachTitle = QT_TRANSLATE_NOOP("SmartChargingManager", "Charging target back in reach");
const char *const backInReachBody =
        QT_TRANSLATE_NOOP("SmartChargingManager", "%1 will reach the %2 % wanted by %3 after all.");

// Stops a day a charger the expected sun fills may take for lack of surplus
// instead of riding a dip out on the grid.
const int sunFillsStopsPerDay = 1;

// Wh the charger delivers to bring the car from its level to percent (0
// at or above it), its charging loss included.
double energyToLevel(const ChargingProcessInfo &info, double percent)
{
    return qMax(0.0, percent - info.batteryLevel) / 100.0 * info.capacityKwh * 1000.0 / info.lossFactor;
}

// Price times minutes over the frames, from the slots they lie in.
double framesCost(const ScoreEntries &prices, const QList<TimeFrame> &frames)
{
    double cost = 0;
    for (const TimeFrame &frame : frames) {
        for (const ScoreEntry &entry : prices) {
            const QDateTime start = qMax(frame.startDateTime(), entry.startDateTime());
            const QDateTime end = qMin(frame.endDateTime(), entry.endDateTime());
            if (start < end)
                cost += entry.value() * start.secsTo(end) / 60.0;
        }
    }
    return cost;
}

qint64 framesMinutes(const QList<TimeFrame> &frames)
{
    qint64 minutes = 0;
    for (const TimeFrame &frame : frames)
        minutes += frame.durationMinutes();
    return minutes;
}

// frames sorted by start, those that touch joined into one.
QList<TimeFrame> joinedFrames(QList<TimeFrame> frames)
{
    std::sort(frames.begin(), frames.end(),
              [](const TimeFrame &a, const TimeFrame &b) { return a.startDateTime() < b.startDateTime(); });
    QList<TimeFrame> joined;
    for (const TimeFrame &frame : qAsConst(frames)) {
        if (!joined.isEmpty() && joined.last().endDateTime() == frame.startDateTime())
            joined.last().setEndDateTime(frame.endDateTime());
        else
            joined.append(frame);
    }
    return joined;
}

} // namespace

void SurplusPlanner::planSurplusCharging(const QDateTime &currentDateTime)
{
    // Below its lower limit the battery goes first with all it can take:
    // the most it has been seen to charge with stands for that.
    const HouseholdBalance::HomeBattery battery = m_balance.homeBattery();
    m_context.batteryChargeSeen = battery.belowLowerLimit ? qMax(m_context.batteryChargeSeen, battery.power) : 0;

    if (!m_context.rootMeter) {
        qCDebug(dcTavroEnergy()) << "No root meter configured. Skipping surplus charging planing";
        return;
    }

    // The schedule lists before this plan, to announce a change once at the end.
    const QHash<EvChargerAc *, ChargingSchedules> schedulesBefore = m_context.schedules.acSchedules();
    bool schedulesChanged = false;

    EvChargerAcs ecoChargers = selectSurplusChargers(&schedulesChanged);
    m_context.dcDeadlineClaim = dcDeadlineClaim(currentDateTime);

    // Target-time check: a charger that would miss its target charges at full power now.
    const EvChargerAcs candidates = ecoChargers;
    for (EvChargerAc *charger : candidates) {
        if (planAcTargetTime(charger, currentDateTime))
            ecoChargers.removeAll(charger);
    }

    double rootLoad = surplusRootLoad(ecoChargers);
    // A DC charger takes any power from its minimum up, an AC car only
    // whole amperes up to its most: where the AC cars on surplus run at
    // their most, an idle DC car keeps its minimum of what they leave and
    // then takes the rest their steps and their most would export.
    const double dcRoom = dcMinimumClaim(ecoChargers, rootLoad, currentDateTime);
    m_context.dcDeadlineClaim += dcRoom;
    rootLoad += dcRoom;

    // Surplus per charger
    qCDebug(dcTavroEnergy()) << ecoChargers.count() << "chargers in ECO mode and can be optimized.";
    const double tolerance = m_balance.surplusAcquisitionTolerance();
    const SurplusGate::Delays delays = surplusGateDelays();
    SurplusTakers takers;
    for (EvChargerAc *charger : qAsConst(ecoChargers)) {
        const ChargingProcessInfo &info = m_context.cycle.acInfoOrDefault(charger);
        if (canTakeSurplus(charger, info)) {
            takers.power++;
            takers.more += atItsMost(charger, info) || !startsOnWholeExport(charger, info, rootLoad, tolerance) ? 0 : 1;
        }
    }
    const double importWithoutCars = houseImport(rootLoad - m_context.dcDeadlineClaim);
    for (EvChargerAc *charger : qAsConst(ecoChargers))
        planAcSurplusAction(charger, rootLoad, importWithoutCars, takers, tolerance, delays, currentDateTime);

    // The target-time check rewrites schedule lists in place (never drops a
    // charger's entry): announce a real change once.
    const QHash<EvChargerAc *, ChargingSchedules> &schedulesAfter = m_context.schedules.acSchedules();
    for (auto it = schedulesAfter.constBegin(); !schedulesChanged && it != schedulesAfter.constEnd(); ++it)
        schedulesChanged = schedulesBefore.value(it.key()) != it.value();
    if (schedulesChanged)
        m_context.schedules.announce();
}

EvChargerAcs SurplusPlanner::selectSurplusChargers(bool *schedulesChanged)
{
    EvChargerAcs ecoChargers;
    const QHash<ThingId, EvChargerAc *> adapters = m_context.evChargersAc;
    for (EvChargerAc *charger : adapters) {
        const ThingId chargerId = charger->id();
        const ChargingConfiguration &configuration = m_context.book.configuration(chargerId);
        Thing *car = m_context.thingManager->findConfiguredThing(configuration.assignedCarId());
        if (!car) {
            qCDebug(dcTavroEnergy()) << charger->name() << "has no car assigned. Ignoring...";
            m_context.book.resetTransient(chargerId, ChargingState::WaitingReasonVehicleUnavailable);
            if (m_preparation.clearAcPlanningState(charger))
                *schedulesChanged = true;
            continue;
        }

        if (!charger->pluggedIn()) {
            qCDebug(dcTavroEnergy()) << charger->name() << "is unplugged. Ignoring current surplus planning.";
            // The next car starts with a clean slate; the day's phase
            // switches stay counted.
            if (m_context.cycle.hasSurplusGate(chargerId))
                m_context.cycle.surplusGate(chargerId).unplugged();
            m_context.book.resetTransient(chargerId, ChargingState::WaitingReasonVehicleNotPluggedIn);
            continue;
        }

        if (!m_context.cycle.acInfo(charger)) {
            qCDebug(dcTavroEnergy()) << charger->name() << "has no prepared charging process info. Ignoring...";
            m_context.book.resetTransient(chargerId, ChargingState::WaitingReasonVehicleUnavailable);
            if (m_preparation.clearAcPlanningState(charger))
                *schedulesChanged = true;
            continue;
        }

        if (m_context.book.state(chargerId).targetPercentageReached()) {
            qCDebug(dcTavroEnergy()) << charger->name() << "has reached the target percentage and is done. Ignoring...";
            m_context.book.resetTransient(chargerId, ChargingState::WaitingReasonNone);
            m_context.cycle.acInfoToChange(charger).chargingSchedule.clear();
            if (m_context.schedules.clearAc(charger))
                *schedulesChanged = true;
            continue;
        }

        if (configuration.chargingMode() == ChargingConfiguration::ChargingModeNormal) {
            qCDebug(dcTavroEnergy()) << charger->name() << "is set to manual mode. Ignoring...";
            m_context.book.resetTransient(chargerId, ChargingState::WaitingReasonNone);
            if (m_context.schedules.removeIssuer(charger, ChargingAction::ChargingActionIssuerTimeRequirement))
                *schedulesChanged = true;
            continue;
        }

        ecoChargers.append(charger);
    }
    return ecoChargers;
}

bool SurplusPlanner::planAcTargetTime(EvChargerAc *charger, const QDateTime &currentDateTime)
{
    const ThingId chargerId = charger->id();
    const ChargingConfiguration &configuration = m_context.book.configuration(chargerId);
    const ChargingProcessInfo info = m_context.cycle.acInfoOrDefault(charger);

    const QDateTime endDateTime = targetTimeToPlan(charger, configuration, info, currentDateTime);
    if (!endDateTime.isValid())
        return false;

    // A target closer than the usual lead time is aimed at itself.
    QDateTime internalTarget = endDateTime.addSecs(-Units::internalTargetOffset);
    if (internalTarget < currentDateTime)
        internalTarget = endDateTime;
    const ChargingAction timeRequirementAction(true, info.maxChargingCurrent, info.maxPhaseCount,
                                               ChargingAction::ChargingActionIssuerTimeRequirement, false);
    const QString timeFormat = QStringLiteral("dd.MM.yyyy hh:mm:ss");
    reportTargetTimeBackInReach(chargerId, configuration, endDateTime, info, currentDateTime);

    if (mustChargeForTarget(charger, info, internalTarget, currentDateTime)) {
        qCDebug(dcTavroEnergy()) << "  We need to charge" << charger->name()
                                 << "immediately to meet the target! Internal target time:"
                                 << internalTarget.toString(timeFormat)
                                 << "projected endtime:" << info.projectedEndTime.toString(timeFormat);
        forceAcTargetTimeCharge(charger, configuration, info, endDateTime, internalTarget, timeRequirementAction,
                                currentDateTime);
        return true;
    }

    qCDebug(dcTavroEnergy()).nospace() << "  No need to force charging on " << charger->name()
                                       << ", there's still enough time for optimization. Internal target time: "
                                       << internalTarget.toString(timeFormat)
                                       << " projected endtime: " << info.projectedEndTime.toString(timeFormat);
    m_context.book.setTargetTimeOvershot(chargerId, 0);
    scheduleAcTargetTimeWindow(charger, info, internalTarget, timeRequirementAction, currentDateTime);
    return false;
}

QDateTime SurplusPlanner::targetTimeToPlan(EvChargerAc *charger, const ChargingConfiguration &configuration,
                                           const ChargingProcessInfo &info, const QDateTime &currentDateTime)
{
    const ThingId chargerId = charger->id();
    if (configuration.chargingMode() == ChargingConfiguration::ChargingModeEco) {
        qCDebug(dcTavroEnergy()) << charger->name() << "does not use a target time.";
        m_context.book.setTargetTimeOvershot(chargerId, 0);
        m_context.schedules.removeIssuer(charger, ChargingAction::ChargingActionIssuerTimeRequirement);
        return QDateTime();
    }

    const QDateTime endDateTime = configuration.nextEndTime(currentDateTime);
    if (!endDateTime.isValid()) {
        qCDebug(dcTavroEnergy()).nospace() << "  No valid target time set for " << charger->name();
        m_context.book.setTargetTimeOvershot(chargerId, 0);
        m_context.schedules.removeIssuer(charger, ChargingAction::ChargingActionIssuerTimeRequirement);
        return QDateTime();
    }

    // A spot-market plan that placed every minute before the target
    // takes care of it; one that came up short, or left minutes to the
    // sun, does not.
    if (info.spotMarketUntilTargetTime && info.spotMarketMissingMinutes == 0 && info.spotMarketSunMinutes == 0) {
        qCDebug(dcTavroEnergy())
                << "  Have a target time available and spotmarket charging enabled. Skipping force check...";
        m_context.book.setTargetTimeOvershot(chargerId, 0);
        m_context.schedules.removeIssuer(charger, ChargingAction::ChargingActionIssuerTimeRequirement);
        return QDateTime();
    }
    return endDateTime;
}

bool SurplusPlanner::mustChargeForTarget(EvChargerAc *charger, const ChargingProcessInfo &info,
                                         const QDateTime &internalTarget, const QDateTime &currentDateTime)
{
    const QDateTime plannedEnd = currentDateTime.addSecs(
            static_cast<qint64>(plannedGridHours(info, sunAtHandHours(charger, info, currentDateTime)) * 3600));

    // A deadline charge that has begun runs on to the target: stopping as
    // soon as the estimate leaves a few minutes to spare would pay a
    // restart, and the on/off lock, every few minutes. It ran for the target
    // its schedule ends at; once that has passed (a repeating target moved
    // on to the next day) the new one is planned afresh.
    bool ranForThisTarget = false;
    for (const ChargingSchedule &running :
         m_context.schedules.acEntry(charger).filterByIssuer(ChargingAction::ChargingActionIssuerTimeRequirement)) {
        if (running.endDateTime().secsTo(internalTarget) <= Units::internalTargetOffset)
            ranForThisTarget = true;
    }
    // Where the sun alone keeps the charger on at the phases it has, leaving
    // the deadline charge changes only the current: the charge then rides
    // the safe edge, at full power only while it is behind it, and the sun
    // gives what it can instead of the grid.
    // Beside another car on the sun it does not: the share rounds may hand
    // the sun over, and the deadline charge starts again on the grid a
    // minute later, switching both cars on and off.
    const bool deadlineChargeRunning = m_context.book.state(charger->id()).mode() == ChargingState::ModeTimeRequirement
                                       && charger->chargingEnabled() && ranForThisTarget
                                       && (!m_context.sunCarries(charger, info) || sharesTheSun(charger));
    // A later deadline may count on this car charging by now.
    const bool neededByLaterDeadline = info.deadlineStartBy.isValid() && info.deadlineStartBy <= currentDateTime;
    return info.remainingPercentage > 0
           && (internalTarget < plannedEnd || deadlineChargeRunning || neededByLaterDeadline);
}

bool SurplusPlanner::sharesTheSun(EvChargerAc *charger) const
{
    for (EvChargerAc *other : qAsConst(m_context.evChargersAc)) {
        if (other == charger || !other->pluggedIn() || m_context.book.state(other->id()).targetPercentageReached())
            continue;
        const ChargingConfiguration::ChargingMode mode = m_context.book.configuration(other->id()).chargingMode();
        if (mode != ChargingConfiguration::ChargingModeNormal)
            return true;
    }
    return false;
}

void SurplusPlanner::forceAcTargetTimeCharge(EvChargerAc *charger, const ChargingConfiguration &configuration,
                                             const ChargingProcessInfo &info, const QDateTime &endDateTime,
                                             const QDateTime &internalTarget,
                                             const ChargingAction &timeRequirementAction,
                                             const QDateTime &currentDateTime)
{
    const ThingId chargerId = charger->id();
    m_context.book.setTargetTimeOvershot(
            chargerId, static_cast<int>(qMax<qint64>(0, internalTarget.secsTo(info.projectedEndTime))));
    if (reachablePercentage(info, currentDateTime, endDateTime)
        <= configuration.targetPercentage() - Units::unreachableMargin) {
        m_context.cycle.acInfoToChange(charger).targetTimeUnreachable = true;
        reportTargetTimeUnreachable(chargerId, configuration, endDateTime, info, currentDateTime);
    }
    ChargingSchedules &schedules = m_context.schedules.acEntry(charger);
    schedules.removeAllIssuer(ChargingAction::ChargingActionIssuerTimeRequirement);
    ChargingSchedule schedule(chargerId, TimeFrame(currentDateTime, internalTarget));
    schedule.setAction(timeRequirementAction);
    schedules.append(schedule);
    m_context.cycle.setAcAction(charger, ChargingAction::ChargingActionIssuerTimeRequirement, timeRequirementAction);
    m_context.book.setBatteryLevelConsiderationActive(chargerId, false);
}

bool SurplusPlanner::shortOfTargetTime(EvChargerAc *charger, const ChargingProcessInfo &info,
                                       const QDateTime &currentDateTime) const
{
    const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
    return configuration.chargingMode() == ChargingConfiguration::ChargingModeEcoWithTargetTime
           && info.batteryLevel < static_cast<int>(configuration.targetPercentage())
           && configuration.nextEndTime(currentDateTime).isValid();
}

double SurplusPlanner::roomToFill(EvChargerAc *charger, const ChargingProcessInfo &info) const
{
    const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
    const double ceiling = configuration.stopOnTargetPercentage() ? qMin(100u, configuration.targetPercentage()) : 100;
    return energyToLevel(info, ceiling);
}

double SurplusPlanner::pricedStep(EvChargerAc *charger, const ChargingProcessInfo &info, double perPhaseCurrent,
                                  double nearest, double below, double step, const QDateTime &currentDateTime) const
{
    const double above = qMin(below + qAbs(step), double(info.maxChargingCurrent));
    double now = 0;
    double later = 0;
    if (step == 0 || perPhaseCurrent < info.minChargingCurrent || above <= perPhaseCurrent + 1e-9
        || !planPrices(charger, currentDateTime, &now, &later))
        return nearest;
    // The step above buys its part beyond the surplus now; what it gives
    // more than the step below is that much less the plan buys later. A car
    // that stops at its target goes no higher than the nearest step: there
    // the sooner stop leaves the sun after it unused where the sun beats
    // the forecast the plan counted on.
    if (nearest < above && m_context.book.configuration(charger->id()).stopOnTargetPercentage())
        return nearest;
    return now * (above - perPhaseCurrent) <= later * (above - below) ? above : below;
}

bool SurplusPlanner::planPrices(EvChargerAc *charger, const QDateTime &currentDateTime, double *now,
                                double *dearest) const
{
    SpotMarketDataProvider *provider = m_context.spotMarketManager && m_context.spotMarketManager->available()
                                               ? m_context.spotMarketManager->currentProvider()
                                               : nullptr;
    if (!provider)
        return false;
    const ScoreEntries entries = provider->scoreEntries();
    const ScoreEntry present = entries.getScoreEntry(currentDateTime);
    if (present.isNull())
        return false;
    *now = present.value();
    // The slots the plan buys from now on; the dearest is the one less
    // energy needed gives up first.
    bool planned = false;
    for (const ChargingSchedule &schedule : m_context.schedules.acSchedules().value(charger)) {
        if (schedule.action().issuer() != ChargingAction::ChargingActionIssuerSpotMarketCharging
            || schedule.endDateTime() <= currentDateTime)
            continue;
        for (const ScoreEntry &entry : entries) {
            if (entry.endDateTime() <= qMax(currentDateTime, schedule.startDateTime())
                || entry.startDateTime() >= schedule.endDateTime())
                continue;
            *dearest = planned ? qMax(*dearest, entry.value()) : entry.value();
            planned = true;
        }
    }
    return planned;
}

bool SurplusPlanner::sunGivesTheRest(EvChargerAc *charger, const ChargingProcessInfo &info, uint phaseCount,
                                     const QDateTime &currentDateTime) const
{
    if (!m_context.sun.available() || info.capacityKwh <= 0 || info.lossFactor <= 0)
        return false;
    const QDateTime tomorrowEnd(currentDateTime.toLocalTime().date().addDays(2), QTime(0, 0));
    const double power = info.maxChargingCurrent * info.voltage * qMax(1u, phaseCount);
    if (shortOfTargetTime(charger, info, currentDateTime)) {
        // A car short of a target time needs the sun before that time to
        // bring it to the target too; where it does not, charging sooner
        // on the tolerance's share takes hours off the deadline plan.
        const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
        const QDateTime endDateTime = qMin(configuration.nextEndTime(currentDateTime), tomorrowEnd);
        if (m_context.sunEnergy(currentDateTime, endDateTime, power)
            < energyToLevel(info, configuration.targetPercentage()))
            return false;
    }
    return m_context.sunEnergy(currentDateTime, tomorrowEnd, power) >= roomToFill(charger, info);
}

bool SurplusPlanner::sunFadesBelowMinimum(const ChargingProcessInfo &info, const QDateTime &currentDateTime) const
{
    if (!m_context.sun.available())
        return false;
    const double minimum = info.minChargingCurrent * info.voltage * info.fewestPhaseCount();
    // Wh of the coming hour at the minimum: under half of it, the sun
    // carries the car for less than half the hour. The cars out now take
    // none of this hour's sun.
    return m_context.sun.coveredEnergy(currentDateTime, currentDateTime.addSecs(3600), minimum,
                                       m_context.cycle.sunTakers(true))
           < 0.5 * minimum;
}

bool SurplusPlanner::dcShortOfDeadline(EvChargerDc *charger, const QDateTime &currentDateTime) const
{
    const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
    const ChargingState &state = m_context.book.state(charger->id());
    const ChargingProcessInfo *info = m_context.cycle.dcInfo(charger);
    // A deadline charge already draws what it can: its draw is load.
    return info && charger->pluggedIn() && charger->supportsCharging()
           && configuration.chargingMode() == ChargingConfiguration::ChargingModeEcoWithTargetTime
           && !state.targetPercentageReached() && state.mode() != ChargingState::ModeTimeRequirement
           && info->remainingPercentage > 0 && configuration.nextEndTime(currentDateTime).isValid();
}

double SurplusPlanner::dcDeadlineClaim(const QDateTime &currentDateTime) const
{
    double claim = 0;
    for (EvChargerDc *charger : qAsConst(m_context.evChargersDc)) {
        if (dcShortOfDeadline(charger, currentDateTime))
            claim += qMax(0.0, charger->maxChargingPower() - qMax(0.0, charger->measuredPower()));
    }
    return claim;
}

bool SurplusPlanner::dcWaitsForSurplus(EvChargerDc *charger, const QDateTime &currentDateTime) const
{
    const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
    const ChargingProcessInfo *info = m_context.cycle.dcInfo(charger);
    const bool eco = configuration.chargingMode() == ChargingConfiguration::ChargingModeEco
                     || configuration.chargingMode() == ChargingConfiguration::ChargingModeEcoWithTargetTime;
    if (!info || !eco || !charger->pluggedIn() || !charger->supportsCharging() || charger->measuredPower() > 0
        || m_context.book.state(charger->id()).mode() == ChargingState::ModeTimeRequirement
        || dcShortOfDeadline(charger, currentDateTime))
        return false;
    const bool stopsOnTarget = configuration.stopsOnTarget();
    return stopsOnTarget ? info->remainingPercentage > 0 : info->batteryLevel < 100;
}

double SurplusPlanner::dcMinimumClaim(const EvChargerAcs &ecoChargers, double rootLoad,
                                      const QDateTime &currentDateTime)
{
    // W the AC cars on surplus have between them, what the ones running
    // need to go on at their minimums, and whether they all run at their
    // most (what they leave is lost unless a DC car takes it).
    double acSun = -rootLoad;
    double acRunning = 0;
    bool allAtMost = true;
    for (EvChargerAc *charger : ecoChargers) {
        acSun += qMax(0.0, charger->currentPower());
        if (m_context.runsOnSurplus(charger)) {
            acRunning += m_context.minimumDraw(charger);
            allAtMost = allAtMost && atItsMost(charger, m_context.cycle.acInfoOrDefault(charger));
        }
    }
    noteDcRefusals(currentDateTime);
    // A DC car charging already takes whatever the AC cars leave.
    bool dcCharging = false;
    for (EvChargerDc *charger : qAsConst(m_context.evChargersDc))
        dcCharging = dcCharging || (charger->measuredPower() > 0 && m_context.runsOnSurplus(charger));
    const QSet<ThingId> claimedBefore = m_dcClaims;
    m_dcClaims.clear();
    if (dcCharging || m_balance.homeBattery().belowLowerLimit)
        return 0;
    // One claim at a time, held while the DC charge waits to start (the AC
    // cars it took the minimum from are no longer at their most). Twice the
    // DC minimum beside them starts one that outlasts the next swing of the sun.
    for (EvChargerDc *charger : qAsConst(m_context.evChargersDc)) {
        const double minimum = charger->minChargingPower();
        const bool held = claimedBefore.contains(charger->id()) && acSun - minimum >= acRunning;
        const bool starts = acRunning > 0 && allAtMost && acSun - 2 * minimum >= acRunning;
        if (!m_dcRefusing.contains(charger->id()) && dcWaitsForSurplus(charger, currentDateTime)
            && (held || starts)) {
            m_dcClaims.insert(charger->id());
            return minimum;
        }
    }
    return 0;
}

void SurplusPlanner::noteDcRefusals(const QDateTime &currentDateTime)
{
    for (EvChargerDc *charger : qAsConst(m_context.evChargersDc)) {
        const ThingId id = charger->id();
        if (charger->measuredPower() > 0 || !charger->pluggedIn()) {
            m_dcRefusing.remove(id);
            m_dcOnIdleSince.remove(id);
        } else if (!charger->chargingEnabled() || charger->chargingPower() < charger->minChargingPower()) {
            // Off, or told less than its minimum: not asked to draw.
            m_dcOnIdleSince.remove(id);
        } else if (!m_dcOnIdleSince.contains(id) || m_dcOnIdleSince.value(id) > currentDateTime) {
            m_dcOnIdleSince.insert(id, currentDateTime);
        } else if (m_dcOnIdleSince.value(id).secsTo(currentDateTime) >= dcRefusalSeconds) {
            m_dcRefusing.insert(id);
        }
    }
}

bool SurplusPlanner::dcCarPluggedIn() const
{
    for (EvChargerDc *charger : qAsConst(m_context.evChargersDc)) {
        if (charger->pluggedIn())
            return true;
    }
    return false;
}

bool SurplusPlanner::fullWithinTheHour(EvChargerAc *charger, const ChargingProcessInfo &info, double current,
                                       uint phaseCount) const
{
    if (info.capacityKwh <= 0 || info.lossFactor <= 0)
        return false;
    // A car on fewer phases than the charger was told draws on its own.
    const uint drawn = info.carPhaseCount > 0 ? qMin(qMax(1u, phaseCount), info.carPhaseCount) : qMax(1u, phaseCount);
    const double hourEnergy = current * info.voltage * drawn; // Wh
    return roomToFill(charger, info) <= hourEnergy;
}

void SurplusPlanner::scheduleAcTargetTimeWindow(EvChargerAc *charger, const ChargingProcessInfo &info,
                                                const QDateTime &internalTarget,
                                                const ChargingAction &timeRequirementAction,
                                                const QDateTime &currentDateTime)
{
    const ThingId chargerId = charger->id();
    ChargingSchedules &schedules = m_context.schedules.acEntry(charger);
    schedules.removeAllIssuer(ChargingAction::ChargingActionIssuerTimeRequirement);

    // Only what still charges counts: the part of a slot between now and
    // the target, and a spot-market slot only while the spot market runs
    // (switched off, its slots stay but nothing carries them out).
    const bool spotMarketRuns = m_context.spotMarketManager && m_context.spotMarketManager->enabled()
                                && m_context.spotMarketManager->available();
    qint64 alreadyScheduled = 0;
    for (const ChargingSchedule &schedule : qAsConst(schedules)) {
        if (!spotMarketRuns && schedule.action().issuer() == ChargingAction::ChargingActionIssuerSpotMarketCharging)
            continue;
        const QDateTime start = qMax(schedule.startDateTime(), currentDateTime);
        const QDateTime end = qMin(schedule.endDateTime(), internalTarget);
        alreadyScheduled += qMax<qint64>(0, start.secsTo(end) / 60);
    }
    const qint64 totalMinutes = static_cast<qint64>(plannedChargingHours(info) * 60);
    const qint64 neededMinutes = totalMinutes - alreadyScheduled;
    if (alreadyScheduled > 0) {
        qCDebug(dcTavroEnergy()) << "  Have already scheduled" << alreadyScheduled << "minutes from a total of"
                                 << totalMinutes << "minutes. Still need to schedule" << neededMinutes
                                 << "minutes using time requirements.";
    }

    if (neededMinutes < 1) {
        qCDebug(dcTavroEnergy()) << "  No remaining target-time charging schedule needed for" << charger->name()
                                 << "remaining total:" << totalMinutes << "already scheduled:" << alreadyScheduled;
    } else {
        ChargingSchedule schedule(chargerId, TimeFrame(internalTarget.addSecs(-neededMinutes * 60), internalTarget));
        schedule.setAction(timeRequirementAction);
        schedules.append(schedule);
        m_context.book.setWaitingReason(chargerId, ChargingState::WaitingReasonTargetTimeWindow);
    }
}

double SurplusPlanner::surplusRootLoad(EvChargerAcs &ecoChargers)
{
    // Battery consideration
    const double rootPower = m_context.rootMeter->currentPower();
    const HouseholdBalance::HomeBattery battery = m_balance.homeBattery();
    const double batteryLevel = battery.level;
    const double batteryPower = battery.power;
    double rootLoadAdjustment = 0;

    if (battery.count == 0) {
        qCDebug(dcTavroEnergy()) << "  There is no energy storage available to consider.";
        for (EvChargerAc *charger : qAsConst(ecoChargers))
            m_context.book.setBatteryLevelConsiderationActive(charger->id(), false);
    } else {
        qCDebug(dcTavroEnergy()) << "Having" << battery.count << "batteries. Overall battery level is" << batteryLevel
                                 << "% and overall battery power is" << batteryPower << "W";
        // Below its lower limit the battery goes first: while it charges the
        // cars get what it cannot take, through the root load below (a
        // waiting car waits for the battery, a running one rides a dip out as
        // usual); while it does not, they get nothing.
        // What the grid adds is the battery's too: a battery at its most
        // discharge leaves the rest of the cars' draw to the meter.
        if (battery.belowLowerLimit && battery.power <= 0)
            blockSurplusForHomeBattery(ecoChargers, battery.power - qMax(0.0, rootPower));
        for (EvChargerAc *charger : qAsConst(ecoChargers)) {
            const bool running = m_context.runsOnSurplus(charger);
            if (battery.belowLowerLimit)
                qCDebug(dcTavroEnergy()) << "  The battery is under the consideration level. Only what it cannot"
                                         << "take is surplus for" << charger->name();
            m_context.book.setBatteryLevelConsiderationActive(charger->id(), battery.belowLowerLimit && !running);
        }

        const double lowerLimit = m_balance.lowerLimitPercent();
        if (battery.belowLowerLimit) {
            qCDebug(dcTavroEnergy()) << "  The battery has not reached yet the lower limit" << lowerLimit
                                     << "%. Prioritize the energy storage: it counts as charging with"
                                     << m_context.batteryChargeSeen << "W.";
        } else if (batteryPower > 0) {
            qCDebug(dcTavroEnergy()) << "  The battery has reached the lower limit" << lowerLimit
                                     << "%. The battery power will used for surplus charging.";
        }
        // What the battery charges with is surplus, a discharge below the
        // upper limit is not; below the lower limit what it charges less
        // than its most is load.
        rootLoadAdjustment = -battery.surplusTerm;
    }

    // A DC car's discharge the meter shows as export is not surplus: the car
    // follows the house down within the minute, and an AC car started on it
    // would buy all of its draw while its on/off lock holds.
    // Nor is the sun a DC car short of a target time can still take: each
    // kWh of it is one its deadline charge need not buy, where an AC car
    // without one only charges sooner (random household 14136).
    const double rootLoad = rootPower + rootLoadAdjustment + m_context.dcFeedIn() + m_context.dcDeadlineClaim;
    qCDebug(dcTavroEnergy()).nospace() << "Current load on root meter: " << rootLoad << "[W] ( "
                                       << rootLoad / Units::phaseVoltage << "[A] )";
    qCDebug(dcTavroEnergy()).nospace() << "  Phase A: " << m_context.rootMeter->currentPhaseA() << "[A]";
    qCDebug(dcTavroEnergy()).nospace() << "  Phase B: " << m_context.rootMeter->currentPhaseB() << "[A]";
    qCDebug(dcTavroEnergy()).nospace() << "  Phase C: " << m_context.rootMeter->currentPhaseC() << "[A]";
    return rootLoad;
}

void SurplusPlanner::blockSurplusForHomeBattery(EvChargerAcs &ecoChargers, double batteryPower)
{
    // W the battery would charge with after the cars' changes (<= 0 now).
    double batteryLeft = batteryPower;
    EvChargerAcs atMinimum;
    const EvChargerAcs blocked = ecoChargers;
    for (EvChargerAc *charger : blocked) {
        qCDebug(dcTavroEnergy()) << "  The battery is under the consideration level. Preventing surplus charging on"
                                 << charger->name();
        ecoChargers.removeAll(charger);
        if (!m_context.runsOnSurplus(charger)) {
            holdBackForHomeBattery(charger, false);
            continue;
        }
        const uint minimum = m_context.cycle.acInfoOrDefault(charger).minChargingCurrent;
        if (charger->maxChargingCurrent() > minimum) {
            // A running car first gives way down to its minimum.
            batteryLeft += qMax(0.0, charger->currentPower() - m_context.minimumDraw(charger));
            keepAtMinimumForHomeBattery(charger);
        } else {
            atMinimum.append(charger);
        }
    }
    // Cars at their minimum stop only while the battery is left nothing.
    while (!atMinimum.isEmpty() && batteryLeft <= 0) {
        EvChargerAc *stop = nextStopForHomeBattery(atMinimum, batteryLeft);
        atMinimum.removeAll(stop);
        batteryLeft += freedByStop(stop);
        holdBackForHomeBattery(stop, true);
    }
    for (EvChargerAc *charger : qAsConst(atMinimum))
        keepAtMinimumForHomeBattery(charger);
}

double SurplusPlanner::freedByStop(EvChargerAc *charger)
{
    // A stop the on/off lock holds back frees nothing this minute.
    return charger->chargingEnabledLocked() ? 0 : qMax(0.0, charger->currentPower());
}

EvChargerAc *SurplusPlanner::nextStopForHomeBattery(const EvChargerAcs &atMinimum, double batteryLeft)
{
    // The fewest and smallest stops: the smallest draw that alone leaves the
    // battery something, else the largest.
    EvChargerAc *smallestEnough = nullptr;
    EvChargerAc *largest = nullptr;
    for (EvChargerAc *charger : atMinimum) {
        const double freed = freedByStop(charger);
        if (batteryLeft + freed > 0 && (!smallestEnough || freed < freedByStop(smallestEnough)))
            smallestEnough = charger;
        if (!largest || freed > freedByStop(largest))
            largest = charger;
    }
    return smallestEnough ? smallestEnough : largest;
}

void SurplusPlanner::keepAtMinimumForHomeBattery(EvChargerAc *charger)
{
    const uint minimum = m_context.cycle.acInfoOrDefault(charger).minChargingCurrent;
    m_context.cycle.setAcAction(charger, ChargingAction::ChargingActionIssuerSurplusCharging,
                                ChargingAction(true, minimum, charger->phaseCount(),
                                               ChargingAction::ChargingActionIssuerSurplusCharging, false));
    m_context.book.setBatteryLevelConsiderationActive(charger->id(), false);
}

void SurplusPlanner::holdBackForHomeBattery(EvChargerAc *charger, bool running)
{
    if (running)
        m_context.cycle.surplusGate(charger->id()).stoppedOutside(m_context.cycle.now());
    m_context.cycle.setAcAction(charger, ChargingAction::ChargingActionIssuerSurplusCharging,
                                ChargingAction(false, charger->maxChargingCurrent(), charger->phaseCount(),
                                               ChargingAction::ChargingActionIssuerSurplusCharging, false));
    m_context.book.setBatteryLevelConsiderationActive(charger->id(), true);
}

bool SurplusPlanner::canTakeSurplus(EvChargerAc *charger, const ChargingProcessInfo &info)
{
    if (charger->hasPowerMeter() && charger->chargeRefusalLatched())
        return false;
    // A full car that draws nothing takes no surplus either.
    return !(info.batteryLevel > 99 && charger->currentPower() <= 0);
}

bool SurplusPlanner::startsOnWholeExport(EvChargerAc *charger, const ChargingProcessInfo &info, double rootLoad,
                                         double tolerance) const
{
    if (m_context.runsOnSurplus(charger))
        return true;
    const double minimum = info.minChargingCurrent * Units::phaseVoltage * info.fewestPhaseCount();
    return charger->currentPower() - rootLoad >= tolerance * minimum;
}

bool SurplusPlanner::atItsMost(EvChargerAc *charger, const ChargingProcessInfo &info)
{
    if (!charger->chargingEnabled() || charger->currentPower() <= 0
        || charger->maxChargingCurrent() < info.maxChargingCurrent)
        return false;
    // One that may still switch to more phases can take more.
    if (!info.phaseSwitchingPossible)
        return true;
    return charger->thing()->stateValue(QStringLiteral("desiredPhaseCount")).toUInt() >= info.maxPhaseCount;
}

void SurplusPlanner::planAcSurplusAction(EvChargerAc *charger, double rootLoad, double houseImport,
                                         const SurplusTakers &takers, double tolerance,
                                         const SurplusGate::Delays &delays, const QDateTime &currentDateTime)
{
    const ChargingProcessInfo info = m_context.cycle.acInfoOrDefault(charger);
    SurplusGate &gate = m_context.cycle.surplusGate(charger->id());
    const bool running = m_context.runsOnSurplus(charger);
    // Not stopped for an import a DC car can shed.
    rootLoad -= m_context.importDcCanShed({charger}, rootLoad);

    // A on one phase: what the charger draws now plus what is exported.
    const double availableCurrent = charger->currentPower() / Units::phaseVoltage - rootLoad / Units::phaseVoltage;
    const double requiredCurrent = info.minChargingCurrent * tolerance;

    const SurplusGate::Reading reading =
            acSurplusReading(charger, info, rootLoad, houseImport, takers, tolerance, running, currentDateTime);

    // What this minute's surplus calls for, after the gate: switches wait
    // until the surplus has called for them a while. Whether the charger
    // charges is decided after the share rounds (a group shares the surplus).
    const uint phaseCount = gate.phaseCount(reading, currentDateTime, delays);
    const Electricity::Phases phases = info.phaseSwitchingPossible
                                               ? (phaseCount == 1 ? Electricity::Phases(Electricity::PhaseA)
                                                                  : Electricity::Phases(Electricity::PhaseAll))
                                               : ChargingContext::ascendingPhasesForCount(phaseCount);
    // A charger reporting no usable phase must not divide by zero.
    const uint divisor = qMax(1u, phaseCount);

    const double perPhaseCurrent = availableCurrent / divisor;
    qCDebug(dcTavroEnergy()).nospace() << charger->name() << " uses " << phaseCount
                                       << (phaseCount == 1 ? " phase" : " phases")
                                       << ". Min required: " << requiredCurrent << "A ("
                                       << requiredCurrent * Units::phaseVoltage << "W) per phase with " << tolerance
                                       << " aquisition tolerance.";

    double allowance = 0;
    const bool shared = takers.power > 1 || dcCarPluggedIn();
    const double targetCurrent = acSurplusTargetCurrent(charger, info, perPhaseCurrent, phaseCount, phases, tolerance,
                                                        shared, currentDateTime, &allowance);
    const bool covered = SurplusGate::covers(reading, phaseCount);

    m_context.cycle.setAcAction(charger, ChargingAction::ChargingActionIssuerSurplusCharging,
                                ChargingAction(covered, targetCurrent, phaseCount,
                                               ChargingAction::ChargingActionIssuerSurplusCharging, false));
    // Short of surplus while the home battery goes first: it waits for the battery.
    if (!covered && !m_context.book.state(charger->id()).batteryLevelConsiderationActive())
        m_context.book.setWaitingReason(charger->id(), ChargingState::WaitingReasonSurplusPower);

    qCDebug(dcTavroEnergy()).nospace() << "  Surplus would adjust evcharger " << charger->name() << " to total "
                                       << availableCurrent * Units::phaseVoltage << "W";
    qCDebug(dcTavroEnergy()).nospace() << "  Theoretically: " << perPhaseCurrent << "A on " << phaseCount
                                       << " phases, allowance " << allowance << "A";
    qCDebug(dcTavroEnergy()).nospace() << "  Effective: " << (covered ? "ON, " : "OFF, ") << targetCurrent << "A on "
                                       << phaseCount << " phases";
}

double SurplusPlanner::houseImport(double rootLoad) const
{
    double carsDraw = 0;
    for (EvChargerAc *charger : qAsConst(m_context.evChargersAc))
        carsDraw += qMax(0.0, charger->currentPower());
    for (EvChargerDc *charger : qAsConst(m_context.evChargersDc))
        carsDraw += qMax(0.0, charger->measuredPower());
    return qMax(0.0, rootLoad - carsDraw);
}

SurplusGate::Reading SurplusPlanner::acSurplusReading(EvChargerAc *charger, const ChargingProcessInfo &info,
                                                      double rootLoad, double houseImport, const SurplusTakers &takers,
                                                      double tolerance, bool running, const QDateTime &currentDateTime)
{
    // A start before the surplus covers the whole minimum, a dip ridden out
    // and a charge kept on at the minimum buy the rest to charge sooner:
    // worth nothing where the expected sun of today and tomorrow gives all
    // the car can still take, which the grid would then only take the place
    // of. Such a car charges on the sun alone, as at a tolerance of 1.
    const bool sunFills =
            tolerance < 1.0 && sunGivesTheRest(charger, info, qMax(1u, info.maxPhaseCount), currentDateTime);
    // Nor does a start on part of the minimum pay where the expected sun
    // of the coming hour does not carry it (the evening, a grey day): the
    // grid buys the rest at its price now and no sun follows that the car
    // would wait for. A charge running on goes on as before.
    const bool sunFades = tolerance < 1.0 && sunFadesBelowMinimum(info, currentDateTime);
    if (sunFills || sunFades)
        tolerance = 1.0;
    // Coverage and phases are judged on the charger's part of the export:
    // the chargers that can take power cannot all have all of it.
    SurplusGate::Reading reading;
    // A charger switched on that draws nothing yet (a phase switch's pause,
    // a car still waking up) left all the export there: its part of it is
    // not a share of what the others left.
    const bool idleRunning = running && charger->currentPower() <= 0;
    // An export is shared only by the chargers that can take more than they
    // draw: one at its most leaves its part to the others (a car waiting
    // beside it would see half of what goes to the grid), and judges its
    // own phases as before.
    const bool toTheOthers = rootLoad < 0 && !atItsMost(charger, info);
    const int sharers = idleRunning ? 1 : (toTheOthers ? takers.more : takers.power);
    reading.surplusPower = charger->currentPower() - rootLoad / qMax(1, sharers);
    reading.phaseMinimum = info.minChargingCurrent * Units::phaseVoltage;
    reading.tolerance = tolerance;
    // Nor is a dip ridden out on the grid for such a car, but a stop costs
    // switches a day of passing clouds would spend many of: only the day's
    // first stop is spent on it, later dips are ridden out as before.
    const bool sunRidesAlone = sunFills
                               && m_context.cycle.surplusGate(charger->id()).stopsOn(currentDateTime.date())
                                          < sunFillsStopsPerDay;
    reading.allowedShare = sunRidesAlone ? 0.0 : 1.0 - m_context.acquisitionTolerance;
    // Another car's draw does not spend this one's reserve.
    reading.houseImport = houseImport;
    reading.running = running;
    reading.drawing = charger->currentPower() > 0;
    reading.bestPhases = qMax(1u, info.maxPhaseCount);
    reading.fewestPhases = info.fewestPhaseCount();
    if (info.phaseSwitchingPossible) {
        // What the charger was told to use, as far as the car follows.
        const uint present = qMin(charger->thing()->stateValue(QStringLiteral("desiredPhaseCount")).toUInt(),
                                  qMax(1u, info.carPhaseCount));
        reading.presentPhases = qMax(1u, present);
        reading.bestPhases = qMin(getBestPhaseCount(charger, reading.surplusPower / Units::phaseVoltage, tolerance),
                                  qMax(1u, info.carPhaseCount));
    } else {
        reading.presentPhases = reading.bestPhases;
    }
    // Charging from another plan counts for the switches too.
    if (!charger->chargingEnabled())
        reading.presentPhases = 0;
    return reading;
}

double SurplusPlanner::acSurplusTargetCurrent(EvChargerAc *charger, const ChargingProcessInfo &info,
                                              double perPhaseCurrent, uint phaseCount, Electricity::Phases phases,
                                              double tolerance, bool shared, const QDateTime &currentDateTime,
                                              double *allowanceOut)
{
    // The meter's allowance counts this charger's own draw as load: what
    // it may take is that draw plus the allowance.
    double allowance = info.maxChargingCurrent;
    if (m_context.phasePowerLimit != 0) {
        const double ownPerPhase =
                qMax(0.0, charger->currentPower()) / (qMax(1u, info.effectivePhaseCount) * Units::phaseVoltage);
        allowance = m_context.rootMeter->calculateAllowanceAmpere(phases, m_context.phasePowerLimit) + ownPerPhase;
    }

    // The surplus to the nearest step (the owner's tolerance lets the grid
    // cover a fraction of one), what the fuse leaves rounded down: a step
    // rounded up there would pass the limit.
    const double step = charger->maxChargingCurrentStepSize();
    double surplusCurrent = ThingUtils::ensureValueClamping(perPhaseCurrent, QVariant::Double, info.minChargingCurrent,
                                                            info.maxChargingCurrent, step)
                                    .toDouble();
    // A step rounded up buys a fraction from elsewhere to charge sooner. A
    // car short of a target time keeps every bit sooner: the deadline check
    // counts on no sun, and a car behind buys at full power later (where
    // its price plan tells at what price, the step that costs less). Else no
    // more of the step than the tolerance lets come from elsewhere (none
    // where a home battery may not feed the car, tolerance 1), and sooner
    // is worth nothing where the expected sun of today and tomorrow gives
    // all the car can still take, or where the step below fills it within
    // the hour (the sun would have to fail in that hour) and no other car
    // waits for the sun it then leaves sooner: the step below then.
    const double boughtShare = qMin(0.5, 1.0 - tolerance);
    const bool beyondTolerance = surplusCurrent - perPhaseCurrent > boughtShare * qAbs(step) + 1e-9;
    const double below = floorChargingCurrent(perPhaseCurrent, info.minChargingCurrent, info.maxChargingCurrent, step);
    const bool behind = shortOfTargetTime(charger, info, currentDateTime);
    if (behind)
        surplusCurrent = pricedStep(charger, info, perPhaseCurrent, surplusCurrent, below, step, currentDateTime);
    if (surplusCurrent > perPhaseCurrent && perPhaseCurrent >= info.minChargingCurrent && !behind
        && (beyondTolerance || sunGivesTheRest(charger, info, phaseCount, currentDateTime)
            || (!shared && fullWithinTheHour(charger, info, below, phaseCount))))
        surplusCurrent = below;
    const double targetCurrent = qMin(
            surplusCurrent, floorChargingCurrent(allowance, info.minChargingCurrent, info.maxChargingCurrent, step));
    *allowanceOut = allowance;
    return targetCurrent;
}

SurplusGate::Delays SurplusPlanner::surplusGateDelays() const
{
    return m_context.surplusGateDelays();
}

double SurplusPlanner::reachablePercentage(const ChargingProcessInfo &info, const QDateTime &currentDateTime,
                                           const QDateTime &endDateTime)
{
    // What the fuse leaves the car from now on, after the deadlines before
    // it, where the preparation knew it; else the estimated charging time.
    if (info.deadlineReachablePercentage >= 0 && endDateTime == info.deadline)
        return qMin(100.0, info.deadlineReachablePercentage);
    const double hours = qMax<qint64>(0, currentDateTime.secsTo(endDateTime)) / 3600.0;
    double reachable = info.batteryLevel;
    if (info.fullChargingHours > 0)
        reachable += hours * 100.0 / info.fullChargingHours;
    return qMin(100.0, reachable);
}

double SurplusPlanner::promiseUncertainty(const ChargingProcessInfo &info, const QDateTime &endDateTime)
{
    if (info.deadlineReachablePercentage < 0 || info.deadlineReachableNowPercentage < 0 || endDateTime != info.deadline)
        return 0;
    return qAbs(qMin(100.0, info.deadlineReachablePercentage) - qMin(100.0, info.deadlineReachableNowPercentage)) / 2;
}

double SurplusPlanner::promisedPercentage(const ChargingProcessInfo &info, const QDateTime &currentDateTime,
                                          const QDateTime &endDateTime)
{
    // Whether the house goes on taking what it takes now is unknown: the
    // promise lies halfway between that and the best of the last hours, so
    // it is off by at most half of their difference.
    if (info.deadlineReachablePercentage >= 0 && info.deadlineReachableNowPercentage >= 0
        && endDateTime == info.deadline)
        return qMin(100.0, (info.deadlineReachablePercentage + info.deadlineReachableNowPercentage) / 2);
    return reachablePercentage(info, currentDateTime, endDateTime);
}

double SurplusPlanner::plannedChargingHours(const ChargingProcessInfo &info) const
{
    // Under a phase limit the house may take more of the fuse than it did
    // when the charging time was estimated; a deadline plan keeps a reserve
    // for that. Time that turns out not to be needed is simply not used.
    return plannedGridHours(info, 0);
}

double SurplusPlanner::sunAtHandHours(EvChargerAc *charger, const ChargingProcessInfo &info,
                                      const QDateTime &currentDateTime) const
{
    // Counting on no sun at all, a car the sun carries reaches its target
    // the lead time early, and the grid bought for that takes the place of
    // the sun of its last minutes.
    const double power = info.maxChargingCurrent * info.voltage * qMax(1u, info.maxPhaseCount);
    return power > 0 ? m_context.sunAtHand(charger, info, info.deadline, currentDateTime) / power : 0;
}

double SurplusPlanner::plannedGridHours(const ChargingProcessInfo &info, double sunHours) const
{
    return qMax(0.0, info.remainingChargingHours - qMax(0.0, sunHours)) * deadlineReserveFactor();
}

double SurplusPlanner::deadlineReserveFactor() const
{
    return 1.0 + (m_context.phasePowerLimit != 0 ? Units::deadlineTimeReserve : 0.0);
}

QList<TimeFrame> SurplusPlanner::reserveLast(const ChargingProcessInfo &info, const ScoreEntries &weighted,
                                             const QList<TimeFrame> &frames, uint minutes, uint minimumScheduleDuration,
                                             bool charging, const QDateTime &target,
                                             const QDateTime &currentDateTime) const
{
    // The reserve is for a fuse that leaves the car less than the estimate.
    // Among the cheapest slots, one before the others runs first, the plan
    // made again each cycle shrinks with what is left, and the last of the
    // cheap minutes go unused: a loss of its price less theirs when the
    // reserve was not needed. After the last cheap slot it runs only when
    // needed, at the price of the slots there. It moves there where those
    // hold it and the one risk costs no more than the other (even odds).
    // Other cars placed on the fuse need the slots after as well.
    if (fuseSharedWith(info))
        return frames;
    // Less the rounding: 138 min with a 15 % reserve are 120 without it.
    const uint base = static_cast<uint>(qCeil(minutes / deadlineReserveFactor() - 1e-9));
    if (base == 0 || base >= minutes)
        return frames;
    SpotMarketManager *market = m_context.spotMarketManager;
    const QList<TimeFrame> planned =
            market->scheduleChargingTime(currentDateTime, weighted, base, minimumScheduleDuration, charging, target);
    QDateTime baseEnd;
    for (const TimeFrame &frame : qAsConst(planned)) {
        if (!baseEnd.isValid() || frame.endDateTime() > baseEnd)
            baseEnd = frame.endDateTime();
    }
    const qint64 early = framesMinutes(frames) - framesMinutes(planned);
    if (!baseEnd.isValid() || early <= 0)
        return frames;
    ScoreEntries after;
    for (const ScoreEntry &entry : weighted) {
        if (entry.endDateTime() > baseEnd)
            after.append(entry);
    }
    const QList<TimeFrame> reserve =
            market->scheduleChargingTime(baseEnd, after, minutes - base, minimumScheduleDuration, false, target);
    const qint64 late = framesMinutes(reserve);
    if (late < minutes - base)
        return frames;
    const double earlyPrice = (framesCost(weighted, frames) - framesCost(weighted, planned)) / early;
    const double latePrice = framesCost(weighted, reserve) / late;
    const double lastPrice = framesCost(weighted, {TimeFrame(baseEnd.addSecs(-60), baseEnd)});
    if (latePrice - earlyPrice > earlyPrice - lastPrice)
        return frames;
    // A reserve right after the cheap minutes is one run with them.
    return joinedFrames(planned + reserve);
}

bool SurplusPlanner::fuseSharedWith(const ChargingProcessInfo &info) const
{
    bool shared = false;
    const auto placed = [&info, &shared](const ChargingProcessInfo &other) {
        shared = shared || (&other != &info && other.fusePlace >= 0 && other.remainingPercentage > 0);
    };
    m_context.cycle.forEachAcInfo([&placed](EvChargerAc *, const ChargingProcessInfo &other) { placed(other); });
    m_context.cycle.forEachDcInfo([&placed](EvChargerDc *, const ChargingProcessInfo &other) { placed(other); });
    return shared;
}

void SurplusPlanner::reportTargetTimeUnreachable(const ThingId &evChargerId, const ChargingConfiguration &configuration,
                                                 const QDateTime &endDateTime, const ChargingProcessInfo &info,
                                                 const QDateTime &currentDateTime)
{
    // A promise is made once it is firm to a few points: while the house
    // takes much more of the fuse than it did at best, the level depends on
    // how long that lasts, and the charger's waiting reason says enough.
    if (promiseUncertainty(info, endDateTime) > Units::promiseRepeatMargin)
        return;
    // Once per target time, and again when the promise moved by more than a
    // few points: the owner learns it when it happens, not every minute.
    const double promised = promisedPercentage(info, currentDateTime, endDateTime);
    const auto reported = m_unreachableTargetsReported.find(evChargerId);
    if (reported != m_unreachableTargetsReported.end() && reported->endDateTime == endDateTime) {
        // Told before a restart: the level then is not known, this one counts from now on.
        if (!reported->promisedKnown) {
            reported->promised = qRound(promised);
            reported->promisedKnown = true;
            return;
        }
        if (qAbs(reported->promised - qRound(promised)) <= Units::promiseRepeatMargin)
            return;
    }
    m_unreachableTargetsReported.insert(evChargerId, {endDateTime, qRound(promised), true});

    Thing *car = m_context.thingManager->findConfiguredThing(configuration.assignedCarId());
    Thing *charger = m_context.thingManager->findConfiguredThing(evChargerId);
    const QString name = car ? car->name() : (charger ? charger->name() : evChargerId.toString());
    qCInfo(dcTavroEnergy()) << "The target time of" << name << "cannot be met:" << qRound(promised) << "% instead of"
                            << configuration.targetPercentage() << "% by" << endDateTime.toString(Qt::ISODate);
    m_notifier.push(evChargerId, configuration.locale(), unreachableTitle, unreachableBody,
                    {name, QString::number(qRound(promised)),
                     configuration.locale().toString(endDateTime.time(), QStringLiteral("hh:mm")),
                     QString::number(configuration.targetPercentage())});
}

void SurplusPlanner::reportTargetTimeBackInReach(const ThingId &evChargerId, const ChargingConfiguration &configuration,
                                                 const QDateTime &endDateTime, const ChargingProcessInfo &info,
                                                 const QDateTime &currentDateTime)
{
    // An owner told the target is out of reach holds that promise until told
    // otherwise: once even the house as it is now lets the car make it (the
    // other deadlines went better than planned), he hears it, once.
    const auto reported = m_unreachableTargetsReported.find(evChargerId);
    if (reported == m_unreachableTargetsReported.end() || reported->endDateTime != endDateTime
        || !reported->promisedKnown)
        return;
    const int target = static_cast<int>(configuration.targetPercentage());
    if (reported->promised >= target || qRound(promisedPercentage(info, currentDateTime, endDateTime)) < target)
        return;
    reported->promised = target;

    Thing *car = m_context.thingManager->findConfiguredThing(configuration.assignedCarId());
    Thing *charger = m_context.thingManager->findConfiguredThing(evChargerId);
    const QString name = car ? car->name() : (charger ? charger->name() : evChargerId.toString());
    qCInfo(dcTavroEnergy()) << "The target time of" << name << "can be met after all:" << target << "% by"
                            << endDateTime.toString(Qt::ISODate);
    m_notifier.push(evChargerId, configuration.locale(), backInReachTitle, backInReachBody,
                    {name, QString::number(target),
                     configuration.locale().toString(endDateTime.time(), QStringLiteral("hh:mm"))});
}

uint SurplusPlanner::getBestPhaseCount(EvChargerAc *charger, double availableCurrent, double acquisitionTolerance)
{
    const ChargingProcessInfo info = m_context.cycle.acInfoOrDefault(charger);
    const double minCurrent = info.minChargingCurrent;
    const double maxCurrent = info.maxChargingCurrent;

    // "3" is the most phases the charger is told; a two-phase car draws two.
    const double manyPhases = info.drawnPhaseCount();

    if (3 * minCurrent < availableCurrent) {
        qCDebug(dcTavroEnergy()) << "There is enough solar power for 3-phase charging without an acquisition";
        return 3;
    }
    if (minCurrent < availableCurrent && maxCurrent > availableCurrent) {
        qCDebug(dcTavroEnergy()) << "There is enough solar power for 1-phase charging without an acquisition";
        return 1;
    }
    if (minCurrent * acquisitionTolerance < availableCurrent && maxCurrent > availableCurrent) {
        qCDebug(dcTavroEnergy()) << "There is enough solar power for 1-phase charging with an acquisition of"
                                 << minCurrent - availableCurrent << "[A]";
        return 1;
    }
    if (3 * minCurrent * acquisitionTolerance <= availableCurrent)
        return 3;
    // One phase cannot take it all: a two-phase car goes on its two phases
    // where they cover its minimum and take more than one phase at its most
    // even when their whole amperes round down.
    if (manyPhases < 3 && manyPhases * minCurrent * acquisitionTolerance <= availableCurrent
        && availableCurrent >= maxCurrent + manyPhases)
        return 3;
    if (maxCurrent * acquisitionTolerance < availableCurrent) {
        qCDebug(dcTavroEnergy())
                << "We are right between the 3-phase min current and 1-phase max current interval. Falling back to single phase charging in order to prevent a charing stop.";
        return 1;
    }
    return 3;
}

double SurplusPlanner::calculateSurplusCoverage(const ThingId &evChargerId) const
{
    double chargerPower = 0;
    if (EvChargerAc *acCharger = m_context.evChargersAc.value(evChargerId)) {
        chargerPower = acCharger->currentPower();
    } else if (EvChargerDc *dcCharger = m_context.evChargersDc.value(evChargerId)) {
        chargerPower = dcCharger->measuredPower();
    } else {
        return -1.0;
    }

    if (chargerPower <= 0 || !m_context.rootMeter)
        return -1.0;

    const double importPower = qMax(m_context.rootMeter->currentPower(), 0.0);
    double batteryCharging = 0;
    const Things storages = m_balance.energyStorages();
    for (Thing *storage : storages)
        batteryCharging += qMax(storage->stateValue(QStringLiteral("currentPower")).toDouble(), 0.0);

    const double ratio = (importPower + batteryCharging) / chargerPower;
    if (ratio > 1)
        return 0.0;
    if (ratio <= 0)
        return 1.0;
    return 1 - ratio;
}

SurplusGate &SurplusPlanner::gate(const ThingId &evChargerId)
{
    return m_context.cycle.surplusGate(evChargerId);
}

QHash<ThingId, QDateTime> SurplusPlanner::reportedUnreachableTargets() const
{
    QHash<ThingId, QDateTime> targets;
    for (auto it = m_unreachableTargetsReported.constBegin(); it != m_unreachableTargetsReported.constEnd(); ++it)
        targets.insert(it.key(), it->endDateTime);
    return targets;
}

void SurplusPlanner::forget(const ThingId &evChargerId)
{
    m_unreachableTargetsReported.remove(evChargerId);
}
