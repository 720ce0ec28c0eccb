#include "peercontroller.h"

#include <QtMath>

#include <algorithm>

namespace {

const double voltage = 230.0;

}

PeerController::PeerController(const Scenario &scenario, const Household &household, double batteryPrioritySoc)
    : m_scenario(scenario),
      m_household(household),
      m_batteryPrioritySoc(batteryPrioritySoc),
      m_wishes(scenario.cars.count()),
      m_chargers(scenario.chargers.count())
{
}

void PeerController::setConfiguration(int car, const QVariantMap &configuration)
{
    Wish &wish = m_wishes[car];
    wish.mode = configuration.value(QStringLiteral("chargingMode"), wish.mode).toString();
    wish.target = configuration.value(QStringLiteral("targetPercentage"), wish.target).toDouble();
    wish.stopAtTarget = configuration.value(QStringLiteral("stopOnTargetPercentage"), wish.stopAtTarget).toBool();
    if (configuration.contains(QStringLiteral("endDateTime")))
        wish.deadline = static_cast<int>(
                (configuration.value(QStringLiteral("endDateTime")).toLongLong() - m_scenario.start.toSecsSinceEpoch())
                / 60);
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

bool PeerController::plannedNow(int charger, int minute) const
{
    const int carIndex = m_chargers.at(charger).car;
    const Scenario::Car &car = m_scenario.cars.at(carIndex);
    const Wish &wish = m_wishes.at(carIndex);
    const int next = minute + 1;
    if (wish.mode != QLatin1String("ChargingModeEcoWithTargetTime") || wish.deadline < 0 || next >= wish.deadline)
        return false;
    const double needed = (wish.target - carSoc(carIndex)) / 100.0 * car.capacityKwh / (1.0 - car.lossPercent / 100.0);
    const double perMinute = Household::maxPower(m_scenario, carIndex) / 60000.0;
    if (needed <= 0 || perMinute <= 0)
        return false;
    // The cheapest minutes left before the deadline; prices not published
    // yet count as the dearest, so they are used last.
    const int known = m_scenario.pricesKnownUntilOffset(minute);
    const int offset = m_scenario.startOffsetMinutes();
    QVector<QPair<double, int>> candidates;
    for (int m = next; m < wish.deadline; m++)
        candidates.append({offset + m < known ? m_scenario.priceAt(m) : 1e9, m});
    const int count = qMin(candidates.count(), static_cast<int>(qCeil(needed / perMinute - 1e-9)));
    std::partial_sort(candidates.begin(), candidates.begin() + count, candidates.end());
    for (int k = 0; k < count; k++) {
        if (candidates.at(k).second == next)
            return true;
    }
    return false;
}

void PeerController::chargeFromSurplus(int index, double surplus, int minute)
{
    ChargerState &charger = m_chargers[index];
    const Scenario::Charger &description = m_scenario.chargers.at(index);
    const Scenario::Car &car = m_scenario.cars.at(charger.car);
    if (description.dc) {
        const double minimum = description.states.value(QStringLiteral("minChargingPower"), 1000).toDouble();
        const double maximum = Household::maxPower(m_scenario, charger.car);
        charger.startFor = surplus >= minimum ? charger.startFor + 1 : 0;
        charger.stopFor = surplus < minimum - stopImport ? charger.stopFor + 1 : 0;
        charger.dcPower = qBound(minimum, surplus, maximum);
    } else {
        const bool switchable = description.phaseSwitching && car.phases >= 3;
        if (!switchable)
            charger.phases = qMin(car.phases, description.maxPhases);
        const double threePhaseMinimum = car.minCurrent * voltage * 3;
        const double minimum =
                car.minCurrent * voltage * (charger.enabled ? charger.phases : (switchable ? 1 : charger.phases));
        charger.startFor = surplus >= minimum ? charger.startFor + 1 : 0;
        charger.stopFor = surplus < minimum - stopImport ? charger.stopFor + 1 : 0;
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

QVector<ChargerCommand> PeerController::decide(const Reading &reading, const MinuteRecord &record)
{
    // What the chargers drew, per phase and in all.
    double own = 0;
    double ownPhase[3] = {0, 0, 0};
    for (int i = 0; i < m_chargers.count(); i++) {
        const double power = record.chargerPower.value(i);
        own += power;
        const int phases = m_scenario.chargers.at(i).dc ? 3 : static_cast<int>(record.chargerPhases.value(i));
        for (int p = 0; p < phases && p < 3; p++)
            ownPhase[p] += power / phases / voltage;
        ChargerState &charger = m_chargers[i];
        const int car = m_household.carAt(i);
        if (car != charger.car) {
            const int lastSwitch = charger.lastSwitch;
            charger = ChargerState();
            charger.lastSwitch = lastSwitch;
            charger.car = car;
            charger.socAtPlugIn = car >= 0 ? m_household.carSoc(car) : 0;
        } else if (power > 0) {
            charger.energy += power / 60000.0;
        }
    }
    double surplus = own;
    double headroom[3];
    for (int p = 0; p < 3; p++) {
        surplus -= reading.gridPhasePower[p];
        headroom[p] =
                reading.phaseLimit > 0 ? reading.phaseLimit - (reading.gridPhasePower[p] / voltage - ownPhase[p]) : 1e9;
    }
    // Above the priority level the battery's charging is the car's.
    if (reading.batterySoc >= 0 && (m_batteryPrioritySoc < 0 || reading.batterySoc >= m_batteryPrioritySoc))
        surplus += reading.batteryPower;

    QVector<ChargerCommand> commands(m_chargers.count());
    for (int i = 0; i < m_chargers.count(); i++) {
        ChargerState &charger = m_chargers[i];
        const Scenario::Charger &description = m_scenario.chargers.at(i);
        ChargerCommand &command = commands[i];
        if (charger.car < 0) {
            command.enabled = charger.enabled = false;
            continue;
        }
        const Scenario::Car &car = m_scenario.cars.at(charger.car);
        const Wish &wish = m_wishes.at(charger.car);
        const QString mode = wish.mode;
        const bool stopped = wish.stopAtTarget && carSoc(charger.car) >= wish.target;
        const double maxCurrent =
                description.maxCurrent > 0 ? qMin(car.maxCurrent, description.maxCurrent) : car.maxCurrent;
        if (stopped) {
            charger.enabled = false;
        } else if (mode == QLatin1String("ChargingModeNormal") || plannedNow(i, reading.minute)) {
            charger.enabled = true;
            charger.current = maxCurrent;
            charger.phases = qMin(car.phases, description.maxPhases);
            charger.dcPower = Household::maxPower(m_scenario, charger.car);
        } else {
            chargeFromSurplus(i, surplus, reading.minute);
        }

        // The fuse: what the phases in use have left, in charger order.
        const int phases = description.dc ? 3 : static_cast<int>(qMin(charger.phases, car.phases));
        double fits = 1e9;
        for (int p = 0; p < phases; p++)
            fits = qMin(fits, headroom[p]);
        command.enabled = charger.enabled;
        command.phases = charger.phases;
        if (description.dc) {
            command.dcPower = qMin(charger.dcPower, fits * voltage * 3);
            command.enabled =
                    charger.enabled
                    && command.dcPower >= description.states.value(QStringLiteral("minChargingPower"), 1000).toDouble();
        } else {
            command.current = qMin(charger.current, std::floor(fits));
            command.enabled = charger.enabled && command.current >= car.minCurrent;
        }
        if (!command.enabled)
            continue;
        const double power = description.dc ? command.dcPower : command.current * voltage * phases;
        surplus -= power;
        for (int p = 0; p < phases; p++)
            headroom[p] -= power / phases / voltage;
    }
    return commands;
}
