#include "spotmarketplanner.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/processpreparation.h"
#include "smartcharging/surplusplanner.h"

#include "config/energymanagerconfiguration.h"
#include "devices/evchargerac.h"
#include "common/tavroenergylogging.h"
#include "spotmarket/spotmarketdataprovider.h"
#include "spotmarket/spotmarketmanager.h"

#include "tavro/thingmanager.h"

#include <QSet>
#include <QtMath>

namespace {

// The action every spot-market schedule carries: full current on the
// highest usable phase count.
ChargingAction spotMarketAction(const ChargingProcessInfo &info)
{
    return ChargingAction(true, info.maxChargingCurrent, info.maxPhaseCount,
                          ChargingAction::ChargingActionIssuerSpotMarketCharging, false);
}

ChargingSchedules schedulesForFrames(const ThingId &evChargerId, const QList<TimeFrame> &frames,
                                     const ChargingAction &action)
{
    ChargingSchedules schedules;
    for (const TimeFrame &frame : frames) {
        ChargingSchedule schedule(evChargerId, frame);
        schedule.setAction(action);
        schedules.append(schedule);
    }
    return schedules;
}

// Relative comparison: equal when |a - b| * 1e12 <= min(|a|, |b|).
bool energyReadingsDiffer(double a, double b)
{
    return qAbs(a - b) * 1000000000000.0 > qMin(qAbs(a), qAbs(b));
}

// Hours covered by the given slots (hourly or quarter-hour slots alike).
double coveredHours(const ScoreEntries &entries)
{
    qint64 minutes = 0;
    for (const ScoreEntry &entry : entries)
        minutes += qMax<qint64>(0, entry.durationMinutes());
    return minutes / 60.0;
}

} // namespace

// What one spot-market plan reads for every charger, and what it collects.
struct SpotMarketPlanner::SpotMarketRound {
    ScoreEntries providerEntries;
    uint minimumScheduleDuration = 0; // min
    double predictableFraction = 0;   // 0..1
    // Chargers whose daily share followed the car's energy counter in this run.
    QSet<EvChargerAc *> countingChargers;
    bool schedulesChanged = false;
};

void SpotMarketPlanner::planSpotMarketCharging(const QDateTime &currentDateTime)
{
    // Switched off: whatever was planned stays as it is.
    if (!m_context.spotMarketManager->enabled())
        return;

    qCDebug(dcTavroEnergy()) << "------ Plan spot market ------";

    if (!m_context.spotMarketManager->available()) {
        qCDebug(dcTavroEnergy())
                << "Spot maket manager enabled but not available. Skip spot market charging planing and all previouse planed schedules.";
        dropSpotMarketSchedules();
        return;
    }

    rollDailyEnergy(currentDateTime);

    SpotMarketRound round;
    // A copy: clearing the planning state edits the tables.
    const QHash<ThingId, EvChargerAc *> adapters = m_context.evChargersAc;
    const EvChargerAcs planningChargers = selectSpotMarketChargers(adapters, round);

    qCDebug(dcTavroEnergy()) << planningChargers.count() << "chargers are set to ECO mode and have spot market enabled";

    SpotMarketDataProvider *provider = m_context.spotMarketManager->currentProvider();
    round.providerEntries = provider ? provider->scoreEntries() : ScoreEntries();
    round.minimumScheduleDuration = m_context.configuration->minimumScheduleDuration();
    round.predictableFraction = m_context.configuration->spotMarketChargePredictableEnergyPercentage();

    for (EvChargerAc *charger : planningChargers)
        planSpotMarketCharger(charger, round, currentDateTime);

    // Energy charged outside the daily plan is not today's spot-market
    // share: those chargers only follow the counter.
    for (EvChargerAc *charger : adapters) {
        ChargingProcessInfo *info = m_context.cycle.acInfo(charger);
        if (!info || round.countingChargers.contains(charger))
            continue;
        info->lastTotalEnergyCharged = m_context.deliveredEnergy(charger->id());
    }

    if (round.schedulesChanged)
        m_context.schedules.announce();

    for (EvChargerAc *charger : adapters)
        applyRunningSpotMarketSchedule(charger, currentDateTime);
}

