#include "configurationstore.h"
#include "smartcharging/chargingcontext.h"

#include "config/energysettings.h"
#include "common/tavroenergylogging.h"

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

void ConfigurationStore::migrateSettings()
{
    QList<ChargingConfiguration> configurations;
    {
        EnergySettings settings;
        bool lockOnUnplug = false;
        if (settings.contains(legacyLockOnUnplugKey)) {
            qCDebug(dcTavroEnergy())
                    << "--> Migrate lock on unplug settings from global definition to charger based configurations...";
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

void ConfigurationStore::restoreChargingConfigurations()
{
    EnergySettings settings;
    settings.beginGroup(configurationsGroup);
    const QList<ChargingConfiguration> configurations = readConfigurationGroup(settings, m_context.thingManager, false);
    settings.endGroup();
    for (const ChargingConfiguration &configuration : configurations)
        m_context.book.restoreConfiguration(configuration);
}

void ConfigurationStore::storeChargingConfiguration(const ChargingConfiguration &chargingConfiguration)
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

void ConfigurationStore::storeManualChargingParameters(const ThingId &evChargerId, bool enabled,
                                                       double maxChargingCurrent, uint desiredPhaseCount)
{
    m_context.book.setManualAcParameters(evChargerId, enabled, maxChargingCurrent, desiredPhaseCount);
    writeManualParameters(evChargerId, {{QStringLiteral("manualChargingEnabled"), enabled},
                                        {QStringLiteral("manualMaxChargingCurrent"), maxChargingCurrent},
                                        {QStringLiteral("manualDesiredPhaseCount"), desiredPhaseCount}});
}

void ConfigurationStore::storeManualDcChargingParameters(const ThingId &evChargerId, bool enabled, double chargingPower)
{
    m_context.book.setManualDcParameters(evChargerId, enabled, chargingPower);
    writeManualParameters(evChargerId, {{QStringLiteral("manualChargingEnabled"), enabled},
                                        {QStringLiteral("manualChargingPower"), chargingPower}});
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
    EnergySettings settings;
    settings.beginGroup(manualSocsGroup);
    settings.setValue(carId.toString(), batteryLevel);
}
