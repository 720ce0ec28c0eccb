#include "chargingconfigurator.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/configurationstore.h"
#include "smartcharging/dccontroller.h"
#include "smartcharging/manualsocestimator.h"
#include "smartcharging/overloadprotection.h"
#include "smartcharging/vehicletraits.h"

#include "config/energysettings.h"
#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "common/tavroenergylogging.h"

#include "tavro/tavroclock.h"
#include "tavro/thingmanager.h"

#include <cmath>

EnergyManager::EnergyError
ChargingConfigurator::setChargingConfiguration(const ChargingConfiguration &chargingConfiguration,
                                               QString *storageError)
{
    if (storageError)
        storageError->clear();
    qCDebug(dcTavroEnergy()) << "Setting charging configuration:" << chargingConfiguration;

    const ThingId evChargerId = chargingConfiguration.evChargerId();
    Thing *charger = evChargerId.isNull() ? nullptr : m_context.thingManager->findConfiguredThing(evChargerId);
    const bool acCharger = charger && charger->thingClass().interfaces().contains(QStringLiteral("evchargerac"));
    const bool dcCharger =
            charger && !acCharger && charger->thingClass().interfaces().contains(QStringLiteral("evchargerdc"));
    if (!acCharger && !dcCharger) {
        qCWarning(dcTavroEnergy()) << "No such EV charger:" << evChargerId;
        return EnergyManager::EnergyErrorInvalidParameter;
    }

    if (!chargingConfigurationValuesValid(chargingConfiguration, charger, dcCharger))
        return EnergyManager::EnergyErrorInvalidParameter;

    // The normal-mode restore values follow only what the user does at the
    // charger; this call cannot change them.
    const bool known = m_context.book.hasConfiguration(evChargerId);
    const ChargingConfiguration stored = m_context.book.configuration(evChargerId);
    ChargingConfiguration newConfiguration = chargingConfiguration;
    newConfiguration.setManualChargingEnabled(stored.manualChargingEnabled());
    newConfiguration.setManualMaxChargingCurrent(stored.manualMaxChargingCurrent());
    newConfiguration.setManualDesiredPhaseCount(stored.manualDesiredPhaseCount());
    newConfiguration.setManualChargingPower(stored.manualChargingPower());
    if (known && newConfiguration == stored)
        return EnergyManager::EnergyErrorNoError;

    if (!assignedCarAccepted(newConfiguration, acCharger, dcCharger))
        return EnergyManager::EnergyErrorInvalidParameter;

    // What the file does not hold does not happen: after a restart it would
    // be gone.
    if (!m_store.storeChargingConfiguration(newConfiguration, storageError))
        return EnergyManager::EnergyErrorInvalidParameter;

    followCarAndMode(charger, newConfiguration, stored);

    m_context.book.storeConfiguration(newConfiguration);
    qCInfo(dcTavroEnergy()) << "Charging configuration for" << charger->name() << "set to" << newConfiguration;
    m_context.book.announceConfiguration(newConfiguration);
    update(TavroClock::currentDateTime());
    return EnergyManager::EnergyErrorNoError;
}

bool ChargingConfigurator::assignedCarAccepted(const ChargingConfiguration &newConfiguration, bool acCharger,
                                               bool dcCharger) const
{
    Thing *car = nullptr;
    if (!newConfiguration.assignedCarId().isNull()) {
        car = m_context.thingManager->findConfiguredThing(newConfiguration.assignedCarId());
        if (!car) {
            qCWarning(dcTavroEnergy()) << "The given assigned car id cannot be found in the system.";
            return false;
        }
    }
    return !car || assignedCarFits(car, acCharger, dcCharger);
}

void ChargingConfigurator::followCarAndMode(Thing *charger, const ChargingConfiguration &newConfiguration,
                                            const ChargingConfiguration &stored)
{
    const ThingId evChargerId = newConfiguration.evChargerId();
    const bool carChanged = newConfiguration.assignedCarId() != stored.assignedCarId();
    if (carChanged)
        m_manualSoc.endSession(evChargerId);

    if (newConfiguration.chargingMode() == stored.chargingMode()) {
        if (carChanged && newConfiguration.chargingMode() != ChargingConfiguration::ChargingModeNormal
            && charger->stateValue(QStringLiteral("pluggedIn")).toBool()) {
            m_manualSoc.initializeManualSocSession(evChargerId, newConfiguration,
                                                   ManualSocEstimator::ManualSocInitializationTriggerCarAssigned);
        }
    } else {
        onChargingModeChanged(evChargerId, newConfiguration);
    }
}

