#include "dccontroller.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/householdbalance.h"
#include "smartcharging/processpreparation.h"
#include "smartcharging/sharerounds.h"
#include "smartcharging/surplusplanner.h"
#include "smartcharging/vehicletraits.h"

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

#include "tavro/tavroclock.h"
#include "tavro/thingmanager.h"

#include <QSet>

#include <cmath>
#include <functional>
#include <limits>

namespace {
// Smallest setpoint change (W) worth a command.
const double setpointThreshold = 1.0;
// Separates a real intent from zero (W).
const double intentEpsilon = 1e-12;
// s the surplus must have lasted before a charge starts again where a dip
// cannot be ridden out: while the home battery is below its lower limit (a
// minute of sun between clouds would start the car only for the battery to
// pay for it), and where the owner allows no grid for the surplus and the
// surplus covers the minimum but not twice over (the next swing of the
// house would stop the car again: two switches for a minute of sun).
const uint unbridgedRestartDelay = 60;
// Whole percent above its lower limit a home battery must be before a car
// that gave way to it counts the battery's charge as surplus again. Under
// passing clouds the level hovers at the limit: a sunny minute lifted it
// over, the car started on all the battery charged with, and the next
// cloud's first minute, the car still drawing that, took it back under
// (random household 11128: 36 switches a day, every 2 to 4 minutes from noon).
const double lowerLimitRecovery = 2;

// Fairness groups of their own, apart from the AC issuers 1..3.
const int dcChargingShareGroup = 1000;
const int dcDischargingShareGroup = 1001;

// Share priorities, the same as the AC issuers': time requirement first,
// then spot market, then surplus.
const qint32 timeRequirementPriority = 0;
const qint32 spotMarketPriority = 1;
const qint32 surplusPriority = 2;
// Room for the fuse places of the deadlines inside one priority.
const qint32 placesPerPriority = 1000;

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

// W at the charger the charging time was estimated at (whole watts: the
// round trip through the hours must not cost a minute).
double dcTimingPower(const ChargingProcessInfo &info)
{
    if (!(info.fullChargingHours > 0) || !(info.lossFactor > 0))
        return 0;
    return std::round(info.capacity / (info.fullChargingHours * info.lossFactor));
}

uint minutesRoundedUp(double minutes)
{
    if (!(minutes > 0) || !std::isfinite(minutes))
        return 0;
    return static_cast<uint>(std::ceil(minutes));
}

// W the charger may charge with at most: its own and the vehicle's limit and
// what the phase limit leaves (phaseLimitBudget, W beside ownDraw, what the
// charger draws now or was told to draw this minute; below 0 when a phase is
// over, infinite without a limit); 0 when it cannot charge or not even at its
// minimum.
double dcUpperLimit(EvChargerDc *charger, Thing *vehicle, double phaseLimitBudget, double ownDraw)
{
    if (!charger->supportsCharging())
        return 0;

    double upperLimit = charger->maxChargingPower();
    if (vehicle->hasState(QStringLiteral("dcMaxChargingPower"))) {
        const double vehicleLimit = vehicle->stateValue(QStringLiteral("dcMaxChargingPower")).toDouble();
        if (vehicleLimit > 0 && (upperLimit <= 0 || upperLimit > vehicleLimit))
            upperLimit = vehicleLimit;
    }
    if (std::isfinite(phaseLimitBudget)) {
        // The phase headroom is measured with this charger's own load
        // already on the meter; without adding it back, a charger at
        // its limit would be cut down and raised again every cycle.
        const double phaseLimit = phaseLimitBudget + ownDraw;
        if (upperLimit <= 0 || upperLimit > phaseLimit)
            upperLimit = phaseLimit;
    }
    if (upperLimit <= 0 || charger->minChargingPower() > upperLimit)
        upperLimit = 0;
    return upperLimit;
}

}

uint DcController::dcChargingEnergyLoss(Thing *vehicle, const ChargingConfiguration &configuration) const
{
    // The car that reports the level, else the one assigned to the charger.
    const QString name = QStringLiteral("chargingEnergyLoss");
    QVariant loss = vehicle ? vehicle->setting(name) : QVariant();
    if (!loss.isValid()) {
        Thing *car = m_context.thingManager->findConfiguredThing(configuration.assignedCarId());
        loss = car ? car->setting(name) : QVariant();
    }
    return loss.toUInt();
}

Thing *DcController::resolveDcVehicle(const ThingId &evChargerId) const
{
    EvChargerDc *charger = m_context.evChargersDc.value(evChargerId);
    if (!charger)
        return nullptr;

    if (charger->hlcSessionActive()) {
        Thing *vehicle = m_context.thingManager->findConfiguredThing(charger->connectedVehicleThingId());
        if (VehicleTraits::thingProvidesVehicleBatteryLevel(vehicle))
            return vehicle;
    }

    const ChargingConfiguration &configuration = m_context.book.configuration(evChargerId);
    Thing *car = m_context.thingManager->findConfiguredThing(configuration.assignedCarId());
    return VehicleTraits::thingProvidesVehicleBatteryLevel(car) ? car : nullptr;
}

void DcController::restoreManualDcCharger(EvChargerDc *charger, const ChargingConfiguration &chargingConfiguration)
{
    if (!charger)
        return;

    // The owner's values stand from now on: what was sent before is no guide.
    m_sentCommands.remove(charger->id());
    const double power = chargingConfiguration.manualChargingPower();
    if (qAbs(charger->chargingPower() - power) >= setpointThreshold) {
        qCDebug(dcTavroEnergy()) << "Restoring DC charger power setpoint for" << charger->name() << "to" << power
                                 << "[W]";
        charger->setChargingPower(power);
    }
    if (charger->chargingEnabled() != chargingConfiguration.manualChargingEnabled()) {
        qCDebug(dcTavroEnergy()) << "Restoring DC charger power state for" << charger->name()
                                 << chargingConfiguration.manualChargingEnabled();
        charger->setChargingEnabled(chargingConfiguration.manualChargingEnabled());
    }
    m_context.book.resetTransient(charger->id(), ChargingState::WaitingReasonNone);
}

void DcController::stopManagingDcCharger(EvChargerDc *charger, ChargingState::WaitingReason waitingReason)
{
    if (!charger)
        return;

    // The next car starts with a clean slate.
    m_dischargeGates.remove(charger->id());
    m_cycleDecisions.remove(charger->id());
    // Every change of the published schedules is announced.
    if (m_context.schedules.clearDc(charger))
        m_context.schedules.announce();
    if (ChargingProcessInfo *info = m_context.cycle.dcInfo(charger)) {
        info->spotMarketUntilTargetTime = false;
        info->chargingSchedule.clear();
    }

    // A discharge it ends is load at the meter as any other command's.
    noteDcCommand(charger, 0, false, TavroClock::currentDateTime());
    if (qAbs(charger->chargingPower()) >= setpointThreshold) {
        qCDebug(dcTavroEnergy()) << "Resetting DC charger power setpoint for" << charger->name();
        charger->setChargingPower(0);
    }
    if (charger->chargingEnabled()) {
        qCDebug(dcTavroEnergy()) << "Disabling DC charger smart control for" << charger->name();
        charger->setChargingEnabled(false);
    }
    m_context.book.resetTransient(charger->id(), waitingReason);
}

void DcController::setDcChargingState(const ThingId &evChargerId, ChargingState::Mode mode,
                                      bool batteryLevelConsiderationActive, ChargingState::WaitingReason waitingReason)
{
    m_context.book.setModeAndReason(evChargerId, mode, batteryLevelConsiderationActive, waitingReason);
}

double DcController::ownDcDraw(EvChargerDc *charger) const
{
    // What is pending counts from what the charger shows, a discharge
    // included: a car told to go from feeding in to charging draws what it
    // was told, not that and the discharge it ends.
    return qMax(0.0, charger->measuredPower() + m_context.pendingPower(charger));
}

