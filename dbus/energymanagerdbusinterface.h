#ifndef ENERGYMANAGERDBUSINTERFACE_H
#define ENERGYMANAGERDBUSINTERFACE_H

#include "types/chargingconfiguration.h"
#include "types/chargingstate.h"

#include <QObject>
#include <QPointer>
#include <QVariantList>
#include <QVariantMap>

class SmartChargingManager;

// Publishes the charging configurations and states read-only on the system
// bus ("io.tavro.energymanager" at "/io/tavro/energymanager") and relays
// their changes as D-Bus signals. A bus that is missing or a name that is
// taken leaves the plugin working without the bridge (one warning).
class EnergyManagerDbusInterface : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "io.tavro.energymanager")

public:
    // The manager is not owned; with a null manager both methods return
    // empty lists.
    explicit EnergyManagerDbusInterface(SmartChargingManager *manager, QObject *parent = nullptr);

    // True when the service and the object are registered on the bus.
    bool isRegistered() const { return m_registered; }

    static QVariantMap serializeChargingConfiguration(const ChargingConfiguration &configuration);
    static QVariantMap serializeChargingState(const ChargingState &state);

public slots:
    QVariantList chargingConfigurations() const;
    QVariantList chargingStates() const;

signals:
    void chargingConfigurationAdded(const QVariantMap &chargingConfiguration);
    void chargingConfigurationRemoved(const QString &evChargerId);
    void chargingConfigurationChanged(const QVariantMap &chargingConfiguration);
    void chargingStateAdded(const QVariantMap &chargingState);
    void chargingStateRemoved(const QString &evChargerId);
    void chargingStateChanged(const QVariantMap &chargingState);

private:
    QPointer<SmartChargingManager> m_manager;
    bool m_registered = false;
};

#endif // ENERGYMANAGERDBUSINTERFACE_H
