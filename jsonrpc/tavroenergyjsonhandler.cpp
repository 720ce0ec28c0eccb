#include "tavroenergyjsonhandler.h"

#include "common/tavroenergylogging.h"
#include "config/settingschange.h"
#include "forecast/solarforecastmanager.h"
#include "smartcharging/smartchargingmanager.h"
#include "spotmarket/spotmarketdataprovider.h"
#include "spotmarket/spotmarketmanager.h"
#include "types/chargingconfiguration.h"
#include "types/chargingschedule.h"
#include "types/chargingstate.h"
#include "types/scoreentries.h"

#include "tavro-energy/energymanager.h"
#include "tavro/jsonrpcserver.h"

#include <QSet>

namespace {

QString basic(int metaTypeId)
{
    return JsonHandler::basicTypeName(metaTypeId);
}

QString ref(const QString &name)
{
    return QStringLiteral("$ref:") + name;
}

QVariantList listOf(const QString &name)
{
    return QVariantList{ref(name)};
}

bool withinUnitRange(double value)
{
    return value >= 0.0 && value <= 1.0;
}

const QString invalidParameterKey = QStringLiteral("invalidParameter");

}

TavroEnergyJsonHandler::TavroEnergyJsonHandler(SpotMarketManager *spotMarketManager,
                                               SmartChargingManager *smartChargingManager, QObject *parent)
    : JsonHandler(parent),
      m_spotMarketManager(spotMarketManager),
      m_smartChargingManager(smartChargingManager)
{
    registerDeclarations();
    connectNotifications();
}

QString TavroEnergyJsonHandler::name() const
{
    return QStringLiteral("TavroEnergy");
}

void TavroEnergyJsonHandler::registerDeclarations()
{
    registerTypes();
    registerSettingsMethods();
    registerChargingMethods();
    registerNotifications();
}

void TavroEnergyJsonHandler::registerTypes()
{
    registerEnum<ChargingConfiguration::ChargingMode>();
    registerEnum<ChargingAction::ChargingActionIssuer>();
    registerEnum<ChargingState::Mode>();
    registerEnum<ChargingState::WaitingReason>();
    // The result enum of the setters belongs to the host; declared here so
    // that clients can resolve "$ref:EnergyError".
    registerEnum<EnergyManager::EnergyError>();

    registerObject<ChargingState, ChargingStates>();
    registerObject<ChargingConfiguration, ChargingConfigurations>();
    // The language of the owner's notifications travels with the
    // configuration, though it is no property of the record.
    QVariantMap configurationMembers = jsonObjects().value(QStringLiteral("ChargingConfiguration")).toMap();
    configurationMembers.insert(QStringLiteral("o:locale"), basic(QMetaType::QString));
    registerObject(QStringLiteral("ChargingConfiguration"), configurationMembers);
    registerObject<SpotMarketProviderInfo, SpotMarketProviderInfos>();
    registerObject<ScoreEntry, ScoreEntries>();
    registerObject<ChargingAction>();
    registerObject<ChargingSchedule, ChargingSchedules>();
}