double DcController::pendingDcPower() const
{
    double pending = 0;
    for (EvChargerDc *charger : qAsConst(m_context.evChargersDc))
        pending += m_context.pendingPower(charger);
    return pending;
}

void DcController::noteDcCommand(EvChargerDc *charger, double power, bool enabled, const QDateTime &now)
{
    // W at the meter once the car follows, below 0 feeding in. A higher
    // load (a charge raised or started, a discharge cut or ended) shows
    // only when the car has ramped: until then every headroom counts it.
    const double load = enabled ? power : 0.0;
    const double before = charger->chargingEnabled() ? charger->chargingPower() : 0.0;
    CommandedDraws &draws = m_context.cycle.commandedDraws();
    const double perPhase = 3 * Units::phaseVoltage;
    if (load > before)
        draws.record(charger->id(), Electricity::PhaseAll, load / perPhase, now);
    else if (load <= 0 && before > 0)
        draws.forget(charger->id());
    else
        draws.lower(charger->id(), load / perPhase);
}

void DcController::commandDcCharger(EvChargerDc *charger, double power, bool enabled, const QString &reason,
                                    const QDateTime &now)
{
    noteDcCommand(charger, power, enabled, now);
    const ChargingConfiguration configuration = m_context.book.configuration(charger->id());
    auto sent = m_sentCommands.find(charger->id());
    if (sent == m_sentCommands.end())
        sent = m_sentCommands.insert(charger->id(), {charger->chargingPower(), charger->chargingEnabled()});
    if (qAbs(charger->chargingPower() - power) >= setpointThreshold || qAbs(sent->power - power) >= setpointThreshold) {
        qCDebug(dcTavroEnergy()) << "Setting DC charger" << charger->name() << "to" << power << "[W]"
                                 << "reason:" << reason << "mode:" << configuration.chargingMode();
        charger->setChargingPower(power);
        sent->power = power;
    }
    if (charger->chargingEnabled() != enabled || sent->enabled != enabled) {
        qCDebug(dcTavroEnergy()) << "Setting DC charger power state" << charger->name() << enabled
                                 << "reason:" << reason;
        charger->setChargingEnabled(enabled);
        sent->enabled = enabled;
    }
}

// What one DC cycle knows about the house, measured once before the
// chargers are planned, and the intents the planning collects for the
// share rounds.
struct DcController::DcCycle {
    double phaseLimitBudget = 0; // W beside the DC chargers' draw; infinite without a phase limit
    bool hasRootMeter = false;
    double rootWithoutManagedDc = 0; // W
    double rootWithoutManagedEv = 0; // W
    // W the house itself draws: the root without the managed chargers and
    // without the home batteries, which balance the meter on their own. A
    // discharge sized on the meter alone would keep feeding a battery that
    // charges from it.
    double houseDraw = 0;
    // W of discharges kept at their minimum while the house draws less.
    double bridgedDischarge = 0;
    double bridgedCharge = 0; // W of minimums kept on through a dip of the surplus
    double managedDcDraw = 0; // W the managed DC chargers draw or were told to this minute
    // W all DC chargers were told to draw beyond what the meter shows, as
    // the phase limit budget counts it.
    double pendingDcPower = 0;
    bool batteryBelowLowerLimit = false;
    // Below its lower limit and not charging: the home battery goes first
    // and none of the surplus is the cars'; while it charges they get what
    // it cannot take (its surplus term counts what it charges less than its
    // most against the surplus).
    bool batteryGoesFirst = false;
    double batteryPower = 0;  // W
    double surplusBudget = 0; // W
    // Two points above the lower limit (at most 100 %), or no home battery.
    bool batteryRecovered = true;
    // W a car that gave way to the home battery may have until it recovers:
    // what the battery cannot take (none while it does not charge).
    double surplusBesideBattery = 0;
    SpotMarketDataProvider *provider = nullptr;
    bool spotMarketUsable = false;

    QList<DcIntent> chargingIntents;
    QList<DcIntent> dischargingIntents;
    // Chargers charging for a target time they can no longer meet.
    QSet<ThingId> unreachableChargers;
};

struct DcController::DcIntent {
    EvChargerDc *charger = nullptr;
    double power = 0;    // W; > 0 charges, < 0 discharges
    bool forced = false; // target-time force
    bool spotMarketActive = false;
    int place = -1; // in the fuse's deadline order; -1 when not placed
    // On surplus short of a target time: takes the sun before the cars
    // without one, whose charge buys nothing later.
    bool shortOfTarget = false;
};

// One charger's decisions of this cycle, chapter by chapter.
struct DcController::DcChargerPlan {
    EvChargerDc *charger = nullptr;
    ThingId chargerId;
    ChargingConfiguration configuration;
    ChargingConfiguration::ChargingMode mode = ChargingConfiguration::ChargingModeNormal;
    double soc = 0; // %
    bool hasCapacity = false;
    double upperLimit = 0; // W, positive; 0 when it cannot charge
    // W a charge from the grid (a deadline or planned cheap slots) may
    // have: the upper limit with what the other DC chargers draw counted
    // free (the share round serves them in the fuse's order and never gives
    // more than the fuse leaves them all).
    double deadlineLimit = 0;

    // Grid decision.
    bool waitsForBattery = false; // gave way to the home battery, which has not recovered yet
    bool constrained = false;
    bool stopsOnTarget = false;
    bool belowTargetCeiling = true;
    double rawTarget = 0; // W

    // Schedule decision.
    QList<TimeFrame> frames;
    bool forced = false;
    bool spotMarketActive = false;
    QDateTime endDateTime;
    QDateTime internalTarget;
};

// One share round: the requests of a group, its budget (W) and the intent
// behind each request.
struct DcController::DcShareRound {
    int group = 0;
    QList<ChargingShareCalculator::Request> requests;
    QHash<QString, DcIntent> intentsById;
    double budget = 0;
};

void DcController::updateDcChargers(const QDateTime &currentDateTime)
{
    if (m_context.evChargersDc.isEmpty())
        return;

    DcCycle cycle = measureDcBaseline();
    resetDcDailyEnergy(currentDateTime.toLocalTime().date());

    cycle.provider = m_context.spotMarketManager ? m_context.spotMarketManager->currentProvider() : nullptr;
    cycle.spotMarketUsable =
            cycle.provider && m_context.spotMarketManager->enabled() && m_context.spotMarketManager->available();

    const QList<EvChargerDc *> chargers = m_context.evChargersDc.values();
    for (EvChargerDc *charger : chargers)
        planDcCharger(charger, cycle, currentDateTime);

    shareDcDischarging(cycle, currentDateTime);
    spendCommandedLoad(cycle);
    shareDcCharging(cycle, currentDateTime);
}

void DcController::spendCommandedLoad(DcCycle &cycle)
{
    // The phase limit budget was measured before the discharges were cut
    // or ended and the charges stopped above: what they add to the meter
    // once the cars follow is the charges' no more. A discharge that covered
    // the house on one phase relieved all three (random household 14083: the
    // house fell on phase B, the discharge followed it, and the charge took
    // the relief it left on phase C as well: 18.4 A on a 16 A fuse).
    const double commanded = pendingDcPower() - cycle.pendingDcPower;
    if (qAbs(commanded) < setpointThreshold)
        return;
    qCDebug(dcTavroEnergy()) << "DC commands before the charging share change the load by" << commanded
                             << "[W] beyond the meter";
    cycle.pendingDcPower += commanded;
    m_context.cycle.spend(Electricity::PhaseAll, commanded / (3 * Units::phaseVoltage));
    if (std::isfinite(cycle.phaseLimitBudget))
        cycle.phaseLimitBudget -= commanded;
}

