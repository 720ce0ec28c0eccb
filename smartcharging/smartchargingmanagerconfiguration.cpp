#include "smartchargingmanager.h"
#include "smartcharging/vehicletraits.h"

#include "config/energysettings.h"
#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "common/tavroenergylogging.h"

#include "tavro/tavroclock.h"
#include "tavro/thingmanager.h"

#include <cmath>

namespace {
const QString configurationsGroup = QStringLiteral("ChargingConfigurations");
const QString legacyConfigurationsGroup = QStringLiteral("ChargingInfos");
const QString legacyLockOnUnplugKey = QStringLiteral("lockOnUnplug");
const QString manualSocsGroup = QStringLiteral("ManualSoCs");

// Writes manual values (key, value) to the charger's configuration group.
void writeManualParameters(const ThingId &evChargerId, const QList<QPair<QString, QVariant>> &values)
{
    EnergySettings settings;
    settings.beginGroup(configurationsGroup);
    settings.beginGroup(evChargerId.toString());
    for (const auto &value : values)
        settings.setValue(value.first, value.second);
}

bool isCharger(const Thing *thing)
{
    const QStringList &interfaces = thing->thingClass().interfaces();
    return interfaces.contains(QStringLiteral("evchargerac")) || interfaces.contains(QStringLiteral("evchargerdc"));
}

// Readers for one subgroup of the settings file. The file may have been
// edited by hand or written by an older version: a value that does not
// parse falls back to the value of a missing key, a number outside its
// range is clamped to it (an enum's number falls back instead), each with a
// warning, so that whatever is sound is still restored.
void warnInvalid(const QSettings &settings, const QString &key)
{
    qCWarning(dcTavroEnergy()) << "Ignoring invalid value in stored charging configuration:" << settings.group()
                               << key << settings.value(key);
}

enum class OutOfRange { Clamp, Fallback };

uint readUInt(const QSettings &settings, const QString &key, uint fallback, uint minimum, uint maximum,
              OutOfRange outOfRange = OutOfRange::Clamp)
{
    if (!settings.contains(key))
        return fallback;
    bool ok = false;
    const qlonglong value = settings.value(key).toLongLong(&ok);
    if (!ok || (outOfRange == OutOfRange::Fallback && (value < minimum || value > maximum))) {
        warnInvalid(settings, key);
        return fallback;
    }
    if (value < minimum || value > maximum) {
        qCWarning(dcTavroEnergy()) << "Stored charging configuration value out of range:" << settings.group() << key
                                   << value << "- using" << qBound<qlonglong>(minimum, value, maximum);
    }
    return static_cast<uint>(qBound<qlonglong>(minimum, value, maximum));
}

double readDouble(const QSettings &settings, const QString &key, double fallback)
{
    if (!settings.contains(key))
        return fallback;
    bool ok = false;
    const double value = settings.value(key).toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        warnInvalid(settings, key);
        return fallback;
    }
    return value;
}

bool readBool(const QSettings &settings, const QString &key, bool fallback)
{
    if (!settings.contains(key))
        return fallback;
    const QVariant value = settings.value(key);
    if (value.type() == QVariant::Bool)
        return value.toBool();
    // Any other text would convert to true.
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    warnInvalid(settings, key);
    return fallback;
}

QList<int> readRepeatDays(const QSettings &settings, const QString &key)
{
    QList<int> repeatDays;
    if (!settings.contains(key))
        return repeatDays;
    const QVariant value = settings.value(key);
    // A hand-written single day ("3") reads as text, not as a list.
    const QVariantList entries = value.type() == QVariant::String
            ? QVariant(value.toString().split(QLatin1Char(','), Qt::SkipEmptyParts)).toList()
            : value.toList();
    // Each day of the week once; whatever else is there is left out, with
    // one warning for the key.
    bool invalid = false;
    for (const QVariant &entry : entries) {
        bool ok = false;
        const int day = entry.toString().trimmed().toInt(&ok);
        if (!ok || day < 1 || day > 7 || repeatDays.contains(day)) {
            invalid = true;
            continue;
        }
        repeatDays.append(day);
    }
    if (invalid) {
        qCWarning(dcTavroEnergy()) << "Ignoring invalid value in stored charging configuration:" << settings.group()
                                   << key << "- keeping" << repeatDays << "of" << entries.count() << "entries";
    }
    return repeatDays;
}