void TavroEnergyJsonHandler::registerSettingsMethods()
{
    const QString energyError = ref(QStringLiteral("EnergyError"));
    const QString uintType = basic(QMetaType::UInt);
    const QString doubleType = basic(QMetaType::Double);
    const Types::PermissionScope control = Types::PermissionScopeControlThings;
    const Types::PermissionScope admin = Types::PermissionScopeAdmin;
    // A refused value is named in "invalidParameter".
    const QVariantMap setterReturns{{QStringLiteral("energyError"), energyError},
                                    {QStringLiteral("o:") + invalidParameterKey, basic(QMetaType::QString)}};

    registerMethod(QStringLiteral("GetPhasePowerLimit"),
                   QStringLiteral("Get the phase limit: the most current, in amperes, any phase may carry at the "
                                  "grid meter. 0 means none is set: then overload protection is off and nothing "
                                  "keeps the chargers from overloading the fuse."),
                   {}, {{QStringLiteral("phasePowerLimit"), uintType}}, control);
    registerMethod(QStringLiteral("SetPhasePowerLimit"),
                   QStringLiteral("Set the phase limit in amperes per phase (the household fuse). 0 removes it, "
                                  "which switches overload protection off."),
                   {{QStringLiteral("phasePowerLimit"), uintType}}, setterReturns, admin);
    registerMethod(QStringLiteral("GetAcquisitionTolerance"),
                   QStringLiteral("Get the acquisition tolerance, 0 to 1: the share of a charger's minimum power "
                                  "the solar surplus must cover before surplus charging starts."),
                   {}, {{QStringLiteral("acquisitionTolerance"), doubleType}}, control);
    registerMethod(QStringLiteral("SetAcquisitionTolerance"),
                   QStringLiteral("Set the acquisition tolerance, 0 to 1 (other values: EnergyErrorInvalidParameter)."),
                   {{QStringLiteral("acquisitionTolerance"), doubleType}}, setterReturns, control);
    registerMethod(QStringLiteral("GetBatteryLevelConsideration"),
                   QStringLiteral("Get the battery level consideration, 0 to 1: the home battery's level below "
                                  "which its charging power is not counted as surplus (the same as the lower "
                                  "battery level limit)."),
                   {}, {{QStringLiteral("batteryLevelConsideration"), doubleType}}, admin);
    registerMethod(QStringLiteral("SetBatteryLevelConsideration"),
                   QStringLiteral("Set the battery level consideration, 0 to 1 (other values: "
                                  "EnergyErrorInvalidParameter)."),
                   {{QStringLiteral("batteryLevelConsideration"), doubleType}}, setterReturns, admin);
    registerMethod(QStringLiteral("GetBatteryLevelLimits"),
                   QStringLiteral("Get the home battery's level limits, fractions 0 to 1."), {},
                   {{QStringLiteral("batteryLevelLowerLimit"), doubleType},
                    {QStringLiteral("batteryLevelUpperLimit"), doubleType}},
                   admin);
    registerMethod(QStringLiteral("SetBatteryLevelLimits"),
                   QStringLiteral("Set the home battery's level limits, both required, fractions 0 to 1 with the "
                                  "lower not above the upper (otherwise EnergyErrorInvalidParameter)."),
                   {{QStringLiteral("batteryLevelLowerLimit"), doubleType},
                    {QStringLiteral("batteryLevelUpperLimit"), doubleType}},
                   setterReturns, admin);
}

void TavroEnergyJsonHandler::registerChargingMethods()
{
    const QString energyError = ref(QStringLiteral("EnergyError"));
    const QString boolType = basic(QMetaType::Bool);
    const QString uuidType = basic(QMetaType::QUuid);
    const Types::PermissionScope control = Types::PermissionScopeControlThings;

    const QVariantMap setterReturns{{QStringLiteral("energyError"), energyError},
                                    {QStringLiteral("o:") + invalidParameterKey, basic(QMetaType::QString)}};

    registerMethod(QStringLiteral("GetChargingConfigurations"),
                   QStringLiteral("Get the charging configurations of every EV charger. evChargerId is accepted but "
                                  "does not filter: the list always holds them all."),
                   {{QStringLiteral("o:evChargerId"), uuidType}},
                   {{QStringLiteral("chargingConfigurations"), listOf(QStringLiteral("ChargingConfiguration"))}},
                   control);
    registerMethod(
            QStringLiteral("SetChargingConfiguration"),
            QStringLiteral("Set an EV charger's charging configuration. evChargerId and chargingMode are required; "
                           "the other members are optional, and those left out keep their stored values. "
                           "endDateTime is in Unix seconds (UTC). locale (e.g. \"de_DE\") is the language of the "
                           "owner's notifications about this charger; without it, this connection's locale (see "
                           "JSONRPC.Hello). A refused configuration names the member in invalidParameter."),
            {{QStringLiteral("chargingConfiguration"), ref(QStringLiteral("ChargingConfiguration"))}}, setterReturns,
            control);
    registerMethod(QStringLiteral("GetChargingStates"),
                   QStringLiteral("Get the charging states of every EV charger (no parameters)."), {},
                   {{QStringLiteral("chargingStates"), listOf(QStringLiteral("ChargingState"))}}, control);
    registerMethod(QStringLiteral("GetAvailableSpotMarketProviders"),
                   QStringLiteral("Get the spot-market price providers there are."), {},
                   {{QStringLiteral("providers"), listOf(QStringLiteral("SpotMarketProviderInfo"))}}, control);
    registerMethod(
            QStringLiteral("SetSpotMarketConfiguration"),
            QStringLiteral("Set the spot-market configuration. To enable it, providerId must name one of "
                           "GetAvailableSpotMarketProviders; to disable it, providerId is not needed (and ignored)."),
            {{QStringLiteral("enabled"), boolType}, {QStringLiteral("o:providerId"), uuidType}}, setterReturns,
            control);
    registerMethod(QStringLiteral("GetSpotMarketConfiguration"),
                   QStringLiteral("Get the spot-market configuration: the chosen provider (also while disabled), "
                                  "whether its use is enabled and whether it has prices."),
                   {},
                   {{QStringLiteral("o:providerId"), uuidType},
                    {QStringLiteral("enabled"), boolType},
                    {QStringLiteral("available"), boolType}},
                   control);
    registerMethod(
            QStringLiteral("GetSpotMarketScoreEntries"),
            QStringLiteral("Get the current provider's price slots with their weighting from 0 (dearest) to 1.0 "
                           "(cheapest); empty while spot-market use is disabled or there is no provider. Times are "
                           "Unix seconds."),
            {}, {{QStringLiteral("spotMarketScoreEntries"), listOf(QStringLiteral("ScoreEntry"))}}, control);
    registerMethod(QStringLiteral("GetChargingSchedules"),
                   QStringLiteral("Get the planned charging schedules of every charger. Times are Unix seconds."), {},
                   {{QStringLiteral("chargingSchedules"), listOf(QStringLiteral("ChargingSchedule"))}}, control);
}

