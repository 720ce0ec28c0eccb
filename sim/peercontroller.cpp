#include "peercontroller.h"

#include <QtMath>

#include <algorithm>
#include <limits>

namespace {

const double voltage = 230.0;
// The level (%) a car that cannot report it counts from until the owner
// enters one: what the plugin's estimate starts from, as no controller
// can see the true one.
const double levelNeverEntered = 20.0;

}

PeerController::PeerController(const Scenario &scenario, const Household &household, const OwnerTimeline &owner)
    : m_scenario(scenario),
      m_household(household),
      m_owner(owner),
      m_chargers(static_cast<size_t>(scenario.chargers.count()))
{
}

int PeerController::deadline(int car, int minute) const
{
    return m_owner.wishAt(car, minute).nextDeadline(m_scenario.start, minute);
}

double PeerController::carSoc(int car) const
{
    const Scenario::Car &description = m_scenario.cars.at(car);
    if (description.thingClass != QLatin1String("electricVehicle"))
        return qRound(m_household.carSoc(car)); // the car reports it, in whole per cent
    for (const ChargerState &charger : m_chargers) {
        if (charger.car == car)
            return charger.socAtPlugIn
                   + charger.energy * (1.0 - description.lossPercent / 100.0) / description.capacityKwh * 100.0;
    }
    return m_household.carSoc(car);
}

void PeerController::countFromEnteredLevel(ChargerState *charger, int minute, bool pluggedIn) const
{
    if (charger->car < 0 || m_scenario.cars.at(charger->car).thingClass != QLatin1String("electricVehicle"))
        return;
    const OwnerTimeline::LevelEntry &entry = m_owner.levelEnteredAt(charger->car, minute);
    if (pluggedIn) {
        charger->socAtPlugIn = entry.level >= 0 ? entry.level : levelNeverEntered;
    } else if (entry.level >= 0 && entry.minute != charger->levelMinute) {
        // Entered while plugged in: counted on from there.
        charger->socAtPlugIn = entry.level;
        charger->energy = 0;
    }
    charger->levelMinute = entry.minute;
}

bool PeerController::plannedNow(int charger, int minute) const
{
    const int carIndex = m_chargers.at(charger).car;
    const Scenario::Car &car = m_scenario.cars.at(carIndex);
    const OwnerTimeline::Wish &wish = m_owner.wishAt(carIndex, minute);
    const int next = minute + 1;
    const int end = wish.nextDeadline(m_scenario.start, minute);
    if (wish.mode != OwnerTimeline::Mode::EcoWithTargetTime || end < 0 || next >= end)
        return false;
    const double needed = (wish.target - carSoc(carIndex)) / 100.0 * car.capacityKwh / (1.0 - car.lossPercent / 100.0);
    const double perMinute = Household::maxPower(m_scenario, carIndex) / 60000.0;
    if (needed <= 0 || perMinute <= 0)
        return false;
    // With a forecast the plan buys only what the forecast PV, less the
    // house's load of the last minute, will not give before the deadline.
    const double toBuy = needed - sunBefore(next, end, perMinute * 60000.0);
    if (toBuy <= 0)
        return false;
    // The cheapest minutes left before the deadline; prices not published
    // yet count as the dearest, so they are used last. Of equally cheap
    // ones the latest go first: with one price for all the documented
    // planner starts as late as it can and still finishes in time. Minutes
    // of one price slot share their price, so slots are sorted, not minutes.
    struct Slot {
        double price;
        int from;
        int to; // first minute after
    };
    // Without the spot market the owner gave no controller the prices:
    // every slot is as dear as the rest.
    const int known =
            m_owner.spotMarketAt(minute) ? m_scenario.pricesKnownUntilOffset(minute) : std::numeric_limits<int>::min();
    const int offset = m_scenario.startOffsetMinutes();
    const int resolution = qMax(1, m_scenario.priceResolutionMinutes);
    std::vector<Slot> window;
    for (int m = next; m < end;) {
        const int absolute = offset + m;
        int to = qMin(end, m + resolution - absolute % resolution);
        if (absolute < known)
            to = qMin(to, known - offset);
        window.push_back({absolute < known ? m_scenario.priceAtOffset(absolute) : 1e9, m, to});
        m = to;
    }
    std::sort(window.begin(), window.end(),
              [](const Slot &a, const Slot &b) { return a.price != b.price ? a.price < b.price : a.from > b.from; });
    int remaining = static_cast<int>(qCeil(toBuy / perMinute - 1e-9));
    // A slot the plan charges in is charged through once begun: the car's
    // level in whole per cent must not break it up.
    const bool begun = m_chargers.at(charger).planned;
    for (const Slot &slot : window) {
        if (remaining <= 0)
            break;
        const int take = qMin(remaining, slot.to - slot.from);
        if (next >= (begun ? slot.from : slot.to - take) && next < slot.to)
            return true;
        remaining -= take;
    }
    return false;
}