DcController::DcCycle DcController::measureDcBaseline() const
{
    // Baseline: the house without the chargers this manager controls.
    double managedAcLoad = 0;
    for (EvChargerAc *charger : qAsConst(m_context.evChargersAc)) {
        const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
        if (configuration.chargingMode() != ChargingConfiguration::ChargingModeNormal && charger->charging())
            managedAcLoad += charger->currentPower();
    }
    double managedDcPower = 0;
    DcCycle cycle;
    cycle.pendingDcPower = pendingDcPower();
    for (EvChargerDc *charger : qAsConst(m_context.evChargersDc)) {
        const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
        if (configuration.chargingMode() != ChargingConfiguration::ChargingModeNormal) {
            managedDcPower += charger->measuredPower();
            cycle.managedDcDraw += ownDcDraw(charger);
        }
    }

    cycle.phaseLimitBudget = m_balance.dcPhaseLimitHeadroom();
    cycle.hasRootMeter = !m_context.rootMeter.isNull();
    if (cycle.hasRootMeter) {
        cycle.rootWithoutManagedDc = m_context.rootMeter->currentPower() - managedDcPower;
        cycle.rootWithoutManagedEv = cycle.rootWithoutManagedDc - managedAcLoad;
    }

    const HouseholdBalance::HomeBattery battery = m_balance.homeBattery();
    // The managed AC load is not added back: AC chargers keep their surplus,
    // DC chargers get what is left, also of what the AC commands of this
    // cycle take once they show at the meter.
    const double acCommandedIncrease =
            m_context.cycle.headroomOpen() ? m_context.cycle.spentPower() - cycle.pendingDcPower : 0.0;
    measureHomeBattery(cycle, battery, acCommandedIncrease);

    qCDebug(dcTavroEnergy()) << "DC charging baseline:"
                             << "managed AC load:" << managedAcLoad << "managed DC power:" << managedDcPower
                             << "root without managed DC:" << cycle.rootWithoutManagedDc
                             << "root without managed EV:" << cycle.rootWithoutManagedEv
                             << "surplus budget:" << cycle.surplusBudget << "energy storage count:" << battery.count
                             << "energy storage SoC:" << battery.level << "energy storage power:" << cycle.batteryPower
                             << "energy storage surplus power:" << battery.surplusTerm
                             << "surplus blocked by energy storage:" << cycle.batteryGoesFirst
                             << "battery lower limit:" << m_balance.lowerLimitPercent()
                             << "battery upper limit:" << m_balance.upperLimitPercent()
                             << "battery discharge usable:" << battery.dischargeUsable
                             << "phase limit budget:" << cycle.phaseLimitBudget;
    return cycle;
}

void DcController::measureHomeBattery(DcCycle &cycle, const HouseholdBalance::HomeBattery &battery,
                                      double acCommandedIncrease) const
{
    cycle.batteryBelowLowerLimit = battery.belowLowerLimit;
    cycle.batteryPower = battery.power;
    if (cycle.hasRootMeter)
        cycle.houseDraw = cycle.rootWithoutManagedEv - battery.power;
    cycle.batteryGoesFirst = battery.belowLowerLimit && battery.power <= 0;
    cycle.surplusBudget = (cycle.hasRootMeter && !cycle.batteryGoesFirst)
                                  ? qMax(0.0, battery.surplusTerm - cycle.rootWithoutManagedDc - acCommandedIncrease)
                                  : 0.0;
    cycle.batteryRecovered =
            battery.count == 0 || battery.level >= qMin(m_balance.lowerLimitPercent() + lowerLimitRecovery, 100.0);
    // As below the limit: what it charges with less than its most is load.
    cycle.surplusBesideBattery =
            (cycle.hasRootMeter && battery.power > 0)
                    ? qMax(0.0, battery.goingFirstTerm - cycle.rootWithoutManagedDc - acCommandedIncrease)
                    : 0.0;
}

void DcController::resetDcDailyEnergy(const QDate &today)
{
    // Only forwards: a clock stepped back across midnight keeps the day.
    if (m_lastDcDailyReset.isValid() && today > m_lastDcDailyReset) {
        m_context.cycle.forEachDcInfo([](EvChargerDc *, ChargingProcessInfo &info) { info.chargedEnergyToday = 0; });
        m_restoredEnergy.clear();
    }
    if (!m_lastDcDailyReset.isValid() || today > m_lastDcDailyReset)
        m_lastDcDailyReset = today;
}

QHash<ThingId, double> DcController::dailyEnergy() const
{
    QHash<ThingId, double> energy = m_restoredEnergy;
    m_context.cycle.forEachDcInfo([&energy](EvChargerDc *charger, const ChargingProcessInfo &info) {
        if (info.chargedEnergyToday > 0)
            energy[charger->id()] += info.chargedEnergyToday;
    });
    return energy;
}

void DcController::restoreDailyEnergy(const QDate &day, const QHash<ThingId, double> &energy)
{
    if (!day.isValid() || (m_lastDcDailyReset.isValid() && day < m_lastDcDailyReset))
        return;
    m_lastDcDailyReset = day;
    m_restoredEnergy = energy;
}

void DcController::planDcCharger(EvChargerDc *charger, DcCycle &cycle, const QDateTime &currentDateTime)
{
    DcChargerPlan plan;
    plan.charger = charger;
    plan.chargerId = charger->id();
    plan.configuration = m_context.book.configuration(plan.chargerId);
    plan.mode = plan.configuration.chargingMode();

    Thing *vehicle = dcVehicleToManage(charger, plan.mode);
    if (!vehicle)
        return;

    // Process info, kept from cycle to cycle; what an earlier run counted
    // today comes on top.
    ChargingProcessInfo &info = m_context.cycle.dcInfoToChange(charger);
    info.chargedEnergyToday += m_restoredEnergy.take(plan.chargerId);
    prepareDcProcessInfo(plan, info, vehicle, cycle, currentDateTime);

    m_preparation.evaluateTargetPercentageReached(plan.chargerId, plan.soc, currentDateTime);
    if (m_context.book.state(plan.chargerId).targetPercentageReached()) {
        qCDebug(dcTavroEnergy()) << "Skipping DC charger" << charger->name()
                                 << "because the target percentage is reached.";
        m_context.book.resetTransient(plan.chargerId, ChargingState::WaitingReasonNone);
        return;
    }

    decideDcGridTarget(plan, cycle, currentDateTime);
    decideDcSchedule(plan, info, cycle, currentDateTime);
    settleDcIntent(plan, info, cycle, currentDateTime);
}

Thing *DcController::dcVehicleToManage(EvChargerDc *charger, ChargingConfiguration::ChargingMode mode)
{
    // The user's own values stand in normal mode.
    if (mode == ChargingConfiguration::ChargingModeNormal) {
        qCDebug(dcTavroEnergy()) << "Skipping DC charger" << charger->name() << "because it is in normal mode.";
        // Frames planned before the switch to normal mode no longer apply.
        if (m_context.schedules.clearDc(charger))
            m_context.schedules.announce();
        m_context.book.resetTransient(charger->id(), ChargingState::WaitingReasonNone);
        return nullptr;
    }

    if (!charger->pluggedIn() || !charger->available()) {
        qCDebug(dcTavroEnergy()) << "Skipping DC charger" << charger->name() << "plugged in:" << charger->pluggedIn()
                                 << "available:" << charger->available();
        stopManagingDcCharger(charger, charger->pluggedIn() ? ChargingState::WaitingReasonChargerUnavailable
                                                            : ChargingState::WaitingReasonVehicleNotPluggedIn);
        return nullptr;
    }

    Thing *vehicle = resolveDcVehicle(charger->id());
    if (!vehicle) {
        qCDebug(dcTavroEnergy()) << "Skipping DC charger" << charger->name()
                                 << "because no vehicle with SoC is available.";
        stopManagingDcCharger(charger, ChargingState::WaitingReasonVehicleUnavailable);
    }
    return vehicle;
}