bool ChargingConfigurator::chargingConfigurationValuesValid(const ChargingConfiguration &chargingConfiguration,
                                                            Thing *charger, bool dcCharger) const
{
    if (chargingConfiguration.targetPercentage() > 100) {
        qCWarning(dcTavroEnergy()) << "Charging configuration target percentage out of range:"
                                   << chargingConfiguration.targetPercentage();
        return false;
    }

    for (int day : chargingConfiguration.repeatDays()) {
        if (day < 1 || day > 7) {
            qCWarning(dcTavroEnergy())
                    << "Charging configuration repeat days invalid. All days must be within 1 (Mon) and 7 (Sun):"
                    << chargingConfiguration.repeatDays();
            return false;
        }
    }

    if (chargingConfiguration.dailySpotMarketPercentage() > 100) {
        qCWarning(dcTavroEnergy()) << "Charging configuration daily spot market percentage value out of range:"
                                   << chargingConfiguration.dailySpotMarketPercentage()
                                   << "is not in the range [0 - 100] %";
        return false;
    }

    if (chargingConfiguration.dischargeFloorPercentage() > 100) {
        qCWarning(dcTavroEnergy()) << "Charging configuration discharge floor percentage out of range:"
                                   << chargingConfiguration.dischargeFloorPercentage();
        return false;
    }

    if (dcCharger) {
        if (chargingConfiguration.dischargeFloorPercentage() >= chargingConfiguration.targetPercentage()) {
            qCWarning(dcTavroEnergy()) << "Charging configuration SoC range invalid:"
                                       << chargingConfiguration.dischargeFloorPercentage()
                                       << chargingConfiguration.targetPercentage();
            return false;
        }
        if (!isDcChargingConfigurationValid(chargingConfiguration, charger))
            return false;
    }
    return true;
}

bool ChargingConfigurator::assignedCarFits(Thing *car, bool acCharger, bool dcCharger) const
{
    if (dcCharger) {
        if (!VehicleTraits::thingProvidesVehicleBatteryLevel(car)) {
            qCWarning(dcTavroEnergy()) << "The assigned DC vehicle must provide a battery level state.";
            return false;
        }
        const QString interfaces = VehicleTraits::carChargingInterfaces(car);
        if (interfaces != QLatin1String("dc") && interfaces != QLatin1String("acdc")) {
            qCWarning(dcTavroEnergy()) << "The assigned DC vehicle must provide DC charging capability states.";
            return false;
        }
    }

    if (acCharger) {
        const QString interfaces = VehicleTraits::carChargingInterfaces(car);
        if (!VehicleTraits::isCar(car) || (interfaces != QLatin1String("ac") && interfaces != QLatin1String("acdc"))) {
            qCWarning(dcTavroEnergy()) << "The assigned AC vehicle must provide AC charging capability states.";
            return false;
        }
    }
    return true;
}

void ChargingConfigurator::onChargingModeChanged(const ThingId &evChargerId,
                                                 const ChargingConfiguration &chargingConfiguration)
{
    const QDateTime now = TavroClock::currentDateTime();
    const bool normalMode = chargingConfiguration.chargingMode() == ChargingConfiguration::ChargingModeNormal;

    if (EvChargerAc *charger = m_context.evChargersAc.value(evChargerId)) {
        qCDebug(dcTavroEnergy()) << "Charging mode changed for" << charger->name()
                                 << chargingConfiguration.chargingMode();
        if (!normalMode) {
            // The next cycle takes over; a deferred plug-in session starts now.
            if (charger->pluggedIn())
                m_manualSoc.initializeManualSocSession(
                        evChargerId, chargingConfiguration,
                        ManualSocEstimator::ManualSocInitializationTriggerSmartModeEntered);
            return;
        }

        qCDebug(dcTavroEnergy()) << "EV charger" << charger->name()
                                 << "changed to normal mode. Restoring manual values of"
                                 << chargingConfiguration.manualChargingEnabled()
                                 << chargingConfiguration.manualMaxChargingCurrent() << "A"
                                 << chargingConfiguration.manualDesiredPhaseCount() << "phases";
        // A phase count only matters where it can take effect; a charger
        // without the state would only reject the action.
        const ChargingProcessInfo processInfo = m_context.cycle.acInfoOrDefault(charger);
        if (charger->canSetPhaseCount() && (processInfo.phaseSwitchingPossible || processInfo.carLimitedToSinglePhase))
            charger->setDesiredPhaseCount(static_cast<int>(chargingConfiguration.manualDesiredPhaseCount()));
        if (chargingConfiguration.manualChargingEnabled() != charger->chargingEnabled())
            charger->setChargingEnabled(chargingConfiguration.manualChargingEnabled(), now, true, false);
        if (chargingConfiguration.manualMaxChargingCurrent() != charger->maxChargingCurrent())
            charger->setMaxChargingCurrent(chargingConfiguration.manualMaxChargingCurrent(), now, true);
        charger->resetChargingEnabledLock();
        m_context.book.resetTransient(evChargerId, ChargingState::WaitingReasonNone);
        return;
    }

    if (EvChargerDc *charger = m_context.evChargersDc.value(evChargerId)) {
        if (normalMode) {
            m_dc.restoreManualDcCharger(charger, chargingConfiguration);
            return;
        }
        if (charger->pluggedIn())
            m_manualSoc.initializeManualSocSession(evChargerId, chargingConfiguration,
                                                   ManualSocEstimator::ManualSocInitializationTriggerSmartModeEntered);
        m_dc.stopManagingDcCharger(charger, ChargingState::WaitingReasonNone);
        return;
    }

    qCWarning(dcTavroEnergy()) << "Charging mode changed but the associated thing does not exist. Ignoring the event.";
}

