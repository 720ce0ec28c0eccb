#include "household.h"

#include <QtMath>

namespace {

const double voltage = 230.0;

// Grid-side energy (W for a minute) that brings a car from soc to full.
double powerToFull(const Scenario::Car &car, double soc, double lossFactor)
{
    return (100.0 - soc) / 100.0 * car.capacityKwh * 1000.0 / lossFactor * 60.0;
}

}

Household::Household(const Scenario &scenario)
    : m_scenario(scenario),
      m_cars(scenario.cars.count()),
      m_chargers(scenario.chargers.count())
{
    for (int j = 0; j < m_cars.count(); j++)
        m_cars[j].soc = scenario.cars.at(j).soc;
    m_batterySoc = scenario.hasBattery ? scenario.batterySoc : 0.0;
}

int Household::chargerOf(const Scenario &scenario, int car)
{
    for (int i = 0; i < scenario.chargers.count(); i++) {
        if (scenario.chargers.at(i).name == scenario.cars.at(car).charger)
            return i;
    }
    return -1;
}

double Household::maxPower(const Scenario &scenario, int carIndex)
{
    const Scenario::Car &car = scenario.cars.at(carIndex);
    const int chargerIndex = chargerOf(scenario, carIndex);
    if (chargerIndex < 0)
        return 0;
    const Scenario::Charger &charger = scenario.chargers.at(chargerIndex);
    if (charger.dc)
        return charger.dcMaxPower > 0 ? qMin(car.dcMaxPower, charger.dcMaxPower) : car.dcMaxPower;
    const double current = charger.maxCurrent > 0 ? qMin(car.maxCurrent, charger.maxCurrent) : car.maxCurrent;
    return current * voltage * qMin(car.phases, charger.maxPhases);
}

void Household::setPluggedIn(int car, bool pluggedIn)
{
    m_cars[car].pluggedIn = pluggedIn;
    const int charger = chargerOf(m_scenario, car);
    if (charger >= 0)
        m_chargers[charger].car = pluggedIn ? car : -1;
}

void Household::setCarSoc(int car, double soc)
{
    m_cars[car].soc = soc;
}

Household::Delivery Household::deliverAc(int i, const ChargerCommand &command, int minute, double *phasePower)
{
    ChargerState &charger = m_chargers[i];
    const Scenario::Charger &description = m_scenario.chargers.at(i);
    Delivery delivery;
    delivery.phases = command.phases;
    if (charger.car >= 0) {
        const Scenario::Car &car = m_scenario.cars.at(charger.car);
        CarState &carState = m_cars[charger.car];
        // Neither the car nor the charger takes more phases than it has.
        delivery.phases = qMin(qMin(command.phases, car.phases), description.maxPhases);
        // Switching phases while charging interrupts the charge.
        if (command.enabled && charger.lastPhases > 0 && delivery.phases != charger.lastPhases) {
            delivery.switched = 1;
            charger.pauseUntil = minute + m_scenario.phaseSwitchPauseMinutes;
        }
        const bool paused = minute < charger.pauseUntil;
        double current = qMin(command.current, car.maxCurrent);
        if (description.maxCurrent > 0)
            current = qMin(current, description.maxCurrent);
        if (command.enabled && !paused && carState.soc < 100.0 && current >= car.minCurrent) {
            const double offered = current * voltage * delivery.phases;
            const double lossFactor = 1.0 - car.physicsLossPercent(offered, maxPower(m_scenario, charger.car)) / 100.0;
            delivery.power = qMin(offered, powerToFull(car, carState.soc, lossFactor));
            carState.soc =
                    qMin(100.0, carState.soc + delivery.power * lossFactor / 60.0 / 1000.0 / car.capacityKwh * 100.0);
        }
        charger.lastPhases = delivery.power > 0 || paused ? delivery.phases : 0;
    } else {
        charger.lastPhases = 0;
    }
    charger.phasesOffered = delivery.phases;
    const double phaseCurrent =
            delivery.phases > 0 && delivery.power > 0 ? delivery.power / delivery.phases / voltage : 0;
    for (uint p = 0; p < delivery.phases && p < 3; p++)
        phasePower[p] += phaseCurrent * voltage;
    return delivery;
}