void SpotMarketPlanner::rollDailyEnergy(const QDateTime &currentDateTime)
{
    const QDate today = currentDateTime.toLocalTime().date();
    if (m_day.isValid() && today > m_day) {
        qCDebug(dcTavroEnergy()) << "Day changed. Reset spotmarket data counters";
        m_context.cycle.forEachAcInfo([](EvChargerAc *, ChargingProcessInfo &info) { info.chargedEnergyToday = 0; });
        m_restoredEnergy.clear();
    }
    if (!m_day.isValid() || today > m_day)
        m_day = today;
    // What an earlier run counted today comes on top of what this one counted.
    m_context.cycle.forEachAcInfo([this](EvChargerAc *charger, ChargingProcessInfo &info) {
        const auto restored = m_restoredEnergy.find(charger->id());
        if (restored == m_restoredEnergy.end())
            return;
        info.chargedEnergyToday += restored.value();
        m_restoredEnergy.erase(restored);
    });
}

QHash<ThingId, double> SpotMarketPlanner::dailyEnergy() const
{
    QHash<ThingId, double> energy = m_restoredEnergy;
    m_context.cycle.forEachAcInfo([&energy](EvChargerAc *charger, const ChargingProcessInfo &info) {
        if (info.chargedEnergyToday > 0)
            energy[charger->id()] += info.chargedEnergyToday;
    });
    return energy;
}

void SpotMarketPlanner::restoreDailyEnergy(const QDate &day, const QHash<ThingId, double> &energy)
{
    if (!day.isValid() || (m_day.isValid() && day < m_day))
        return;
    m_day = day;
    m_restoredEnergy = energy;
}

void SpotMarketPlanner::dropSpotMarketSchedules()
{
    bool schedulesChanged = false;
    const EvChargerAcs scheduled = m_context.schedules.acSchedules().keys();
    for (EvChargerAc *charger : scheduled) {
        if (m_context.schedules.removeIssuer(charger, ChargingAction::ChargingActionIssuerSpotMarketCharging))
            schedulesChanged = true;
        if (ChargingProcessInfo *info = m_context.cycle.acInfo(charger))
            info->spotMarketUntilTargetTime = false;
    }
    if (schedulesChanged)
        m_context.schedules.announce();
}

EvChargerAcs SpotMarketPlanner::selectSpotMarketChargers(const QHash<ThingId, EvChargerAc *> &adapters,
                                                         SpotMarketRound &round)
{
    EvChargerAcs planningChargers;
    for (EvChargerAc *charger : adapters) {
        qCDebug(dcTavroEnergy()) << "-->" << charger->name();
        const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
        if (!m_context.thingManager->findConfiguredThing(configuration.assignedCarId())) {
            qCDebug(dcTavroEnergy()) << charger->name() << "has no car assigned. Ignoring...";
            if (m_preparation.clearAcPlanningState(charger))
                round.schedulesChanged = true;
            continue;
        }

        if (!m_context.cycle.acInfo(charger)) {
            qCDebug(dcTavroEnergy()) << charger->name() << "has no prepared charging process info. Ignoring...";
            if (m_preparation.clearAcPlanningState(charger))
                round.schedulesChanged = true;
            continue;
        }

        ChargingProcessInfo &info = m_context.cycle.acInfoToChange(charger);
        if (m_context.book.state(charger->id()).targetPercentageReached()) {
            qCDebug(dcTavroEnergy()) << charger->name() << "has reached the target percentage and is done. Ignoring...";
            // Every issuer's schedules go: the car is done.
            const bool dropped = !m_context.schedules.acSchedules().value(charger).isEmpty();
            m_context.schedules.acEntry(charger).clear();
            if (dropped)
                round.schedulesChanged = true;
            info.spotMarketUntilTargetTime = false;
            info.chargingSchedule.clear();
            continue;
        }

        if (configuration.chargingMode() == ChargingConfiguration::ChargingModeNormal) {
            qCDebug(dcTavroEnergy()) << charger->name() << "is set to manual mode. Ignoring...";
        } else if (configuration.chargingMode() == ChargingConfiguration::ChargingModeEco
                   && configuration.dailySpotMarketPercentage() == 0) {
            qCDebug(dcTavroEnergy())
                    << charger->name()
                    << "has no target time set nor any daily percentage to charge with spot market. Ignoring...";
        } else {
            planningChargers.append(charger);
            continue;
        }

        m_context.book.setTargetTimeOvershot(charger->id(), 0);
        if (m_context.schedules.removeIssuer(charger, ChargingAction::ChargingActionIssuerSpotMarketCharging))
            round.schedulesChanged = true;
        m_context.cycle.acInfoToChange(charger).spotMarketUntilTargetTime = false;
    }
    return planningChargers;
}

