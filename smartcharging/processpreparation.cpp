#include "processpreparation.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/acchargeradjuster.h"
#include "smartcharging/chargingcurrent.h"
#include "smartcharging/configurationstore.h"
#include "smartcharging/householdbalance.h"

#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "devices/rootmeter.h"
#include "common/tavroenergylogging.h"
#include "common/units.h"
#include "smartcharging/phaseheadroom.h"

#include "tavro/thingmanager.h"
#include "tavro-energy/energymanager.h"

#include <QSet>
#include <QtMath>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
// s of house load the charging-time estimate looks back on, and a promise
// to the owner for its best case: a promise counting on a lighter house of
// longer ago (the sun of the afternoon, a battery since run empty) tells the
// owner more than the plan itself counts on.
const qint64 fuseHistorySeconds = 2 * 3600;
// s of sun a plan and a promise count the most of: a passing cloud is no
// sunset, and the sun of the afternoon does not come back after it.
const qint64 promiseSunSeconds = 15 * 60;
// s a deadline must have been missed at best before it yields the fuse to
// a later one, and met again before it takes it back: a glimpse (a first
// reading, a step of the house) would flip the order, and the promises
// with it, back and forth.
const qint64 missedSettleSeconds = 2 * 60;

// Where a deadline is aimed at: the usual lead time before it, or the
// deadline itself once that is closer.
QDateTime internalTargetOf(const QDateTime &deadline, const QDateTime &currentDateTime)
{
    const QDateTime internalTarget = deadline.addSecs(-Units::internalTargetOffset);
    return internalTarget < currentDateTime ? deadline : internalTarget;
}

// h from now to it (0 once past).
double hoursToInternalTarget(const QDateTime &deadline, const QDateTime &currentDateTime)
{
    return qMax<qint64>(0, currentDateTime.secsTo(internalTargetOf(deadline, currentDateTime))) / 3600.0;
}

