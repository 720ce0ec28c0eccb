#include "energyplugintavro.h"
#include "tavroenergylogging.h"

#include "config/energymanagerconfiguration.h"
#include "smartcharging/smartchargingmanager.h"
#include "spotmarket/spotmarketmanager.h"

#include <QNetworkAccessManager>

EnergyPluginTavro::EnergyPluginTavro(QObject *parent) : EnergyPlugin(parent)
{
    qCDebug(dcTavroEnergy()) << "Loading tavro.energy plugin";
}

void EnergyPluginTavro::init()
{
    qCDebug(dcTavroEnergy()) << "Initializing tavro.energy plugin";

    EnergyManagerConfiguration *configuration = new EnergyManagerConfiguration(this);
    QNetworkAccessManager *networkManager = new QNetworkAccessManager(this);
    SpotMarketManager *spotMarketManager = new SpotMarketManager(networkManager, this);
    new SmartChargingManager(energyManager(), thingManager(), spotMarketManager, configuration, this);
}
