#include "manualsocestimator.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/ownernotifier.h"
#include "smartcharging/processpreparation.h"
#include "smartcharging/vehicletraits.h"

#include "config/energysettings.h"
#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "common/tavroenergylogging.h"

#include "tavro/tavrosettings.h"
#include "tavro/thingmanager.h"

#include <cmath>

namespace {

const QString manualSocsGroup = QStringLiteral("ManualSoCs");
// Level (%) a session starts from when the user never entered one.
const int defaultManualSoc = 20;
// Share of the grid energy that reaches the battery for a charger without a
// prepared process info.
const double defaultLossFactor = 0.9;

const char *const notificationTitle = QT_TRANSLATE_NOOP("SmartChargingManager", "Car plugged in");
const char *const notificationBody =
        QT_TRANSLATE_NOOP("SmartChargingManager", "Tap here to update the state of charge.");

// The dynamic properties kept on the car thing (runtime only).
const char *const preciseSocProperty = "preciseSoC";
const char *const preciseBatteryLevelProperty = "preciseBatteryLevel";
const char *const lastSocCalculationProperty = "lastSoCCalculation";
const char *const totalEnergyChargedProperty = "totalEnergyCharged";

}

bool ManualSocEstimator::initializeManualSocSession(const ThingId &evChargerId,
                                                    const ChargingConfiguration &chargingConfiguration,
                                                    ManualSocInitializationTrigger trigger)
{
    // A DC charger talking to the car knows which car is plugged in.
    Thing *car = nullptr;
    if (EvChargerDc *dcCharger = m_context.evChargersDc.value(evChargerId)) {
        if (dcCharger->hlcSessionActive()) {
            Thing *vehicle = m_context.thingManager->findConfiguredThing(dcCharger->connectedVehicleThingId());
            if (VehicleTraits::thingProvidesVehicleBatteryLevel(vehicle))
                car = vehicle;
        }
    }
    if (!car) {
        car = m_context.thingManager->findConfiguredThing(chargingConfiguration.assignedCarId());
        if (!car) {
            qCDebug(dcTavroEnergy()) << "Not initializing manual SoC session. No car assigned to EV charger"
                                     << evChargerId;
            return false;
        }
    }

    const StateType batteryLevelType = car->thingClass().stateTypes().findByName(QStringLiteral("batteryLevel"));
    const ActionType batteryLevelAction = car->thingClass().actionTypes().findByName(QStringLiteral("batteryLevel"));
    if (!batteryLevelType.isValid() || !batteryLevelType.writable() || batteryLevelAction.id().isNull())
        return false;

    auto session = m_manualSocSessions.constFind(evChargerId);
    if (session != m_manualSocSessions.constEnd() && session.value() == car->id())
        return false;
    m_manualSocSessions.insert(evChargerId, car->id());

    switch (trigger) {
    case ManualSocInitializationTriggerPluggedIn:
        qCDebug(dcTavroEnergy()) << "Initializing manual SoC immediately on plug-in for" << car->name();
        break;
    case ManualSocInitializationTriggerSmartModeEntered:
        qCDebug(dcTavroEnergy()) << "Initializing deferred manual SoC when entering smart charging mode for"
                                 << car->name();
        break;
    case ManualSocInitializationTriggerCarAssigned:
        qCDebug(dcTavroEnergy()) << "Initializing manual SoC for newly assigned car during the active plug-in session:"
                                 << car->name();
        break;
    }

    // A hand-edited file may hold anything; the level stays a percentage.
    int batteryLevel = defaultManualSoc;
    {
        EnergySettings settings;
        settings.beginGroup(manualSocsGroup);
        const QVariant stored = settings.value(car->id().toString());
        bool ok = false;
        const int value = stored.toInt(&ok);
        if (stored.isValid() && ok)
            batteryLevel = qBound(0, value, 100);
    }

    car->setProperty(preciseSocProperty, batteryLevel);
    car->setProperty(preciseBatteryLevelProperty, static_cast<double>(batteryLevel));
    car->setProperty(lastSocCalculationProperty, QVariant());

    setManualSocCarBatteryLevel(car, batteryLevel);
    m_notifier.push(evChargerId, chargingConfiguration.locale(), notificationTitle, notificationBody);
    return true;
}

void ManualSocEstimator::setManualSocCarBatteryLevel(Thing *car, int batteryLevel)
{
    const ActionType actionType = car->thingClass().actionTypes().findByName(QStringLiteral("batteryLevel"));
    if (actionType.id().isNull())
        return;
    // Origin 1: the manager's own action handler reacts only to user input.
    Action action(actionType.id(), car->id(), Action::TriggeredByRule);
    action.setParams(ParamList({Param(ParamTypeId(actionType.id()), batteryLevel)}));
    m_context.thingManager->executeAction(action);
}