QLocale readLocale(const QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    if (value.type() == QVariant::Locale)
        return value.toLocale();
    if (value.type() == QVariant::String && !value.toString().isEmpty())
        return QLocale(value.toString());
    return QLocale();
}

// Reads the keys of the current subgroup. The legacy layout lacks the
// discharge floor, the stop flag and the lock flag; they keep their
// constructor defaults there.
ChargingConfiguration readChargingConfiguration(const QSettings &settings, const ThingId &evChargerId, bool legacy)
{
    ChargingConfiguration configuration(evChargerId);
    configuration.setAssignedCarId(settings.value(QStringLiteral("assignedCarId")).toUuid());
    const uint mode = readUInt(settings, QStringLiteral("chargingMode"), ChargingConfiguration::ChargingModeNormal,
                               ChargingConfiguration::ChargingModeNormal,
                               ChargingConfiguration::ChargingModeEcoWithTargetTime, OutOfRange::Fallback);
    configuration.setChargingMode(static_cast<ChargingConfiguration::ChargingMode>(mode));
    if (settings.contains(QStringLiteral("endDateTime")))
        configuration.setEndDateTime(settings.value(QStringLiteral("endDateTime")).toDateTime());
    configuration.setRepeatDays(readRepeatDays(settings, QStringLiteral("repeatDays")));
    configuration.setTargetPercentage(readUInt(settings, QStringLiteral("targetPercentage"), 0, 0, 100));
    configuration.setDailySpotMarketPercentage(readUInt(settings, QStringLiteral("dailySpotMarketPercentage"), 0, 0, 100));
    if (!legacy) {
        configuration.setDischargeFloorPercentage(readUInt(settings, QStringLiteral("dischargeFloorPercentage"), 30, 0, 100));
        configuration.setLockOnUnplug(readBool(settings, QStringLiteral("lockOnUnplug"), false));
        configuration.setStopOnTargetPercentage(readBool(settings, QStringLiteral("stopOnTargetPercentage"), false));
    }
    configuration.setLocale(readLocale(settings, QStringLiteral("locale")));
    configuration.setManualChargingEnabled(readBool(settings, QStringLiteral("manualChargingEnabled"), false));
    configuration.setManualMaxChargingCurrent(readDouble(settings, QStringLiteral("manualMaxChargingCurrent"), 0.0));
    configuration.setManualDesiredPhaseCount(readUInt(settings, QStringLiteral("manualDesiredPhaseCount"), 3, 1, 3));
    configuration.setManualChargingPower(readDouble(settings, QStringLiteral("manualChargingPower"), 0.0));
    return configuration;
}

// Reads the current subgroup's chargers; subgroups of things that are gone
// (or are no chargers) are deleted from the file.
QList<ChargingConfiguration> readConfigurationGroup(QSettings &settings, ThingManager *thingManager, bool legacy)
{
    QList<ChargingConfiguration> configurations;
    const QStringList chargerGroups = settings.childGroups();
    for (const QString &chargerGroup : chargerGroups) {
        const ThingId evChargerId(chargerGroup);
        Thing *charger = evChargerId.isNull() ? nullptr : thingManager->findConfiguredThing(evChargerId);
        if (!charger || !isCharger(charger)) {
            qCWarning(dcTavroEnergy()) << "EV charger with ID" << chargerGroup
                                       << "not found in system. Not loading configuration.";
            settings.remove(chargerGroup);
            continue;
        }
        settings.beginGroup(chargerGroup);
        configurations.append(readChargingConfiguration(settings, evChargerId, legacy));
        settings.endGroup();
    }
    return configurations;
}
}