Household::Delivery Household::deliverDc(int i, const ChargerCommand &command, double *phasePower)
{
    const ChargerState &charger = m_chargers.at(i);
    Delivery delivery;
    if (charger.car < 0 || !command.enabled)
        return delivery;
    const Scenario::Car &car = m_scenario.cars.at(charger.car);
    CarState &carState = m_cars[charger.car];
    if (command.dcPower > 0) {
        const double offered = qMin(command.dcPower, maxPower(m_scenario, charger.car));
        const double lossFactor = 1.0 - car.physicsLossPercent(offered, maxPower(m_scenario, charger.car)) / 100.0;
        delivery.power = qMin(offered, powerToFull(car, carState.soc, lossFactor));
        carState.soc =
                qMin(100.0, carState.soc + delivery.power * lossFactor / 60.0 / 1000.0 / car.capacityKwh * 100.0);
    } else if (command.dcPower < 0) {
        const double available = carState.soc / 100.0 * car.capacityKwh * 1000.0 * 60.0;
        delivery.power = qMax(command.dcPower, -available);
        carState.soc = qMax(0.0, carState.soc + delivery.power / 60.0 / 1000.0 / car.capacityKwh * 100.0);
    }
    delivery.phases = 3;
    for (int p = 0; p < 3; p++)
        phasePower[p] += delivery.power / 3;
    return delivery;
}

double Household::runBattery(double net)
{
    // A simple self-consumption controller: the battery takes the export and
    // covers the import within its limits.
    double batteryPower = 0;
    const double capacityWh = m_scenario.batteryCapacityKwh * 1000.0;
    if (net < 0) {
        const double room = (100.0 - m_batterySoc) / 100.0 * capacityWh * 60.0;
        batteryPower = qMin(qMin(-net, m_scenario.batteryMaxChargePower), room);
    } else {
        const double available = m_batterySoc / 100.0 * capacityWh * 60.0;
        batteryPower = -qMin(qMin(net, m_scenario.batteryMaxDischargePower), available);
    }
    m_batterySoc = qBound(0.0, m_batterySoc + batteryPower / 60.0 / capacityWh * 100.0, 100.0);
    return batteryPower;
}

void Household::step(const QVector<ChargerCommand> &commands, MinuteRecord *record)
{
    const int minute = record->minute;
    double phasePower[3];
    for (int p = 0; p < 3; p++)
        phasePower[p] = record->housePhasePower[p];
    for (const CarState &car : qAsConst(m_cars))
        record->carSocStart.append(car.soc);

    double chargingTotal = 0;
    for (int i = 0; i < m_chargers.count(); i++) {
        const ChargerCommand &command = commands.at(i);
        const Delivery delivery = m_scenario.chargers.at(i).dc ? deliverDc(i, command, phasePower)
                                                               : deliverAc(i, command, minute, phasePower);
        record->chargerPower.append(delivery.power);
        record->chargerPhases.append(delivery.power != 0 ? delivery.phases : 0);
        record->chargerEnabled.append(command.enabled ? 1 : 0);
        record->chargerPhaseSwitch.append(delivery.switched);
        chargingTotal += delivery.power;
    }
    for (const CarState &car : qAsConst(m_cars)) {
        record->carSoc.append(car.soc);
        record->carPluggedIn.append(car.pluggedIn ? 1 : 0);
    }

    const double batteryPower =
            m_scenario.hasBattery ? runBattery(record->houseLoad + chargingTotal - record->pvPower) : 0.0;
    record->batteryPower = batteryPower;
    record->batterySoc = m_batterySoc;

    record->gridPower = 0;
    for (int p = 0; p < 3; p++) {
        const double power = phasePower[p] - record->pvPower / 3 + batteryPower / 3;
        m_gridPhasePower[p] = power;
        record->gridPhaseCurrent[p] = power / voltage;
        record->gridPower += power;
    }
}