void SpotMarketPlanner::storeSpotMarketSchedules(EvChargerAc *charger, const ChargingSchedules &planned,
                                                 SpotMarketRound &round)
{
    const ChargingAction::ChargingActionIssuer spotMarketIssuer =
            ChargingAction::ChargingActionIssuerSpotMarketCharging;
    ChargingSchedules &schedules = m_context.schedules.acEntry(charger);
    const ChargingSchedules current = schedules.filterByIssuer(spotMarketIssuer);
    bool differ = current.count() != planned.count();
    for (int i = 0; !differ && i < planned.count(); i++)
        differ = current.at(i).startDateTime() != planned.at(i).startDateTime()
                 || current.at(i).endDateTime() != planned.at(i).endDateTime();
    if (!differ)
        return;

    schedules.removeAllIssuer(spotMarketIssuer);
    schedules.append(planned);
    round.schedulesChanged = true;
}

void SpotMarketPlanner::planSpotMarketCharger(EvChargerAc *charger, SpotMarketRound &round,
                                              const QDateTime &currentDateTime)
{
    qCDebug(dcTavroEnergy()) << "-->" << charger->name();
    const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
    ChargingProcessInfo &info = m_context.cycle.acInfoToChange(charger);
    // Charging from the grid is running now (in a planned slot or for
    // the deadline): the scheduler keeps it going instead of pausing for
    // a few minutes.
    const ChargingState::Mode runningMode = m_context.book.state(charger->id()).mode();
    const bool charging =
            (runningMode == ChargingState::ModeSpotMarketCharging || runningMode == ChargingState::ModeTimeRequirement)
            && charger->charging();

    if (configuration.chargingMode() == ChargingConfiguration::ChargingModeEcoWithTargetTime) {
        const QDateTime target = configuration.nextEndTime(currentDateTime);
        if (!target.isValid()) {
            qCDebug(dcTavroEnergy()) << "  No valid target time set for " << charger->name();
            return;
        }

        if (round.providerEntries.availableUpTo(target)) {
            const ChargingSchedules planned =
                    planSpotMarketUntilTarget(charger, info, target, charging, round, currentDateTime);
            storeSpotMarketSchedules(charger, planned, round);
            return;
        }
        if (configuration.dailySpotMarketPercentage() == 0
            && planKnownSlotsTowardsTarget(charger, info, target, charging, round, currentDateTime))
            return;
        shareSpotMarketEnergyTowardsTarget(info, configuration, target, round, currentDateTime);
    } else {
        info.spotMarketUntilTargetTime = false;
    }

    if (info.dailySpotMarketRequired)
        planSpotMarketDailyShare(charger, info, charging, round, currentDateTime);
}