void DcController::prepareDcProcessInfo(DcChargerPlan &plan, ChargingProcessInfo &info, Thing *vehicle,
                                        const DcCycle &cycle, const QDateTime &currentDateTime) const
{
    const ChargingConfiguration &configuration = plan.configuration;
    plan.soc = vehicle->stateValue(QStringLiteral("batteryLevel")).toDouble();
    info.batteryLevel = static_cast<int>(std::round(plan.soc));
    info.capacityKwh = vehicle->stateValue(QStringLiteral("capacity")).toDouble();
    info.capacity = info.capacityKwh * 1000;
    info.remainingPercentage = qMax(0, static_cast<int>(configuration.targetPercentage()) - info.batteryLevel);
    info.dailySpotMarketPercentage = configuration.dailySpotMarketPercentage();
    info.dailySpotMarketRequired = configuration.dailySpotMarketPercentage() != 0;
    info.dailySpotMarketEnergy = info.dailySpotMarketPercentage * info.capacityKwh / 100;
    plan.hasCapacity = info.capacityKwh > 0 && std::isfinite(info.capacityKwh);

    const double ownDraw = ownDcDraw(plan.charger);
    // An AC deadline placed before this charger in the fuse's order that
    // the fuse holds back gets what it lacks from this charger first.
    const double claimed = m_context.cycle.fuseClaimedBefore(info.fusePlace) * 3 * Units::phaseVoltage;
    plan.upperLimit = dcUpperLimit(plan.charger, vehicle, cycle.phaseLimitBudget - claimed, ownDraw);
    plan.deadlineLimit = dcUpperLimit(plan.charger, vehicle,
                                      cycle.phaseLimitBudget + cycle.managedDcDraw - ownDraw - claimed, ownDraw);

    // What the car loses on the way into its battery, as for an AC car: a
    // plan and a promise without it come short by that share.
    info.chargingEnergyLoss = qMin(99u, dcChargingEnergyLoss(vehicle, configuration));
    info.lossFactor = 1.0 - info.chargingEnergyLoss / 100.0;

    // Timing at the upper limit; a deadline at what the fuse leaves the car
    // in deadline order where that is planned (a fuse the others take
    // whole counts at the minimum power, and so does a share of less than a
    // watt: what rounding leaves of a fuse taken whole would time the charge
    // beyond any date and never start it).
    double timingPower = plan.upperLimit;
    if (plan.mode == ChargingConfiguration::ChargingModeEcoWithTargetTime && info.dcFuseShare >= 0) {
        const double ownLimit = dcUpperLimit(plan.charger, vehicle, std::numeric_limits<double>::infinity(), 0);
        const double share = info.dcFuseShare * 3 * Units::phaseVoltage;
        const double planned = share >= setpointThreshold ? share : plan.charger->minChargingPower();
        timingPower = qMin(ownLimit, planned);
    }
    if (timingPower > 0 && plan.hasCapacity) {
        info.fullChargingHours = info.capacity / (timingPower * info.lossFactor);
        info.remainingChargingHours = info.remainingPercentage * info.fullChargingHours / 100;
        info.projectedEndTime =
                currentDateTime.addSecs(static_cast<qint64>(std::round(info.remainingChargingHours * 3600)));
    } else {
        info.fullChargingHours = 0;
        info.remainingChargingHours = 0;
        info.projectedEndTime = currentDateTime;
    }

    // Energy charged today: what the charger delivered, whatever the
    // car can report. A total that went back only sets a new base.
    const double totalEnergyCharged = m_context.deliveredEnergy(plan.chargerId);
    if (!qFuzzyCompare(1 + totalEnergyCharged, 1 + info.lastTotalEnergyCharged)) {
        if (totalEnergyCharged > info.lastTotalEnergyCharged)
            info.chargedEnergyToday += totalEnergyCharged - info.lastTotalEnergyCharged;
        info.lastTotalEnergyCharged = totalEnergyCharged;
    }
}

void DcController::decideDcGridTarget(DcChargerPlan &plan, DcCycle &cycle, const QDateTime &currentDateTime)
{
    EvChargerDc *charger = plan.charger;
    const ChargingConfiguration &configuration = plan.configuration;
    plan.constrained = plan.mode == ChargingConfiguration::ChargingModeEcoWithTargetTime
                       || configuration.dailySpotMarketPercentage() != 0;
    plan.stopsOnTarget = configuration.stopsOnTarget();
    if (charger->measuredPower() < -intentEpsilon && plan.soc <= configuration.dischargeFloorPercentage() + 1)
        m_context.dischargesEnding.insert(plan.chargerId);
    else
        m_context.dischargesEnding.remove(plan.chargerId);
    // A full car takes nothing: counted as a taker it would hold back the
    // share of the surplus the other chargers could use. Cars report whole
    // percent: one at 100 that still draws is not full yet.
    const bool full = plan.soc >= 100 && !(charger->chargingEnabled() && charger->measuredPower() > intentEpsilon);
    plan.belowTargetCeiling = plan.stopsOnTarget ? plan.soc < configuration.targetPercentage() : !full;
    plan.waitsForBattery = waitsForHomeBattery(plan, cycle);
    const double surplusBudget = plan.waitsForBattery ? cycle.surplusBesideBattery : cycle.surplusBudget;
    double rawTarget = 0;
    if (!cycle.hasRootMeter) {
        rawTarget = 0;
    } else if (surplusBudget > 0 && plan.belowTargetCeiling && charger->supportsCharging()) {
        rawTarget = plan.upperLimit > 0 ? qMin(surplusBudget, plan.upperLimit) : surplusBudget;
        if (charger->minChargingPower() > rawTarget)
            rawTarget = toleratedMinimum(plan, surplusBudget);
    } else if (!plan.constrained && cycle.houseDraw > 0 && charger->supportsDischarging()
               && plan.soc > configuration.dischargeFloorPercentage()) {
        double magnitude = cycle.houseDraw;
        if (charger->maxDischargingPower() > 0)
            magnitude = qMin(magnitude, charger->maxDischargingPower());
        rawTarget = magnitude < charger->minDischargingPower() ? 0 : -magnitude;
    }
    rawTarget = calmSurplusTarget(plan, cycle, rawTarget, surplusBudget, currentDateTime);
    rawTarget = calmDischarge(plan, cycle, rawTarget, currentDateTime);
    plan.rawTarget = rawTarget;
    qCDebug(dcTavroEnergy()) << "DC charger" << charger->name() << "grid decision:"
                             << "surplus budget:" << cycle.surplusBudget
                             << "root without managed EV:" << cycle.rootWithoutManagedEv
                             << "house draw:" << cycle.houseDraw << "constrained charge-only:" << plan.constrained
                             << "below target ceiling:" << plan.belowTargetCeiling << "raw target:" << rawTarget;
}

bool DcController::waitsForHomeBattery(const DcChargerPlan &plan, const DcCycle &cycle)
{
    CycleDecision &decision = m_cycleDecisions[plan.chargerId];
    if (decision.waitsForBattery && cycle.batteryRecovered && m_context.cycle.now().isValid())
        decision.waitsForBattery = false;
    return decision.waitsForBattery;
}