void ChargingConfigurator::onActionExecuted(const Action &action, Thing::ThingError status)
{
    if (status != Thing::ThingErrorNoError || action.triggeredBy() != Action::TriggeredByUser)
        return;
    Thing *thing = m_context.thingManager->findConfiguredThing(action.thingId());
    if (!thing)
        return;

    const ActionType actionType = thing->thingClass().actionTypes().findById(action.actionTypeId());
    QVariantMap params;
    for (const Param &param : action.params())
        params.insert(actionType.paramTypes().findById(param.paramTypeId()).name(), param.value());
    qCDebug(dcTavroEnergy()) << "User action executed on EV charger:" << actionType.name() << params;

    // Actions writing a state share the state type's id (and their single
    // parameter does too).
    const QString stateName = thing->thingClass().getStateType(action.actionTypeId()).name();
    const QVariant value = action.paramValue(actionType.paramTypes().findByName(stateName).id());

    // In smart modes the manager owns the charger; what the user does there
    // is not a manual value.
    const bool acCharger = m_context.evChargersAc.contains(thing->id());
    if (acCharger || m_context.evChargersDc.contains(thing->id())) {
        const ChargingConfiguration stored = m_context.book.configurations().value(thing->id());
        if (!m_context.book.hasConfiguration(thing->id())
            || stored.chargingMode() != ChargingConfiguration::ChargingModeNormal)
            return;
        const bool applied = acCharger ? applyManualAcAction(thing, stateName, value, stored)
                                       : applyManualDcAction(thing, stateName, value, stored);
        if (applied)
            update(TavroClock::currentDateTime());
        return;
    }
    resetTypedBatteryLevel(thing);
}

bool ChargingConfigurator::applyManualAcAction(Thing *charger, const QString &stateName, const QVariant &value,
                                               const ChargingConfiguration &stored)
{
    const ThingId thingId = charger->id();
    if (stateName == QLatin1String("power")) {
        const bool enabled = value.toBool();
        qCDebug(dcTavroEnergy()) << "Manual charging is now" << (enabled ? "enabled" : "disabled") << "for"
                                 << charger->name();
        const double current = m_store.storedManualValue(thingId, QStringLiteral("manualMaxChargingCurrent"),
                                                         stored.manualMaxChargingCurrent());
        const uint phaseCount = m_store.storedManualPhaseCount(thingId, stored.manualDesiredPhaseCount());
        m_store.storeManualChargingParameters(thingId, enabled, current, phaseCount);
        if (!enabled && m_context.book.state(thingId).overloadProtectionActive()) {
            qCDebug(dcTavroEnergy()) << "Overload protection: Cancelling recovery for" << charger->name()
                                     << "because charging was manually disabled.";
            m_overload.setChargingStateOverloadProtection(thingId, false, 0.0);
        }
    } else if (stateName == QLatin1String("maxChargingCurrent")) {
        const double current = value.toDouble();
        qCDebug(dcTavroEnergy()) << "Manual charging current set to" << current << "[A] for" << charger->name();
        m_store.storeManualChargingParameters(thingId, stored.manualChargingEnabled(), current,
                                              stored.manualDesiredPhaseCount());
    } else if (stateName == QLatin1String("desiredPhaseCount")) {
        const uint phaseCount = value.toUInt();
        qCDebug(dcTavroEnergy()) << "Manual phase count set to" << phaseCount << "for" << charger->name();
        m_store.storeManualChargingParameters(thingId, stored.manualChargingEnabled(),
                                              stored.manualMaxChargingCurrent(), phaseCount);
    } else {
        return false;
    }
    return true;
}

bool ChargingConfigurator::applyManualDcAction(Thing *charger, const QString &stateName, const QVariant &value,
                                               const ChargingConfiguration &stored)
{
    const ThingId thingId = charger->id();
    if (stateName == QLatin1String("power")) {
        const double power =
                m_store.storedManualValue(thingId, QStringLiteral("manualChargingPower"), stored.manualChargingPower());
        m_store.storeManualDcChargingParameters(thingId, value.toBool(), power);
    } else if (stateName == QLatin1String("chargingPower")) {
        m_store.storeManualDcChargingParameters(thingId, stored.manualChargingEnabled(), value.toDouble());
    } else {
        return false;
    }
    return true;
}