void TavroEnergyJsonHandler::registerNotifications()
{
    const QString uintType = basic(QMetaType::UInt);
    const QString doubleType = basic(QMetaType::Double);
    const QString boolType = basic(QMetaType::Bool);
    const QString uuidType = basic(QMetaType::QUuid);
    const Types::PermissionScope control = Types::PermissionScopeControlThings;
    const Types::PermissionScope admin = Types::PermissionScopeAdmin;

    registerNotification(QStringLiteral("PhasePowerLimitChanged"),
                         QStringLiteral("Emitted whenever the phase power limit configuration changes."),
                         {{QStringLiteral("phasePowerLimit"), uintType}}, control);
    registerNotification(QStringLiteral("AcquisitionToleranceChanged"),
                         QStringLiteral("Emitted whenever the acquisition tolerance changes."),
                         {{QStringLiteral("acquisitionTolerance"), doubleType}}, control);
    registerNotification(QStringLiteral("BatteryLevelConsiderationChanged"),
                         QStringLiteral("Emitted whenever the battery level consideration changes."),
                         {{QStringLiteral("batteryLevelConsideration"), doubleType}}, admin);
    registerNotification(QStringLiteral("BatteryLevelLimitsChanged"),
                         QStringLiteral("Emitted whenever the battery level limits change."),
                         {{QStringLiteral("batteryLevelLowerLimit"), doubleType},
                          {QStringLiteral("batteryLevelUpperLimit"), doubleType}},
                         admin);
    registerNotification(QStringLiteral("ChargingConfigurationAdded"),
                         QStringLiteral("Emitted whenever a charging configuration is added."),
                         {{QStringLiteral("chargingConfiguration"), ref(QStringLiteral("ChargingConfiguration"))}},
                         control);
    registerNotification(QStringLiteral("ChargingConfigurationRemoved"),
                         QStringLiteral("Emitted whenever a charging configuration is removed."),
                         {{QStringLiteral("evChargerThingId"), uuidType}}, control);
    registerNotification(QStringLiteral("ChargingConfigurationChanged"),
                         QStringLiteral("Emitted whenever a charging configuration changes."),
                         {{QStringLiteral("chargingConfiguration"), ref(QStringLiteral("ChargingConfiguration"))}},
                         control);
    registerNotification(QStringLiteral("ChargingStateAdded"),
                         QStringLiteral("Emitted whenever a charging state has been added."),
                         {{QStringLiteral("chargingState"), ref(QStringLiteral("ChargingState"))}}, control);
    registerNotification(QStringLiteral("ChargingStateRemoved"),
                         QStringLiteral("Emitted whenever a charging state has been removed."),
                         {{QStringLiteral("evChargerThingId"), uuidType}}, control);
    registerNotification(QStringLiteral("ChargingStateChanged"),
                         QStringLiteral("Emitted whenever a charging state has changed."),
                         {{QStringLiteral("chargingState"), ref(QStringLiteral("ChargingState"))}}, control);
    registerNotification(QStringLiteral("SpotMarketConfigurationChanged"),
                         QStringLiteral("Emitted whenever a spot market configuration has changed."),
                         {{QStringLiteral("o:providerId"), uuidType},
                          {QStringLiteral("enabled"), boolType},
                          {QStringLiteral("available"), boolType}},
                         control);
    registerNotification(QStringLiteral("ChargingSchedulesChanged"),
                         QStringLiteral("Emitted whenever the planned charging schedules have changed."),
                         {{QStringLiteral("chargingSchedules"), listOf(QStringLiteral("ChargingSchedule"))}}, control);
    registerNotification(QStringLiteral("SpotMarketStatusChanged"),
                         QStringLiteral("Declared, but never sent: see SpotMarketConfigurationChanged."),
                         {{QStringLiteral("enabled"), boolType}, {QStringLiteral("available"), boolType}}, control);
    registerNotification(
            QStringLiteral("SpotMarketScoreEntriesChanged"),
            QStringLiteral(
                    "Emitted whenever the score entries of the current spot market provider changed. The weighting of the available score entries goes from 0 (worst) to 1.0 (best)."),
            {{QStringLiteral("spotMarketScoreEntries"), listOf(QStringLiteral("ScoreEntry"))}}, control);
}

