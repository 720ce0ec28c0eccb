#include "smartchargingmanager.h"

#include "config/energymanagerconfiguration.h"
#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "devices/rootmeter.h"
#include "common/tavroenergylogging.h"
#include "common/units.h"
#include "smartcharging/chargingsharecalculator.h"
#include "smartcharging/phaseheadroom.h"
#include "spotmarket/spotmarketdataprovider.h"
#include "spotmarket/spotmarketmanager.h"
#include "types/scoreentries.h"

#include "tavro/thingmanager.h"

#include <QSet>

#include <cmath>
#include <functional>

namespace {
// Smallest setpoint change (W) worth a command.
const double setpointThreshold = 1.0;
// Separates a real intent from zero (W).
const double intentEpsilon = 1e-12;

// Fairness groups of their own, apart from the AC issuers 1..3.
const int dcChargingShareGroup = 1000;
const int dcDischargingShareGroup = 1001;

// Share priorities, the same as the AC issuers': time requirement first,
// then spot market, then surplus.
const qint32 timeRequirementPriority = 0;
const qint32 spotMarketPriority = 1;
const qint32 surplusPriority = 2;

struct DcIntent {
    EvChargerDc *charger = nullptr;
    double power = 0;    // W; > 0 charges, < 0 discharges
    bool forced = false; // target-time force
    bool spotMarketActive = false;
};

double wholePercent(double fraction)
{
    return std::round(fraction * 100);
}

QString timeText(const QDateTime &dateTime)
{
    return dateTime.isValid() ? dateTime.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss")) : QStringLiteral("invalid");
}

bool anyFrameActive(const QList<TimeFrame> &frames, const QDateTime &dateTime)
{
    for (const TimeFrame &frame : frames) {
        if (frame.isActive(dateTime))
            return true;
    }
    return false;
}

uint minutesRoundedUp(double minutes)
{
    if (!(minutes > 0) || !std::isfinite(minutes))
        return 0;
    return static_cast<uint>(std::ceil(minutes));
}

}

Thing *SmartChargingManager::resolveDcVehicle(const ThingId &evChargerId) const
{
    EvChargerDc *charger = m_evChargersDc.value(evChargerId);
    if (!charger)
        return nullptr;

    if (charger->hlcSessionActive()) {
        Thing *vehicle = m_thingManager->findConfiguredThing(charger->connectedVehicleThingId());
        if (thingProvidesVehicleBatteryLevel(vehicle))
            return vehicle;
    }

    const ChargingConfiguration configuration = m_book.configuration(evChargerId);
    Thing *car = m_thingManager->findConfiguredThing(configuration.assignedCarId());
    return thingProvidesVehicleBatteryLevel(car) ? car : nullptr;
}

void SmartChargingManager::restoreManualDcCharger(EvChargerDc *charger, const ChargingConfiguration &chargingConfiguration)
{
    if (!charger)
        return;

    const double power = chargingConfiguration.manualChargingPower();
    if (qAbs(charger->chargingPower() - power) >= setpointThreshold) {
        qCDebug(dcTavroEnergy()) << "Restoring DC charger power setpoint for" << charger->name() << "to" << power << "[W]";
        charger->setChargingPower(power);
    }
    if (charger->chargingEnabled() != chargingConfiguration.manualChargingEnabled()) {
        qCDebug(dcTavroEnergy()) << "Restoring DC charger power state for" << charger->name()
                                 << chargingConfiguration.manualChargingEnabled();
        charger->setChargingEnabled(chargingConfiguration.manualChargingEnabled());
    }
    resetChargingStateTransient(charger->id(), ChargingState::WaitingReasonNone);
}

void SmartChargingManager::stopManagingDcCharger(EvChargerDc *charger, ChargingState::WaitingReason waitingReason)
{
    if (!charger)
        return;

    // Every change of the published schedules is announced.
    if (m_schedules.clearDc(charger))
        m_schedules.announce();
    auto info = m_dcProcessInfos.find(charger);
    if (info != m_dcProcessInfos.end()) {
        info->spotMarketUntilTargetTime = false;
        info->chargingSchedule.clear();
    }

    if (qAbs(charger->chargingPower()) >= setpointThreshold) {
        qCDebug(dcTavroEnergy()) << "Resetting DC charger power setpoint for" << charger->name();
        charger->setChargingPower(0);
    }
    if (charger->chargingEnabled()) {
        qCDebug(dcTavroEnergy()) << "Disabling DC charger smart control for" << charger->name();
        charger->setChargingEnabled(false);
    }
    resetChargingStateTransient(charger->id(), waitingReason);
}