void ManualSocEstimator::addManualSocEnergy(const ThingId &evChargerId, Thing *car, double energy,
                                            const QDateTime &currentDateTime)
{
    const double totalEnergy = car->property(totalEnergyChargedProperty).toDouble() + energy;
    car->setProperty(totalEnergyChargedProperty, totalEnergy);

    // Without a capacity the energy cannot be turned into a percentage; the
    // estimate stays where it is rather than becoming infinite.
    const double capacity = car->stateValue(QStringLiteral("capacity")).toDouble();
    if (!(capacity > 0) || !std::isfinite(capacity)) {
        qCDebug(dcTavroEnergy()) << "Skipping the state of charge estimate for" << car->name()
                                 << "because the car reports no battery capacity:" << capacity << "kWh";
        return;
    }

    const double delta = energy * 100 / capacity;
    double base = car->property(preciseSocProperty).toDouble();
    if (qFuzzyIsNull(base))
        base = car->stateValue(QStringLiteral("batteryLevel")).toDouble();
    const double estimate = qBound(0.0, base + delta, 100.0);
    car->setProperty(preciseSocProperty, estimate);

    const int rounded = static_cast<int>(std::round(estimate));
    qCDebug(dcTavroEnergy()) << "Manual SoC estimate for" << car->name() << ":" << estimate << "% after" << energy
                             << "kWh, total" << totalEnergy << "kWh";
    if (rounded != car->stateValue(QStringLiteral("batteryLevel")).toInt())
        setManualSocCarBatteryLevel(car, rounded);

    m_preparation.evaluateTargetPercentageReached(evChargerId, estimate, currentDateTime);
}

void ManualSocEstimator::updateManualSoCsWithMeter(EnergyLogs::SampleRate sampleRate, const ThingPowerLogEntry &entry)
{
    Q_UNUSED(sampleRate)

    EvChargerAc *charger = m_context.evChargersAc.value(entry.thingId());
    if (!charger || !charger->available())
        return;

    const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
    Thing *car = m_context.thingManager->findConfiguredThing(configuration.assignedCarId());
    if (!VehicleTraits::isManualSocCar(car))
        return;

    // One entry holds one minute of the charger's mean power.
    const ChargingProcessInfo *info = m_context.cycle.acInfo(charger);
    const double lossFactor = info ? info->lossFactor : defaultLossFactor;
    const double energy = entry.currentPower() / 60000 * lossFactor;
    addManualSocEnergy(charger->id(), car, energy, entry.timestamp());
}

void ManualSocEstimator::updateManualSoCsWithoutMeter(const QDateTime &currentDateTime)
{
    const QList<EvChargerAc *> chargers = m_context.evChargersAc.values();
    for (EvChargerAc *charger : chargers) {
        if (charger->hasPowerMeter() || !charger->available())
            continue;

        const ChargingConfiguration &configuration = m_context.book.configuration(charger->id());
        Thing *car = m_context.thingManager->findConfiguredThing(configuration.assignedCarId());
        if (!VehicleTraits::isManualSocCar(car))
            continue;

        const QDateTime lastCalculation = car->property(lastSocCalculationProperty).toDateTime();
        if (!lastCalculation.isValid()) {
            // The start of the measurement: energy counts from the next cycle
            // on. A level just set by a session start or by the user is kept:
            // its "batteryLevel" action may still be on its way to the car, so
            // the state can hold the old level for now.
            if (qFuzzyIsNull(car->property(preciseSocProperty).toDouble()))
                car->setProperty(preciseSocProperty, car->stateValue(QStringLiteral("batteryLevel")));
            car->setProperty(lastSocCalculationProperty, currentDateTime);
            continue;
        }

        if (!charger->charging()) {
            car->setProperty(lastSocCalculationProperty, currentDateTime);
            m_preparation.evaluateTargetPercentageReached(
                    charger->id(), car->stateValue(QStringLiteral("batteryLevel")).toDouble(), currentDateTime);
            continue;
        }

        // A clock set back must not take energy out of the car.
        const qint64 elapsed = qMax<qint64>(0, lastCalculation.msecsTo(currentDateTime));
        const ChargingProcessInfo *info = m_context.cycle.acInfo(charger);
        const double lossFactor = info ? info->lossFactor : defaultLossFactor;
        const double energy = elapsed * charger->currentPower() / 1000 / 60 / 60 / 1000 * lossFactor;
        car->setProperty(lastSocCalculationProperty, currentDateTime);
        addManualSocEnergy(charger->id(), car, energy, currentDateTime);
    }
}