void TavroEnergyJsonHandler::connectNotifications()
{
    SmartChargingManager *manager = m_smartChargingManager;
    // The signal carries the limit as an int; the manager's own value is the
    // unsigned one the notification declares.
    connect(manager, &SmartChargingManager::phasePowerLimitChanged, this, [this]() {
        emit PhasePowerLimitChanged({{QStringLiteral("phasePowerLimit"), m_smartChargingManager->phasePowerLimit()}});
    });
    connect(manager, &SmartChargingManager::acquisitionToleranceChanged, this, [this](double tolerance) {
        emit AcquisitionToleranceChanged({{QStringLiteral("acquisitionTolerance"), tolerance}});
    });
    connect(manager, &SmartChargingManager::batteryLevelConsiderationChanged, this, [this](double consideration) {
        emit BatteryLevelConsiderationChanged({{QStringLiteral("batteryLevelConsideration"), consideration}});
    });
    connect(manager, &SmartChargingManager::batteryLevelLimitsChanged, this, [this](double lower, double upper) {
        emit BatteryLevelLimitsChanged(
                {{QStringLiteral("batteryLevelLowerLimit"), lower}, {QStringLiteral("batteryLevelUpperLimit"), upper}});
    });
    connect(manager, &SmartChargingManager::chargingConfigurationAdded, this,
            [this](const ChargingConfiguration &configuration) {
                emit ChargingConfigurationAdded({{QStringLiteral("chargingConfiguration"), packed(configuration)}});
            });
    connect(manager, &SmartChargingManager::chargingConfigurationRemoved, this, [this](const ThingId &id) {
        emit ChargingConfigurationRemoved({{QStringLiteral("evChargerThingId"), id.toString()}});
    });
    connect(manager, &SmartChargingManager::chargingConfigurationChanged, this,
            [this](const ChargingConfiguration &configuration) {
                emit ChargingConfigurationChanged({{QStringLiteral("chargingConfiguration"), packed(configuration)}});
            });
    connect(manager, &SmartChargingManager::chargingStateAdded, this, [this](const ChargingState &state) {
        emit ChargingStateAdded({{QStringLiteral("chargingState"), pack(state)}});
    });
    connect(manager, &SmartChargingManager::chargingStateRemoved, this, [this](const ThingId &id) {
        emit ChargingStateRemoved({{QStringLiteral("evChargerThingId"), id.toString()}});
    });
    connect(manager, &SmartChargingManager::chargingStateChanged, this, [this](const ChargingState &state) {
        emit ChargingStateChanged({{QStringLiteral("chargingState"), pack(state)}});
    });
    connect(manager, &SmartChargingManager::chargingSchedulesChanged, this, [this]() {
        emit ChargingSchedulesChanged(
                {{QStringLiteral("chargingSchedules"), pack(m_smartChargingManager->chargingSchedules())}});
    });

    const auto configurationChanged = [this]() { emit SpotMarketConfigurationChanged(spotMarketConfiguration(true)); };
    connect(m_spotMarketManager, &SpotMarketManager::enabledChanged, this, configurationChanged);
    connect(m_spotMarketManager, &SpotMarketManager::availableChanged, this, configurationChanged);
    connect(m_spotMarketManager, &SpotMarketManager::currentProviderChanged, this, configurationChanged);
    connect(m_spotMarketManager, &SpotMarketManager::scoreEntriesUpdated, this, [this]() {
        emit SpotMarketScoreEntriesChanged({{QStringLiteral("spotMarketScoreEntries"), packedScoreEntries()}});
    });
}

JsonReply *TavroEnergyJsonHandler::energyErrorReply(int error, const QString &invalidParameter) const
{
    const QMetaEnum metaEnum = QMetaEnum::fromType<EnergyManager::EnergyError>();
    QVariantMap reply{{QStringLiteral("energyError"), QString::fromLatin1(metaEnum.valueToKey(error))}};
    if (error == EnergyManager::EnergyErrorInvalidParameter && !invalidParameter.isEmpty())
        reply.insert(invalidParameterKey, invalidParameter);
    return createReply(reply);
}

QVariantMap TavroEnergyJsonHandler::packed(const ChargingConfiguration &configuration)
{
    QVariantMap map = pack(configuration).toMap();
    map.insert(QStringLiteral("locale"), configuration.locale().name());
    return map;
}