double DcController::calmSurplusTarget(const DcChargerPlan &plan, DcCycle &cycle, double rawTarget,
                                       double surplusBudget, const QDateTime &currentDateTime)
{
    // Calm as the AC chargers, through the same gate: a charger charging
    // on surplus bridges a short shortfall at its minimum power instead of
    // stopping, for as long as the owner's tolerance pays for, and after
    // such a stop starts again only when the gate lets it.
    EvChargerDc *charger = plan.charger;
    const bool surplusCovers = rawTarget > intentEpsilon;
    if (!cycle.hasRootMeter || !plan.belowTargetCeiling || !charger->supportsCharging()
        || charger->minChargingPower() <= 0 || charger->minChargingPower() > plan.upperLimit)
        return rawTarget;
    const bool ample = surplusCovers && SurplusGate::ample(surplusBudget, charger->minChargingPower());
    // Below its lower limit the home battery goes first: a dip would be
    // ridden out on its charge, so the car gives way instead.
    const bool batteryBelow = cycle.batteryBelowLowerLimit || plan.waitsForBattery;
    const bool givesWay = batteryBelow && (cycle.batteryPower <= 0 || !surplusCovers);
    if (m_context.cycle.now().isValid()) {
        CycleDecision &decision = m_cycleDecisions[plan.chargerId];
        if (!givesWay)
            decision.givingWay = false;
        decision.waitsForBattery = decision.waitsForBattery || givesWay;
    }
    const bool enabled = givesWay ? giveWayToHomeBattery(plan, currentDateTime)
                                  : calmSurplusCharge(plan, surplusCovers, currentDateTime, ample, batteryBelow);
    if (enabled && !surplusCovers) {
        rawTarget = charger->minChargingPower();
        cycle.bridgedCharge += rawTarget;
    } else if (!enabled && surplusCovers) {
        rawTarget = 0;
    } else if (enabled && rawTarget > surplusBudget) {
        // The part of the minimum the owner lets the grid cover.
        cycle.bridgedCharge += rawTarget - surplusBudget;
    }
    return rawTarget;
}

double DcController::toleratedMinimum(const DcChargerPlan &plan, double surplusBudget) const
{
    // As for an AC charger, the surplus need cover only the owner's share
    // of the minimum while the car charges on it: a surplus between that
    // share and the minimum would else stop the car after every ride and
    // start it again with the next gust of sun, buying the same grid share
    // in between. A start still waits for the whole minimum: a sliver of
    // sun would start a car the grid mostly pays for. Not where the fuse
    // leaves less than the minimum, nor where the home battery would pay
    // for the rest.
    const double minimum = plan.charger->minChargingPower();
    if (!(minimum > 0) || !(plan.upperLimit >= minimum) || !m_context.runsOnSurplus(plan.charger))
        return 0;
    const double tolerance = qBound(0.0, m_balance.surplusAcquisitionTolerance(), 1.0);
    return tolerance < 1.0 && surplusBudget >= tolerance * minimum ? minimum : 0;
}

bool DcController::calmSurplusCharge(const DcChargerPlan &plan, bool covered, const QDateTime &currentDateTime,
                                     bool ample, bool batteryFirst)
{
    EvChargerDc *charger = plan.charger;
    const bool running = m_context.runsOnSurplus(charger);
    SurplusGate &gate = m_surplus.gate(plan.chargerId);
    // The minimum bridges a dip for the stop delay's worth of the share of
    // it the owner lets the grid cover.
    SurplusGate::Delays delays = m_surplus.surplusGateDelays();
    const bool calm = delays.stop > 0; // a stop delay of 0 asks for the minute's decisions
    delays.stop = static_cast<uint>(delays.stop * qBound(0.0, 1.0 - m_context.acquisitionTolerance, 1.0));
    if (batteryFirst || (calm && delays.stop == 0 && !ample))
        delays.start = qMax(delays.start, unbridgedRestartDelay);
    // Between two cycles the meter, the battery and the chargers report one
    // after the other: a reading taken halfway shows a dip or a surplus that
    // is none (a home battery read at its lower limit before its charge
    // has moved). As for the AC chargers, only a cycle starts or stops a
    // charge on surplus, once a minute; a reading that covers the minimum
    // still ends a dip.
    bool &charging = m_cycleDecisions[plan.chargerId].charge;
    if (!m_context.cycle.now().isValid()) {
        // Switched on by the cycle: on, though the charger may not show it yet.
        const bool switchedOn = m_context.book.state(plan.chargerId).mode() == ChargingState::ModeSurplusCharging
                                && (charger->chargingEnabled() || m_sentCommands.value(plan.chargerId).enabled);
        if (charging && running && covered)
            gate.chargingEnabled(covered, running, currentDateTime, delays);
        return charging && switchedOn;
    }
    // A discharging car that goes over to charging switches nothing on.
    if (!running && m_context.book.state(plan.chargerId).mode() == ChargingState::ModeDischarging
        && charger->chargingEnabled())
        gate.handOver();
    charging = gate.chargingEnabled(covered, running, currentDateTime, delays, ample);
    return charging;
}

bool DcController::giveWayToHomeBattery(const DcChargerPlan &plan, const QDateTime &currentDateTime)
{
    CycleDecision &decision = m_cycleDecisions[plan.chargerId];
    if (!m_context.runsOnSurplus(plan.charger)) {
        decision.givingWay = false;
        return calmSurplusCharge(plan, false, currentDateTime, false, true);
    }
    // A charge on surplus first gives way down to its minimum for a cycle
    // and stops when even that leaves the battery short; the restart then
    // waits as after a stop for lack of surplus. Only a cycle decides:
    // between two, a halfway reading holds it at its minimum.
    if (!m_context.cycle.now().isValid())
        return true;
    decision.givingWay = !decision.givingWay;
    if (decision.givingWay)
        return true;
    SurplusGate &gate = m_surplus.gate(plan.chargerId);
    gate.stoppedOutside(currentDateTime);
    // The surplus the restart waits for lasts from now on, not from the start.
    gate.chargingEnabled(false, false, currentDateTime, m_surplus.surplusGateDelays());
    decision.charge = false;
    return false;
}

double DcController::calmDischarge(const DcChargerPlan &plan, DcCycle &cycle, double rawTarget,
                                   const QDateTime &currentDateTime)
{
    // Between two cycles a house draw read halfway may be the home battery
    // still answering the last charge: only a cycle starts a discharge.
    const bool inCycle = m_context.cycle.now().isValid();
    if (!inCycle && !m_cycleDecisions.value(plan.chargerId).discharge)
        return qMax(0.0, rawTarget);
    const double target = calmDischargeTarget(plan, cycle, rawTarget, currentDateTime);
    if (inCycle)
        m_cycleDecisions[plan.chargerId].discharge = target < -intentEpsilon;
    return target;
}

double DcController::calmDischargeTarget(const DcChargerPlan &plan, DcCycle &cycle, double rawTarget,
                                         const QDateTime &currentDateTime)
{
    EvChargerDc *charger = plan.charger;
    SurplusGate &gate = m_dischargeGates[plan.chargerId];
    const bool mayDischarge = cycle.hasRootMeter && !plan.constrained && charger->supportsDischarging()
                              && plan.soc > plan.configuration.dischargeFloorPercentage();
    const bool running =
            m_context.book.state(plan.chargerId).mode() == ChargingState::ModeDischarging && charger->chargingEnabled();
    // Started on the minimum, a discharge runs on while the house draws half of it.
    const bool covered =
            rawTarget < -intentEpsilon
            || (running && rawTarget <= intentEpsilon && cycle.houseDraw >= charger->minDischargingPower() / 2);
    const bool enabled = gate.chargingEnabled(covered && mayDischarge, running && mayDischarge, currentDateTime,
                                              m_surplus.surplusGateDelays());
    // A house drawing less than the minimum for a while (a passing load,
    // a ray of sun) keeps a running discharge at its minimum; a surplus the
    // car could charge from ends it (the charge gate lets a discharging car
    // go over to charging at once).
    if (enabled && mayDischarge && qAbs(rawTarget) <= intentEpsilon) {
        cycle.bridgedDischarge += charger->minDischargingPower();
        return -charger->minDischargingPower();
    }
    return rawTarget;
}