ChargingSchedules SpotMarketPlanner::planSpotMarketUntilTarget(EvChargerAc *charger, ChargingProcessInfo &info,
                                                               const QDateTime &target, bool charging,
                                                               const SpotMarketRound &round,
                                                               const QDateTime &currentDateTime)
{
    // The slot running at the target counts up to the target.
    ScoreEntries targetSlots;
    for (const ScoreEntry &entry : round.providerEntries) {
        if (entry.startDateTime() < target)
            targetSlots.append(entry);
    }

    // What the sun is expected to give is not bought in advance; the
    // deadline check keeps the target safe should it not come.
    const uint totalMinutes = static_cast<uint>(qCeil(m_surplus.plannedChargingHours(info) * 60));
    info.spotMarketSunMinutes = qMin(totalMinutes, sunMinutes(info, currentDateTime, target));
    uint minutes =
            static_cast<uint>(qCeil(m_surplus.plannedGridHours(info, info.spotMarketSunMinutes / 60.0) * 60));
    qCDebug(dcTavroEnergy()) << "  Having spot market available until target time. Distribute" << minutes
                             << "minutes using all available spot market data.";
    ChargingSchedules planned;
    info.spotMarketMissingMinutes = 0;
    if (minutes == 0) {
        info.spotMarketUntilTargetTime = false;
    } else {
        // One minimum and maximum over every day up to the target.
        const ScoreEntries weighted = m_context.spotMarketManager->weightScoreEntries(targetSlots);
        info.spotMarketUntilTargetTime = true;
        const QList<TimeFrame> frames =
                scheduleGridMinutes(info, weighted, &minutes, charging, target, round, currentDateTime);
        planned = schedulesForFrames(charger->id(), frames, spotMarketAction(info));
        // The plan may come up short; the deadline check must not
        // rely on it then.
        qint64 placed = 0;
        for (const TimeFrame &frame : frames)
            placed += frame.durationMinutes();
        if (placed < minutes) {
            info.spotMarketMissingMinutes = static_cast<uint>(minutes - placed);
            qCDebug(dcTavroEnergy()) << "  The slots before the target take only" << placed << "of" << minutes
                                     << "minutes.";
        }
    }
    qCDebug(dcTavroEnergy()) << "  Distributed charging schedules" << planned;
    return planned;
}

QList<TimeFrame> SpotMarketPlanner::scheduleGridMinutes(const ChargingProcessInfo &info, const ScoreEntries &weighted,
                                                        uint *minutes, bool charging, const QDateTime &target,
                                                        const SpotMarketRound &round,
                                                        const QDateTime &currentDateTime) const
{
    QList<TimeFrame> frames = m_context.spotMarketManager->scheduleChargingTime(
            currentDateTime, weighted, *minutes, round.minimumScheduleDuration, charging, target);
    // A slot at full power in the sun buys only what the sun does not give
    // in it: the sun counted on in the slots is no more the car's beside
    // them, and the slots grow by it (a few passes: a longer plan reaches
    // into hours with other sun).
    const double power = info.phaseLimitPower * info.drawnPhaseCount();
    for (int pass = 0; pass < 3 && info.spotMarketSunMinutes > 0 && power > 0; pass++) {
        double inSlots = 0; // Wh
        for (const TimeFrame &frame : qAsConst(frames))
            inSlots += m_context.sunEnergy(frame.startDateTime(), frame.endDateTime(), power);
        const double sunHours = qMax(0.0, info.spotMarketSunMinutes / 60.0 - inSlots / power);
        const uint needed = static_cast<uint>(qCeil(m_surplus.plannedGridHours(info, sunHours) * 60));
        if (needed <= *minutes)
            break;
        *minutes = needed;
        frames = m_context.spotMarketManager->scheduleChargingTime(
                currentDateTime, weighted, *minutes, round.minimumScheduleDuration, charging, target);
    }
    return m_surplus.reserveLast(info, weighted, frames, *minutes, round.minimumScheduleDuration, charging, target,
                                 currentDateTime);
}