QString TavroEnergyJsonHandler::invalidConfigurationMember(const ChargingConfiguration &configuration) const
{
    const QString prefix = QStringLiteral("chargingConfiguration.");
    if (m_smartChargingManager->chargingConfiguration(configuration.evChargerId()).evChargerId().isNull())
        return prefix + QStringLiteral("evChargerId");
    const QList<int> repeatDays = configuration.repeatDays();
    bool daysValid = repeatDays.count() <= 7;
    for (int day : repeatDays)
        daysValid = daysValid && day >= 1 && day <= 7 && repeatDays.count(day) == 1;
    if (!daysValid)
        return prefix + QStringLiteral("repeatDays");
    if (configuration.targetPercentage() > 100)
        return prefix + QStringLiteral("targetPercentage");
    if (configuration.dailySpotMarketPercentage() > 100)
        return prefix + QStringLiteral("dailySpotMarketPercentage");
    if (configuration.dischargeFloorPercentage() > 100)
        return prefix + QStringLiteral("dischargeFloorPercentage");
    return QString();
}

JsonReply *TavroEnergyJsonHandler::notStoredReply(const QString &reason) const
{
    // The change did not happen: the client gets an error it can show, not
    // an "energyError" it would take for a stored value.
    return JsonReply::createErrorReply(JsonRpcServer::ErrorInternal,
                                       QStringLiteral("Internal error: the change is not stored. %1").arg(reason));
}

QVariantMap TavroEnergyJsonHandler::spotMarketConfiguration(bool providerIdOnlyWhenEnabled) const
{
    QVariantMap result;
    result.insert(QStringLiteral("enabled"), m_spotMarketManager->enabled());
    result.insert(QStringLiteral("available"), m_spotMarketManager->available());
    const QUuid providerId = m_spotMarketManager->currentProviderId();
    const bool showProvider = providerIdOnlyWhenEnabled ? m_spotMarketManager->enabled() : !providerId.isNull();
    if (showProvider && !providerId.isNull())
        result.insert(QStringLiteral("providerId"), providerId.toString());
    return result;
}

QVariantList TavroEnergyJsonHandler::packedScoreEntries() const
{
    if (!m_spotMarketManager->currentProvider() || !m_spotMarketManager->enabled())
        return {};
    return pack(m_spotMarketManager->weightedScoreEntries(QDate())).toList();
}

JsonReply *TavroEnergyJsonHandler::GetPhasePowerLimit(const QVariantMap &params)
{
    Q_UNUSED(params)
    return createReply({{QStringLiteral("phasePowerLimit"), m_smartChargingManager->phasePowerLimit()}});
}

JsonReply *TavroEnergyJsonHandler::SetPhasePowerLimit(const QVariantMap &params)
{
    QString reason;
    if (!m_smartChargingManager->setPhasePowerLimit(params.value(QStringLiteral("phasePowerLimit")).toUInt(), &reason))
        return notStoredReply(reason);
    return energyErrorReply(EnergyManager::EnergyErrorNoError);
}

JsonReply *TavroEnergyJsonHandler::GetAcquisitionTolerance(const QVariantMap &params)
{
    Q_UNUSED(params)
    return createReply({{QStringLiteral("acquisitionTolerance"), m_smartChargingManager->acquisitionTolerance()}});
}

JsonReply *TavroEnergyJsonHandler::SetAcquisitionTolerance(const QVariantMap &params)
{
    const double tolerance = params.value(QStringLiteral("acquisitionTolerance")).toDouble();
    if (!withinUnitRange(tolerance))
        return energyErrorReply(EnergyManager::EnergyErrorInvalidParameter, QStringLiteral("acquisitionTolerance"));
    QString reason;
    if (!m_smartChargingManager->setAcquisitionTolerance(tolerance, &reason))
        return notStoredReply(reason);
    return energyErrorReply(EnergyManager::EnergyErrorNoError);
}

JsonReply *TavroEnergyJsonHandler::GetBatteryLevelConsideration(const QVariantMap &params)
{
    Q_UNUSED(params)
    return createReply(
            {{QStringLiteral("batteryLevelConsideration"), m_smartChargingManager->batteryLevelConsideration()}});
}

JsonReply *TavroEnergyJsonHandler::SetBatteryLevelConsideration(const QVariantMap &params)
{
    const double consideration = params.value(QStringLiteral("batteryLevelConsideration")).toDouble();
    if (!withinUnitRange(consideration))
        return energyErrorReply(EnergyManager::EnergyErrorInvalidParameter,
                                QStringLiteral("batteryLevelConsideration"));
    QString reason;
    if (!m_smartChargingManager->setBatteryLevelConsideration(consideration, &reason))
        return notStoredReply(reason);
    return energyErrorReply(EnergyManager::EnergyErrorNoError);
}

JsonReply *TavroEnergyJsonHandler::GetBatteryLevelLimits(const QVariantMap &params)
{
    Q_UNUSED(params)
    return createReply({{QStringLiteral("batteryLevelLowerLimit"), m_smartChargingManager->batteryLevelLowerLimit()},
                        {QStringLiteral("batteryLevelUpperLimit"), m_smartChargingManager->batteryLevelUpperLimit()}});
}