void DcController::decideDcSchedule(DcChargerPlan &plan, ChargingProcessInfo &info, DcCycle &cycle,
                                    const QDateTime &currentDateTime)
{
    EvChargerDc *charger = plan.charger;
    info.chargingSchedule.clear();
    info.spotMarketUntilTargetTime = false;
    const QList<TimeFrame> previousFrames = m_context.schedules.dcFrames(charger);

    decideDcTargetTime(plan, info, cycle, currentDateTime);

    if (cycle.spotMarketUsable && (plan.constrained || plan.mode != ChargingConfiguration::ChargingModeEco)) {
        // Charging from the grid is running (in a planned frame or for
        // the deadline): the scheduler keeps it going.
        const bool charging = (anyFrameActive(previousFrames, currentDateTime)
                               || m_context.book.state(plan.chargerId).mode() == ChargingState::ModeTimeRequirement)
                              && charger->chargingEnabled();
        planDcSpotMarketFrames(plan, info, cycle.provider, charging, currentDateTime);
    }
    const bool framesChanged = m_context.schedules.setDcFrames(charger, plan.frames);

    plan.spotMarketActive = anyFrameActive(plan.frames, currentDateTime);
    if (framesChanged)
        m_context.schedules.announce();

    qCDebug(dcTavroEnergy()) << "DC charger" << charger->name() << "schedule decision:"
                             << "spot market usable:" << cycle.spotMarketUsable
                             << "target time:" << timeText(plan.endDateTime)
                             << "internal target time:" << timeText(plan.internalTarget)
                             << "force target-time charging:" << plan.forced
                             << "spot market active now:" << plan.spotMarketActive << "schedule frames:" << plan.frames
                             << "charging until target using spotmarket:" << info.spotMarketUntilTargetTime;
}

void DcController::decideDcTargetTime(DcChargerPlan &plan, const ChargingProcessInfo &info, DcCycle &cycle,
                                      const QDateTime &currentDateTime)
{
    int overshoot = 0;
    bool unreachable = false;
    if (plan.mode == ChargingConfiguration::ChargingModeEcoWithTargetTime) {
        plan.endDateTime = plan.configuration.nextEndTime(currentDateTime);
        if (plan.endDateTime.isValid()) {
            // A target closer than the usual lead time is aimed at itself.
            plan.internalTarget = plan.endDateTime.addSecs(-Units::internalTargetOffset);
            if (plan.internalTarget < currentDateTime)
                plan.internalTarget = plan.endDateTime;
            // An owner told the target is out of reach hears when it is met
            // after all, as for an AC car (another deadline yields the fuse).
            m_surplus.reportTargetTimeBackInReach(plan.chargerId, plan.configuration, plan.endDateTime, info,
                                                  currentDateTime);
        }
        const QDateTime plannedEnd =
                currentDateTime.addSecs(static_cast<qint64>(std::round(m_surplus.plannedChargingHours(info) * 3600)));
        // A running deadline charge runs on while the estimate leaves only
        // minutes to spare: a whole percent more moves the estimate by
        // minutes, and stopping on it would pay a restart every few minutes.
        // A target that passed moves a day ahead and ends it.
        const bool runningOn = m_context.book.state(plan.chargerId).mode() == ChargingState::ModeTimeRequirement
                               && plan.charger->chargingEnabled()
                               && plan.internalTarget < plannedEnd.addSecs(Units::deadlineRunOnSlack);
        if (info.remainingPercentage >= 1 && plan.internalTarget.isValid()
            && (plan.internalTarget < plannedEnd || runningOn)) {
            overshoot = static_cast<int>(qMax<qint64>(0, plan.internalTarget.secsTo(info.projectedEndTime)));
            plan.forced = plan.deadlineLimit > 0;
            // The owner hears of it when the plan comes short, not when
            // another charger holds the fuse this minute.
            const bool planShort = m_surplus.reachablePercentage(info, currentDateTime, plan.endDateTime)
                                   <= plan.configuration.targetPercentage() - Units::unreachableMargin;
            unreachable = !plan.forced || planShort;
            if (planShort)
                m_surplus.reportTargetTimeUnreachable(plan.chargerId, plan.configuration, plan.endDateTime, info,
                                                      currentDateTime);
        }
    }
    if (unreachable)
        cycle.unreachableChargers.insert(plan.chargerId);
    m_context.book.setTargetTimeOvershot(plan.chargerId, overshoot);
}

void DcController::planDcSpotMarketFrames(DcChargerPlan &plan, ChargingProcessInfo &info,
                                          SpotMarketDataProvider *provider, bool charging,
                                          const QDateTime &currentDateTime)
{
    const ChargingConfiguration &configuration = plan.configuration;
    const uint minimumScheduleDuration = m_context.configuration->minimumScheduleDuration();

    if (plan.mode == ChargingConfiguration::ChargingModeEcoWithTargetTime && plan.endDateTime.isValid()) {
        const ScoreEntries providerEntries = provider->scoreEntries();
        if (providerEntries.availableUpTo(plan.endDateTime)) {
            // The slot running at the target counts up to the target.
            ScoreEntries entries;
            for (const ScoreEntry &entry : providerEntries) {
                if (entry.startDateTime() < plan.endDateTime)
                    entries.append(entry);
            }
            // The expected sun is not bought in advance; the target-time
            // check runs on whatever the plan says.
            const uint sun = dcSunMinutes(info, currentDateTime, plan.endDateTime);
            const uint minutes = minutesRoundedUp(m_surplus.plannedGridHours(info, sun / 60.0) * 60);
            if (minutes > 0) {
                const ScoreEntries weighted = m_context.spotMarketManager->weightScoreEntries(entries);
                plan.frames = m_context.spotMarketManager->scheduleChargingTime(
                        currentDateTime, weighted, minutes, minimumScheduleDuration, charging, plan.endDateTime);
                plan.frames = m_surplus.reserveLast(info, weighted, plan.frames, minutes, minimumScheduleDuration,
                                                    charging, plan.endDateTime, currentDateTime);
                info.spotMarketUntilTargetTime = !plan.frames.isEmpty();
            }
        } else {
            const double share = qMax(configuration.dailySpotMarketPercentage() / 100.0,
                                      info.remainingPercentage / 100.0
                                              * m_context.configuration->spotMarketChargePredictableEnergyPercentage());
            info.dailySpotMarketEnergy = info.capacityKwh * share;
            info.dailySpotMarketRequired = info.dailySpotMarketEnergy > 0;
            info.dailySpotMarketPercentage = plan.hasCapacity ? info.dailySpotMarketEnergy * 100 / info.capacityKwh : 0;
        }
    }

    if (info.dailySpotMarketRequired) {
        if (info.chargedEnergyToday >= info.dailySpotMarketEnergy) {
            plan.frames.clear();
        } else if (plan.hasCapacity) {
            // The daily share counts what the charger delivers, losses included.
            const double power = dcTimingPower(info);
            uint minutes = power > 0 ? minutesRoundedUp((info.dailySpotMarketEnergy - info.chargedEnergyToday) * 1000
                                                        / power * 60)
                                     : 0;
            const QDateTime dayEnd(currentDateTime.toLocalTime().date().addDays(1), QTime(0, 0));
            minutes -= qMin(minutes, dcSunMinutes(info, currentDateTime, dayEnd));
            plan.frames = m_context.spotMarketManager->scheduleCharingTimeForToday(currentDateTime, minutes,
                                                                                   minimumScheduleDuration, charging);
        } else {
            qCDebug(dcTavroEnergy()) << "DC charger" << plan.charger->name()
                                     << "cannot plan spot market minutes: the vehicle reports no battery capacity.";
        }
    }
}

uint DcController::dcSunMinutes(const ChargingProcessInfo &info, const QDateTime &currentDateTime,
                                const QDateTime &until) const
{
    // The charging time was estimated at this power.
    return m_context.sunMinutes(currentDateTime, until, dcTimingPower(info));
}