double PeerController::sunBefore(int from, int to, double maxPower) const
{
    if (!forecastPower)
        return 0;
    // In the forecast's own quarter hours of the clock.
    const int step = 15;
    const int offset = m_scenario.startOffsetMinutes();
    double energy = 0;
    for (int m = from; m < to;) {
        const int next = qMin(to, m + step - (offset + m) % step);
        energy += qBound(0.0, forecastPower((m + next) / 2) - m_houseLoad, maxPower) * (next - m) / 60000.0;
        m = next;
    }
    return energy;
}

void PeerController::chargeFromSurplus(int index, double surplus, int minute)
{
    ChargerState &charger = m_chargers[index];
    const Scenario::Charger &description = m_scenario.chargers.at(index);
    const Scenario::Car &car = m_scenario.cars.at(charger.car);
    if (description.dc) {
        const double minimum = description.states.value(QStringLiteral("minChargingPower"), 1000).toDouble();
        const double maximum = Household::maxPower(m_scenario, charger.car);
        charger.startFor = surplus >= minimum + enableThreshold ? charger.startFor + 1 : 0;
        charger.stopFor = surplus < minimum - disableThreshold ? charger.stopFor + 1 : 0;
        charger.dcPower = qBound(minimum, surplus, maximum);
    } else {
        const bool switchable = description.phaseSwitching && car.phases >= 3;
        if (!switchable)
            charger.phases = qMin(car.phases, description.maxPhases);
        const double threePhaseMinimum = car.minCurrent * voltage * 3;
        const double minimum =
                car.minCurrent * voltage * (charger.enabled ? charger.phases : (switchable ? 1 : charger.phases));
        charger.startFor = surplus >= minimum + enableThreshold ? charger.startFor + 1 : 0;
        charger.stopFor = surplus < minimum - disableThreshold ? charger.stopFor + 1 : 0;
        if (switchable && charger.enabled) {
            charger.upFor = charger.phases == 1 && surplus >= threePhaseMinimum ? charger.upFor + 1 : 0;
            charger.downFor = charger.phases == 3 && surplus < threePhaseMinimum ? charger.downFor + 1 : 0;
            if (charger.upFor >= enableDelay) {
                charger.phases = 3;
                charger.upFor = 0;
            } else if (charger.downFor >= disableDelay) {
                charger.phases = 1;
                charger.downFor = 0;
            }
        } else if (switchable) {
            charger.phases = surplus >= threePhaseMinimum ? 3 : 1;
        }
        const double maxCurrent =
                description.maxCurrent > 0 ? qMin(car.maxCurrent, description.maxCurrent) : car.maxCurrent;
        charger.current = qBound(car.minCurrent, std::floor(surplus / voltage / charger.phases), maxCurrent);
    }
    const bool guardOver = minute - charger.lastSwitch >= guardMinutes;
    if (!charger.enabled && charger.startFor >= enableDelay && guardOver) {
        charger.enabled = true;
        charger.lastSwitch = minute;
    } else if (charger.enabled && charger.stopFor >= disableDelay && guardOver) {
        charger.enabled = false;
        charger.lastSwitch = minute;
    }
}

double PeerController::followChargers(const MinuteRecord &record, double *ownPhase)
{
    double own = 0;
    for (int i = 0; i < chargerCount(); i++) {
        const double power = record.chargerPower.value(i);
        own += power;
        const int phases = m_scenario.chargers.at(i).dc ? 3 : static_cast<int>(record.chargerPhases.value(i));
        for (int p = 0; p < phases && p < 3; p++)
            ownPhase[p] += power / phases / voltage;
        ChargerState &charger = m_chargers[i];
        const int car = m_household.carAt(i);
        if (car != charger.car) {
            // Another car (or none): everything starts again but the guard time.
            const int lastSwitch = charger.lastSwitch;
            charger = ChargerState();
            charger.lastSwitch = lastSwitch;
            charger.car = car;
            charger.socAtPlugIn = car >= 0 ? m_household.carSoc(car) : 0;
            countFromEnteredLevel(&charger, record.minute, true);
        } else {
            countFromEnteredLevel(&charger, record.minute, false);
            if (power > 0)
                charger.energy += power / 60000.0;
            // A full car, or one at a limit of its own, takes less than it
            // is offered; a phase switch's pause is no such limit.
            charger.carLimited =
                    charger.offered > 0 && power < charger.offered - 100 && !record.chargerPhaseSwitch.value(i);
            charger.drawn = power;
        }
    }
    return own;
}