JsonReply *TavroEnergyJsonHandler::SetBatteryLevelLimits(const QVariantMap &params)
{
    // A missing limit reads as 0.
    const double lower = params.value(QStringLiteral("batteryLevelLowerLimit")).toDouble();
    const double upper = params.value(QStringLiteral("batteryLevelUpperLimit")).toDouble();
    if (!withinUnitRange(lower) || lower > upper)
        return energyErrorReply(EnergyManager::EnergyErrorInvalidParameter, QStringLiteral("batteryLevelLowerLimit"));
    if (!withinUnitRange(upper))
        return energyErrorReply(EnergyManager::EnergyErrorInvalidParameter, QStringLiteral("batteryLevelUpperLimit"));
    QString reason;
    if (!m_smartChargingManager->setBatteryLevelLimits(lower, upper, &reason))
        return notStoredReply(reason);
    return energyErrorReply(EnergyManager::EnergyErrorNoError);
}

JsonReply *TavroEnergyJsonHandler::GetChargingConfigurations(const QVariantMap &params)
{
    // The optional charger id does not filter: clients rely on the full list.
    Q_UNUSED(params)
    QVariantList configurations;
    for (const ChargingConfiguration &configuration : m_smartChargingManager->chargingConfigurations())
        configurations.append(packed(configuration));
    return createReply({{QStringLiteral("chargingConfigurations"), configurations}});
}

JsonReply *TavroEnergyJsonHandler::SetChargingConfiguration(const QVariantMap &params, const JsonContext &context)
{
    const QVariantMap object = params.value(QStringLiteral("chargingConfiguration")).toMap();
    const ThingId evChargerId(object.value(QStringLiteral("evChargerId")).toString());
    // Members the request does not carry keep the stored values, so a client
    // that sends only a new mode does not reset the target or repeat days.
    ChargingConfiguration base = m_smartChargingManager->chargingConfiguration(evChargerId);
    if (base.evChargerId().isNull())
        base = ChargingConfiguration(evChargerId);
    ChargingConfiguration configuration = unpack<ChargingConfiguration>(object, base);
    const QString localeKey = QStringLiteral("locale");
    if (object.contains(localeKey)) {
        // An unknown name reads as the "C" locale: refused, not silently English.
        const QString name = object.value(localeKey).toString();
        const QLocale locale(name);
        if (locale == QLocale::c() && name != QLatin1String("C"))
            return energyErrorReply(EnergyManager::EnergyErrorInvalidParameter,
                                    QStringLiteral("chargingConfiguration.locale"));
        configuration.setLocale(locale);
    } else {
        configuration.setLocale(context.locale());
    }
    // A week has seven days: more, or one day twice, is no schedule.
    const QList<int> repeatDays = configuration.repeatDays();
    if (repeatDays.count() > 7 || QSet<int>(repeatDays.cbegin(), repeatDays.cend()).count() != repeatDays.count()) {
        qCWarning(dcTavroEnergy()) << "Charging configuration repeat days invalid. Each day may be given once:"
                                   << repeatDays.mid(0, 16);
        return energyErrorReply(EnergyManager::EnergyErrorInvalidParameter,
                                QStringLiteral("chargingConfiguration.repeatDays"));
    }
    QString reason;
    const EnergyManager::EnergyError result = m_smartChargingManager->setChargingConfiguration(configuration, &reason);
    if (!reason.isEmpty())
        return notStoredReply(reason);
    QString member;
    if (result == EnergyManager::EnergyErrorInvalidParameter) {
        member = invalidConfigurationMember(configuration);
        // The rest the manager checks: the car (found, fitting the charger)
        // and a DC charger's range.
        if (member.isEmpty())
            member = !configuration.assignedCarId().isNull()
                                     && configuration.dischargeFloorPercentage() < configuration.targetPercentage()
                             ? QStringLiteral("chargingConfiguration.assignedCarId")
                             : QStringLiteral("chargingConfiguration.dischargeFloorPercentage");
    }
    return energyErrorReply(result, member);
}

JsonReply *TavroEnergyJsonHandler::GetChargingStates(const QVariantMap &params)
{
    Q_UNUSED(params)
    return createReply({{QStringLiteral("chargingStates"), pack(m_smartChargingManager->chargingStates())}});
}

JsonReply *TavroEnergyJsonHandler::GetAvailableSpotMarketProviders(const QVariantMap &params)
{
    Q_UNUSED(params)
    return createReply({{QStringLiteral("providers"), pack(m_spotMarketManager->availableProviders())}});
}