EnergyManager::EnergyError SmartChargingManager::setChargingConfiguration(const ChargingConfiguration &chargingConfiguration)
{
    qCDebug(dcTavroEnergy()) << "Setting charging configuration:" << chargingConfiguration;

    const ThingId evChargerId = chargingConfiguration.evChargerId();
    Thing *charger = evChargerId.isNull() ? nullptr : m_context.thingManager->findConfiguredThing(evChargerId);
    const bool acCharger = charger && charger->thingClass().interfaces().contains(QStringLiteral("evchargerac"));
    const bool dcCharger = charger && !acCharger
            && charger->thingClass().interfaces().contains(QStringLiteral("evchargerdc"));
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

    Thing *car = nullptr;
    if (!newConfiguration.assignedCarId().isNull()) {
        car = m_context.thingManager->findConfiguredThing(newConfiguration.assignedCarId());
        if (!car) {
            qCWarning(dcTavroEnergy()) << "The given assigned car id cannot be found in the system.";
            return EnergyManager::EnergyErrorInvalidParameter;
        }
    }

    if (car && !assignedCarFits(car, acCharger, dcCharger))
        return EnergyManager::EnergyErrorInvalidParameter;

    const bool carChanged = newConfiguration.assignedCarId() != stored.assignedCarId();
    if (carChanged)
        m_manualSocSessions.remove(evChargerId);

    if (newConfiguration.chargingMode() == stored.chargingMode()) {
        if (carChanged && newConfiguration.chargingMode() != ChargingConfiguration::ChargingModeNormal
                && charger->stateValue(QStringLiteral("pluggedIn")).toBool()) {
            initializeManualSocSession(evChargerId, newConfiguration, ManualSocInitializationTriggerCarAssigned);
        }
    } else {
        onChargingModeChanged(evChargerId, newConfiguration);
    }

    m_context.book.storeConfiguration(newConfiguration);
    qCInfo(dcTavroEnergy()) << "Charging configuration for" << charger->name() << "set to" << newConfiguration;
    m_context.book.announceConfiguration(newConfiguration);
    storeChargingConfiguration(newConfiguration);
    update(TavroClock::currentDateTime());
    return EnergyManager::EnergyErrorNoError;
}

