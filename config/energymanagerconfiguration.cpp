#include "energymanagerconfiguration.h"

#include "common/jsonschemacheck.h"
#include "common/tavroenergylogging.h"
#include "tavro/tavrosettings.h"
#include "tuningschema.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSet>
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
        if (fileInfo.exists() && loadConfiguration(fileInfo.absoluteFilePath())) {
            qCDebug(dcTavroEnergy()) << "Loaded the energy manager configuration successfully from"
                                     << fileInfo.absoluteFilePath();
        } else if (!fileInfo.exists()) {
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
static uint toDuration(const QString &key, const QVariant &value, uint current, int *problems)
{
    if (value.type() == QVariant::Double || value.type() == QVariant::Int || value.type() == QVariant::LongLong) {
        const double number = value.toDouble();
        if (number < 0) {
            qCWarning(dcTavroEnergy()) << "Negative value in the energy manager configuration for" << key << number
                                       << "- keeping" << current;
            ++*problems;
            return current;
        }
        if (number > std::numeric_limits<uint>::max()) {
            qCWarning(dcTavroEnergy()) << "Value too large in the energy manager configuration for" << key << number
                                       << "- using" << std::numeric_limits<uint>::max();
            ++*problems;
            return std::numeric_limits<uint>::max();
        }
    }
    return value.toUInt();
}

namespace {

// The file's JSON; false (logged) where it cannot be read or parsed.
bool readDocument(const QString &fileName, QJsonDocument *document)
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
    *document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError) {
        qCWarning(dcTavroEnergy()).noquote()
                << "Failed to load energy manager configuration, the JSON data seems to be invalid:"
                << JsonSchemaCheck::parseErrorText(data, error) << "in" << fileName;
        return false;
    }
    return true;
}

// Keys the plugin does not know (a typo would silently keep a default) and
// values of the wrong type, each logged; their paths go to *refused.
int logSchemaProblems(const QJsonDocument &document, QSet<QString> *refused)
{
    const JsonSchemaCheck schema{QByteArray(tuningSchemaText)};
    const QJsonValue root = document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
    const QList<JsonSchemaCheck::Problem> problems = schema.check(root);
    for (const JsonSchemaCheck::Problem &problem : problems) {
        if (problem.unknownKey)
            // "unknown key (did you mean ...?)": the key and the suggestion.
            qCWarning(dcTavroEnergy()).noquote()
                    << "Unknown key in the energy manager configuration:"
                    << (problem.path + problem.message.mid(QStringLiteral("unknown key").size())) << "- ignored";
        else if (problem.path.isEmpty())
            qCWarning(dcTavroEnergy()).noquote()
                    << "The energy manager configuration is no JSON object:" << problem.message
                    << "- keeping every default";
        else
            qCWarning(dcTavroEnergy()).noquote() << "Wrong type in the energy manager configuration for" << problem.path
                                                 << "-" << problem.message << "- keeping the current value";
        refused->insert(problem.path);
    }
    return problems.count();
}

}

bool EnergyManagerConfiguration::loadConfiguration(const QString &fileName)
{
    QJsonDocument document;
    if (!readDocument(fileName, &document))
        return false;
    // Refused keys and values are named and left out; the rest counts.
    QSet<QString> refused;
    const int schemaProblems = logSchemaProblems(document, &refused);
    if (!document.isObject())
        return false;
    QVariantMap map = document.toVariant().toMap();
    for (const QString &key : refused)
        map.remove(key);
    const int rangeProblems = applyValues(map);
    return schemaProblems == 0 && rangeProblems == 0;
}

int EnergyManagerConfiguration::applyValues(const QVariantMap &map)
{
    int rangeProblems = 0;
    const QString enabledLockKey = QStringLiteral("chargingEnabledLockDuration");
    const QString currentLockKey = QStringLiteral("chargingCurrentLockDuration");
    const QString scheduleKey = QStringLiteral("minimumScheduleDuration");
    const QString rotationKey = QStringLiteral("chargingShareRotationWindow");
    const QString percentageKey = QStringLiteral("spotMarketChargePredictableEnergyPercentage");
    const QString strategyKey = QStringLiteral("chargingShareStrategy");

    const QList<QPair<QString, uint *>> durationKeys = {
            {enabledLockKey, &m_chargingEnabledLockDuration},
            {currentLockKey, &m_chargingCurrentLockDuration},
            {scheduleKey, &m_minimumScheduleDuration},
            {rotationKey, &m_chargingShareRotationWindow},
            {QStringLiteral("phaseSwitchUpDelay"), &m_phaseSwitchUpDelay},
            {QStringLiteral("phaseSwitchDownDelay"), &m_phaseSwitchDownDelay},
            {QStringLiteral("phaseSwitchHoldTime"), &m_phaseSwitchHoldTime},
            {QStringLiteral("surplusStartDelay"), &m_surplusStartDelay},
            {QStringLiteral("surplusStopDelay"), &m_surplusStopDelay}};
    for (const auto &key : durationKeys) {
        if (map.contains(key.first))
            *key.second = toDuration(key.first, map.value(key.first), *key.second, &rangeProblems);
    }
    if (map.contains(percentageKey))
        m_spotMarketChargePredictableEnergyPercentage = map.value(percentageKey).toDouble();
    if (map.contains(strategyKey)) {
        const QString text = map.value(strategyKey).toString();
        // The four names never map to one another: a name that gives the
        // fallback for both fallbacks is none of them.
        const auto strategy = ChargingShareStrategy::strategyFromString(text, ChargingShareStrategy::StrategyPriority);
        if (strategy != ChargingShareStrategy::strategyFromString(text, ChargingShareStrategy::StrategyEqualPower)) {
            qCWarning(dcTavroEnergy()).noquote()
                    << "Unknown charging share strategy in the energy manager configuration:" << text << "- keeping"
                    << ChargingShareStrategy::strategyToString(m_chargingShareStrategy);
            rangeProblems++;
        } else {
            m_chargingShareStrategy = strategy;
        }
    }

    return rangeProblems;
}
