#include "energyplugin.h"

EnergyPlugin::EnergyPlugin(QObject *parent)
    : QObject(parent)
{
}

void EnergyPlugin::setHostInterfaces(EnergyManager *energyManager, ThingManager *thingManager,
                                     JsonRpcServer *jsonRpcServer)
{
    m_energyManager = energyManager;
    m_thingManager = thingManager;
    m_jsonRpcServer = jsonRpcServer;
}