JsonReply *TavroEnergyJsonHandler::SetSpotMarketConfiguration(const QVariantMap &params)
{
    const bool enabled = params.value(QStringLiteral("enabled")).toBool();
    const QUuid providerId(params.value(QStringLiteral("providerId")).toString());
    if (enabled && providerId.isNull()) {
        qCWarning(dcTavroEnergy()) << "Could not enable spot market because ther is no valid provider id given.";
        return energyErrorReply(EnergyManager::EnergyErrorInvalidParameter, QStringLiteral("providerId"));
    }
    // Stored first, as the manager stores them: the manager takes nothing
    // the file does not hold.
    SettingsChange change;
    change.setValue(QStringLiteral("SpotMarket/enabled"), enabled);
    if (enabled) {
        bool known = false;
        for (const SpotMarketProviderInfo &provider : m_spotMarketManager->availableProviders())
            known = known || provider.providerId == providerId;
        if (!known) {
            qCWarning(dcTavroEnergy()).noquote()
                    << "Could not enable spot market: there is no provider" << providerId.toString();
            return energyErrorReply(EnergyManager::EnergyErrorInvalidParameter, QStringLiteral("providerId"));
        }
        change.setValue(QStringLiteral("SpotMarket/providerId"), providerId.toString());
    }
    QString reason;
    if (!change.commit(&reason))
        return notStoredReply(reason);
    if (!enabled) {
        m_spotMarketManager->setEnabled(false);
        return energyErrorReply(EnergyManager::EnergyErrorNoError);
    }
    if (!m_spotMarketManager->changeProvider(providerId))
        return energyErrorReply(EnergyManager::EnergyErrorInvalidParameter, QStringLiteral("providerId"));
    m_spotMarketManager->setEnabled(true);
    return energyErrorReply(EnergyManager::EnergyErrorNoError);
}

JsonReply *TavroEnergyJsonHandler::GetSpotMarketConfiguration(const QVariantMap &params)
{
    Q_UNUSED(params)
    return createReply(spotMarketConfiguration(false));
}

JsonReply *TavroEnergyJsonHandler::GetSpotMarketScoreEntries(const QVariantMap &params)
{
    Q_UNUSED(params)
    if (!m_spotMarketManager->currentProvider() || !m_spotMarketManager->enabled())
        return createReply({{QStringLiteral("spotMarketScoreEntries"), QVariantList()}});
    const ScoreEntries weighted =
            m_spotMarketManager->weightScoreEntries(m_spotMarketManager->currentProvider()->scoreEntries());
    return createReply({{QStringLiteral("spotMarketScoreEntries"), pack(weighted)}});
}

JsonReply *TavroEnergyJsonHandler::GetChargingSchedules(const QVariantMap &params)
{
    Q_UNUSED(params)
    return createReply({{QStringLiteral("chargingSchedules"), pack(m_smartChargingManager->chargingSchedules())}});
}

// The solar forecast. Reading needs the control scope; changing it the
// admin scope: it holds the site's location and the key of a paid plan.

void TavroEnergyJsonHandler::setSolarForecastManager(SolarForecastManager *solarForecastManager)
{
    if (m_solarForecastManager || !solarForecastManager)
        return;
    m_solarForecastManager = solarForecastManager;
    registerSolarForecast();
    connectSolarForecast();
}