void ChargingConfigurator::resetTypedBatteryLevel(Thing *car)
{
    // A car whose level the user types in: whatever the user did, the typed
    // level becomes the new base of the estimate.
    const StateType batteryLevelType = car->thingClass().stateTypes().findByName(QStringLiteral("batteryLevel"));
    if (!VehicleTraits::isCar(car) || !batteryLevelType.isValid() || !batteryLevelType.writable())
        return;

    const int batteryLevel = car->stateValue(batteryLevelType.id()).toInt();
    m_store.storeManualSoc(car->id(), batteryLevel);
    qCDebug(dcTavroEnergy()) << "Resetting custom SoC calculation";
    car->setProperty("preciseSoC", batteryLevel);
    car->setProperty("preciseBatteryLevel", static_cast<double>(batteryLevel));
    car->setProperty("lastSoCCalculation", QVariant());

    // A level typed in while the car is plugged in starts the plug-in's
    // estimate: a deferred start on entering a smart mode later would go
    // back to the typed level and drop what the car charged since in
    // normal mode (random household 12141: 70 % typed at 08:22, 73.4 %
    // counted at 09:00, reset to 70 % and charged at once at the day's
    // dearest price for a deadline it made anyway).
    for (const ChargingConfiguration &configuration : m_context.book.configurations()) {
        const ThingId chargerId = configuration.evChargerId();
        if (configuration.assignedCarId() != car->id() || m_manualSoc.hasSession(chargerId))
            continue;
        const EvChargerAc *acCharger = m_context.evChargersAc.value(chargerId);
        const EvChargerDc *dcCharger = m_context.evChargersDc.value(chargerId);
        if ((acCharger && acCharger->pluggedIn()) || (dcCharger && dcCharger->pluggedIn()))
            m_manualSoc.restoreSession(chargerId, car->id());
    }
}

void ChargingConfigurator::onPluggedInChanged(Thing *charger, bool pluggedIn)
{
    const ThingId evChargerId = charger->id();
    EvChargerAc *acCharger = m_context.evChargersAc.value(evChargerId);
    EvChargerDc *dcCharger = m_context.evChargersDc.value(evChargerId);

    // A new plug-in (or the end of one) starts with free locks.
    if (acCharger)
        acCharger->resetLocks();

    m_manualSoc.endSession(evChargerId);
    const ChargingConfiguration configuration = m_context.book.configuration(evChargerId);

    if (pluggedIn) {
        qCDebug(dcTavroEnergy()) << "The car has been plugged in!";
        if (configuration.chargingMode() == ChargingConfiguration::ChargingModeNormal) {
            qCDebug(dcTavroEnergy())
                    << "Charger is set to normal charging mode. Deferring manual SoC session initialization until smart charging mode is enabled.";
        } else {
            m_manualSoc.initializeManualSocSession(evChargerId, configuration,
                                                   ManualSocEstimator::ManualSocInitializationTriggerPluggedIn);
        }
        return;
    }

    qCDebug(dcTavroEnergy()) << "The car has been unplugged!";
    if (!configuration.lockOnUnplug())
        return;

    qCDebug(dcTavroEnergy()) << "Lock on unplug is set. Reverting to manual mode and disabling charging";
    if (acCharger) {
        acCharger->setChargingEnabled(false, TavroClock::currentDateTime(), true, false);
        acCharger->resetChargingEnabledLock();
    } else if (dcCharger) {
        m_dc.stopManagingDcCharger(dcCharger, ChargingState::WaitingReasonNone);
    }

    // Only a real change of the mode is written and announced. The manual
    // restore values stay as they are.
    ChargingConfiguration changed;
    if (!m_context.book.setChargingMode(evChargerId, ChargingConfiguration::ChargingModeNormal, &changed))
        return;
    m_store.storeChargingConfiguration(changed);
    m_context.book.announceConfiguration(changed);
}

bool ChargingConfigurator::isDcChargingConfigurationValid(const ChargingConfiguration &chargingConfiguration,
                                                          Thing *charger) const
{
    Q_UNUSED(charger)
    if (chargingConfiguration.assignedCarId().isNull())
        return true;
    if (VehicleTraits::thingProvidesVehicleBatteryLevel(
                m_context.thingManager->findConfiguredThing(chargingConfiguration.assignedCarId())))
        return true;
    qCWarning(dcTavroEnergy()) << "Assigned DC vehicle does not provide battery level information.";
    return false;
}
