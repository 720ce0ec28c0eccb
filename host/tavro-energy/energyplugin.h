#ifndef ENERGYPLUGIN_H
#define ENERGYPLUGIN_H

#include <QObject>

class EnergyManager;
class JsonRpcServer;
class ThingManager;

// Base of energy plugins. The host hands the plugin its managers (not
// owned by the plugin) and then calls init() once.
class EnergyPlugin : public QObject
{
    Q_OBJECT
public:
    explicit EnergyPlugin(QObject *parent = nullptr);

    virtual void init() = 0;

    EnergyManager *energyManager() const { return m_energyManager; }
    ThingManager *thingManager() const { return m_thingManager; }
    JsonRpcServer *jsonRpcServer() const { return m_jsonRpcServer; }

    // Called by the host before init().
    void setHostInterfaces(EnergyManager *energyManager, ThingManager *thingManager, JsonRpcServer *jsonRpcServer);

private:
    EnergyManager *m_energyManager = nullptr;
    ThingManager *m_thingManager = nullptr;
    JsonRpcServer *m_jsonRpcServer = nullptr;
};

#define EnergyPlugin_iid "io.tavro.EnergyPlugin"
Q_DECLARE_INTERFACE(EnergyPlugin, EnergyPlugin_iid)

#endif // ENERGYPLUGIN_H
