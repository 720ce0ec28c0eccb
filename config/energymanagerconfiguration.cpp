#include "energymanagerconfiguration.h"

#include "common/tavroenergylogging.h"
#include "tavro/tavrosettings.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QVariantMap>

#include <limits>

EnergyManagerConfiguration::EnergyManagerConfiguration(QObject *parent)
    : QObject(parent)
{
    qCDebug(dcTavroEnergy()) << "Checking energy manager configuration...";

    const QString envFileName = qEnvironmentVariable("TAVRO_ENERGY_MANAGER_CONFIG");
    if (!envFileName.isEmpty()) {
        // An explicitly named file replaces the default location entirely.
        QFileInfo fileInfo(envFileName);
        if (fileInfo.exists()) {
            loadConfiguration(fileInfo.absoluteFilePath());
        } else {
            qCWarning(dcTavroEnergy())
                    << "The energy manager configuration has been specified in the ENV, but there is no such file:"
                    << envFileName;
        }
        return;
    }

    QFileInfo fileInfo(TavroSettings::storagePath() + QStringLiteral("/energy-manager-configuration.json"));
    if (fileInfo.exists() && loadConfiguration(fileInfo.absoluteFilePath()))
        qCDebug(dcTavroEnergy()) << "Loaded the energy manager configuration successfully from"
                                 << fileInfo.absoluteFilePath();
}

uint EnergyManagerConfiguration::chargingEnabledLockDuration() const
{
    return m_chargingEnabledLockDuration;
}

uint EnergyManagerConfiguration::chargingCurrentLockDuration() const
{
    return m_chargingCurrentLockDuration;
}

uint EnergyManagerConfiguration::minimumScheduleDuration() const
{
    return m_minimumScheduleDuration;
}

uint EnergyManagerConfiguration::chargingShareRotationWindow() const
{
    return m_chargingShareRotationWindow;
}

double EnergyManagerConfiguration::spotMarketChargePredictableEnergyPercentage() const
{
    return m_spotMarketChargePredictableEnergyPercentage;
}

ChargingShareStrategy::Strategy EnergyManagerConfiguration::chargingShareStrategy() const
{
    return m_chargingShareStrategy;
}

uint EnergyManagerConfiguration::phaseSwitchUpDelay() const
{
    return m_phaseSwitchUpDelay;
}

uint EnergyManagerConfiguration::phaseSwitchDownDelay() const
{
    return m_phaseSwitchDownDelay;
}

uint EnergyManagerConfiguration::phaseSwitchHoldTime() const
{
    return m_phaseSwitchHoldTime;
}

uint EnergyManagerConfiguration::surplusStartDelay() const
{
    return m_surplusStartDelay;
}

uint EnergyManagerConfiguration::surplusStopDelay() const
{
    return m_surplusStopDelay;
}

// Unsigned conversion of a JSON value. A plain conversion would wrap a
// negative number to about four billion seconds; 0 would turn a lock off.
// So a negative number keeps the current value (the default) and a number
// beyond the unsigned range is clamped to it, each with a warning.
static uint toDuration(const QString &key, const QVariant &value, uint current)
{
    if (value.type() == QVariant::Double || value.type() == QVariant::Int || value.type() == QVariant::LongLong) {
        const double number = value.toDouble();
        if (number < 0) {
            qCWarning(dcTavroEnergy()) << "Negative value in the energy manager configuration for" << key << number
                                       << "- keeping" << current;
            return current;
        }
        if (number > std::numeric_limits<uint>::max()) {
            qCWarning(dcTavroEnergy()) << "Value too large in the energy manager configuration for" << key << number
                                       << "- using" << std::numeric_limits<uint>::max();
            return std::numeric_limits<uint>::max();
        }
    }
    return value.toUInt();
}

bool EnergyManagerConfiguration::loadConfiguration(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qCWarning(dcTavroEnergy()) << "Failed to open energy manager configuration file" << fileName << ":"
                                   << file.errorString();
        return false;
    }

    const QByteArray data = file.readAll();
    file.close();

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError) {
        qCWarning(dcTavroEnergy()) << "Failed to load energy manager configuration, the JSON data seems to be invalid:"
                                   << error.errorString();
        return false;
    }

    const QVariantMap map = document.toVariant().toMap();
    const QString enabledLockKey = QStringLiteral("chargingEnabledLockDuration");
    const QString currentLockKey = QStringLiteral("chargingCurrentLockDuration");
    const QString scheduleKey = QStringLiteral("minimumScheduleDuration");
    const QString rotationKey = QStringLiteral("chargingShareRotationWindow");
    const QString percentageKey = QStringLiteral("spotMarketChargePredictableEnergyPercentage");
    const QString strategyKey = QStringLiteral("chargingShareStrategy");

    if (map.contains(enabledLockKey))
        m_chargingEnabledLockDuration =
                toDuration(enabledLockKey, map.value(enabledLockKey), m_chargingEnabledLockDuration);
    if (map.contains(currentLockKey))
        m_chargingCurrentLockDuration =
                toDuration(currentLockKey, map.value(currentLockKey), m_chargingCurrentLockDuration);
    if (map.contains(scheduleKey))
        m_minimumScheduleDuration = toDuration(scheduleKey, map.value(scheduleKey), m_minimumScheduleDuration);
    if (map.contains(rotationKey))
        m_chargingShareRotationWindow = toDuration(rotationKey, map.value(rotationKey), m_chargingShareRotationWindow);
    if (map.contains(percentageKey))
        m_spotMarketChargePredictableEnergyPercentage = map.value(percentageKey).toDouble();
    if (map.contains(strategyKey))
        m_chargingShareStrategy =
                ChargingShareStrategy::strategyFromString(map.value(strategyKey).toString(), m_chargingShareStrategy);
    const QList<QPair<QString, uint *>> calmingKeys = {
            {QStringLiteral("phaseSwitchUpDelay"), &m_phaseSwitchUpDelay},
            {QStringLiteral("phaseSwitchDownDelay"), &m_phaseSwitchDownDelay},
            {QStringLiteral("phaseSwitchHoldTime"), &m_phaseSwitchHoldTime},
            {QStringLiteral("surplusStartDelay"), &m_surplusStartDelay},
            {QStringLiteral("surplusStopDelay"), &m_surplusStopDelay}};
    for (const auto &key : calmingKeys) {
        if (map.contains(key.first))
            *key.second = toDuration(key.first, map.value(key.first), *key.second);
    }

    return true;
}
