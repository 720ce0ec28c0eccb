#include "energymanagerdbusinterface.h"

#include "common/tavroenergylogging.h"
#include "smartcharging/smartchargingmanager.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>

namespace {
const QString serviceName = QStringLiteral("io.tavro.energymanager");
const QString objectPath = QStringLiteral("/io/tavro/energymanager");
}

EnergyManagerDbusInterface::EnergyManagerDbusInterface(SmartChargingManager *manager, QObject *parent)
    : QObject(parent),
      m_manager(manager)
{
    qDBusRegisterMetaType<QList<int>>();

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        qCWarning(dcTavroEnergy())
                << "Could not connect to DBus system bus. Energy manager DBus interface not available.";
        return;
    }
    // Do not queue for the name: a second owner would wait forever and the
    // registration would look successful.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
            bus.interface() ? bus.interface()->registerService(serviceName, QDBusConnectionInterface::DontQueueService,
                                                               QDBusConnectionInterface::DontAllowReplacement)
                            : QDBusReply<QDBusConnectionInterface::RegisterServiceReply>();
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        qCWarning(dcTavroEnergy()) << "Failed to register DBus service" << serviceName
                                   << "Energy manager DBus interface not available.";
        return;
    }
    if (!bus.registerObject(objectPath, this,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals
                                    | QDBusConnection::ExportNonScriptableSlots
                                    | QDBusConnection::ExportNonScriptableSignals)) {
        qCWarning(dcTavroEnergy()) << "Failed to register DBus object path" << objectPath;
        return;
    }
    m_registered = true;

    if (!manager)
        return;
    connect(manager, &SmartChargingManager::chargingConfigurationAdded, this,
            [this](const ChargingConfiguration &configuration) {
                emit chargingConfigurationAdded(serializeChargingConfiguration(configuration));
            });
    connect(manager, &SmartChargingManager::chargingConfigurationRemoved, this,
            [this](const ThingId &id) { emit chargingConfigurationRemoved(id.toString()); });
    connect(manager, &SmartChargingManager::chargingConfigurationChanged, this,
            [this](const ChargingConfiguration &configuration) {
                emit chargingConfigurationChanged(serializeChargingConfiguration(configuration));
            });
    connect(manager, &SmartChargingManager::chargingStateAdded, this,
            [this](const ChargingState &state) { emit chargingStateAdded(serializeChargingState(state)); });
    connect(manager, &SmartChargingManager::chargingStateRemoved, this,
            [this](const ThingId &id) { emit chargingStateRemoved(id.toString()); });
    connect(manager, &SmartChargingManager::chargingStateChanged, this,
            [this](const ChargingState &state) { emit chargingStateChanged(serializeChargingState(state)); });
}

QVariantMap EnergyManagerDbusInterface::serializeChargingConfiguration(const ChargingConfiguration &configuration)
{
    QVariantMap map;
    map.insert(QStringLiteral("evChargerId"), configuration.evChargerId().toString());
    map.insert(QStringLiteral("assignedCarId"), configuration.assignedCarId().toString());
    map.insert(QStringLiteral("chargingMode"), static_cast<int>(configuration.chargingMode()));
    map.insert(QStringLiteral("endDateTime"), configuration.endDateTime().toString(Qt::ISODate));
    map.insert(QStringLiteral("repeatDays"), QVariant::fromValue(configuration.repeatDays()));
    map.insert(QStringLiteral("targetPercentage"), configuration.targetPercentage());
    map.insert(QStringLiteral("dischargeFloorPercentage"), configuration.dischargeFloorPercentage());
    map.insert(QStringLiteral("dailySpotMarketPercentage"), configuration.dailySpotMarketPercentage());
    map.insert(QStringLiteral("lockOnUnplug"), configuration.lockOnUnplug());
    map.insert(QStringLiteral("stopOnTargetPercentage"), configuration.stopOnTargetPercentage());
    return map;
}

QVariantMap EnergyManagerDbusInterface::serializeChargingState(const ChargingState &state)
{
    QVariantMap map;
    map.insert(QStringLiteral("evChargerId"), state.evChargerId().toString());
    map.insert(QStringLiteral("mode"), static_cast<int>(state.mode()));
    map.insert(QStringLiteral("overloadProtectionActive"), state.overloadProtectionActive());
    map.insert(QStringLiteral("overloadProtectionThrottle"), state.overloadProtectionThrottle());
    map.insert(QStringLiteral("targetTimeOvershot"), state.targetTimeOvershot());
    map.insert(QStringLiteral("targetPercentageReached"), state.targetPercentageReached());
    map.insert(QStringLiteral("powerLockSeconds"), state.powerLockSeconds());
    map.insert(QStringLiteral("powerLockDuration"), state.powerLockDuration());
    map.insert(QStringLiteral("batteryLevelConsiderationActive"), state.batteryLevelConsiderationActive());
    map.insert(QStringLiteral("waitingReason"), static_cast<int>(state.waitingReason()));
    map.insert(QStringLiteral("surplusCoverage"), state.surplusCoverage());
    return map;
}

QVariantList EnergyManagerDbusInterface::chargingConfigurations() const
{
    QVariantList list;
    if (!m_manager)
        return list;
    for (const ChargingConfiguration &configuration : m_manager->chargingConfigurations())
        list.append(serializeChargingConfiguration(configuration));
    return list;
}

QVariantList EnergyManagerDbusInterface::chargingStates() const
{
    QVariantList list;
    if (!m_manager)
        return list;
    for (const ChargingState &state : m_manager->chargingStates())
        list.append(serializeChargingState(state));
    return list;
}
