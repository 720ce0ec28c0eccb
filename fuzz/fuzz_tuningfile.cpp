// The installer's tuning file "energy-manager-configuration.json", read from
// the host's storage path and once more through TAVRO_ENERGY_MANAGER_CONFIG,
// then used: the household charges in eco mode with spot-market prices for a
// few update cycles with those values in force.

#include "fuzzenvironment.h"
#include "fuzzhousehold.h"

#include "config/energymanagerconfiguration.h"
#include "smartcharging/smartchargingmanager.h"
#include "spotmarket/spotmarketmanager.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzEnvironment::initialize();
    FuzzEnvironment::reset();
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const QString fileName = FuzzEnvironment::storageFile(QStringLiteral("energy-manager-configuration.json"));
    FuzzEnvironment::writeFile(fileName, input);

    {
        qputenv("TAVRO_ENERGY_MANAGER_CONFIG", fileName.toUtf8());
        const EnergyManagerConfiguration named;
        qunsetenv("TAVRO_ENERGY_MANAGER_CONFIG");
        ChargingShareStrategy::strategyToString(named.chargingShareStrategy());
    }

    FuzzHousehold household;
    household.createManagers();
    household.spotMarketManager()->setEnabled(true);
    SmartChargingManager *manager = household.manager();
    manager->setPhasePowerLimit(16);

    // Eco mode with a daily spot-market share on the AC charger, a target
    // time on the DC charger: every tuning value is read by some planner.
    ChargingConfiguration ac(FuzzHousehold::acChargerId);
    ac.setAssignedCarId(FuzzHousehold::carId);
    ac.setChargingMode(ChargingConfiguration::ChargingModeEco);
    ac.setDailySpotMarketPercentage(30);
    ac.setTargetPercentage(80);
    manager->setChargingConfiguration(ac);
    ChargingConfiguration dc(FuzzHousehold::dcChargerId);
    dc.setAssignedCarId(FuzzHousehold::dcCarId);
    dc.setChargingMode(ChargingConfiguration::ChargingModeEcoWithTargetTime);
    dc.setEndDateTime(FuzzEnvironment::start().addSecs(4 * 3600));
    dc.setTargetPercentage(90);
    manager->setChargingConfiguration(dc);
    ChargingConfiguration single(FuzzHousehold::singlePhaseChargerId);
    single.setChargingMode(ChargingConfiguration::ChargingModeEco);
    manager->setChargingConfiguration(single);

    household.runCycles(3);
    return 0;
}