bool SmartChargingManager::chargingConfigurationValuesValid(const ChargingConfiguration &chargingConfiguration,
                                                            Thing *charger, bool dcCharger) const
{
    if (chargingConfiguration.targetPercentage() > 100) {
        qCWarning(dcTavroEnergy()) << "Charging configuration target percentage out of range:"
                                   << chargingConfiguration.targetPercentage();
        return false;
    }

    for (int day : chargingConfiguration.repeatDays()) {
        if (day < 1 || day > 7) {
            qCWarning(dcTavroEnergy()) << "Charging configuration repeat days invalid. All days must be within 1 (Mon) and 7 (Sun):"
                                       << chargingConfiguration.repeatDays();
            return false;
        }
    }

    if (chargingConfiguration.dailySpotMarketPercentage() > 100) {
        qCWarning(dcTavroEnergy()) << "Charging configuration daily spot market percentage value out of range:"
                                   << chargingConfiguration.dailySpotMarketPercentage() << "is not in the range [0 - 100] %";
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

bool SmartChargingManager::assignedCarFits(Thing *car, bool acCharger, bool dcCharger) const
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

void SmartChargingManager::onChargingModeChanged(const ThingId &evChargerId, const ChargingConfiguration &chargingConfiguration)
{
    const QDateTime now = TavroClock::currentDateTime();
    const bool normalMode = chargingConfiguration.chargingMode() == ChargingConfiguration::ChargingModeNormal;

    if (EvChargerAc *charger = m_context.evChargersAc.value(evChargerId)) {
        qCDebug(dcTavroEnergy()) << "Charging mode changed for" << charger->name() << chargingConfiguration.chargingMode();
        if (!normalMode) {
            // The next cycle takes over; a deferred plug-in session starts now.
            if (charger->pluggedIn())
                initializeManualSocSession(evChargerId, chargingConfiguration, ManualSocInitializationTriggerSmartModeEntered);
            return;
        }

        qCDebug(dcTavroEnergy()) << "EV charger" << charger->name() << "changed to normal mode. Restoring manual values of"
                                 << chargingConfiguration.manualChargingEnabled()
                                 << chargingConfiguration.manualMaxChargingCurrent() << "A"
                                 << chargingConfiguration.manualDesiredPhaseCount() << "phases";
        // A phase count only matters where it can take effect; a charger
        // without the state would only reject the action.
        const ChargingProcessInfo processInfo = m_context.acProcessInfos.value(charger);
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
            restoreManualDcCharger(charger, chargingConfiguration);
            return;
        }
        if (charger->pluggedIn())
            initializeManualSocSession(evChargerId, chargingConfiguration, ManualSocInitializationTriggerSmartModeEntered);
        stopManagingDcCharger(charger, ChargingState::WaitingReasonNone);
        return;
    }

    qCWarning(dcTavroEnergy()) << "Charging mode changed but the associated thing does not exist. Ignoring the event.";
}

void SmartChargingManager::onActionExecuted(const Action &action, Thing::ThingError status)
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
    const ThingId thingId = thing->id();
    auto paramValue = [&action, &actionType](const QString &paramName) {
        return action.paramValue(actionType.paramTypes().findByName(paramName).id());
    };
    const QString configurationGroup = configurationsGroup + QLatin1Char('/') + thingId.toString();

    // In smart modes the manager owns the charger; what the user does there
    // is not a manual value. False without a configuration in normal mode.
    ChargingConfiguration stored;
    auto takeManualConfiguration = [this, &thingId, &stored]() {
        const auto it = m_context.book.configurations().constFind(thingId);
        if (it == m_context.book.configurations().constEnd()
                || it->chargingMode() != ChargingConfiguration::ChargingModeNormal)
            return false;
        stored = it.value();
        return true;
    };

    if (m_context.evChargersAc.contains(thingId)) {
        if (!takeManualConfiguration())
            return;

        if (stateName == QLatin1String("power")) {
            const bool enabled = paramValue(QStringLiteral("power")).toBool();
            qCDebug(dcTavroEnergy()) << "Manual charging is now" << (enabled ? "enabled" : "disabled") << "for" << thing->name();
            double current = stored.manualMaxChargingCurrent();
            uint phaseCount = stored.manualDesiredPhaseCount();
            {
                EnergySettings settings;
                settings.beginGroup(configurationGroup);
                current = readDouble(settings, QStringLiteral("manualMaxChargingCurrent"), current);
                phaseCount = readUInt(settings, QStringLiteral("manualDesiredPhaseCount"), phaseCount, 1, 3);
            }
            storeManualChargingParameters(thingId, enabled, current, phaseCount);
            if (!enabled && m_context.book.state(thingId).overloadProtectionActive()) {
                qCDebug(dcTavroEnergy()) << "Overload protection: Cancelling recovery for" << thing->name()
                                         << "because charging was manually disabled.";
                setChargingStateOverloadProtection(thingId, false, 0.0);
            }
            update(TavroClock::currentDateTime());
        } else if (stateName == QLatin1String("maxChargingCurrent")) {
            const double current = paramValue(QStringLiteral("maxChargingCurrent")).toDouble();
            qCDebug(dcTavroEnergy()) << "Manual charging current set to" << current << "[A] for" << thing->name();
            storeManualChargingParameters(thingId, stored.manualChargingEnabled(), current,
                                          stored.manualDesiredPhaseCount());
            update(TavroClock::currentDateTime());
        } else if (stateName == QLatin1String("desiredPhaseCount")) {
            const uint phaseCount = paramValue(QStringLiteral("desiredPhaseCount")).toUInt();
            qCDebug(dcTavroEnergy()) << "Manual phase count set to" << phaseCount << "for" << thing->name();
            storeManualChargingParameters(thingId, stored.manualChargingEnabled(), stored.manualMaxChargingCurrent(),
                                          phaseCount);
            update(TavroClock::currentDateTime());
        }
        return;
    }

    if (m_context.evChargersDc.contains(thingId)) {
        if (!takeManualConfiguration())
            return;

        if (stateName == QLatin1String("power")) {
            const bool enabled = paramValue(QStringLiteral("power")).toBool();
            double power = stored.manualChargingPower();
            {
                EnergySettings settings;
                settings.beginGroup(configurationGroup);
                power = readDouble(settings, QStringLiteral("manualChargingPower"), power);
            }
            storeManualDcChargingParameters(thingId, enabled, power);
            update(TavroClock::currentDateTime());
        } else if (stateName == QLatin1String("chargingPower")) {
            const double power = paramValue(QStringLiteral("chargingPower")).toDouble();
            storeManualDcChargingParameters(thingId, stored.manualChargingEnabled(), power);
            update(TavroClock::currentDateTime());
        }
        return;
    }

    // A car whose level the user types in: whatever the user did, the typed
    // level becomes the new base of the estimate.
    const StateType batteryLevelType = thing->thingClass().stateTypes().findByName(QStringLiteral("batteryLevel"));
    if (!VehicleTraits::isCar(thing) || !batteryLevelType.isValid() || !batteryLevelType.writable())
        return;

    const int batteryLevel = thing->stateValue(batteryLevelType.id()).toInt();
    {
        EnergySettings settings;
        settings.beginGroup(manualSocsGroup);
        settings.setValue(thingId.toString(), batteryLevel);
    }
    qCDebug(dcTavroEnergy()) << "Resetting custom SoC calculation";
    thing->setProperty("preciseSoC", batteryLevel);
    thing->setProperty("preciseBatteryLevel", static_cast<double>(batteryLevel));
    thing->setProperty("lastSoCCalculation", QVariant());
}

