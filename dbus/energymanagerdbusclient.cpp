#include "energymanagerdbusclient.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusServiceWatcher>

namespace {
const QString serviceName = QStringLiteral("io.tavro.energymanager");
const QString objectPath = QStringLiteral("/io/tavro/energymanager");
const QString interfaceName = QStringLiteral("io.tavro.energymanager");
const QString unavailable = QStringLiteral("EnergyManager DBus interface is not available");
}

EnergyManagerDbusClient::EnergyManagerDbusClient(QObject *parent)
    : QObject(parent),
      m_bus(QDBusConnection::systemBus())
{
    if (!m_bus.isConnected()) {
        // Queued so that a caller connected right after construction sees it.
        QMetaObject::invokeMethod(
                this, [this]() { emit errorOccurred(QStringLiteral("DBus system bus not connected")); },
                Qt::QueuedConnection);
        return;
    }
    m_serviceWatcher = new QDBusServiceWatcher(
            serviceName, m_bus, QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration,
            this);
    connect(m_serviceWatcher, &QDBusServiceWatcher::serviceRegistered, this,
            &EnergyManagerDbusClient::onServiceRegistered);
    connect(m_serviceWatcher, &QDBusServiceWatcher::serviceUnregistered, this,
            &EnergyManagerDbusClient::onServiceUnregistered);

    // The lists are loaded now; their signals go out from the event loop,
    // when whoever created the client has had a chance to connect to them.
    if (m_bus.interface() && m_bus.interface()->isServiceRegistered(serviceName) && setupInterface()
        && loadChargingData()) {
        QMetaObject::invokeMethod(
                this,
                [this]() {
                    emit chargingConfigurationsUpdated(m_chargingConfigurations);
                    emit chargingStatesUpdated(m_chargingStates);
                },
                Qt::QueuedConnection);
    }
}

void EnergyManagerDbusClient::onServiceRegistered(const QString &service)
{
    if (service == serviceName && setupInterface())
        refreshChargingData();
}

void EnergyManagerDbusClient::onServiceUnregistered(const QString &service)
{
    if (service != serviceName)
        return;
    delete m_interface;
    m_interface = nullptr;
    m_chargingConfigurations.clear();
    m_chargingStates.clear();
    emit chargingConfigurationsUpdated(m_chargingConfigurations);
    emit chargingStatesUpdated(m_chargingStates);
}

bool EnergyManagerDbusClient::connectRemoteSignal(const char *signal, const char *slot)
{
    // QtDBus connects a remote signal only to a slot given by its normalized
    // signature (with the method-type code in front); it offers no
    // member-pointer form.
    return m_bus.connect(serviceName, objectPath, interfaceName, QString::fromLatin1(signal), this, slot);
}

bool EnergyManagerDbusClient::setupInterface()
{
    if (!m_bus.isConnected() || !m_bus.interface() || !m_bus.interface()->isServiceRegistered(serviceName))
        return false;
    if (m_interface && m_interface->isValid())
        return true;

    delete m_interface;
    m_interface = new QDBusInterface(serviceName, objectPath, interfaceName, m_bus, this);
    if (!m_interface->isValid()) {
        emit errorOccurred(unavailable);
        delete m_interface;
        m_interface = nullptr;
        return false;
    }
    // Disconnect first so that repeated set-ups never double a relay.
    const QList<QPair<const char *, const char *>> relays = {
            {"chargingConfigurationAdded", "1onChargingConfigurationAdded(QVariantMap)"},
            {"chargingConfigurationRemoved", "1onChargingConfigurationRemoved(QString)"},
            {"chargingConfigurationChanged", "1onChargingConfigurationChanged(QVariantMap)"},
            {"chargingStateAdded", "1onChargingStateAdded(QVariantMap)"},
            {"chargingStateRemoved", "1onChargingStateRemoved(QString)"},
            {"chargingStateChanged", "1onChargingStateChanged(QVariantMap)"},
    };
    for (const auto &relay : relays) {
        m_bus.disconnect(serviceName, objectPath, interfaceName, QString::fromLatin1(relay.first), this, relay.second);
        connectRemoteSignal(relay.first, relay.second);
    }
    return true;
}

void EnergyManagerDbusClient::refreshChargingData()
{
    if ((!m_interface || !m_interface->isValid()) && !setupInterface()) {
        emit errorOccurred(unavailable);
        return;
    }
    if (!loadChargingData())
        return;
    emit chargingConfigurationsUpdated(m_chargingConfigurations);
    emit chargingStatesUpdated(m_chargingStates);
}