void SmartChargingManager::setDcChargingState(const ThingId &evChargerId, ChargingState::Mode mode,
                                              bool batteryLevelConsiderationActive,
                                              ChargingState::WaitingReason waitingReason)
{
    m_book.setModeAndReason(evChargerId, mode, batteryLevelConsiderationActive, waitingReason);
}

void SmartChargingManager::commandDcCharger(EvChargerDc *charger, double power, bool enabled, const QString &reason)
{
    const ChargingConfiguration configuration = m_book.configuration(charger->id());
    if (qAbs(charger->chargingPower() - power) >= setpointThreshold) {
        qCDebug(dcTavroEnergy()) << "Setting DC charger" << charger->name() << "to" << power << "[W]" << "reason:" << reason
                                 << "mode:" << configuration.chargingMode();
        charger->setChargingPower(power);
    }
    if (charger->chargingEnabled() != enabled) {
        qCDebug(dcTavroEnergy()) << "Setting DC charger power state" << charger->name() << enabled << "reason:" << reason;
        charger->setChargingEnabled(enabled);
    }
}

void SmartChargingManager::updateDcChargers(const QDateTime &currentDateTime)
{
    if (m_evChargersDc.isEmpty())
        return;

    // Baseline: the house without the chargers this manager controls.
    double managedAcLoad = 0;
    for (EvChargerAc *charger : qAsConst(m_evChargersAc)) {
        const ChargingConfiguration configuration = m_book.configuration(charger->id());
        if (configuration.chargingMode() != ChargingConfiguration::ChargingModeNormal && charger->charging())
            managedAcLoad += charger->currentPower();
    }
    double managedDcPower = 0;
    for (EvChargerDc *charger : qAsConst(m_evChargersDc)) {
        const ChargingConfiguration configuration = m_book.configuration(charger->id());
        if (configuration.chargingMode() != ChargingConfiguration::ChargingModeNormal)
            managedDcPower += charger->measuredPower();
    }

    const double phaseLimitBudget = availableDcChargingPowerByPhaseLimit();
    const bool hasRootMeter = !m_rootMeter.isNull();
    double rootWithoutManagedDc = 0;
    double rootWithoutManagedEv = 0;
    if (hasRootMeter) {
        rootWithoutManagedDc = m_rootMeter->currentPower() - managedDcPower;
        rootWithoutManagedEv = rootWithoutManagedDc - managedAcLoad;
    }

    double batteryLevel = 0;
    double batteryPower = 0;
    int storageCount = 0;
    const bool batteryBelowLowerLimit = energyStorageBelowBatteryLevelConsideration(&batteryLevel, &batteryPower, &storageCount);
    double batteryTerm = 0;
    bool batteryDischargeUsable = false;
    if (storageCount > 0) {
        batteryDischargeUsable = wholePercent(m_batteryLevelUpperLimit) < batteryLevel;
        if (batteryBelowLowerLimit)
            batteryTerm = 0;
        else if (batteryPower > 0)
            batteryTerm = batteryPower;
        else if (batteryPower < 0)
            batteryTerm = batteryDischargeUsable ? 0 : batteryPower;
    }

    // The managed AC load is not added back: AC chargers keep their surplus,
    // DC chargers get what is left, also of what the AC commands of this
    // cycle take once they show at the meter.
    const double acCommandedIncrease = m_cycleHeadroom ? m_cycleHeadroom->spentPower() : 0.0;
    const double surplusBudget = (hasRootMeter && !batteryBelowLowerLimit)
            ? qMax(0.0, batteryTerm - rootWithoutManagedDc - acCommandedIncrease) : 0.0;

    qCDebug(dcTavroEnergy()) << "DC charging baseline:" << "managed AC load:" << managedAcLoad
                             << "managed DC power:" << managedDcPower
                             << "root without managed DC:" << rootWithoutManagedDc
                             << "root without managed EV:" << rootWithoutManagedEv
                             << "surplus budget:" << surplusBudget << "energy storage count:" << storageCount
                             << "energy storage SoC:" << batteryLevel << "energy storage power:" << batteryPower
                             << "energy storage surplus power:" << batteryTerm
                             << "surplus blocked by energy storage:" << batteryBelowLowerLimit
                             << "battery lower limit:" << wholePercent(m_batteryLevelLowerLimit)
                             << "battery upper limit:" << wholePercent(m_batteryLevelUpperLimit)
                             << "battery discharge usable:" << batteryDischargeUsable
                             << "phase limit budget:" << phaseLimitBudget;

    // Daily reset of the energy charged today.
    const QDate today = currentDateTime.date();
    if (m_lastDcDailyReset.isValid() && m_lastDcDailyReset != today) {
        for (ChargingProcessInfo &info : m_dcProcessInfos)
            info.chargedEnergyToday = 0;
    }
    m_lastDcDailyReset = today;

    SpotMarketDataProvider *provider = m_spotMarketManager ? m_spotMarketManager->currentProvider() : nullptr;
    const bool spotMarketUsable = provider && m_spotMarketManager->enabled() && m_spotMarketManager->available();

    QList<DcIntent> chargingIntents;
    QList<DcIntent> dischargingIntents;
    // Chargers charging for a target time they can no longer meet.
    QSet<ThingId> unreachableChargers;

    const QList<EvChargerDc *> chargers = m_evChargersDc.values();
    for (EvChargerDc *charger : chargers) {
        const ThingId chargerId = charger->id();
        const ChargingConfiguration configuration = m_book.configuration(chargerId);
        const ChargingConfiguration::ChargingMode mode = configuration.chargingMode();

        // The user's own values stand in normal mode.
        if (mode == ChargingConfiguration::ChargingModeNormal) {
            qCDebug(dcTavroEnergy()) << "Skipping DC charger" << charger->name() << "because it is in normal mode.";
            // Frames planned before the switch to normal mode no longer apply.
            if (m_schedules.clearDc(charger))
                m_schedules.announce();
            resetChargingStateTransient(chargerId, ChargingState::WaitingReasonNone);
            continue;
        }

        if (!charger->pluggedIn() || !charger->available()) {
            qCDebug(dcTavroEnergy()) << "Skipping DC charger" << charger->name() << "plugged in:" << charger->pluggedIn()
                                     << "available:" << charger->available();
            stopManagingDcCharger(charger, charger->pluggedIn() ? ChargingState::WaitingReasonChargerUnavailable
                                                                : ChargingState::WaitingReasonVehicleNotPluggedIn);
            continue;
        }

        Thing *vehicle = resolveDcVehicle(chargerId);
        if (!vehicle) {
            qCDebug(dcTavroEnergy()) << "Skipping DC charger" << charger->name() << "because no vehicle with SoC is available.";
            stopManagingDcCharger(charger, ChargingState::WaitingReasonVehicleUnavailable);
            continue;
        }

        // Process info, kept from cycle to cycle.
        ChargingProcessInfo &info = m_dcProcessInfos[charger];
        const double soc = vehicle->stateValue(QStringLiteral("batteryLevel")).toDouble();
        info.batteryLevel = static_cast<int>(std::round(soc));
        info.capacityKwh = vehicle->stateValue(QStringLiteral("capacity")).toDouble();
        info.capacity = info.capacityKwh * 1000;
        info.remainingPercentage = qMax(0, static_cast<int>(configuration.targetPercentage()) - info.batteryLevel);
        info.dailySpotMarketPercentage = configuration.dailySpotMarketPercentage();
        info.dailySpotMarketRequired = configuration.dailySpotMarketPercentage() != 0;
        info.dailySpotMarketEnergy = info.dailySpotMarketPercentage * info.capacityKwh / 100;
        const bool hasCapacity = info.capacityKwh > 0 && std::isfinite(info.capacityKwh);

        // Positive upper limit (W).
        double upperLimit = 0;
        if (charger->supportsCharging()) {
            upperLimit = charger->maxChargingPower();
            if (vehicle->hasState(QStringLiteral("dcMaxChargingPower"))) {
                const double vehicleLimit = vehicle->stateValue(QStringLiteral("dcMaxChargingPower")).toDouble();
                if (vehicleLimit > 0 && (upperLimit <= 0 || upperLimit > vehicleLimit))
                    upperLimit = vehicleLimit;
            }
            if (phaseLimitBudget >= 0) {
                // The phase headroom is measured with this charger's own load
                // already on the meter; without adding it back, a charger at
                // its limit would be cut down and raised again every cycle.
                const double phaseLimit = phaseLimitBudget + qMax(0.0, charger->measuredPower());
                if (upperLimit <= 0 || upperLimit > phaseLimit)
                    upperLimit = phaseLimit;
            }
            if (upperLimit <= 0 || charger->minChargingPower() > upperLimit)
                upperLimit = 0;
        }

        // Timing at the upper limit.
        if (upperLimit > 0 && hasCapacity) {
            info.fullChargingHours = info.capacity / upperLimit;
            info.remainingChargingHours = info.remainingPercentage * info.fullChargingHours / 100;
            info.projectedEndTime = currentDateTime.addSecs(static_cast<qint64>(std::round(info.remainingChargingHours * 3600)));
        } else {
            info.fullChargingHours = 0;
            info.remainingChargingHours = 0;
            info.projectedEndTime = currentDateTime;
        }

        // Energy charged today: what the charger delivered, whatever the
        // car can report. A total that went back only sets a new base.
        const double totalEnergyCharged = deliveredEnergy(chargerId);
        if (!qFuzzyCompare(1 + totalEnergyCharged, 1 + info.lastTotalEnergyCharged)) {
            if (totalEnergyCharged > info.lastTotalEnergyCharged)
                info.chargedEnergyToday += totalEnergyCharged - info.lastTotalEnergyCharged;
            info.lastTotalEnergyCharged = totalEnergyCharged;
        }

        evaluateTargetPercentageReached(chargerId, soc, currentDateTime);
        if (m_book.state(chargerId).targetPercentageReached()) {
            qCDebug(dcTavroEnergy()) << "Skipping DC charger" << charger->name() << "because the target percentage is reached.";
            resetChargingStateTransient(chargerId, ChargingState::WaitingReasonNone);
            continue;
        }

        // Grid decision.
        const bool constrained = mode == ChargingConfiguration::ChargingModeEcoWithTargetTime
                || configuration.dailySpotMarketPercentage() != 0;
        const bool stopsOnTarget = configuration.stopOnTargetPercentage() && configuration.targetPercentage() <= 99;
        const bool belowTargetCeiling = stopsOnTarget ? soc < configuration.targetPercentage() : true;
        double rawTarget = 0;
        if (!hasRootMeter) {
            rawTarget = 0;
        } else if (surplusBudget > 0 && belowTargetCeiling && charger->supportsCharging()) {
            rawTarget = upperLimit > 0 ? qMin(surplusBudget, upperLimit) : surplusBudget;
            if (charger->minChargingPower() > rawTarget)
                rawTarget = 0;
        } else if (!constrained && rootWithoutManagedEv > 0 && charger->supportsDischarging()
                   && soc > configuration.dischargeFloorPercentage()) {
            double magnitude = rootWithoutManagedEv;
            if (charger->maxDischargingPower() > 0)
                magnitude = qMin(magnitude, charger->maxDischargingPower());
            rawTarget = magnitude < charger->minDischargingPower() ? 0 : -magnitude;
        }
        // Calm as the AC chargers: a charger charging on surplus bridges a
        // short shortfall at its minimum power instead of stopping.
        if (hasRootMeter && belowTargetCeiling && charger->supportsCharging() && charger->minChargingPower() > 0
                && charger->minChargingPower() <= upperLimit) {
            const bool running = m_book.state(chargerId).mode() == ChargingState::ModeSurplusCharging
                    && charger->chargingEnabled();
            const bool covered = rawTarget > intentEpsilon;
            if (m_surplusGates[chargerId].chargingEnabled(covered, running, currentDateTime, surplusGateDelays())
                    && !covered)
                rawTarget = charger->minChargingPower();
        }
        qCDebug(dcTavroEnergy()) << "DC charger" << charger->name() << "grid decision:" << "surplus budget:" << surplusBudget
                                 << "root without managed EV:" << rootWithoutManagedEv
                                 << "constrained charge-only:" << constrained
                                 << "below target ceiling:" << belowTargetCeiling << "raw target:" << rawTarget;

        // Schedule decision.
        info.chargingSchedule.clear();
        info.spotMarketUntilTargetTime = false;
        const QList<TimeFrame> previousFrames = m_schedules.dcFrames(charger);
        QList<TimeFrame> frames;

        bool forced = false;
        int overshoot = 0;
        QDateTime endDateTime;
        QDateTime internalTarget;
        bool unreachable = false;
        if (mode == ChargingConfiguration::ChargingModeEcoWithTargetTime) {
            endDateTime = configuration.nextEndTime(currentDateTime);
            if (endDateTime.isValid()) {
                // A target closer than the usual lead time is aimed at itself.
                internalTarget = endDateTime.addSecs(-Units::internalTargetOffset);
                if (internalTarget < currentDateTime)
                    internalTarget = endDateTime;
            }
            const QDateTime plannedEnd = currentDateTime.addSecs(static_cast<qint64>(std::round(plannedChargingHours(info) * 3600)));
            if (info.remainingPercentage >= 1 && internalTarget.isValid() && internalTarget < plannedEnd) {
                overshoot = static_cast<int>(qMax<qint64>(0, internalTarget.secsTo(info.projectedEndTime)));
                forced = upperLimit > 0;
                unreachable = !forced || reachablePercentage(info, currentDateTime, endDateTime)
                        <= configuration.targetPercentage() - Units::unreachableMargin;
                if (unreachable)
                    reportTargetTimeUnreachable(chargerId, configuration, endDateTime, info, currentDateTime);
            }
        }
        if (unreachable)
            unreachableChargers.insert(chargerId);
        setChargingStateTargetTimeOvershot(chargerId, overshoot);

        if (spotMarketUsable && (constrained || mode != ChargingConfiguration::ChargingModeEco)) {
            // Charging from the grid is running (in a planned frame or for
            // the deadline): the scheduler keeps it going.
            const bool charging = (anyFrameActive(previousFrames, currentDateTime)
                                   || m_book.state(chargerId).mode() == ChargingState::ModeTimeRequirement)
                    && charger->chargingEnabled();
            const uint minimumScheduleDuration = m_configuration->minimumScheduleDuration();

            if (mode == ChargingConfiguration::ChargingModeEcoWithTargetTime && endDateTime.isValid()) {
                const ScoreEntries providerEntries = provider->scoreEntries();
                if (providerEntries.availableUpTo(endDateTime)) {
                    // The slot running at the target counts up to the target.
                    ScoreEntries entries;
                    for (const ScoreEntry &entry : providerEntries) {
                        if (entry.startDateTime() < endDateTime)
                            entries.append(entry);
                    }
                    const uint minutes = minutesRoundedUp(plannedChargingHours(info) * 60);
                    if (minutes > 0) {
                        frames = m_spotMarketManager->scheduleChargingTime(currentDateTime,
                                                                           m_spotMarketManager->weightScoreEntries(entries),
                                                                           minutes, minimumScheduleDuration, charging,
                                                                           endDateTime);
                        info.spotMarketUntilTargetTime = !frames.isEmpty();
                    }
                } else {
                    const double share = qMax(configuration.dailySpotMarketPercentage() / 100.0,
                                              info.remainingPercentage / 100.0
                                              * m_configuration->spotMarketChargePredictableEnergyPercentage());
                    info.dailySpotMarketEnergy = info.capacityKwh * share;
                    info.dailySpotMarketRequired = info.dailySpotMarketEnergy > 0;
                    info.dailySpotMarketPercentage = hasCapacity ? info.dailySpotMarketEnergy * 100 / info.capacityKwh : 0;
                }
            }

            if (info.dailySpotMarketRequired) {
                if (info.chargedEnergyToday >= info.dailySpotMarketEnergy) {
                    frames.clear();
                } else if (hasCapacity) {
                    const uint minutes = minutesRoundedUp((info.dailySpotMarketEnergy - info.chargedEnergyToday)
                                                          * info.fullChargingHours / info.capacityKwh * 60);
                    frames = m_spotMarketManager->scheduleCharingTimeForToday(currentDateTime, minutes,
                                                                              minimumScheduleDuration, charging);
                } else {
                    qCDebug(dcTavroEnergy()) << "DC charger" << charger->name()
                                             << "cannot plan spot market minutes: the vehicle reports no battery capacity.";
                }
            }
        }
        const bool framesChanged = m_schedules.setDcFrames(charger, frames);

        const bool spotMarketActive = anyFrameActive(frames, currentDateTime);
        if (framesChanged)
            m_schedules.announce();

        qCDebug(dcTavroEnergy()) << "DC charger" << charger->name() << "schedule decision:"
                                 << "spot market usable:" << spotMarketUsable << "target time:" << timeText(endDateTime)
                                 << "internal target time:" << timeText(internalTarget)
                                 << "force target-time charging:" << forced << "spot market active now:" << spotMarketActive
                                 << "schedule frames:" << frames
                                 << "charging until target using spotmarket:" << info.spotMarketUntilTargetTime;

        // Final intent.
        double intent = rawTarget;
        if (forced || spotMarketActive)
            intent = upperLimit;
        else if (constrained)
            intent = 0;
        if (intent > 0 && ((stopsOnTarget && soc >= configuration.targetPercentage()) || !charger->supportsCharging()))
            intent = 0;
        if (intent < 0 && (!charger->supportsDischarging() || constrained))
            intent = 0;

        QString label = QStringLiteral("idle");
        if (intent > intentEpsilon)
            label = forced ? QStringLiteral("target time")
                           : (spotMarketActive ? QStringLiteral("spot market") : QStringLiteral("surplus"));
        else if (intent < -intentEpsilon)
            label = QStringLiteral("discharging");
        qCDebug(dcTavroEnergy()) << "DC charger" << charger->name() << "final intent:" << label << "target:" << intent
                                 << "mode:" << mode << "supports charging:" << charger->supportsCharging()
                                 << "supports discharging:" << charger->supportsDischarging()
                                 << "stop on target:" << stopsOnTarget;

        if (intent > intentEpsilon) {
            setChargingStateBatteryLevelConsiderationActive(chargerId, false);
            chargingIntents.append({charger, intent, forced, spotMarketActive});
            continue;
        }
        if (intent < -intentEpsilon) {
            setChargingStateBatteryLevelConsiderationActive(chargerId, false);
            dischargingIntents.append({charger, intent, false, false});
            continue;
        }

        // Idle: say what the charger waits for.
        bool batteryFlag = false;
        bool decided = false;
        ChargingState::WaitingReason waitingReason = ChargingState::WaitingReasonNone;
        if (batteryBelowLowerLimit && mode == ChargingConfiguration::ChargingModeEco
                && configuration.dailySpotMarketPercentage() == 0 && charger->supportsCharging() && belowTargetCeiling
                && hasRootMeter) {
            batteryFlag = true;
            // There is surplus, but the home battery takes it first.
            if (rootWithoutManagedDc < 0 || batteryPower > 0) {
                waitingReason = ChargingState::WaitingReasonHomeBattery;
                decided = true;
            }
        }
        if (!decided) {
            if (!frames.isEmpty() && !spotMarketActive) {
                waitingReason = ChargingState::WaitingReasonSpotMarketWindow;
            } else if (mode == ChargingConfiguration::ChargingModeEcoWithTargetTime && !forced
                       && info.remainingPercentage > 0) {
                waitingReason = ChargingState::WaitingReasonTargetTimeWindow;
            } else if (mode == ChargingConfiguration::ChargingModeEco && configuration.dailySpotMarketPercentage() == 0
                       && charger->supportsCharging()) {
                waitingReason = (belowTargetCeiling && hasRootMeter) ? ChargingState::WaitingReasonSurplusPower
                                                                     : ChargingState::WaitingReasonNone;
            }
        }

        commandDcCharger(charger, 0, false, QStringLiteral("idle"));
        setDcChargingState(chargerId, ChargingState::ModeIdle, batteryFlag, waitingReason);
    }

    auto fairnessCounter = [this](EvChargerDc *charger) {
        return static_cast<quint32>(m_chargingShareFairness.value(charger->id(), 0));
    };
    auto idleReason = [this](const ThingId &chargerId) {
        // A charger that got nothing keeps the reason it had, except the
        // home battery's, which belongs to the cleared flag.
        const ChargingState::WaitingReason reason = m_book.state(chargerId).waitingReason();
        return reason == ChargingState::WaitingReasonHomeBattery ? ChargingState::WaitingReasonNone : reason;
    };
    // One share round of a group: rotates its fairness, shares the budget
    // (W) and hands each result with its intent to apply, which tells
    // whether the charger was served.
    using ShareResult = ChargingShareCalculator::Result;
    auto shareRound = [this, &currentDateTime](int group, const QList<ChargingShareCalculator::Request> &requests,
                                               double budget, const QHash<QString, DcIntent> &intentsById,
                                               const std::function<bool(const DcIntent &, const ShareResult &)> &apply) {
        updateChargingShareFairness(group, currentDateTime);
        const QList<ShareResult> results
                = ChargingShareCalculator().calculate(requests, budget, m_configuration->chargingShareStrategy());
        QList<ThingId> served;
        for (const ShareResult &result : results) {
            const DcIntent intent = intentsById.value(result.thingId);
            if (intent.charger && apply(intent, result))
                served.append(intent.charger->id());
        }
        storeChargingShareServedChargers(served, group);
    };

    // Discharging share: the house import is the budget.
    if (!dischargingIntents.isEmpty()) {
        QList<ChargingShareCalculator::Request> requests;
        QHash<QString, DcIntent> intentsById;
        double totalRequested = 0;
        for (const DcIntent &intent : qAsConst(dischargingIntents)) {
            ChargingShareCalculator::Request request;
            request.thingId = intent.charger->id().toString();
            request.minimumPower = intent.charger->minDischargingPower();
            request.maximumPower = qAbs(intent.power);
            request.phaseCount = 1;
            request.measuredPower = qAbs(intent.charger->measuredPower());
            request.priority = surplusPriority;
            request.fairnessCounter = fairnessCounter(intent.charger);
            requests.append(request);
            intentsById.insert(request.thingId, intent);
            totalRequested += request.maximumPower;
            qCDebug(dcTavroEnergy()) << "DC discharging share request for" << intent.charger->name() << "minimum:"
                                     << request.minimumPower << "[W]," << "maximum:" << request.maximumPower << "[W],"
                                     << "measured:" << request.measuredPower << "priority:" << request.priority
                                     << "fairness counter:" << request.fairnessCounter;
        }

        const double budget = qMin(qMax(rootWithoutManagedEv, 0.0), totalRequested);
        qCDebug(dcTavroEnergy()) << "DC discharging share budget:" << "root without managed EV:" << rootWithoutManagedEv
                                 << "total requested:" << totalRequested << "available for sharing:" << budget;

        shareRound(dcDischargingShareGroup, requests, budget, intentsById,
                   [this, &idleReason](const DcIntent &intent, const ShareResult &result) {
            EvChargerDc *charger = intent.charger;
            const double power = result.enabled ? -result.allocatedPower : 0;
            commandDcCharger(charger, power, result.enabled, QStringLiteral("discharging"));
            const ChargingState::Mode mode = result.enabled ? ChargingState::ModeDischarging : ChargingState::ModeIdle;
            setDcChargingState(charger->id(), mode, false,
                               result.enabled ? ChargingState::WaitingReasonNone : idleReason(charger->id()));
            qCDebug(dcTavroEnergy()) << "DC discharging share result for" << charger->name() << "requested:" << intent.power
                                     << "[W]," << "allocated:" << power << "[W]," << "enabled:" << result.enabled
                                     << "measured:" << charger->measuredPower() << "[W]," << "mode:" << mode;
            return result.enabled;
        });
    }

    // Charging share.
    if (chargingIntents.isEmpty()) {
        qCDebug(dcTavroEnergy()) << "No positive DC charging intents to share.";
        return;
    }

    double totalRequested = 0;
    double currentMeasured = 0;
    double fixedPriorityRequested = 0;
    bool surplusIntentPresent = false;
    QList<ChargingShareCalculator::Request> requests;
    QHash<QString, DcIntent> intentsById;
    for (const DcIntent &intent : qAsConst(chargingIntents)) {
        totalRequested += intent.power;
        currentMeasured += qMax(0.0, intent.charger->measuredPower());
        if (intent.forced || intent.spotMarketActive)
            fixedPriorityRequested += intent.power;
        else
            surplusIntentPresent = true;

        ChargingShareCalculator::Request request;
        request.thingId = intent.charger->id().toString();
        request.minimumPower = intent.charger->minChargingPower();
        request.maximumPower = intent.power;
        request.phaseCount = 1;
        request.measuredPower = intent.charger->measuredPower();
        request.priority = intent.forced ? timeRequirementPriority
                                         : (intent.spotMarketActive ? spotMarketPriority : surplusPriority);
        request.fairnessCounter = fairnessCounter(intent.charger);
        requests.append(request);
        intentsById.insert(request.thingId, intent);
        qCDebug(dcTavroEnergy()) << "DC charging share request for" << intent.charger->name() << "reason:"
                                 << (intent.forced ? "target time" : (intent.spotMarketActive ? "spot market" : "surplus"))
                                 << "minimum:" << request.minimumPower << "[W]," << "maximum:" << request.maximumPower
                                 << "[W]," << "measured:" << request.measuredPower << "priority:" << request.priority
                                 << "fairness counter:" << request.fairnessCounter;
    }

    double budget = (surplusIntentPresent ? surplusBudget : 0) + fixedPriorityRequested;
    budget = qMin(budget, totalRequested);
    if (phaseLimitBudget >= 0)
        budget = qMin(budget, currentMeasured + phaseLimitBudget);
    qCDebug(dcTavroEnergy()) << "DC charging share budget:" << "current measured DC power:" << currentMeasured
                             << "fixed-priority requested:" << fixedPriorityRequested << "total requested:" << totalRequested
                             << "surplus intent present:" << surplusIntentPresent << "surplus budget:" << surplusBudget
                             << "phase limit:" << phaseLimitBudget << "available for sharing:" << budget;

    shareRound(dcChargingShareGroup, requests, budget, intentsById,
               [this, &idleReason, &unreachableChargers](const DcIntent &intent, const ShareResult &result) {
        EvChargerDc *charger = intent.charger;
        const double power = result.enabled ? result.allocatedPower : 0;
        const bool enabled = power > 0;
        ChargingState::Mode mode = ChargingState::ModeIdle;
        QString reason = QStringLiteral("idle");
        if (enabled) {
            if (intent.forced) {
                mode = ChargingState::ModeTimeRequirement;
                reason = QStringLiteral("target time");
            } else if (intent.spotMarketActive) {
                mode = ChargingState::ModeSpotMarketCharging;
                reason = QStringLiteral("spot market");
            } else {
                mode = ChargingState::ModeSurplusCharging;
                reason = QStringLiteral("surplus");
            }
        }
        commandDcCharger(charger, power, enabled, reason);
        ChargingState::WaitingReason waitingReason = idleReason(charger->id());
        if (enabled)
            waitingReason = unreachableChargers.contains(charger->id()) ? ChargingState::WaitingReasonTargetTimeUnreachable
                                                                       : ChargingState::WaitingReasonNone;
        setDcChargingState(charger->id(), mode, false, waitingReason);
        qCDebug(dcTavroEnergy()) << "DC charging share result for" << charger->name() << "requested:" << intent.power
                                 << "[W]," << "allocated:" << power << "[W]," << "enabled:" << enabled
                                 << "measured:" << charger->measuredPower() << "[W]," << "mode:" << mode;
        return enabled;
    });
}
