#ifndef FUZZHOUSEHOLD_H
#define FUZZHOUSEHOLD_H

#include "tavro/typeutils.h"

#include <QByteArray>
#include <QDateTime>

#include <memory>

class CannedNetworkManager;
class EnergyManager;
class EnergyManagerConfiguration;
class SmartChargingManager;
class SolarForecastManager;
class SpotMarketManager;
class Thing;
class ThingManager;

// A small house for the fuzz targets, the same for every input: a grid meter
// exporting solar power, a three-phase AC charger with a plugged-in car, a
// single-phase charger, a DC charger with its car and a home battery. The
// things have fixed ids so that inputs (and the seed corpora) can name them.
// Prices come from a canned market-data reply: no connection is ever opened.
//
// Construct it after FuzzEnvironment::reset() and after writing any input
// file the constructors read.
class FuzzHousehold
{
public:
    static const ThingId meterId;
    static const ThingId acChargerId;
    static const ThingId singlePhaseChargerId;
    static const ThingId carId;
    static const ThingId dcChargerId;
    static const ThingId dcCarId;
    static const ThingId batteryId;

    FuzzHousehold();
    ~FuzzHousehold();

    ThingManager *thingManager() const { return m_thingManager.get(); }
    EnergyManager *energyManager() const { return m_energyManager.get(); }
    CannedNetworkManager *networkManager() const { return m_networkManager.get(); }
    SpotMarketManager *spotMarketManager() const { return m_spotMarketManager.get(); }
    SmartChargingManager *manager() const { return m_manager.get(); }
    SolarForecastManager *solarForecastManager() const { return m_solarForecastManager.get(); }

    // The spot market, solar forecast and smart charging managers, as the
    // plugin creates them at start.
    void createManagers();

    // Runs count update cycles, one simulated minute apart.
    void runCycles(int count);

    // A market-data reply with hourly slots from the start of today for the
    // given number of hours, as the service sends it.
    static QByteArray priceReply(const QDateTime &now, int hours);

private:
    std::unique_ptr<ThingManager> m_thingManager;
    std::unique_ptr<EnergyManager> m_energyManager;
    std::unique_ptr<EnergyManagerConfiguration> m_configuration;
    std::unique_ptr<CannedNetworkManager> m_networkManager;
    std::unique_ptr<SpotMarketManager> m_spotMarketManager;
    std::unique_ptr<SolarForecastManager> m_solarForecastManager;
    std::unique_ptr<SmartChargingManager> m_manager;
};

#endif // FUZZHOUSEHOLD_H
