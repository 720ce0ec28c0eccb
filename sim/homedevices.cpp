#include "homedevices.h"
#include "household.h"
#include "simulation.h"

#include "tavro/thingmanager.h"

#include <QtMath>

namespace {

const double voltage = 230.0;

}

HomeDevices::HomeDevices(const Scenario &scenario)
    : m_scenario(scenario),
      m_random(scenario.seed),
      m_householdRandom(scenario.seed ^ 0x5eedu)
{
}

void HomeDevices::addSupply(ThingManager *manager)
{
    m_meter = manager->addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Grid"),
                                          Simulation::fixedId(QStringLiteral("meter"), QStringLiteral("grid")));
    if (m_scenario.pvPeakPower > 0)
        m_inverter = manager->addConfiguredThing(QStringLiteral("solarInverter"), QStringLiteral("PV"),
                                                 Simulation::fixedId(QStringLiteral("pv"), QStringLiteral("pv")));
    if (m_scenario.hasBattery) {
        m_battery =
                manager->addConfiguredThing(QStringLiteral("homeBattery"), QStringLiteral("Home battery"),
                                            Simulation::fixedId(QStringLiteral("battery"), QStringLiteral("battery")));
        m_battery->setStateValue(QStringLiteral("capacity"), m_scenario.batteryCapacityKwh);
    }
}

bool HomeDevices::addLoads(ThingManager *manager, QString *errorString)
{
    for (const Scenario::Load &load : m_scenario.loads) {
        if (!m_loadThings.contains(load.name))
            m_loadThings.insert(load.name,
                                manager->addConfiguredThing(QStringLiteral("consumer"), load.name,
                                                            Simulation::fixedId(QStringLiteral("load"), load.name)));
    }
    for (const Scenario::Appliance &appliance : m_scenario.appliances) {
        ApplianceState state;
        state.thing = manager->addConfiguredThing(QStringLiteral("consumer"), appliance.name,
                                                  Simulation::fixedId(QStringLiteral("appliance"), appliance.name));
        if (!state.thing) {
            *errorString = QStringLiteral("Cannot add the appliance %1: a name used twice").arg(appliance.name);
            return false;
        }
        m_appliances.append(state);
    }
    return true;
}

QList<Thing **> HomeDevices::thingSlots()
{
    QList<Thing **> pointers{&m_meter, &m_inverter, &m_battery};
    for (Thing *&thing : m_loadThings)
        pointers.append(&thing);
    for (ApplianceState &appliance : m_appliances)
        pointers.append(&appliance.thing);
    return pointers;
}

double HomeDevices::pvPower(int minute, const QDateTime &now)
{
    if (m_scenario.pvPeakPower <= 0)
        return 0;
    if (m_scenario.passingClouds) {
        passingCloud(minute);
    } else if (minute % 10 == 0) {
        // Clouds change every ten minutes, from the scenario's seed.
        m_cloudFactor = 1.0 - m_scenario.cloudiness * m_random.generateDouble();
    }
    double power = m_scenario.clearSkyPower(now) * m_cloudFactor;
    if (!m_scenario.pvDayFactors.isEmpty() || m_scenario.forecast.enabled) {
        // The day's weather, and an afternoon's clouds the forecast missed.
        const int day = static_cast<int>(m_scenario.start.date().daysTo(now.date()));
        power *= m_scenario.pvDayFactor(day);
        if (m_scenario.missedCloudyAfternoon(day) && now.time().hour() >= Scenario::cloudyAfternoonHour)
            power *= Scenario::cloudyAfternoonShare;
    }
    return power;
}

void HomeDevices::passingCloud(int minute)
{
    // Clouds of 1 to 10 minutes (shorter the faster they move), each
    // letting 20 to 50 % of the sun through, with gaps drawn so that they
    // cover the share "cloudiness" of the time.
    const double cover = m_scenario.cloudiness;
    if (cover <= 0)
        return;
    if (minute >= m_cloudUntil)
        m_cloudFactor = 1;
    if (minute < m_nextCloud)
        return;
    const int length = qMax(1, qRound((1.0 + 9.0 * m_householdRandom.generateDouble()) / m_scenario.cloudSpeed));
    m_cloudFactor = 0.2 + 0.3 * m_householdRandom.generateDouble();
    m_cloudUntil = minute + length;
    const double meanGap = 5.5 / m_scenario.cloudSpeed * (1.0 - cover) / cover;
    m_nextCloud = m_cloudUntil + qRound(-meanGap * std::log(1.0 - m_householdRandom.generateDouble()));
}