void TavroEnergyJsonHandler::registerSolarForecast()
{
    registerObject<SolarPlane, SolarPlanes>();
    registerObject<SolarForecastConfiguration>();
    registerObject<SolarForecastSlot, SolarForecastSlots>();

    const QString energyError = ref(QStringLiteral("EnergyError"));
    const QString boolType = basic(QMetaType::Bool);
    const QString timeType = basic(QMetaType::QDateTime);
    const QString configuration = ref(QStringLiteral("SolarForecastConfiguration"));
    const QVariantList slotList = listOf(QStringLiteral("SolarForecastSlot"));
    const Types::PermissionScope control = Types::PermissionScopeControlThings;
    const Types::PermissionScope admin = Types::PermissionScopeAdmin;

    registerMethod(
            QStringLiteral("GetSolarForecastConfiguration"),
            QStringLiteral(
                    "Get the solar forecast configuration: whether the forecast is fetched and for which planes of the PV array. The API key of a paid plan is never returned; apiKeySet tells whether one is stored."),
            {}, {{QStringLiteral("configuration"), configuration}, {QStringLiteral("apiKeySet"), boolType}}, control);
    registerMethod(
            QStringLiteral("SetSolarForecastConfiguration"),
            QStringLiteral(
                    "Set the solar forecast configuration. Each plane: latitude -90..90, longitude -180..180, declination 0 (flat)..90 (vertical), azimuth -180..180 (0 south, -90 east, 90 west), kwp above 0 and at most 1000, optional horizon elevations 0..90 clockwise from north; at most 4 planes, at least one when enabled. Without apiKey the stored key stays; an empty apiKey removes it."),
            {{QStringLiteral("configuration"), configuration}}, {{QStringLiteral("energyError"), energyError}}, admin);
    registerMethod(
            QStringLiteral("GetSolarForecast"),
            QStringLiteral(
                    "Get the solar forecast the charging plan counts on: the planes added up in 15 minute slots from today's midnight on, with the average power (W) and the energy (Wh) of each. Empty while no forecast is available (not configured, disabled, or no good answer for a day). updated: the oldest of the planes' last good answers."),
            {},
            {{QStringLiteral("available"), boolType},
             {QStringLiteral("solarForecastSlots"), slotList},
             {QStringLiteral("o:updated"), timeType}},
            control);

    registerNotification(QStringLiteral("SolarForecastConfigurationChanged"),
                         QStringLiteral("Emitted whenever the solar forecast configuration changes."),
                         {{QStringLiteral("configuration"), configuration}, {QStringLiteral("apiKeySet"), boolType}},
                         control);
    registerNotification(
            QStringLiteral("SolarForecastChanged"),
            QStringLiteral(
                    "Emitted whenever the solar forecast the charging plan counts on changes: new slots, or the forecast became available or not."),
            {{QStringLiteral("available"), boolType},
             {QStringLiteral("solarForecastSlots"), slotList},
             {QStringLiteral("o:updated"), timeType}},
            control);
}

void TavroEnergyJsonHandler::connectSolarForecast()
{
    connect(m_solarForecastManager, &SolarForecastManager::configurationChanged, this,
            [this]() { emit SolarForecastConfigurationChanged(solarForecastConfiguration()); });
    connect(m_solarForecastManager, &SolarForecastManager::forecastChanged, this,
            [this]() { emit SolarForecastChanged(solarForecast()); });
}

QVariantMap TavroEnergyJsonHandler::solarForecastConfiguration() const
{
    const SolarForecastConfiguration configuration = m_solarForecastManager->configuration();
    QVariantMap packed = pack(configuration).toMap();
    packed.remove(QStringLiteral("apiKey"));
    // A plane without a horizon carries none.
    QVariantList planes = packed.value(QStringLiteral("planes")).toList();
    for (QVariant &plane : planes) {
        QVariantMap map = plane.toMap();
        if (map.value(QStringLiteral("horizon")).toList().isEmpty())
            map.remove(QStringLiteral("horizon"));
        plane = map;
    }
    packed.insert(QStringLiteral("planes"), planes);
    return {{QStringLiteral("configuration"), packed},
            {QStringLiteral("apiKeySet"), !configuration.apiKey().isEmpty()}};
}

QVariantMap TavroEnergyJsonHandler::solarForecast() const
{
    QVariantMap result{{QStringLiteral("available"), m_solarForecastManager->available()},
                       {QStringLiteral("solarForecastSlots"), pack(m_solarForecastManager->forecast())}};
    const QDateTime updated = m_solarForecastManager->updated();
    if (updated.isValid())
        result.insert(QStringLiteral("updated"), updated.toSecsSinceEpoch());
    return result;
}

JsonReply *TavroEnergyJsonHandler::GetSolarForecastConfiguration(const QVariantMap &params)
{
    Q_UNUSED(params)
    if (!m_solarForecastManager)
        return createReply({});
    return createReply(solarForecastConfiguration());
}

JsonReply *TavroEnergyJsonHandler::SetSolarForecastConfiguration(const QVariantMap &params)
{
    if (!m_solarForecastManager)
        return energyErrorReply(EnergyManager::EnergyErrorInvalidParameter);
    // Without a key in the request the stored one stays.
    const SolarForecastConfiguration configuration = unpack<SolarForecastConfiguration>(
            params.value(QStringLiteral("configuration")), m_solarForecastManager->configuration());
    QString reason;
    switch (m_solarForecastManager->setConfiguration(configuration, &reason)) {
    case SolarForecastManager::SetResultStored:
        return energyErrorReply(EnergyManager::EnergyErrorNoError);
    case SolarForecastManager::SetResultNotStored:
        return notStoredReply(reason);
    case SolarForecastManager::SetResultInvalid:
        break;
    }
    qCWarning(dcTavroEnergy()) << "Solar forecast configuration refused:" << reason;
    return energyErrorReply(EnergyManager::EnergyErrorInvalidParameter);
}

JsonReply *TavroEnergyJsonHandler::GetSolarForecast(const QVariantMap &params)
{
    Q_UNUSED(params)
    if (!m_solarForecastManager)
        return createReply({});
    return createReply(solarForecast());
}