bool EnergyManagerDbusClient::loadChargingData()
{
    const QDBusReply<QVariantList> configurations = m_interface->call(QStringLiteral("chargingConfigurations"));
    if (!configurations.isValid()) {
        emit errorOccurred(configurations.error().message());
        return false;
    }
    const QDBusReply<QVariantList> states = m_interface->call(QStringLiteral("chargingStates"));
    if (!states.isValid()) {
        emit errorOccurred(states.error().message());
        return false;
    }
    m_chargingConfigurations = deserializeVariantMapList(configurations.value());
    m_chargingStates = deserializeVariantMapList(states.value());
    return true;
}

QVariantList EnergyManagerDbusClient::deserializeVariantMapList(const QVariantList &list)
{
    QVariantList result;
    for (const QVariant &element : list) {
        if (element.userType() != qMetaTypeId<QDBusArgument>() && element.canConvert<QVariantMap>()) {
            result.append(element.toMap());
            continue;
        }
        // Read through a const argument: the non-const overloads of
        // beginMapEntry() and friends marshal instead of reading.
        const QDBusArgument argument =
                element.canConvert<QDBusArgument>() ? element.value<QDBusArgument>() : QDBusArgument();
        QVariantMap map;
        if (argument.currentType() == QDBusArgument::MapType) {
            argument.beginMap();
            while (!argument.atEnd()) {
                QString key;
                QVariant value;
                argument.beginMapEntry();
                argument >> key >> value;
                argument.endMapEntry();
                map.insert(key, value);
            }
            argument.endMap();
        }
        result.append(map);
    }
    return result;
}

int EnergyManagerDbusClient::indexOfEntry(const QVariantList &list, const QString &evChargerId)
{
    for (int i = 0; i < list.count(); i++) {
        if (list.at(i).toMap().value(QStringLiteral("evChargerId")).toString() == evChargerId)
            return i;
    }
    return -1;
}

void EnergyManagerDbusClient::replaceOrAddEntry(QVariantList &list, const QVariantMap &map)
{
    const int index = indexOfEntry(list, map.value(QStringLiteral("evChargerId")).toString());
    if (index >= 0)
        list[index] = map;
    else
        list.append(map);
}

void EnergyManagerDbusClient::onChargingConfigurationAdded(const QVariantMap &chargingConfiguration)
{
    replaceOrAddEntry(m_chargingConfigurations, chargingConfiguration);
    emit chargingConfigurationAdded(chargingConfiguration);
    emit chargingConfigurationsUpdated(m_chargingConfigurations);
}

void EnergyManagerDbusClient::onChargingConfigurationRemoved(const QString &evChargerId)
{
    const int index = indexOfEntry(m_chargingConfigurations, evChargerId);
    if (index < 0)
        return;
    m_chargingConfigurations.removeAt(index);
    emit chargingConfigurationRemoved(evChargerId);
    emit chargingConfigurationsUpdated(m_chargingConfigurations);
}

void EnergyManagerDbusClient::onChargingConfigurationChanged(const QVariantMap &chargingConfiguration)
{
    replaceOrAddEntry(m_chargingConfigurations, chargingConfiguration);
    emit chargingConfigurationChanged(chargingConfiguration);
    emit chargingConfigurationsUpdated(m_chargingConfigurations);
}

void EnergyManagerDbusClient::onChargingStateAdded(const QVariantMap &chargingState)
{
    replaceOrAddEntry(m_chargingStates, chargingState);
    emit chargingStateAdded(chargingState);
    emit chargingStatesUpdated(m_chargingStates);
}

void EnergyManagerDbusClient::onChargingStateRemoved(const QString &evChargerId)
{
    const int index = indexOfEntry(m_chargingStates, evChargerId);
    if (index < 0)
        return;
    m_chargingStates.removeAt(index);
    emit chargingStateRemoved(evChargerId);
    emit chargingStatesUpdated(m_chargingStates);
}

void EnergyManagerDbusClient::onChargingStateChanged(const QVariantMap &chargingState)
{
    replaceOrAddEntry(m_chargingStates, chargingState);
    emit chargingStateChanged(chargingState);
    emit chargingStatesUpdated(m_chargingStates);
}