void HomeDevices::addScheduledLoad(int minute, const QDateTime &now, double *phasePower,
                                   QMap<QString, double> *loadPower) const
{
    for (int p = 0; p < 3; p++) {
        phasePower[p] = m_scenario.houseBaseLoad[p];
        if (now.time().hour() >= 17 && now.time().hour() < 22)
            phasePower[p] += m_scenario.houseEveningLoad[p];
    }
    for (const Scenario::Load &load : m_scenario.loads) {
        const bool on = minute >= load.fromMinute && minute < load.toMinute;
        for (int p = 0; p < 3; p++) {
            phasePower[p] += on ? load.phasePower[p] : 0;
            (*loadPower)[load.name] += on ? load.phasePower[p] : 0;
        }
    }
}

void HomeDevices::addHouseholdLoad(int minute, double *phasePower)
{
    for (int a = 0; a < m_scenario.appliances.count(); a++) {
        const Scenario::Appliance &appliance = m_scenario.appliances.at(a);
        ApplianceState &state = m_appliances[a];
        if (minute >= state.runningUntil) {
            const int minuteOfDay = m_scenario.minuteOfDay(minute);
            const int window = qMax(1, appliance.toMinuteOfDay - appliance.fromMinuteOfDay);
            const bool inWindow = minuteOfDay >= appliance.fromMinuteOfDay && minuteOfDay < appliance.toMinuteOfDay;
            if (inWindow && m_householdRandom.generateDouble() < appliance.perDay / window)
                state.runningUntil =
                        minute
                        + static_cast<int>(m_householdRandom.bounded(appliance.minMinutes, appliance.maxMinutes + 1));
        }
        const bool on = minute < state.runningUntil;
        double total = 0;
        for (int p = 0; p < 3; p++) {
            phasePower[p] += on ? appliance.phasePower[p] : 0;
            total += on ? appliance.phasePower[p] : 0;
        }
        state.thing->setStateValue(QStringLiteral("currentPower"), total);
    }
    for (int p = 0; p < 3 && m_scenario.houseNoise > 0; p++)
        phasePower[p] =
                qMax(0.0, phasePower[p] + m_scenario.houseNoise * (2.0 * m_householdRandom.generateDouble() - 1.0));
}

void HomeDevices::showLoads(const QMap<QString, double> &loadPower)
{
    for (auto it = loadPower.constBegin(); it != loadPower.constEnd(); ++it)
        m_loadThings.value(it.key())->setStateValue(QStringLiteral("currentPower"), it.value());
}

void HomeDevices::drawMeterNoise()
{
    for (int p = 0; p < 3; p++)
        m_meterNoise[p] = m_scenario.meterNoise > 0
                                  ? m_scenario.meterNoise * (2.0 * m_householdRandom.generateDouble() - 1.0)
                                  : 0.0;
}

void HomeDevices::showReadings(const Household &household, const MinuteRecord &record)
{
    const char *suffix[] = {"A", "B", "C"};
    // The meter reads the truth, give or take its noise.
    double gridPower = 0;
    for (int p = 0; p < 3; p++) {
        const double power = household.gridPhasePower(p) + m_meterNoise[p];
        gridPower += power;
        m_meter->setStateValue(QStringLiteral("currentPowerPhase") + QLatin1String(suffix[p]), power);
        m_meter->setStateValue(QStringLiteral("currentPhase") + QLatin1String(suffix[p]), power / voltage);
    }
    // Every power-balance change makes the plugin look at the meter, the
    // chargers and the battery. The meter goes first, once the chargers show
    // their new power, so that no look combines a new charger reading with
    // last minute's meter; the battery and the inverter follow, the way a
    // battery's own controller follows the meter.
    m_meter->setStateValue(QStringLiteral("currentPower"), gridPower);
    if (m_battery) {
        m_battery->setStateValue(QStringLiteral("batteryLevel"), qRound(record.batterySoc));
        m_battery->setStateValue(QStringLiteral("currentPower"), record.batteryPower);
    }
    if (m_inverter)
        m_inverter->setStateValue(QStringLiteral("currentPower"), -record.pvPower);
}