void SmartChargingManager::migrateSettings()
{
    QList<ChargingConfiguration> configurations;
    {
        EnergySettings settings;
        bool lockOnUnplug = false;
        if (settings.contains(legacyLockOnUnplugKey)) {
            qCDebug(dcTavroEnergy()) << "--> Migrate lock on unplug settings from global definition to charger based configurations...";
            lockOnUnplug = readBool(settings, legacyLockOnUnplugKey, false);
            settings.remove(legacyLockOnUnplugKey);
        }

        if (!settings.childGroups().contains(legacyConfigurationsGroup))
            return;

        qCDebug(dcTavroEnergy()) << "--> Migrate ChargingInfos to ChargingConfigurations...";
        settings.beginGroup(legacyConfigurationsGroup);
        configurations = readConfigurationGroup(settings, m_context.thingManager, true);
        settings.endGroup();
        for (ChargingConfiguration &configuration : configurations)
            configuration.setLockOnUnplug(lockOnUnplug);
    }

    for (const ChargingConfiguration &configuration : qAsConst(configurations))
        storeChargingConfiguration(configuration);

    qCDebug(dcTavroEnergy()) << "Migrated successfully" << configurations.count()
                             << "configurations. Removing old ChargingInfos...";
    EnergySettings settings;
    settings.remove(legacyConfigurationsGroup);
}

void SmartChargingManager::restoreChargingConfigurations()
{
    EnergySettings settings;
    settings.beginGroup(configurationsGroup);
    const QList<ChargingConfiguration> configurations = readConfigurationGroup(settings, m_context.thingManager, false);
    settings.endGroup();
    for (const ChargingConfiguration &configuration : configurations)
        m_context.book.restoreConfiguration(configuration);
}

