#include "energyplugintavro.h"
#include "common/tavroenergylogging.h"

#include "config/energymanagerconfiguration.h"
#include "dbus/energymanagerdbusinterface.h"
#include "jsonrpc/tavroenergyjsonhandler.h"
#include "smartcharging/smartchargingmanager.h"
#include "spotmarket/spotmarketmanager.h"

#include "tavro/jsonrpcserver.h"

#include <QNetworkAccessManager>

EnergyPluginTavro::EnergyPluginTavro(QObject *parent)
    : EnergyPlugin(parent)
{
    qCDebug(dcTavroEnergy()) << "Loading tavro.energy plugin";
}

void EnergyPluginTavro::init()
{
    qCDebug(dcTavroEnergy()) << "Initializing tavro.energy plugin";

    EnergyManagerConfiguration *configuration = new EnergyManagerConfiguration(this);
    QNetworkAccessManager *networkManager = new QNetworkAccessManager(this);
    SpotMarketManager *spotMarketManager = new SpotMarketManager(networkManager, this);
    m_spotMarketManager = spotMarketManager;
    SmartChargingManager *smartChargingManager =
            new SmartChargingManager(energyManager(), thingManager(), spotMarketManager, configuration, this);

    new EnergyManagerDbusInterface(smartChargingManager, this);

    JsonRpcServer *server = jsonRpcServer();
    TavroEnergyJsonHandler *jsonHandler = new TavroEnergyJsonHandler(spotMarketManager, smartChargingManager, this);
    if (server)
        server->registerHandler(jsonHandler, 1, 1);
}

void EnergyPluginTavro::refreshPrices()
{
    if (m_spotMarketManager)
        m_spotMarketManager->refreshAllProviders();
}