void DcController::settleDcIntent(const DcChargerPlan &plan, const ChargingProcessInfo &info, DcCycle &cycle,
                                  const QDateTime &currentDateTime)
{
    EvChargerDc *charger = plan.charger;
    // Final intent. A target time or a daily share does not waive the sun:
    // between the planned minutes the car charges from the surplus like any
    // eco car (it only never discharges, see below).
    double intent = plan.rawTarget;
    if (plan.forced || plan.spotMarketActive)
        intent = plan.deadlineLimit;
    if (intent > 0
        && ((plan.stopsOnTarget && plan.soc >= plan.configuration.targetPercentage()) || !charger->supportsCharging()))
        intent = 0;
    if (intent < 0 && (!charger->supportsDischarging() || plan.constrained))
        intent = 0;

    QString label = QStringLiteral("idle");
    if (intent > intentEpsilon)
        label = plan.forced ? QStringLiteral("target time")
                            : (plan.spotMarketActive ? QStringLiteral("spot market") : QStringLiteral("surplus"));
    else if (intent < -intentEpsilon)
        label = QStringLiteral("discharging");
    qCDebug(dcTavroEnergy()) << "DC charger" << charger->name() << "final intent:" << label << "target:" << intent
                             << "mode:" << plan.mode << "supports charging:" << charger->supportsCharging()
                             << "supports discharging:" << charger->supportsDischarging()
                             << "stop on target:" << plan.stopsOnTarget;

    if (intent > intentEpsilon) {
        m_context.book.setBatteryLevelConsiderationActive(plan.chargerId, false);
        const bool shortOfTarget = plan.mode == ChargingConfiguration::ChargingModeEcoWithTargetTime
                                   && plan.endDateTime.isValid() && info.remainingPercentage > 0;
        cycle.chargingIntents.append(
                {charger, intent, plan.forced, plan.spotMarketActive, info.fusePlace, shortOfTarget});
        return;
    }
    if (intent < -intentEpsilon) {
        m_context.book.setBatteryLevelConsiderationActive(plan.chargerId, false);
        cycle.dischargingIntents.append({charger, intent, false, false});
        return;
    }

    bool batteryFlag = false;
    const ChargingState::WaitingReason waitingReason = dcIdleWaitingReason(plan, info, cycle, &batteryFlag);
    commandDcCharger(charger, 0, false, QStringLiteral("idle"), currentDateTime);
    setDcChargingState(plan.chargerId, ChargingState::ModeIdle, batteryFlag, waitingReason);
}

ChargingState::WaitingReason DcController::dcIdleWaitingReason(const DcChargerPlan &plan,
                                                               const ChargingProcessInfo &info, const DcCycle &cycle,
                                                               bool *batteryFlag)
{
    // Idle: say what the charger waits for.
    EvChargerDc *charger = plan.charger;
    const ChargingConfiguration &configuration = plan.configuration;
    if ((cycle.batteryBelowLowerLimit || plan.waitsForBattery) && plan.mode == ChargingConfiguration::ChargingModeEco
        && configuration.dailySpotMarketPercentage() == 0 && charger->supportsCharging() && plan.belowTargetCeiling
        && cycle.hasRootMeter) {
        *batteryFlag = true;
        // There is surplus, but the home battery takes it first.
        if (cycle.rootWithoutManagedDc < 0 || cycle.batteryPower > 0)
            return ChargingState::WaitingReasonHomeBattery;
    }
    if (!plan.frames.isEmpty() && !plan.spotMarketActive)
        return ChargingState::WaitingReasonSpotMarketWindow;
    if (plan.mode == ChargingConfiguration::ChargingModeEcoWithTargetTime && !plan.forced
        && info.remainingPercentage > 0)
        return ChargingState::WaitingReasonTargetTimeWindow;
    if (plan.mode == ChargingConfiguration::ChargingModeEco && configuration.dailySpotMarketPercentage() == 0
        && charger->supportsCharging()) {
        return (plan.belowTargetCeiling && cycle.hasRootMeter) ? ChargingState::WaitingReasonSurplusPower
                                                               : ChargingState::WaitingReasonNone;
    }
    return ChargingState::WaitingReasonNone;
}

quint32 DcController::dcFairnessCounter(EvChargerDc *charger) const
{
    return static_cast<quint32>(m_shares.fairness(charger->id()));
}

ChargingState::WaitingReason DcController::dcShareIdleReason(const ThingId &chargerId) const
{
    // A charger that got nothing keeps the reason it had, except the
    // home battery's, which belongs to the cleared flag.
    const ChargingState::WaitingReason reason = m_context.book.state(chargerId).waitingReason();
    return reason == ChargingState::WaitingReasonHomeBattery ? ChargingState::WaitingReasonNone : reason;
}

void DcController::runDcShareRound(const DcShareRound &round, const QDateTime &currentDateTime,
                                   const std::function<bool(const DcIntent &, const ShareResult &)> &apply)
{
    m_shares.updateChargingShareFairness(round.group, currentDateTime);
    const QList<ShareResult> results = ChargingShareCalculator().calculate(
            round.requests, round.budget, m_context.configuration->chargingShareStrategy());
    QList<ThingId> served;
    for (const ShareResult &result : results) {
        const DcIntent intent = round.intentsById.value(result.thingId);
        if (intent.charger && apply(intent, result))
            served.append(intent.charger->id());
    }
    m_shares.storeChargingShareServedChargers(served, round.group);
}

void DcController::shareDcDischarging(const DcCycle &cycle, const QDateTime &currentDateTime)
{
    // Discharging share: the house import is the budget.
    if (cycle.dischargingIntents.isEmpty())
        return;

    DcShareRound round;
    round.group = dcDischargingShareGroup;
    double totalRequested = 0;
    double runningMinimum = 0; // W, of the discharges running now
    for (const DcIntent &intent : cycle.dischargingIntents) {
        if (m_context.book.state(intent.charger->id()).mode() == ChargingState::ModeDischarging
            && intent.charger->chargingEnabled())
            runningMinimum += intent.charger->minDischargingPower();
        ChargingShareCalculator::Request request;
        request.thingId = intent.charger->id().toString();
        request.minimumPower = intent.charger->minDischargingPower();
        request.maximumPower = qAbs(intent.power);
        request.phaseCount = 1;
        request.measuredPower = qAbs(intent.charger->measuredPower());
        request.priority = surplusPriority;
        request.fairnessCounter = dcFairnessCounter(intent.charger);
        round.requests.append(request);
        round.intentsById.insert(request.thingId, intent);
        totalRequested += request.maximumPower;
        qCDebug(dcTavroEnergy()) << "DC discharging share request for" << intent.charger->name()
                                 << "minimum:" << request.minimumPower << "[W],"
                                 << "maximum:" << request.maximumPower << "[W],"
                                 << "measured:" << request.measuredPower << "priority:" << request.priority
                                 << "fairness counter:" << request.fairnessCounter;
    }

    // Running discharges stay at their minimums together while the house
    // draws half of them, as one alone does: a house between one minimum
    // and their sum would switch one off and on again with every step.
    const double held = cycle.houseDraw >= runningMinimum / 2 ? runningMinimum : 0.0;
    round.budget = qMin(qMax(qMax(cycle.houseDraw, 0.0), qMax(cycle.bridgedDischarge, held)), totalRequested);
    qCDebug(dcTavroEnergy()) << "DC discharging share budget:"
                             << "root without managed EV:" << cycle.rootWithoutManagedEv
                             << "house draw:" << cycle.houseDraw << "total requested:" << totalRequested
                             << "available for sharing:" << round.budget;

    runDcShareRound(round, currentDateTime, [this, &currentDateTime](const DcIntent &intent, const ShareResult &result) {
        return applyDcDischargingShare(intent, result, currentDateTime);
    });
}

bool DcController::applyDcDischargingShare(const DcIntent &intent, const ShareResult &result, const QDateTime &now)
{
    EvChargerDc *charger = intent.charger;
    const double power = result.enabled ? -result.allocatedPower : 0;
    commandDcCharger(charger, power, result.enabled, QStringLiteral("discharging"), now);
    const ChargingState::Mode mode = result.enabled ? ChargingState::ModeDischarging : ChargingState::ModeIdle;
    setDcChargingState(charger->id(), mode, false,
                       result.enabled ? ChargingState::WaitingReasonNone : dcShareIdleReason(charger->id()));
    qCDebug(dcTavroEnergy()) << "DC discharging share result for" << charger->name() << "requested:" << intent.power
                             << "[W],"
                             << "allocated:" << power << "[W],"
                             << "enabled:" << result.enabled << "measured:" << charger->measuredPower() << "[W],"
                             << "mode:" << mode;
    return result.enabled;
}