bool SpotMarketPlanner::planKnownSlotsTowardsTarget(EvChargerAc *charger, ChargingProcessInfo &info,
                                                    const QDateTime &target, bool charging, SpotMarketRound &round,
                                                    const QDateTime &currentDateTime)
{
    QDateTime knownEnd;
    for (const ScoreEntry &entry : round.providerEntries) {
        if (!knownEnd.isValid() || entry.endDateTime() > knownEnd)
            knownEnd = entry.endDateTime();
    }
    if (!knownEnd.isValid() || knownEnd <= currentDateTime || knownEnd >= target)
        return false;

    // Day-ahead prices follow the day: a missing slot is estimated at the
    // price of the same local time a day earlier. A cheap slot known now is
    // taken now; waiting for tomorrow's prices would let it pass.
    ScoreEntries priced;
    for (const ScoreEntry &entry : round.providerEntries) {
        if (entry.startDateTime() < target)
            priced.append(entry);
        const QDateTime start = entry.startDateTime().addDays(1);
        if (start >= knownEnd && start < target) {
            ScoreEntry estimate = entry;
            estimate.setStartDateTime(start);
            estimate.setEndDateTime(entry.endDateTime().addDays(1));
            priced.append(estimate);
        }
    }
    priced.sortByStartDateTime();
    QDateTime covered = knownEnd;
    for (const ScoreEntry &entry : qAsConst(priced)) {
        if (entry.startDateTime() <= covered && entry.endDateTime() > covered)
            covered = entry.endDateTime();
    }
    if (covered < target)
        return false;

    // The energy itself: a reserve planned now would take a dearer slot
    // before the cheap ones and be left unused after them. The deadline
    // check keeps the reserve, and the plan with all prices will.
    const uint minutes = static_cast<uint>(qCeil(info.remainingChargingHours * 60));
    info.spotMarketUntilTargetTime = false;
    info.spotMarketMissingMinutes = 0;
    QList<TimeFrame> known;
    if (minutes > 0) {
        const QList<TimeFrame> frames = m_context.spotMarketManager->scheduleChargingTime(
                currentDateTime, m_context.spotMarketManager->weightScoreEntries(priced), minutes,
                round.minimumScheduleDuration, charging, target);
        for (TimeFrame frame : frames) {
            if (frame.startDateTime() >= knownEnd)
                continue;
            if (frame.endDateTime() > knownEnd)
                frame.setEndDateTime(knownEnd);
            known.append(frame);
        }
    }
    qCDebug(dcTavroEnergy()) << "  Prices known until" << knownEnd << "of the target" << target << ":" << minutes
                             << "minutes planned with the day before for the rest, taking now" << known;
    storeSpotMarketSchedules(charger, schedulesForFrames(charger->id(), known, spotMarketAction(info)), round);
    return true;
}

void SpotMarketPlanner::shareSpotMarketEnergyTowardsTarget(ChargingProcessInfo &info,
                                                           const ChargingConfiguration &configuration,
                                                           const QDateTime &target, const SpotMarketRound &round,
                                                           const QDateTime &currentDateTime)
{
    const double hours = currentDateTime.secsTo(target) / 3600.0;
    // Only needed here: summing the slot lengths converts every slot's times.
    const double knownHours = coveredHours(round.providerEntries);
    qCDebug(dcTavroEnergy()) << "  Not enough data available to plan to the target time. Spot market data for"
                             << knownHours << "of the required" << hours << "hours are available.";
    info.spotMarketUntilTargetTime = false;
    if (hours < 36.0) {
        qCDebug(dcTavroEnergy()) << "  The target time is in" << hours
                                 << "hours. We probably get more information soon. Scheduling"
                                 << round.predictableFraction * 100 << "% of the energy within the next known"
                                 << knownHours << "hours.";
        const double share = qMax(info.remainingPercentage / 100.0 * round.predictableFraction,
                                  configuration.dailySpotMarketPercentage() / 100.0);
        info.dailySpotMarketEnergy = info.capacityKwh * share;
        info.dailySpotMarketRequired = info.dailySpotMarketEnergy > 0;
        info.dailySpotMarketPercentage = info.capacityKwh > 0 ? info.dailySpotMarketEnergy * 100 / info.capacityKwh : 0;
        if (info.dailySpotMarketEnergy > 0) {
            qCDebug(dcTavroEnergy()) << "  A total of" << info.dailySpotMarketEnergy << "kWh ("
                                     << info.dailySpotMarketPercentage
                                     << "%) battery is required for today to meet the target time in the future.";
        }
    } else {
        qCDebug(dcTavroEnergy()) << "  TODO: plan for more than 24h into the future";
    }
}