// Hours as "hh:mm:ss"; the hours are not wrapped at a day.
QString formatHours(double hours)
{
    const qint64 seconds = static_cast<qint64>(hours * 3600);
    return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
            .arg((seconds % 3600) / 60, 2, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

// The charger offers both 1 and 3 in the possible values of its
// "desiredPhaseCount" state (false when it has no such state).
bool desiredPhaseCountOffers(EvChargerAc *charger, int phaseCount)
{
    if (!charger->canSetPhaseCount())
        return false;
    return charger->thing()->state(QStringLiteral("desiredPhaseCount")).possibleValues().contains(QVariant(phaseCount));
}

// A on each phase less what the executor keeps free at the meter.
std::array<double, 3> lessMargin(const std::array<double, 3> &amps)
{
    std::array<double, 3> usable;
    for (int p = 0; p < 3; p++)
        usable[p] = qMax(0.0, amps[p] - Units::phaseLimitMargin);
    return usable;
}

// A left on the most loaded of the phases.
double leastOn(const std::array<double, 3> &amps, Electricity::Phases phases)
{
    const Electricity::Phase flags[3] = {Electricity::PhaseA, Electricity::PhaseB, Electricity::PhaseC};
    double least = std::numeric_limits<double>::infinity();
    for (int p = 0; p < 3; p++) {
        if (phases.testFlag(flags[p]))
            least = qMin(least, amps[p]);
    }
    return least;
}

} // namespace

void ProcessPreparation::prepareInformation(const QDateTime &currentDateTime)
{
    qCDebug(dcTavroEnergy()) << "------ Prepare information ------";

    const EvChargerAcs chargers = preparedAcChargers(currentDateTime);
    const QSet<EvChargerAc *> prepared(chargers.constBegin(), chargers.constEnd());
    // A copy: the target percentage check executes actions and emits signals.
    const QHash<ThingId, EvChargerAc *> adapters = m_context.evChargersAc;
    // What every car needs comes first: the fuse is shared by deadline.
    QHash<EvChargerAc *, ChargingProcessInfo> infos;
    for (EvChargerAc *charger : adapters) {
        if (!prepared.contains(charger))
            continue;

        qCDebug(dcTavroEnergy()) << "-->" << charger->name();
        const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
        Thing *car = m_context.thingManager->findConfiguredThing(configuration.assignedCarId());
        infos.insert(charger, acCarFacts(charger, car, configuration, currentDateTime));
    }

    const QHash<EvChargerAc *, double> fuseShares = gridChargingFuseShares(chargers, &infos, currentDateTime);
    for (EvChargerAc *charger : adapters) {
        auto info = infos.find(charger);
        if (info == infos.end())
            continue;
        estimateAcChargingTime(&info.value(), charger, currentDateTime,
                               fuseShares.value(charger, std::numeric_limits<double>::infinity()));
        m_context.cycle.setAcInfo(charger, info.value());
        evaluateTargetPercentageReached(charger->id(), info->batteryLevel, currentDateTime);
    }

    resetChargingActions(chargers);
}

EvChargerAcs ProcessPreparation::preparedAcChargers(const QDateTime &currentDateTime)
{
    EvChargerAcs chargers;
    bool schedulesChanged = false;

    const QHash<ThingId, EvChargerAc *> adapters = m_context.evChargersAc;
    for (EvChargerAc *charger : adapters) {
        const ThingId chargerId = charger->id();
        const ThingId carId = m_context.book.configurations().value(chargerId).assignedCarId();
        if (carId.isNull() || !m_context.thingManager->findConfiguredThing(carId)) {
            qCDebug(dcTavroEnergy()) << charger->name() << "has no car assigned. Ignoring...";
            if (clearAcPlanningState(charger))
                schedulesChanged = true;
            m_context.book.resetTransient(chargerId, ChargingState::WaitingReasonVehicleUnavailable);
            continue;
        }

        // The stored configuration itself: a run-out target time is repaired for good.
        normalizeAcTargetTimeConfiguration(charger, currentDateTime);
        chargers.append(charger);
    }

    if (schedulesChanged)
        m_context.schedules.announce();

    return chargers;
}

bool ProcessPreparation::normalizeAcTargetTimeConfiguration(EvChargerAc *charger, const QDateTime &currentDateTime)
{
    const ChargingConfiguration chargingConfiguration = m_context.book.configuration(charger->id());
    if (chargingConfiguration.chargingMode() != ChargingConfiguration::ChargingModeEcoWithTargetTime)
        return false;
    if (chargingConfiguration.nextEndTime(currentDateTime).isValid())
        return false;

    qCDebug(dcTavroEnergy()) << "No valid target time set for " << charger->name()
                             << "Resetting to ECO mode without time.";
    m_context.book.setTargetTimeOvershot(charger->id(), 0);
    ChargingConfiguration changed;
    if (!m_context.book.setChargingMode(charger->id(), ChargingConfiguration::ChargingModeEco, &changed))
        return false;
    m_store.storeChargingConfiguration(changed);
    m_context.book.announceConfiguration(changed);
    return true;
}

bool ProcessPreparation::clearAcPlanningState(EvChargerAc *charger)
{
    const bool hadSchedules = m_context.schedules.takeAc(charger);
    m_context.cycle.dropAc(charger);
    return hadSchedules;
}

ProcessPreparation::PhaseAmps ProcessPreparation::fuseLeftForChargers(const EvChargerAcs &chargers,
                                                                      const QDateTime &currentDateTime,
                                                                      PhaseAmps *availableNow,
                                                                      PhaseAmps *bestForPromise,
                                                                      PhaseAmps *nowWithoutBattery)
{
    PhaseHeadroom headroom = m_context.measuredHeadroom();
    const double infinite = std::numeric_limits<double>::infinity();
    *availableNow = {infinite, infinite, infinite};
    *bestForPromise = {infinite, infinite, infinite};
    *nowWithoutBattery = {infinite, infinite, infinite};
    if (!headroom.limited())
        return {infinite, infinite, infinite};

    // The house without the chargers this manager plans for.
    double managedPower = 0; // W
    for (EvChargerAc *charger : chargers) {
        const ChargingConfiguration configuration = m_context.book.configurations().value(charger->id());
        if (configuration.chargingMode() == ChargingConfiguration::ChargingModeNormal)
            continue;
        const Electricity::Phases metered = charger->meteredPhases();
        const Electricity::Phases phases = metered != Electricity::PhaseNone
                                                   ? metered
                                                   : ChargingContext::ascendingPhasesForCount(charger->phaseCount());
        const double power = qMax(0.0, charger->currentPower()); // W
        managedPower += power;
        headroom.spend(phases, -power / (Electricity::phaseCount(phases) * Units::phaseVoltage));
    }
    for (EvChargerDc *charger : qAsConst(m_context.evChargersDc)) {
        const ChargingConfiguration configuration = m_context.book.configurations().value(charger->id());
        if (configuration.chargingMode() == ChargingConfiguration::ChargingModeNormal)
            continue;
        const double power = qMax(0.0, charger->measuredPower()); // W
        managedPower += power;
        headroom.spend(Electricity::PhaseAll, -power / (3 * Units::phaseVoltage));
    }
    // Each phase on its own: a one-phase car does not wait for the house
    // on the other two.
    *availableNow = {headroom.available(Electricity::PhaseA), headroom.available(Electricity::PhaseB),
                     headroom.available(Electricity::PhaseC)};
    // What a discharging home battery covers is the house's all the same:
    // the battery runs empty or stops and the draw comes back to the fuse.
    // A deadline is timed without it (spread on all phases). A promise
    // counts on the battery and the sun as they cover now (the sun at its
    // most of the last minutes), not as they covered hours ago: a battery
    // run empty since, or the sun of the afternoon after sunset, covers
    // nothing of the rest.
    const double batteryPower = HouseholdBalance(m_context).homeBattery().power;
    const double batteryCover = qMax(0.0, -batteryPower) / (3 * Units::phaseVoltage);
    const double production = m_context.energyManager ? -m_context.energyManager->currentPowerProduction() : 0.0;
    const double sunCover = qMax(0.0, production) / (3 * Units::phaseVoltage);
    // The part of the discharge the house alone does not draw answers the cars.
    const double house = m_context.rootMeter ? m_context.rootMeter->currentPower() - managedPower - batteryPower : 0.0;
    const double carsCover = qMax(0.0, -batteryPower - qMax(0.0, house)) / (3 * Units::phaseVoltage);
    for (int p = 0; p < 3; p++)
        (*nowWithoutBattery)[p] = (*availableNow)[p] - carsCover;
    return rememberFuseLeft(*availableNow, batteryCover, sunCover, currentDateTime, bestForPromise);
}

ProcessPreparation::PhaseAmps ProcessPreparation::rememberFuseLeft(const PhaseAmps &availableNow, double batteryCover,
                                                                   double sunCover, const QDateTime &currentDateTime,
                                                                   PhaseAmps *bestForPromise)
{
    // A cooker or a heat pump takes the fuse for a while, not for the whole
    // night: planning counts with the most the house left the cars during
    // the last hours, and the deadline reserve covers the rest. One sample
    // a minute, however often the cycle runs (settings changes run it too).
    // A clock that went back, or a fuse changed, starts the history again:
    // what the old fuse left says nothing about the new one.
    if (!m_fuseHistory.isEmpty()
        && (m_fuseHistory.last().at > currentDateTime || m_fuseHistoryLimit != m_context.phasePowerLimit))
        m_fuseHistory.clear();
    m_fuseHistoryLimit = m_context.phasePowerLimit;
    PhaseAmps withoutBattery = availableNow;
    PhaseAmps houseAlone = availableNow;
    for (int p = 0; p < 3; p++) {
        withoutBattery[p] -= batteryCover;
        houseAlone[p] -= batteryCover + sunCover;
    }
    if (!m_fuseHistory.isEmpty() && m_fuseHistory.last().at.secsTo(currentDateTime) < 60) {
        FuseSample &last = m_fuseHistory.last();
        for (int p = 0; p < 3; p++) {
            last.leftWithoutBattery[p] = qMax(last.leftWithoutBattery[p], withoutBattery[p]);
            last.leftToHouseAlone[p] = qMax(last.leftToHouseAlone[p], houseAlone[p]);
        }
        last.sunCover = qMax(last.sunCover, sunCover);
    } else {
        m_fuseHistory.append({currentDateTime, withoutBattery, houseAlone, sunCover});
    }
    while (!m_fuseHistory.isEmpty() && m_fuseHistory.first().at.secsTo(currentDateTime) > fuseHistorySeconds)
        m_fuseHistory.removeFirst();
    const double infinite = std::numeric_limits<double>::infinity();
    PhaseAmps available = {-infinite, -infinite, -infinite};
    *bestForPromise = {-infinite, -infinite, -infinite};
    double sunOfLate = sunCover;
    for (const FuseSample &sample : qAsConst(m_fuseHistory)) {
        for (int p = 0; p < 3; p++) {
            available[p] = qMax(available[p], sample.leftToHouseAlone[p]);
            (*bestForPromise)[p] = qMax((*bestForPromise)[p], sample.leftToHouseAlone[p]);
        }
        if (sample.at.secsTo(currentDateTime) <= promiseSunSeconds)
            sunOfLate = qMax(sunOfLate, sample.sunCover);
    }
    for (double &phase : *bestForPromise)
        phase += batteryCover + sunOfLate;
    for (double &phase : available)
        phase += sunOfLate;
    return available;
}

QList<ProcessPreparation::GridDemand>
ProcessPreparation::gridDemands(const EvChargerAcs &chargers, const QHash<EvChargerAc *, ChargingProcessInfo> &infos,
                                const QDateTime &currentDateTime) const
{
    QList<GridDemand> demands;
    for (EvChargerAc *charger : chargers) {
        const ChargingConfiguration configuration = m_context.book.configurations().value(charger->id());
        const auto info = infos.constFind(charger);
        if (info == infos.constEnd() || !charger->pluggedIn()
            || configuration.chargingMode() == ChargingConfiguration::ChargingModeNormal
            || m_context.book.state(charger->id()).targetPercentageReached())
            continue;
        const bool deadline = configuration.chargingMode() == ChargingConfiguration::ChargingModeEcoWithTargetTime;
        if (!deadline && configuration.dailySpotMarketPercentage() == 0)
            continue;
        GridDemand demand;
        demand.acCharger = charger;
        demand.idText = charger->id().toString();
        demand.phases = ChargingContext::ascendingPhasesForCount(info->drawnPhaseCount());
        demand.maximum = info->maxChargingCurrent;
        demand.minimum = info->minChargingCurrent;
        demand.step = charger->maxChargingCurrentStepSize();
        const double phaseWatts = Units::phaseVoltage * info->drawnPhaseCount();
        if (deadline) {
            demand.deadline = info->deadline;
            if (info->lossFactor > 0) {
                demand.energy = info->remainingPercentage / 100.0 * info->capacity / (info->lossFactor * phaseWatts);
                demand.shortfall = Units::unreachableMargin / 100.0 * info->capacity / (info->lossFactor * phaseWatts);
            }
            demand.sunEnergy = m_context.sunAtHand(charger, *info, demand.deadline, currentDateTime) / phaseWatts;
        } else {
            // The daily share counts what the charger delivers.
            demand.energy = qMax(0.0, info->dailySpotMarketEnergy - info->chargedEnergyToday) * 1000 / phaseWatts;
        }
        demands.append(demand);
    }
    for (EvChargerDc *charger : qAsConst(m_context.evChargersDc)) {
        const ChargingConfiguration configuration = m_context.book.configurations().value(charger->id());
        if (!charger->pluggedIn() || configuration.chargingMode() == ChargingConfiguration::ChargingModeNormal)
            continue;
        const bool deadline = configuration.chargingMode() == ChargingConfiguration::ChargingModeEcoWithTargetTime;
        if (!deadline && configuration.dailySpotMarketPercentage() == 0)
            continue;
        const ChargingProcessInfo info = m_context.cycle.dcInfoOrDefault(charger);
        GridDemand demand;
        demand.dcCharger = charger;
        demand.idText = charger->id().toString();
        demand.maximum = qMax(0.0, charger->maxChargingPower()) / (3 * Units::phaseVoltage);
        if (deadline) {
            demand.deadline = configuration.nextEndTime(currentDateTime);
            if (info.lossFactor > 0) {
                const double perPoint = info.capacity / (info.lossFactor * 3 * Units::phaseVoltage) / 100.0;
                demand.energy = info.remainingPercentage * perPoint;
                demand.shortfall = Units::unreachableMargin * perPoint;
            }
        } else {
            demand.energy =
                    qMax(0.0, info.dailySpotMarketEnergy - info.chargedEnergyToday) * 1000 / (3 * Units::phaseVoltage);
        }
        demands.append(demand);
    }
    return demands;
}

void ProcessPreparation::sortByDeadline(QList<GridDemand> *demands)
{
    std::sort(demands->begin(), demands->end(), [](const GridDemand &a, const GridDemand &b) {
        if (a.deadline.isValid() != b.deadline.isValid())
            return a.deadline.isValid();
        if (a.deadline != b.deadline)
            return a.deadline < b.deadline;
        return a.idText < b.idText;
    });
    for (int i = 0; i < demands->count(); i++) {
        GridDemand &demand = (*demands)[i];
        demand.place = i == 0 ? 0 : demands->at(i - 1).place + (demand.deadline != demands->at(i - 1).deadline ? 1 : 0);
    }
}

void ProcessPreparation::serveAtRiskInTurn(QList<GridDemand> *demands, const PhaseAmps &available,
                                           const QDateTime &currentDateTime)
{
    // Sharing alike would let every one of them come short where serving
    // one after the other meets at least the first: the earliest deadline
    // at risk gets the fuse first, equal ones too.
    for (int first = 0; first < demands->count();) {
        int end = first;
        while (end < demands->count() && demands->at(end).place == demands->at(first).place)
            end++;
        const QDateTime deadline = demands->at(first).deadline;
        if (end - first > 1 && deadline.isValid()) {
            const double hoursLeft = hoursToInternalTarget(deadline, currentDateTime);
            const FuseSchedule schedule = scheduleByDeadline(*demands, available, currentDateTime);
            const QVector<bool> risk = atRisk(*demands, schedule, currentDateTime, Units::deadlineTimeReserve);
            if (std::any_of(risk.cbegin() + first, risk.cbegin() + end, [](bool r) { return r; })) {
                const QList<GridDemand> alike = *demands;
                std::sort(demands->begin() + first, demands->begin() + end,
                          [](const GridDemand &a, const GridDemand &b) {
                              if (a.energy != b.energy)
                                  return a.energy < b.energy;
                              return a.idText < b.idText;
                          });
                for (int i = first + 1; i < demands->count(); i++)
                    (*demands)[i].place += qMin(i, end - 1) - first;
                // When not even the first served in turn is met, turns only
                // take from the others what none of them can use: share alike.
                if (scheduleByDeadline(*demands, available, currentDateTime).hours.at(first) > hoursLeft)
                    *demands = alike;
            }
        }
        first = end;
    }
}

QVector<bool> ProcessPreparation::atRisk(const QList<GridDemand> &demands, const FuseSchedule &schedule,
                                         const QDateTime &currentDateTime, double reserve)
{
    QVector<bool> risk(demands.count(), false);
    for (int i = 0; i < demands.count(); i++) {
        const GridDemand &demand = demands.at(i);
        if (!demand.deadline.isValid() || demand.energy <= 0)
            continue;
        risk[i] = schedule.hours.at(i) * (1.0 + reserve) > hoursToInternalTarget(demand.deadline, currentDateTime);
    }
    return risk;
}

QSet<QString> ProcessPreparation::serveReachableFirst(QList<GridDemand> *demands, const PhaseAmps &available,
                                                      const PhaseAmps &atBest, const QDateTime &currentDateTime)
{
    const QVector<bool> missed = settledMisses(*demands, atBest, currentDateTime);
    // Going first, the later car takes only until it is safe: the next
    // cycle finds it met in the deadline order and the earlier car has the
    // fuse back. An earlier deadline yields only once even the house at its
    // lightest misses it, as the owner is told: one missed by the plan
    // alone would flip in and out of reach.
    const FuseSchedule schedule = scheduleByDeadline(*demands, available, currentDateTime);
    const QVector<bool> inOrder = atRisk(*demands, schedule, currentDateTime, Units::deadlineTimeReserve);
    QSet<QString> leads;
    QList<GridDemand> served = *demands;
    for (int j = 1; j < demands->count(); j++) {
        if (!demands->at(j).deadline.isValid() || demands->at(j).place == demands->at(0).place)
            continue;
        bool earlierMet = false;
        for (int i = 0; i < demands->count() && demands->at(i).place < demands->at(j).place; i++) {
            if (demands->at(i).deadline.isValid() && demands->at(i).energy > 0 && !missed.at(i))
                earlierMet = true;
        }
        if (earlierMet)
            continue;
        QList<GridDemand> moved = *demands;
        GridDemand first = moved.takeAt(j);
        for (GridDemand &demand : moved)
            demand.place++;
        first.place = 0;
        first.ahead = true;
        moved.prepend(first);
        // Going first needs the reserve; one that went first stays while it
        // meets its deadline at all: at the edge of the reserve a step of the
        // house would flip the order, and the promises, every few minutes.
        const double reserve = m_leading.contains(first.idText) ? 0.0 : Units::deadlineTimeReserve;
        const FuseSchedule movedSchedule = scheduleByDeadline(moved, available, currentDateTime);
        if (atRisk(moved, movedSchedule, currentDateTime, reserve).at(0))
            continue;
        leads.insert(first.idText);
        if (inOrder.at(j) && !served.first().ahead)
            served = moved;
        qCDebug(dcTavroEnergy()) << "  A deadline met going before earlier ones missed anyway:" << first.idText
                                 << (served.first().idText == first.idText ? "goes first." : "keeps its place, safe.");
    }
    *demands = served;
    m_leading = leads;
    return leads;
}

QVector<bool> ProcessPreparation::settledMisses(const QList<GridDemand> &demands, const PhaseAmps &atBest,
                                                const QDateTime &currentDateTime)
{
    // Both ways: a deadline counts as missed once it has been for a while,
    // and as met again once it has been for as long. A house that steps
    // for a minute would otherwise hand the fuse back and forth, and tell
    // the owner each time.
    const QVector<double> atTarget = scheduleByDeadline(demands, atBest, currentDateTime).atTarget;
    QHash<QString, MissedDeadline> still;
    QVector<bool> settled(demands.count(), false);
    for (int i = 0; i < demands.count(); i++) {
        const GridDemand &demand = demands.at(i);
        if (!demand.deadline.isValid() || demand.energy <= 0)
            continue;
        const bool missedNow = atTarget.at(i) <= demand.energy - demand.shortfall;
        MissedDeadline state = m_missedSince.value(demand.idText);
        if (state.changingSince.isValid() && state.changingSince > currentDateTime)
            state = MissedDeadline();
        if (missedNow == state.missed)
            state.changingSince = QDateTime();
        else if (!state.changingSince.isValid())
            state.changingSince = currentDateTime;
        if (state.changingSince.isValid() && state.changingSince.secsTo(currentDateTime) >= missedSettleSeconds) {
            state.missed = missedNow;
            state.changingSince = QDateTime();
        }
        settled[i] = state.missed;
        if (state.missed || state.changingSince.isValid())
            still.insert(demand.idText, state);
    }
    m_missedSince = still;
    return settled;
}

QVector<double> ProcessPreparation::deliverableByDeadline(const QList<GridDemand> &demands, const PhaseAmps &available,
                                                          const QDateTime &currentDateTime, const QSet<QString> &leads)
{
    QVector<double> atTarget = scheduleByDeadline(demands, available, currentDateTime).atTarget;
    // One that goes first whenever it falls behind is met.
    for (int i = 0; i < demands.count(); i++) {
        if (leads.contains(demands.at(i).idText))
            atTarget[i] = qMax(atTarget.at(i), demands.at(i).energy);
    }
    if (demands.isEmpty() || !demands.first().ahead)
        return atTarget;
    const GridDemand &ahead = demands.first();
    QDateTime yieldsUntil;
    for (const GridDemand &demand : demands) {
        if (demand.deadline.isValid() && demand.deadline < ahead.deadline
            && (!yieldsUntil.isValid() || demand.deadline > yieldsUntil))
            yieldsUntil = demand.deadline;
    }
    const double safeHours =
            hoursToInternalTarget(ahead.deadline, currentDateTime) / (1.0 + Units::deadlineTimeReserve);
    const double hoursAfter = safeHours - qMax<qint64>(0, currentDateTime.secsTo(yieldsUntil)) / 3600.0;
    const double alone = onStep(ahead, 0, qMin(ahead.maximum, leastOn(available, ahead.phases)));
    // The rest waits behind every other demand.
    QList<GridDemand> split = demands;
    GridDemand rest = ahead;
    split.first().energy = qBound(0.0, ahead.energy - alone * qMax(0.0, hoursAfter), ahead.energy);
    rest.energy = ahead.energy - split.first().energy;
    rest.place = split.last().place + 1;
    rest.ahead = false;
    split.append(rest);
    const QVector<double> yielding = scheduleByDeadline(split, available, currentDateTime).atTarget;
    for (int i = 1; i < demands.count(); i++)
        atTarget[i] = yielding.at(i);
    return atTarget;
}

ProcessPreparation::FuseSchedule ProcessPreparation::scheduleByDeadline(const QList<GridDemand> &demands,
                                                                        const PhaseAmps &available,
                                                                        const QDateTime &currentDateTime)
{
    const int count = demands.count();
    const double infinite = std::numeric_limits<double>::infinity();
    FuseSchedule schedule;
    schedule.hours.fill(infinite, count);
    schedule.atTarget.fill(-1, count);
    QVector<double> remaining(count);
    QVector<double> deadlineHours(count, infinite);
    // As currentDateTime.secsTo(), with now's instant taken once.
    const qint64 nowMSecs = currentDateTime.isValid() ? currentDateTime.toMSecsSinceEpoch() : 0;
    auto secondsFromNow = [&](const QDateTime &to) {
        return currentDateTime.isValid() ? (to.toMSecsSinceEpoch() - nowMSecs) / 1000 : 0;
    };
    for (int i = 0; i < count; i++) {
        remaining[i] = qMax(0.0, demands.at(i).energy);
        if (remaining.at(i) <= 0)
            schedule.hours[i] = 0;
        if (demands.at(i).deadline.isValid())
            deadlineHours[i] = qMax<qint64>(0, secondsFromNow(demands.at(i).deadline)) / 3600.0;
        else
            schedule.atTarget[i] = 0;
    }

    // Piecewise constant rates, from one demand done or deadline passed to the next.
    double now = 0;
    for (int step = 0; step <= 2 * count; step++) {
        const QVector<double> rates = fuseRates(demands, remaining, available);
        const double hours = advanceSchedule(demands, rates, deadlineHours, now, &remaining, &schedule);
        if (!std::isfinite(hours))
            break;
        now += hours;
    }
    for (int i = 0; i < count; i++) {
        if (schedule.atTarget.at(i) < 0)
            schedule.atTarget[i] = demands.at(i).energy - remaining.at(i);
        schedule.atTarget[i] = qBound(0.0, schedule.atTarget.at(i), qMax(0.0, demands.at(i).energy));
    }
    return schedule;
}

QVector<double> ProcessPreparation::fuseRates(const QList<GridDemand> &demands, const QVector<double> &remaining,
                                              const PhaseAmps &available)
{
    const int count = demands.count();
    const double infinite = std::numeric_limits<double>::infinity();
    const Electricity::Phase phaseFlags[3] = {Electricity::PhaseA, Electricity::PhaseB, Electricity::PhaseC};
    QVector<double> rates(count, 0);
    double left[3] = {qMax(0.0, available[0]), qMax(0.0, available[1]), qMax(0.0, available[2])};
    const auto leftOn = [&](Electricity::Phases phases) {
        double least = infinite;
        for (int p = 0; p < 3; p++) {
            if (phases.testFlag(phaseFlags[p]))
                least = qMin(least, left[p]);
        }
        return std::isfinite(least) ? least : 0.0;
    };
    const auto take = [&](int i, double rate) {
        rates[i] += rate;
        for (int p = 0; p < 3; p++) {
            if (demands.at(i).phases.testFlag(phaseFlags[p]))
                left[p] -= rate;
        }
    };
    for (int first = 0; first < count;) {
        int end = first;
        while (end < count && demands.at(end).place == demands.at(first).place)
            end++;
        // The same place: an equal part each first, then the rest in turn.
        int waiting = 0;
        for (int i = first; i < end; i++)
            waiting += remaining.at(i) > 0 ? 1 : 0;
        for (int pass = 0; pass < 2 && waiting > 0; pass++) {
            const int parts = pass == 0 ? waiting : 1;
            QVector<double> offer(end - first, 0);
            for (int i = first; i < end; i++) {
                if (remaining.at(i) > 0)
                    offer[i - first] = qMin(demands.at(i).maximum - rates.at(i), leftOn(demands.at(i).phases) / parts);
            }
            for (int i = first; i < end; i++) {
                if (offer.at(i - first) > 0)
                    take(i,
                         onStep(demands.at(i), rates.at(i), qMin(offer.at(i - first), leftOn(demands.at(i).phases))));
            }
        }
        first = end;
    }
    return rates;
}

double ProcessPreparation::onStep(const GridDemand &demand, double rate, double offer)
{
    // An AC charger is told whole steps: 12.6 A left charge at 12 A, and a
    // plan or a promise counting the fraction comes up short. Below the
    // minimum the fraction stays: there the charger runs in turns.
    const double total = rate + offer;
    if (demand.step <= 0 || offer <= 0 || total < demand.minimum)
        return offer;
    return floorChargingCurrent(total, demand.minimum, demand.maximum, demand.step) - rate;
}

double ProcessPreparation::advanceSchedule(const QList<GridDemand> &demands, const QVector<double> &rates,
                                           const QVector<double> &deadlineHours, double now, QVector<double> *remaining,
                                           FuseSchedule *schedule)
{
    const int count = demands.count();
    double hours = std::numeric_limits<double>::infinity();
    for (int i = 0; i < count; i++) {
        if (remaining->at(i) > 0 && rates.at(i) > 0)
            hours = qMin(hours, remaining->at(i) / rates.at(i));
        if (schedule->atTarget.at(i) < 0 && deadlineHours.at(i) > now)
            hours = qMin(hours, deadlineHours.at(i) - now);
    }
    for (int i = 0; i < count; i++) {
        if (schedule->atTarget.at(i) < 0 && deadlineHours.at(i) <= now + hours)
            schedule->atTarget[i] =
                    demands.at(i).energy - remaining->at(i) + rates.at(i) * qMax(0.0, deadlineHours.at(i) - now);
    }
    if (!std::isfinite(hours))
        return hours;
    for (int i = 0; i < count; i++) {
        if (remaining->at(i) <= 0)
            continue;
        (*remaining)[i] -= rates.at(i) * hours;
        if (remaining->at(i) <= 1e-9) {
            (*remaining)[i] = 0;
            schedule->hours[i] = now + hours;
        }
    }
    return hours;
}

QVector<double> ProcessPreparation::deadlineOrderShares(const QList<GridDemand> &demands, const PhaseAmps &available,
                                                        const QDateTime &currentDateTime)
{
    const FuseSchedule schedule = scheduleByDeadline(demands, available, currentDateTime);
    QVector<double> shares;
    for (int i = 0; i < demands.count(); i++) {
        const GridDemand &demand = demands.at(i);
        const double hours = schedule.hours.at(i);
        if (demand.energy > 0 && hours > 0)
            shares.append(std::isfinite(hours) ? demand.energy / hours : 0.0);
        else
            shares.append(qMax(0.0, qMin(demand.maximum, leastOn(available, demand.phases))));
    }
    return shares;
}

QVector<QDateTime> ProcessPreparation::latestStarts(const QList<GridDemand> &demands, const QVector<double> &shares,
                                                    const QDateTime &currentDateTime)
{
    // A deadline plan counts on every earlier deadline charging beside it
    // from its own start on: the earlier cars must not start later.
    QVector<QDateTime> starts(demands.count());
    QDateTime earliest;
    for (int i = demands.count() - 1; i >= 0; i--) {
        const GridDemand &demand = demands.at(i);
        if (demand.deadline.isValid() && demand.energy > 0 && shares.at(i) > 0) {
            const QDateTime internalTarget = internalTargetOf(demand.deadline, currentDateTime);
            const double hours =
                    qMax(0.0, demand.energy - demand.sunEnergy) / shares.at(i) * (1.0 + Units::deadlineTimeReserve);
            const QDateTime start = internalTarget.addSecs(-static_cast<qint64>(hours * 3600));
            if (!earliest.isValid() || start < earliest)
                earliest = start;
        }
        starts[i] = earliest;
    }
    return starts;
}

QHash<EvChargerAc *, double>
ProcessPreparation::gridChargingFuseShares(const EvChargerAcs &chargers,
                                           QHash<EvChargerAc *, ChargingProcessInfo> *infos,
                                           const QDateTime &currentDateTime)
{
    QHash<EvChargerAc *, double> shares;
    PhaseAmps availableNow;
    PhaseAmps bestForPromise;
    PhaseAmps nowWithoutBattery;
    const PhaseAmps available =
            fuseLeftForChargers(chargers, currentDateTime, &availableNow, &bestForPromise, &nowWithoutBattery);
    forgetDcFusePlans();
    if (!std::isfinite(available[0]))
        return shares;

    // What the executor will leave free at the meter is not for the cars.
    const PhaseAmps usable = lessMargin(available);
    const PhaseAmps usableNow = lessMargin(availableNow);
    const PhaseAmps usableAtBest = lessMargin(bestForPromise);
    QList<GridDemand> demands = gridDemands(chargers, *infos, currentDateTime);
    sortByDeadline(&demands);
    serveAtRiskInTurn(&demands, usable, currentDateTime);
    const QSet<QString> leads = serveReachableFirst(&demands, usable, usableAtBest, currentDateTime);
    const QVector<double> planned = deadlineOrderShares(demands, usable, currentDateTime);
    const QVector<QDateTime> startBy = latestStarts(demands, planned, currentDateTime);
    const QVector<double> deliverable = deliverableByDeadline(demands, usableAtBest, currentDateTime, leads);
    const QVector<double> deliverableNow = deliverableByDeadline(demands, usableNow, currentDateTime, leads);
    // A DC charge runs on at the edge of the fuse once begun (it follows
    // the meter every cycle): it is timed on the house as it is now, but
    // without what a discharging home battery covers for the cars. That
    // part answers the car's own draw: counted, the running charge looks
    // fast enough to stop, and once stopped too slow, so it starts again
    // (random household 12084: a deadline charge on and off every two to
    // four minutes).
    const QVector<double> plannedNow = deadlineOrderShares(demands, lessMargin(nowWithoutBattery), currentDateTime);
    for (int i = 0; i < demands.count(); i++) {
        if (EvChargerDc *dcCharger = demands.at(i).dcCharger) {
            planDcFromFuse(dcCharger, demands.at(i), plannedNow.at(i), deliverable.at(i), deliverableNow.at(i));
            continue;
        }
        EvChargerAc *charger = demands.at(i).acCharger;
        if (!charger)
            continue;
        shares.insert(charger, planned.at(i));
        qCDebug(dcTavroEnergy()) << "  The fuse leaves" << planned.at(i) << "[A] per phase to" << charger->name()
                                 << "charging from the grid," << i + 1 << "of" << demands.count()
                                 << "in deadline order.";
        ChargingProcessInfo &info = (*infos)[charger];
        info.deadlineStartBy = startBy.at(i);
        info.fusePlace = demands.at(i).place;
        if (demands.at(i).deadline.isValid() && info.capacity > 0) {
            // Ah per phase in % of the battery.
            const double percentPerAh =
                    info.lossFactor * Units::phaseVoltage * info.drawnPhaseCount() / info.capacity * 100;
            info.deadlineReachablePercentage = info.batteryLevel + deliverable.at(i) * percentPerAh;
            info.deadlineReachableNowPercentage = info.batteryLevel + deliverableNow.at(i) * percentPerAh;
        }
    }
    // A charger that charges from the surplus only may count with all of it.
    for (EvChargerAc *charger : chargers) {
        if (!shares.contains(charger))
            shares.insert(charger, leastOn(usable, Electricity::PhaseAll));
    }
    return shares;
}

void ProcessPreparation::forgetDcFusePlans()
{
    m_context.cycle.forEachDcInfo([](EvChargerDc *, ChargingProcessInfo &info) {
        info.dcFuseShare = -1;
        info.fusePlace = -1;
        info.deadlineReachablePercentage = -1;
        info.deadlineReachableNowPercentage = -1;
    });
}

void ProcessPreparation::planDcFromFuse(EvChargerDc *charger, const GridDemand &demand, double share,
                                        double deliverable, double deliverableNow)
{
    // The DC car's deadline is timed and promised on what the fuse leaves
    // it in deadline order, not on what another charger leaves it this
    // minute: that would flip the deadline charge on and off with the
    // other car's draw, and the promise with it.
    ChargingProcessInfo &info = m_context.cycle.dcInfoToChange(charger);
    info.dcFuseShare = share;
    info.fusePlace = demand.place;
    info.deadline = demand.deadline;
    qCDebug(dcTavroEnergy()) << "  The fuse leaves" << share << "[A] per phase to" << charger->name()
                             << "charging from the grid, place" << demand.place << "in deadline order.";
    if (demand.deadline.isValid() && info.capacity > 0) {
        const double percentPerAh = info.lossFactor * 3 * Units::phaseVoltage / info.capacity * 100;
        info.deadlineReachablePercentage = info.batteryLevel + deliverable * percentPerAh;
        info.deadlineReachableNowPercentage = info.batteryLevel + deliverableNow * percentPerAh;
    }
}

ChargingProcessInfo ProcessPreparation::acCarFacts(EvChargerAc *charger, Thing *car,
                                                   const ChargingConfiguration &chargingConfiguration,
                                                   const QDateTime &currentDateTime)
{
    ChargingProcessInfo info;

    // The daily energy counters live across cycles.
    if (const ChargingProcessInfo *previous = m_context.cycle.acInfo(charger)) {
        info.chargedEnergyToday = previous->chargedEnergyToday;
        info.lastTotalEnergyCharged = previous->lastTotalEnergyCharged;
    }

    // Car data; a state the car lacks (or a missing car) reads as 0.
    auto carState = [car](const QString &name) { return car ? car->stateValue(name) : QVariant(); };
    info.carPhaseCount = carState(QStringLiteral("acPhaseCount")).toUInt();
    info.batteryLevel = carState(QStringLiteral("batteryLevel")).toInt();
    info.capacityKwh = carState(QStringLiteral("capacity")).toDouble();
    info.capacity = info.capacityKwh * 1000;
    info.chargingEnergyLoss = car ? car->setting(QStringLiteral("chargingEnergyLoss")).toUInt() : 0;
    info.lossFactor = 1.0 - info.chargingEnergyLoss / 100.0;

    // Current range usable by this car on this charger (A).
    const bool carHasMax = car && car->hasState(QStringLiteral("acMaxChargingCurrent"));
    const uint carMaxCurrent = carHasMax ? carState(QStringLiteral("acMaxChargingCurrent")).toUInt() : 80;
    info.minChargingCurrent =
            qMax(charger->maxChargingCurrentMinValue(), carState(QStringLiteral("acMinChargingCurrent")).toUInt());
    info.maxChargingCurrent = qMin(charger->maxChargingCurrentMaxValue(), carMaxCurrent);

    qCDebug(dcTavroEnergy()) << "  The car is currently " << (charger->pluggedIn() ? "plugged in" : "unplugged");
    qCDebug(dcTavroEnergy()).nospace() << "  Car: state of charge: " << info.batteryLevel << "%"
                                       << ", capacity: " << info.capacityKwh << "kWh"
                                       << ", charging energy loss factor " << info.lossFactor
                                       << ", phases: " << info.carPhaseCount;

    setAcPhaseInfo(&info, charger);
    info.remainingPercentage = qMax(0, static_cast<int>(chargingConfiguration.targetPercentage()) - info.batteryLevel);
    if (chargingConfiguration.chargingMode() == ChargingConfiguration::ChargingModeEcoWithTargetTime)
        info.deadline = chargingConfiguration.nextEndTime(currentDateTime);

    info.dailySpotMarketPercentage = chargingConfiguration.dailySpotMarketPercentage();
    info.dailySpotMarketRequired = chargingConfiguration.dailySpotMarketPercentage() != 0;
    info.dailySpotMarketEnergy = info.dailySpotMarketPercentage * info.capacityKwh / 100.0;
    qCDebug(dcTavroEnergy()).nospace() << "  A total of " << info.dailySpotMarketEnergy << " kWh ("
                                       << info.dailySpotMarketPercentage << "%) shall be charged from spotmarket today";

    return info;
}

void ProcessPreparation::setAcPhaseInfo(ChargingProcessInfo *info, EvChargerAc *charger)
{
    const uint chargerPhaseCount = charger->phaseCount();
    const bool switchable = desiredPhaseCountOffers(charger, 1) && desiredPhaseCountOffers(charger, 3);
    if (switchable && info->carPhaseCount > 1) {
        qCDebug(dcTavroEnergy()) << "  Phase count switching is possible with this car/charger combination.";
        info->phaseSwitchingPossible = true;
        info->effectivePhaseCount = qMin(chargerPhaseCount, info->carPhaseCount);
        info->maxPhaseCount = 3;
        info->minPhaseCount = 1;
        info->maxPhases = Electricity::PhaseAll;
    } else {
        const uint phaseCount = qMin(chargerPhaseCount, info->carPhaseCount);
        info->maxPhaseCount = phaseCount;
        info->minPhaseCount = phaseCount;
        info->effectivePhaseCount = phaseCount;
        info->maxPhases = ChargingContext::ascendingPhasesForCount(phaseCount);
        qCDebug(dcTavroEnergy()).nospace()
                << "  Phase count switching is not possible with this car/charger combination. Using " << phaseCount
                << " phases.";
    }

    info->carLimitedToSinglePhase = desiredPhaseCountOffers(charger, 1) && info->carPhaseCount == 1;

    // What the charger measures wins over what the phase counts promise.
    const Electricity::Phases meteredPhases = charger->meteredPhases();
    if (meteredPhases == Electricity::PhaseNone) {
        info->effectivePhases = ChargingContext::ascendingPhasesForCount(info->effectivePhaseCount);
        qCDebug(dcTavroEnergy()) << "  No metered phases available. Assuming phases" << info->effectivePhases << "for"
                                 << info->effectivePhaseCount << "phases.";
    } else {
        info->effectivePhaseCount = static_cast<uint>(Electricity::phaseCount(meteredPhases));
        info->effectivePhases = meteredPhases;
        qCDebug(dcTavroEnergy()) << "  Metered phases in use:" << info->effectivePhases
                                 << "count:" << info->effectivePhaseCount;
    }
}

void ProcessPreparation::estimateAcChargingTime(ChargingProcessInfo *info, EvChargerAc *charger,
                                                const QDateTime &currentDateTime, double fuseShare) const
{
    // Power per phase (W) under the household limit, when one is set. Cars
    // charging from the grid share what the house leaves of it, the earliest
    // deadline first: a plan that counted every minute at the full limit
    // would come up short. A fuse the house took whole counts at the minimum
    // current: the estimate stays finite while that lasts.
    info->chargerPhaseLimitPower = info->maxChargingCurrent * info->voltage;
    double householdPhaseLimitPower =
            m_context.phasePowerLimit != 0 ? m_context.phasePowerLimit * info->voltage : info->chargerPhaseLimitPower;
    if (std::isfinite(fuseShare))
        householdPhaseLimitPower = qMin(householdPhaseLimitPower,
                                        (fuseShare > 0 ? fuseShare : double(info->minChargingCurrent)) * info->voltage);
    qCDebug(dcTavroEnergy()) << "  Household phase limit:" << m_context.phasePowerLimit
                             << "A - EV charger phase limit:" << info->maxChargingCurrent << "A";
    info->phaseLimitPower = qMin(info->chargerPhaseLimitPower, householdPhaseLimitPower);

    const double chargingPower = info->phaseLimitPower * info->lossFactor * info->drawnPhaseCount();
    if (info->capacity > 0 && chargingPower > 0) {
        info->fullChargingHours = info->capacity / chargingPower;
    } else {
        info->fullChargingHours = 0;
        qCWarning(dcTavroEnergy()) << "Invalid charging calculation input for" << charger->name()
                                   << "capacity:" << info->capacity << "phaseLimitPower:" << info->phaseLimitPower
                                   << "lossFactor:" << info->lossFactor << "phaseCount:" << info->maxPhaseCount;
    }

    info->remainingChargingHours = info->remainingPercentage * info->fullChargingHours / 100.0;
    info->projectedEndTime = currentDateTime.addSecs(static_cast<qint64>(info->remainingChargingHours * 3600));
    qCDebug(dcTavroEnergy()) << "  Full charging time:" << formatHours(info->fullChargingHours)
                             << "remaining charging time:" << formatHours(info->remainingChargingHours) << "for"
                             << info->remainingPercentage << "%";
    qCDebug(dcTavroEnergy()) << "  Projected end time:"
                             << info->projectedEndTime.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

void ProcessPreparation::evaluateTargetPercentageReached(const ThingId &evChargerId, double batteryLevel,
                                                         const QDateTime &currentDateTime)
{
    const ChargingConfiguration &configuration = m_context.book.configuration(evChargerId);
    const bool ecoMode = configuration.chargingMode() == ChargingConfiguration::ChargingModeEco
                         || configuration.chargingMode() == ChargingConfiguration::ChargingModeEcoWithTargetTime;
    const bool stopRuleApplies =
            configuration.stopOnTargetPercentage() && ecoMode && configuration.targetPercentage() < 100;

    if (!stopRuleApplies) {
        m_context.book.setBatteryLevelConsiderationActive(evChargerId, false);
        if (m_context.book.setTargetPercentageReached(evChargerId, false))
            qCDebug(dcTavroEnergy()) << "Disabled target percentage reached:" << m_context.book.state(evChargerId);
        return;
    }

    EvChargerAc *acCharger = m_context.evChargersAc.value(evChargerId);
    EvChargerDc *dcCharger = m_context.evChargersDc.value(evChargerId);
    const QString name = acCharger ? acCharger->name() : (dcCharger ? dcCharger->name() : evChargerId.toString());

    if (batteryLevel < configuration.targetPercentage()) {
        qCDebug(dcTavroEnergy()) << "Target percentage" << configuration.targetPercentage() << "%"
                                 << "not reached yet for" << name;
        m_context.book.setTargetPercentageReached(evChargerId, false);
        return;
    }

    qCDebug(dcTavroEnergy()) << "Target percentage" << configuration.targetPercentage() << "%"
                             << "reached for" << name;

    stopOnTargetReached(acCharger, dcCharger, currentDateTime);
    const bool schedulesChanged = dropPlansOnTargetReached(acCharger, dcCharger);

    // All fields at once, so that the change is announced once.
    m_context.book.markTargetPercentageReached(evChargerId);

    if (schedulesChanged)
        m_context.schedules.announce();
}

void ProcessPreparation::stopOnTargetReached(EvChargerAc *acCharger, EvChargerDc *dcCharger,
                                             const QDateTime &currentDateTime)
{
    // Forced: the stop must get through the charging-enabled lock.
    if (acCharger && acCharger->charging()) {
        m_adjuster.executeChargingAction(acCharger,
                                         ChargingAction(false, acCharger->maxChargingCurrent(), acCharger->phaseCount(),
                                                        ChargingAction::ChargingActionIssuerTimeRequirement, true),
                                         currentDateTime);
    }

    if (dcCharger && (!acCharger || !acCharger->charging())) {
        if (qAbs(dcCharger->chargingPower()) >= 1.0)
            dcCharger->setChargingPower(0);
        if (dcCharger->chargingEnabled())
            dcCharger->setChargingEnabled(false);
    }
}

bool ProcessPreparation::dropPlansOnTargetReached(EvChargerAc *acCharger, EvChargerDc *dcCharger)
{
    bool schedulesChanged = false;
    if (acCharger) {
        schedulesChanged = m_context.schedules.clearAc(acCharger);
        if (ChargingProcessInfo *info = m_context.cycle.acInfo(acCharger)) {
            info->spotMarketUntilTargetTime = false;
            info->chargingSchedule.clear();
        }
        ChargingCycle::Actions &actions = m_context.cycle.acActionsToChange(acCharger);
        for (ChargingAction::ChargingActionIssuer issuer : {ChargingAction::ChargingActionIssuerSurplusCharging,
                                                            ChargingAction::ChargingActionIssuerSpotMarketCharging,
                                                            ChargingAction::ChargingActionIssuerTimeRequirement}) {
            ChargingAction &action = actions[issuer];
            action.setIssuer(issuer);
            action.setChargingEnabled(false);
        }
    }

    if (dcCharger) {
        if (m_context.schedules.clearDc(dcCharger))
            schedulesChanged = true;
        if (ChargingProcessInfo *info = m_context.cycle.dcInfo(dcCharger)) {
            info->spotMarketUntilTargetTime = false;
            info->chargingSchedule.clear();
        }
    }
    return schedulesChanged;
}

void ProcessPreparation::resetChargingActions(const EvChargerAcs &chargers)
{
    m_context.cycle.resetAcActions(chargers);
}
