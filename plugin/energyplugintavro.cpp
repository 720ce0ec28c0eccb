#include "energyplugintavro.h"
#include "common/tavroenergylogging.h"

#include "config/energymanagerconfiguration.h"
#include "dbus/energymanagerdbusinterface.h"
#include "forecast/solarforecastmanager.h"
#include "forecast/solarforecastprovider.h"
#include "jsonrpc/tavroenergyjsonhandler.h"
#include "smartcharging/smartchargingmanager.h"
#include "spotmarket/spotmarketmanager.h"

#include "tavro-energy/energymanager.h"
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
    SolarForecastManager *solarForecastManager =
            new SolarForecastManager(networkManager, energyManager() ? energyManager()->logs() : nullptr, this);
    m_solarForecastManager = solarForecastManager;
    SmartChargingManager *smartChargingManager =
            new SmartChargingManager(energyManager(), thingManager(), spotMarketManager, configuration, this);
    smartChargingManager->setSolarForecastManager(solarForecastManager);

    new EnergyManagerDbusInterface(smartChargingManager, this);

    JsonRpcServer *server = jsonRpcServer();
    TavroEnergyJsonHandler *jsonHandler = new TavroEnergyJsonHandler(spotMarketManager, smartChargingManager, this);
    jsonHandler->setSolarForecastManager(solarForecastManager);
    if (server)
        server->registerHandler(jsonHandler, 1, 1);
}

void EnergyPluginTavro::refreshPrices()
{
    if (m_spotMarketManager)
        m_spotMarketManager->refreshAllProviders();
}

bool EnergyPluginTavro::tickSolarForecast()
{
    if (!m_solarForecastManager)
        return false;
    SolarForecastProvider *provider = m_solarForecastManager->provider();
    provider->setSelfTimed(false);
    provider->tick();
    return provider->busy();
}

bool EnergyPluginTavro::solarForecastBusy() const
{
    return m_solarForecastManager && m_solarForecastManager->provider()->busy();
}
