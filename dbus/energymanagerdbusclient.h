#ifndef ENERGYMANAGERDBUSCLIENT_H
#define ENERGYMANAGERDBUSCLIENT_H

#include <QDBusConnection>
#include <QObject>
#include <QVariantList>
#include <QVariantMap>

class QDBusInterface;
class QDBusServiceWatcher;

// Mirrors the energy manager's charging configurations and states from the
// system bus in another process: loads both lists when the service appears,
// applies its change signals and empties the lists when it goes away.
// Entries are maps keyed by "evChargerId" (UUID in braces). A client made
// while the service runs has both lists at once, and emits both ...Updated
// signals once from the event loop, so that its creator can connect first.
class EnergyManagerDbusClient : public QObject
{
    Q_OBJECT
public:
    explicit EnergyManagerDbusClient(QObject *parent = nullptr);

    QVariantList chargingConfigurations() const { return m_chargingConfigurations; }
    QVariantList chargingStates() const { return m_chargingStates; }

public slots:
    // Reloads both lists with blocking calls; on failure the lists keep their
    // contents and errorOccurred tells why.
    void refreshChargingData();

signals:
    void chargingConfigurationsUpdated(const QVariantList &chargingConfigurations);
    void chargingConfigurationAdded(const QVariantMap &chargingConfiguration);
    void chargingConfigurationRemoved(const QString &evChargerId);
    void chargingConfigurationChanged(const QVariantMap &chargingConfiguration);
    void chargingStatesUpdated(const QVariantList &chargingStates);
    void chargingStateAdded(const QVariantMap &chargingState);
    void chargingStateRemoved(const QString &evChargerId);
    void chargingStateChanged(const QVariantMap &chargingState);
    void errorOccurred(const QString &message);

public slots:
    // The service's signals; the bus connects them by name. Each keeps the
    // client's lists and emits the matching signal; a removal of an unknown
    // charger changes nothing and emits nothing.
    void onChargingConfigurationAdded(const QVariantMap &chargingConfiguration);
    void onChargingConfigurationRemoved(const QString &evChargerId);
    void onChargingConfigurationChanged(const QVariantMap &chargingConfiguration);
    void onChargingStateAdded(const QVariantMap &chargingState);
    void onChargingStateRemoved(const QString &evChargerId);
    void onChargingStateChanged(const QVariantMap &chargingState);

private slots:
    void onServiceRegistered(const QString &service);
    void onServiceUnregistered(const QString &service);

private:
    bool setupInterface();
    // Both lists from the service, without signals; false (and
    // errorOccurred) when a call fails.
    bool loadChargingData();
    static QVariantList deserializeVariantMapList(const QVariantList &list);
    static int indexOfEntry(const QVariantList &list, const QString &evChargerId);
    static void replaceOrAddEntry(QVariantList &list, const QVariantMap &map);
    bool connectRemoteSignal(const char *signal, const char *slot);

    QDBusConnection m_bus;
    QDBusInterface *m_interface = nullptr;           // owned, null while the service is absent
    QDBusServiceWatcher *m_serviceWatcher = nullptr; // child
    QVariantList m_chargingConfigurations;
    QVariantList m_chargingStates;
};

#endif // ENERGYMANAGERDBUSCLIENT_H
