#include "configurationstore.h"
#include "smartcharging/chargingcontext.h"

#include "config/energysettings.h"
#include "config/settingschange.h"
#include "common/tavroenergylogging.h"

#include "tavro/thingmanager.h"

#include <cmath>

namespace {
const QString configurationsGroup = QStringLiteral("ChargingConfigurations");
const QString legacyConfigurationsGroup = QStringLiteral("ChargingInfos");
const QString legacyLockOnUnplugKey = QStringLiteral("lockOnUnplug");
const QString manualSocsGroup = QStringLiteral("ManualSoCs");

// The key of a value in the charger's configuration group.
QString configurationKey(const ThingId &evChargerId, const QString &name)
{
    return configurationsGroup + QLatin1Char('/') + evChargerId.toString() + QLatin1Char('/') + name;
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
    qCWarning(dcTavroEnergy()) << "Ignoring invalid value in stored charging configuration:" << settings.group() << key
                               << settings.value(key);
}

enum class OutOfRange {
    Clamp,
    Fallback
};

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
    const QVariantList entries =
            value.type() == QVariant::String
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
ChargingConfiguration readConfigurationKeys(const QSettings &settings, const ThingId &evChargerId, bool legacy)
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
    configuration.setDailySpotMarketPercentage(
            readUInt(settings, QStringLiteral("dailySpotMarketPercentage"), 0, 0, 100));
    if (!legacy) {
        configuration.setDischargeFloorPercentage(
                readUInt(settings, QStringLiteral("dischargeFloorPercentage"), 30, 0, 100));
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

// Reads the current subgroup's chargers. A charger the host does not have
// (yet) keeps its subgroup: a host may start a charger late or miss it for
// one start; only the host's word that it was removed deletes it. A subgroup
// that names no thing, or a thing that is no charger, can never be used: it
// goes to dropped, with a warning.
QList<ChargingConfiguration> readConfigurationGroup(QSettings &settings, ThingManager *thingManager, bool legacy,
                                                    bool missingToo, QStringList *dropped)
{
    QList<ChargingConfiguration> configurations;
    const QStringList chargerGroups = settings.childGroups();
    for (const QString &chargerGroup : chargerGroups) {
        const ThingId evChargerId(chargerGroup);
        Thing *charger = evChargerId.isNull() ? nullptr : thingManager->findConfiguredThing(evChargerId);
        if (evChargerId.isNull() || (charger && !isCharger(charger))) {
            qCWarning(dcTavroEnergy()) << "EV charger with ID" << chargerGroup
                                       << "not found in system. Not loading configuration.";
            dropped->append(chargerGroup);
            continue;
        }
        if (!charger && !missingToo) {
            qCInfo(dcTavroEnergy()) << "EV charger with ID" << chargerGroup
                                    << "not found in system. Keeping its configuration until it appears or is removed.";
            continue;
        }
        settings.beginGroup(chargerGroup);
        configurations.append(readConfigurationKeys(settings, evChargerId, legacy));
        settings.endGroup();
    }
    return configurations;
}

// The fourteen keys of a configuration.
void addConfiguration(SettingsChange &change, const ChargingConfiguration &chargingConfiguration)
{
    QVariantList repeatDays;
    for (int day : chargingConfiguration.repeatDays())
        repeatDays.append(day);
    const ThingId id = chargingConfiguration.evChargerId();
    change.setValue(configurationKey(id, QStringLiteral("assignedCarId")), chargingConfiguration.assignedCarId());
    change.setValue(configurationKey(id, QStringLiteral("chargingMode")),
                    static_cast<int>(chargingConfiguration.chargingMode()));
    change.setValue(configurationKey(id, QStringLiteral("endDateTime")), chargingConfiguration.endDateTime());
    change.setValue(configurationKey(id, QStringLiteral("repeatDays")), repeatDays);
    change.setValue(configurationKey(id, QStringLiteral("targetPercentage")), chargingConfiguration.targetPercentage());
    change.setValue(configurationKey(id, QStringLiteral("dischargeFloorPercentage")),
                    chargingConfiguration.dischargeFloorPercentage());
    change.setValue(configurationKey(id, QStringLiteral("dailySpotMarketPercentage")),
                    chargingConfiguration.dailySpotMarketPercentage());
    change.setValue(configurationKey(id, QStringLiteral("lockOnUnplug")), chargingConfiguration.lockOnUnplug());
    change.setValue(configurationKey(id, QStringLiteral("stopOnTargetPercentage")),
                    chargingConfiguration.stopOnTargetPercentage());
    change.setValue(configurationKey(id, QStringLiteral("locale")), chargingConfiguration.locale());
    change.setValue(configurationKey(id, QStringLiteral("manualChargingEnabled")),
                    chargingConfiguration.manualChargingEnabled());
    change.setValue(configurationKey(id, QStringLiteral("manualMaxChargingCurrent")),
                    chargingConfiguration.manualMaxChargingCurrent());
    change.setValue(configurationKey(id, QStringLiteral("manualDesiredPhaseCount")),
                    chargingConfiguration.manualDesiredPhaseCount());
    change.setValue(configurationKey(id, QStringLiteral("manualChargingPower")),
                    chargingConfiguration.manualChargingPower());
}
}

void ConfigurationStore::migrateSettings()
{
    SettingsChange change;
    QList<ChargingConfiguration> configurations;
    bool lockOnUnplug = false;
    {
        EnergySettings settings;
        if (settings.contains(legacyLockOnUnplugKey)) {
            qCDebug(dcTavroEnergy())
                    << "--> Migrate lock on unplug settings from global definition to charger based configurations...";
            lockOnUnplug = readBool(settings, legacyLockOnUnplugKey, false);
            change.remove(legacyLockOnUnplugKey);
        }

        if (settings.childGroups().contains(legacyConfigurationsGroup)) {
            qCDebug(dcTavroEnergy()) << "--> Migrate ChargingInfos to ChargingConfigurations...";
            settings.beginGroup(legacyConfigurationsGroup);
            QStringList dropped;
            configurations = readConfigurationGroup(settings, m_context.thingManager, true, true, &dropped);
            settings.endGroup();
            change.remove(legacyConfigurationsGroup);
        }
    }
    if (change.isEmpty())
        return;

    // One write: the old layout goes only together with the new one coming.
    for (ChargingConfiguration &configuration : configurations) {
        configuration.setLockOnUnplug(lockOnUnplug);
        addConfiguration(change, configuration);
    }
    if (change.commit())
        qCDebug(dcTavroEnergy()) << "Migrated successfully" << configurations.count()
                                 << "configurations. Removing old ChargingInfos...";
}

void ConfigurationStore::restoreChargingConfigurations()
{
    QStringList dropped;
    QList<ChargingConfiguration> configurations;
    {
        EnergySettings settings;
        settings.beginGroup(configurationsGroup);
        configurations = readConfigurationGroup(settings, m_context.thingManager, false, false, &dropped);
    }
    for (const ChargingConfiguration &configuration : qAsConst(configurations))
        m_context.book.restoreConfiguration(configuration);
    SettingsChange change;
    for (const QString &chargerGroup : qAsConst(dropped))
        change.remove(configurationsGroup + QLatin1Char('/') + chargerGroup);
    if (!change.isEmpty())
        change.commit();
}

bool ConfigurationStore::readChargingConfiguration(const ThingId &evChargerId, ChargingConfiguration *configuration)
{
    EnergySettings settings;
    settings.beginGroup(configurationsGroup);
    if (!settings.childGroups().contains(evChargerId.toString()))
        return false;
    settings.beginGroup(evChargerId.toString());
    *configuration = readConfigurationKeys(settings, evChargerId, false);
    return true;
}

bool ConfigurationStore::storeChargingConfiguration(const ChargingConfiguration &chargingConfiguration, QString *error)
{
    SettingsChange change;
    addConfiguration(change, chargingConfiguration);
    return change.commit(error);
}

void ConfigurationStore::removeChargingConfiguration(const ThingId &evChargerId)
{
    SettingsChange change;
    change.remove(configurationsGroup + QLatin1Char('/') + evChargerId.toString());
    change.commit();
}

void ConfigurationStore::storeManualChargingParameters(const ThingId &evChargerId, bool enabled,
                                                       double maxChargingCurrent, uint desiredPhaseCount)
{
    m_context.book.setManualAcParameters(evChargerId, enabled, maxChargingCurrent, desiredPhaseCount);
    SettingsChange change;
    change.setValue(configurationKey(evChargerId, QStringLiteral("manualChargingEnabled")), enabled);
    change.setValue(configurationKey(evChargerId, QStringLiteral("manualMaxChargingCurrent")), maxChargingCurrent);
    change.setValue(configurationKey(evChargerId, QStringLiteral("manualDesiredPhaseCount")), desiredPhaseCount);
    change.commit();
}

void ConfigurationStore::storeManualDcChargingParameters(const ThingId &evChargerId, bool enabled, double chargingPower)
{
    m_context.book.setManualDcParameters(evChargerId, enabled, chargingPower);
    SettingsChange change;
    change.setValue(configurationKey(evChargerId, QStringLiteral("manualChargingEnabled")), enabled);
    change.setValue(configurationKey(evChargerId, QStringLiteral("manualChargingPower")), chargingPower);
    change.commit();
}

double ConfigurationStore::storedManualValue(const ThingId &evChargerId, const QString &key, double fallback) const
{
    EnergySettings settings;
    settings.beginGroup(configurationsGroup);
    settings.beginGroup(evChargerId.toString());
    return readDouble(settings, key, fallback);
}

uint ConfigurationStore::storedManualPhaseCount(const ThingId &evChargerId, uint fallback) const
{
    EnergySettings settings;
    settings.beginGroup(configurationsGroup);
    settings.beginGroup(evChargerId.toString());
    return readUInt(settings, QStringLiteral("manualDesiredPhaseCount"), fallback, 1, 3);
}

void ConfigurationStore::storeManualSoc(const ThingId &carId, int batteryLevel)
{
    SettingsChange change;
    change.setValue(manualSocsGroup + QLatin1Char('/') + carId.toString(), batteryLevel);
    change.commit();
}