ChargingShareCalculator::Request DcController::dcChargingRequest(const DcIntent &intent) const
{
    ChargingShareCalculator::Request request;
    request.thingId = intent.charger->id().toString();
    request.minimumPower = intent.charger->minChargingPower();
    request.maximumPower = intent.power;
    request.phaseCount = 1;
    request.measuredPower = intent.charger->measuredPower();
    // Charges from the grid in the fuse's order: a lower place first, equal
    // places alike; the later deadline does not take the fuse from the earlier.
    const qint32 kind =
            intent.forced ? timeRequirementPriority : (intent.spotMarketActive ? spotMarketPriority : surplusPriority);
    const bool fromGrid = intent.forced || intent.spotMarketActive;
    // On surplus a car short of a target time goes first: what the sun
    // gives it now its deadline charge need not buy.
    const qint32 place = fromGrid ? qBound(0, intent.place, placesPerPriority - 1) : (intent.shortOfTarget ? 0 : 1);
    request.priority = kind * placesPerPriority + place;
    request.fairnessCounter = dcFairnessCounter(intent.charger);
    if (!fromGrid) {
        // A surplus start waits while the charges already admitted can take
        // all of the surplus: one car then rides each cloud instead of two.
        // One charging keeps its place for a turn, as on an AC charger.
        const ThingId &id = intent.charger->id();
        const bool charges = m_context.book.state(id).mode() == ChargingState::ModeSurplusCharging
                             && (intent.charger->chargingEnabled() || m_sentCommands.value(id).enabled);
        request.joinsOnlyBeyondRoom = !charges;
        request.fairnessCounter = m_shares.surplusAdmissionCounter(id, charges);
    }
    qCDebug(dcTavroEnergy()) << "DC charging share request for" << intent.charger->name() << "reason:"
                             << (intent.forced ? "target time" : (intent.spotMarketActive ? "spot market" : "surplus"))
                             << "minimum:" << request.minimumPower << "[W],"
                             << "maximum:" << request.maximumPower << "[W],"
                             << "measured:" << request.measuredPower << "priority:" << request.priority
                             << "fairness counter:" << request.fairnessCounter;
    return request;
}

void DcController::shareDcCharging(const DcCycle &cycle, const QDateTime &currentDateTime)
{
    // Charging share.
    if (cycle.chargingIntents.isEmpty()) {
        qCDebug(dcTavroEnergy()) << "No positive DC charging intents to share.";
        return;
    }

    double totalRequested = 0;
    double currentMeasured = 0;
    double fixedPriorityRequested = 0;
    bool surplusIntentPresent = false;
    DcShareRound round;
    round.group = dcChargingShareGroup;
    for (const DcIntent &intent : cycle.chargingIntents) {
        totalRequested += intent.power;
        currentMeasured += ownDcDraw(intent.charger);
        if (intent.forced || intent.spotMarketActive)
            fixedPriorityRequested += intent.power;
        else
            surplusIntentPresent = true;

        const ChargingShareCalculator::Request request = dcChargingRequest(intent);
        round.requests.append(request);
        round.intentsById.insert(request.thingId, intent);
    }

    // The surplus is what the house exports without the managed chargers:
    // what a charge from the grid (a deadline, a cheap slot) draws comes out
    // of it first, else a surplus charger would take the sun while the
    // other one buys all it draws.
    const double surplusLeft = qMax(0.0, qMax(0.0, cycle.surplusBudget) - fixedPriorityRequested);
    double budget = (surplusIntentPresent ? surplusLeft + cycle.bridgedCharge : 0) + fixedPriorityRequested;
    budget = qMax(budget, heldSurplusMinimums(cycle, surplusLeft + cycle.bridgedCharge, currentDateTime)
                                  + fixedPriorityRequested);
    budget = qMin(budget, totalRequested);
    if (std::isfinite(cycle.phaseLimitBudget))
        budget = qMax(0.0, qMin(budget, currentMeasured + cycle.phaseLimitBudget));
    round.budget = budget;
    qCDebug(dcTavroEnergy()) << "DC charging share budget:"
                             << "current measured DC power:" << currentMeasured
                             << "fixed-priority requested:" << fixedPriorityRequested
                             << "total requested:" << totalRequested
                             << "surplus intent present:" << surplusIntentPresent
                             << "surplus budget:" << cycle.surplusBudget << "phase limit:" << cycle.phaseLimitBudget
                             << "available for sharing:" << budget;

    const QSet<ThingId> &unreachableChargers = cycle.unreachableChargers;
    runDcShareRound(round, currentDateTime,
                    [this, &unreachableChargers, &currentDateTime](const DcIntent &intent, const ShareResult &result) {
                        return applyDcChargingShare(intent, result, unreachableChargers.contains(intent.charger->id()),
                                                    currentDateTime);
                    });
}

double DcController::heldSurplusMinimums(const DcCycle &cycle, double surplus, const QDateTime &now)
{
    // Each gate judges the surplus alone: two cars whose minimums it covers
    // one by one but not together are both "covered", and the share would
    // switch one off at the first dip and on again with the sun. They ride
    // such a dip out together at their minimums, as one car alone does: on
    // the owner's tolerance (the surplus covers its share of them), for the
    // stop delay's worth of it, never while the home battery goes first.
    double runningMinimum = 0;
    int running = 0;
    for (const DcIntent &intent : cycle.chargingIntents) {
        if (!intent.forced && !intent.spotMarketActive && m_context.runsOnSurplus(intent.charger)) {
            runningMinimum += intent.charger->minChargingPower();
            running++;
        }
    }
    const double tolerance = qBound(0.0, m_context.acquisitionTolerance, 1.0);
    const qint64 rideOut = static_cast<qint64>(m_surplus.surplusGateDelays().stop * (1.0 - tolerance));
    const bool shortTogether = running > 1 && runningMinimum > surplus + setpointThreshold
                               && surplus >= tolerance * runningMinimum && rideOut > 0
                               && !cycle.batteryBelowLowerLimit;
    if (!m_context.cycle.now().isValid()) {
        // Between cycles a reading halfway switches nothing off: the
        // cycle decides.
        return shortTogether && (m_held || !m_heldSince.isValid()) ? runningMinimum : 0.0;
    }
    if (!shortTogether) {
        m_heldSince = QDateTime();
        m_held = false;
        return 0.0;
    }
    if (!m_heldSince.isValid() || m_heldSince > now)
        m_heldSince = now;
    m_held = m_heldSince.secsTo(now) < rideOut;
    if (m_held)
        qCDebug(dcTavroEnergy()) << "DC surplus charges ride out a dip together at their minimums:" << runningMinimum
                                 << "[W], surplus:" << surplus << "[W]";
    return m_held ? runningMinimum : 0.0;
}

bool DcController::applyDcChargingShare(const DcIntent &intent, const ShareResult &result, bool unreachable,
                                        const QDateTime &now)
{
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
    commandDcCharger(charger, power, enabled, reason, now);
    ChargingState::WaitingReason waitingReason = dcShareIdleReason(charger->id());
    if (enabled)
        waitingReason =
                unreachable ? ChargingState::WaitingReasonTargetTimeUnreachable : ChargingState::WaitingReasonNone;
    setDcChargingState(charger->id(), mode, false, waitingReason);
    qCDebug(dcTavroEnergy()) << "DC charging share result for" << charger->name() << "requested:" << intent.power
                             << "[W],"
                             << "allocated:" << power << "[W],"
                             << "enabled:" << enabled << "measured:" << charger->measuredPower() << "[W],"
                             << "mode:" << mode;
    return enabled;
}