void SmartChargingManager::storeChargingConfiguration(const ChargingConfiguration &chargingConfiguration)
{
    QVariantList repeatDays;
    for (int day : chargingConfiguration.repeatDays())
        repeatDays.append(day);

    EnergySettings settings;
    settings.beginGroup(configurationsGroup);
    settings.beginGroup(chargingConfiguration.evChargerId().toString());
    settings.setValue(QStringLiteral("assignedCarId"), chargingConfiguration.assignedCarId());
    settings.setValue(QStringLiteral("chargingMode"), static_cast<int>(chargingConfiguration.chargingMode()));
    settings.setValue(QStringLiteral("endDateTime"), chargingConfiguration.endDateTime());
    settings.setValue(QStringLiteral("repeatDays"), repeatDays);
    settings.setValue(QStringLiteral("targetPercentage"), chargingConfiguration.targetPercentage());
    settings.setValue(QStringLiteral("dischargeFloorPercentage"), chargingConfiguration.dischargeFloorPercentage());
    settings.setValue(QStringLiteral("dailySpotMarketPercentage"), chargingConfiguration.dailySpotMarketPercentage());
    settings.setValue(QStringLiteral("lockOnUnplug"), chargingConfiguration.lockOnUnplug());
    settings.setValue(QStringLiteral("stopOnTargetPercentage"), chargingConfiguration.stopOnTargetPercentage());
    settings.setValue(QStringLiteral("locale"), chargingConfiguration.locale());
    settings.setValue(QStringLiteral("manualChargingEnabled"), chargingConfiguration.manualChargingEnabled());
    settings.setValue(QStringLiteral("manualMaxChargingCurrent"), chargingConfiguration.manualMaxChargingCurrent());
    settings.setValue(QStringLiteral("manualDesiredPhaseCount"), chargingConfiguration.manualDesiredPhaseCount());
    settings.setValue(QStringLiteral("manualChargingPower"), chargingConfiguration.manualChargingPower());
}

void SmartChargingManager::storeManualChargingParameters(const ThingId &evChargerId, bool enabled,
                                                         double maxChargingCurrent, uint desiredPhaseCount)
{
    m_context.book.setManualAcParameters(evChargerId, enabled, maxChargingCurrent, desiredPhaseCount);
    writeManualParameters(evChargerId, {{QStringLiteral("manualChargingEnabled"), enabled},
                                        {QStringLiteral("manualMaxChargingCurrent"), maxChargingCurrent},
                                        {QStringLiteral("manualDesiredPhaseCount"), desiredPhaseCount}});
}

void SmartChargingManager::storeManualDcChargingParameters(const ThingId &evChargerId, bool enabled, double chargingPower)
{
    m_context.book.setManualDcParameters(evChargerId, enabled, chargingPower);
    writeManualParameters(evChargerId, {{QStringLiteral("manualChargingEnabled"), enabled},
                                        {QStringLiteral("manualChargingPower"), chargingPower}});
}

void SmartChargingManager::onPluggedInChanged(Thing *charger, bool pluggedIn)
{
    const ThingId evChargerId = charger->id();
    EvChargerAc *acCharger = m_context.evChargersAc.value(evChargerId);
    EvChargerDc *dcCharger = m_context.evChargersDc.value(evChargerId);

    // A new plug-in (or the end of one) starts with free locks.
    if (acCharger)
        acCharger->resetLocks();

    m_manualSocSessions.remove(evChargerId);
    const ChargingConfiguration configuration = m_context.book.configuration(evChargerId);

    if (pluggedIn) {
        qCDebug(dcTavroEnergy()) << "The car has been plugged in!";
        if (configuration.chargingMode() == ChargingConfiguration::ChargingModeNormal) {
            qCDebug(dcTavroEnergy()) << "Charger is set to normal charging mode. Deferring manual SoC session initialization until smart charging mode is enabled.";
        } else {
            initializeManualSocSession(evChargerId, configuration, ManualSocInitializationTriggerPluggedIn);
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
        stopManagingDcCharger(dcCharger, ChargingState::WaitingReasonNone);
    }

    // Only a real change of the mode is written and announced. The manual
    // restore values stay as they are.
    ChargingConfiguration changed;
    if (!m_context.book.setChargingMode(evChargerId, ChargingConfiguration::ChargingModeNormal, &changed))
        return;
    storeChargingConfiguration(changed);
    m_context.book.announceConfiguration(changed);
}

bool SmartChargingManager::isDcChargingConfigurationValid(const ChargingConfiguration &chargingConfiguration, Thing *charger) const
{
    Q_UNUSED(charger)
    if (chargingConfiguration.assignedCarId().isNull())
        return true;
    if (VehicleTraits::thingProvidesVehicleBatteryLevel(m_context.thingManager->findConfiguredThing(chargingConfiguration.assignedCarId())))
        return true;
    qCWarning(dcTavroEnergy()) << "Assigned DC vehicle does not provide battery level information.";
    return false;
}