void SpotMarketPlanner::planSpotMarketDailyShare(EvChargerAc *charger, ChargingProcessInfo &info, bool charging,
                                                 SpotMarketRound &round, const QDateTime &currentDateTime)
{
    // What the charger delivered counts, whatever the car can report.
    round.countingChargers.insert(charger);
    const double reading = m_context.deliveredEnergy(charger->id());
    if (energyReadingsDiffer(reading, info.lastTotalEnergyCharged)) {
        // A counter that went back (a new session of the estimation)
        // only sets a new base; it never takes energy away from today.
        if (reading > info.lastTotalEnergyCharged)
            info.chargedEnergyToday += reading - info.lastTotalEnergyCharged;
        info.lastTotalEnergyCharged = reading;
        if (info.chargedEnergyToday >= info.dailySpotMarketEnergy) {
            if (m_context.schedules.removeIssuer(charger, ChargingAction::ChargingActionIssuerSpotMarketCharging))
                round.schedulesChanged = true;
            return;
        }
    }

    qCDebug(dcTavroEnergy()) << "  Charged" << info.chargedEnergyToday << "kWh energy today so far. A total of"
                             << info.dailySpotMarketEnergy << "kWh spot market energy is required for today.";

    if (info.chargedEnergyToday >= info.dailySpotMarketEnergy) {
        // Also when the daily share was lowered below what is charged
        // already: schedules left in place would keep charging.
        qCDebug(dcTavroEnergy()) << "  Already charged enougth energy for today.";
        storeSpotMarketSchedules(charger, ChargingSchedules(), round);
        return;
    }

    // Without a capacity or a charging time there is nothing to convert.
    const bool convertible = info.capacityKwh > 0 && info.fullChargingHours > 0;
    const double remainingEnergy = info.dailySpotMarketEnergy - info.chargedEnergyToday;
    uint minutes =
            convertible ? static_cast<uint>(remainingEnergy * info.fullChargingHours / info.capacityKwh * 60) : 0;
    // The share's day ends at the next local midnight: the sun expected
    // before it need not be bought.
    const QDateTime dayEnd(currentDateTime.toLocalTime().date().addDays(1), QTime(0, 0));
    minutes -= qMin(minutes, sunMinutes(info, currentDateTime, dayEnd));
    const uint totalMinutes =
            convertible ? static_cast<uint>(info.dailySpotMarketEnergy * info.fullChargingHours / info.capacityKwh * 60)
                        : 0;
    const double remainingPercentage = info.capacityKwh > 0 ? remainingEnergy * 100 / info.capacityKwh : 0;
    qCDebug(dcTavroEnergy()).nospace() << "  Remaining " << remainingPercentage << "% (" << minutes
                                       << " min) to charge today from total spotmarket "
                                       << info.dailySpotMarketPercentage << "% (" << totalMinutes << " min). Using "
                                       << info.chargerPhaseLimitPower << "W on " << info.maxPhaseCount << " phase(s) | "
                                       << info.maxPhases;

    const QList<TimeFrame> frames = m_context.spotMarketManager->scheduleCharingTimeForToday(
            currentDateTime, minutes, round.minimumScheduleDuration, charging);
    const ChargingSchedules planned = schedulesForFrames(charger->id(), frames, spotMarketAction(info));
    qCDebug(dcTavroEnergy()) << "  Distributed spot market" << planned;
    storeSpotMarketSchedules(charger, planned, round);
}

uint SpotMarketPlanner::sunMinutes(const ChargingProcessInfo &info, const QDateTime &currentDateTime,
                                   const QDateTime &until) const
{
    const uint minutes = m_context.sunMinutes(currentDateTime, until, info.phaseLimitPower * info.drawnPhaseCount());
    if (minutes > 0)
        qCDebug(dcTavroEnergy()) << "  The sun is expected to give" << minutes << "min of charging before" << until;
    return minutes;
}

void SpotMarketPlanner::applyRunningSpotMarketSchedule(EvChargerAc *charger, const QDateTime &currentDateTime)
{
    if (!m_context.schedules.acSchedules().contains(charger))
        return;

    // Among the spot-market schedules: a deadline schedule of the last
    // cycle covering the same minute must not hide the running slot.
    const ChargingAction::ChargingActionIssuer spotMarketIssuer =
            ChargingAction::ChargingActionIssuerSpotMarketCharging;
    const ChargingSchedules schedules =
            m_context.schedules.acSchedules().value(charger).filterByIssuer(spotMarketIssuer);
    const ChargingSchedule running = schedules.getChargingSchedule(currentDateTime);
    if (running.isValid() && running.action().chargingEnabled()) {
        if (ChargingProcessInfo *info = m_context.cycle.acInfo(charger)) {
            m_context.cycle.setAcAction(charger, spotMarketIssuer, running.action());
            info->chargingSchedule = running;
        }
    } else if (!schedules.isEmpty()) {
        m_context.book.setWaitingReason(charger->id(), ChargingState::WaitingReasonSpotMarketWindow);
    }
}