QVector<ChargerCommand> PeerController::decide(const Reading &reading, const MinuteRecord &record)
{
    // What the chargers drew, per phase and in all.
    double ownPhase[3] = {0, 0, 0};
    const double own = followChargers(record, ownPhase);
    m_houseLoad = record.houseLoad;
    double surplus = own;
    double headroom[3];
    for (int p = 0; p < 3; p++) {
        surplus -= reading.gridPhasePower[p];
        headroom[p] =
                reading.phaseLimit > 0 ? reading.phaseLimit - (reading.gridPhasePower[p] / voltage - ownPhase[p]) : 1e9;
    }
    // Above the priority level the battery's charging is the car's.
    const double lowerLimit = m_owner.batteryLowerLimitAt(reading.minute);
    if (reading.batterySoc >= 0 && (lowerLimit < 0 || reading.batterySoc >= lowerLimit * 100.0))
        surplus += reading.batteryPower;

    QVector<ChargerCommand> commands(chargerCount());
    for (int i = 0; i < chargerCount(); i++) {
        ChargerState &charger = m_chargers[i];
        if (charger.car < 0) {
            commands[i].enabled = charger.enabled = false;
            continue;
        }
        choose(i, reading.minute, surplus);
        fitToFuse(i, &commands[i], &surplus, headroom);
    }
    return commands;
}

void PeerController::choose(int i, int minute, double surplus)
{
    ChargerState &charger = m_chargers[i];
    const Scenario::Charger &description = m_scenario.chargers.at(i);
    const Scenario::Car &car = m_scenario.cars.at(charger.car);
    const OwnerTimeline::Wish &wish = m_owner.wishAt(charger.car, minute);
    const bool stopped = wish.stopAtTarget && carSoc(charger.car) >= wish.target;
    const double maxCurrent =
            description.maxCurrent > 0 ? qMin(car.maxCurrent, description.maxCurrent) : car.maxCurrent;
    const bool planned = !stopped && plannedNow(i, minute);
    charger.planned = planned;
    if (stopped) {
        charger.enabled = false;
    } else if (wish.mode == OwnerTimeline::Mode::Normal) {
        // Normal mode is the owner's hand: on or off, and the current or
        // power set by hand (else the most the charger gives).
        charger.enabled = wish.manualEnabled;
        charger.current = wish.manualCurrent > 0 ? qBound(car.minCurrent, wish.manualCurrent, maxCurrent) : maxCurrent;
        charger.phases = qMin(car.phases, description.maxPhases);
        const double maxPower = Household::maxPower(m_scenario, charger.car);
        charger.dcPower = wish.manualPower > 0 ? qMin(wish.manualPower, maxPower) : maxPower;
    } else if (planned) {
        charger.enabled = true;
        charger.current = maxCurrent;
        charger.phases = qMin(car.phases, description.maxPhases);
        charger.dcPower = Household::maxPower(m_scenario, charger.car);
    } else {
        chargeFromSurplus(i, surplus, minute);
    }
}

void PeerController::fitToFuse(int i, ChargerCommand *command, double *surplus, double *headroom)
{
    ChargerState &charger = m_chargers[i];
    const Scenario::Charger &description = m_scenario.chargers.at(i);
    const Scenario::Car &car = m_scenario.cars.at(charger.car);
    // The fuse: what the phases in use have left, in charger order.
    const int phases = description.dc ? 3 : static_cast<int>(qMin(charger.phases, car.phases));
    double fits = 1e9;
    for (int p = 0; p < phases; p++)
        fits = qMin(fits, headroom[p]);
    command->enabled = charger.enabled;
    command->phases = charger.phases;
    if (description.dc) {
        command->dcPower = qMin(charger.dcPower, fits * voltage * 3);
        command->enabled =
                charger.enabled
                && command->dcPower >= description.states.value(QStringLiteral("minChargingPower"), 1000).toDouble();
    } else {
        command->current = qMin(charger.current, std::floor(fits));
        command->enabled = charger.enabled && command->current >= car.minCurrent;
    }
    const double offered = !command->enabled ? 0.0
                           : description.dc  ? command->dcPower
                                             : command->current * voltage * phases;
    charger.offered = offered;
    if (!command->enabled)
        return;
    // What the next chargers can have: the car's draw counts, not the offer.
    const double power = charger.carLimited ? qMin(offered, charger.drawn) : offered;
    *surplus -= power;
    for (int p = 0; p < phases; p++)
        headroom[p] -= power / phases / voltage;
}
