// "energy.conf" as a start finds it: the spot market manager restores its
// selection, the smart charging manager migrates the legacy layout and
// restores the global settings and every charger's configuration, then the
// household runs a few update cycles with what was restored and a user changes
// one configuration (so the file is written back once).

#include "fuzzenvironment.h"
#include "fuzzhousehold.h"

#include "smartcharging/smartchargingmanager.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzEnvironment::initialize();
    FuzzEnvironment::reset();
    FuzzEnvironment::writeFile(FuzzEnvironment::settingsFile(),
                               QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(size)));

    FuzzHousehold household;
    household.createManagers();
    SmartChargingManager *manager = household.manager();
    household.runCycles(2);

    ChargingConfiguration configuration = manager->chargingConfiguration(FuzzHousehold::acChargerId);
    if (configuration.evChargerId().isNull())
        configuration = ChargingConfiguration(FuzzHousehold::acChargerId);
    configuration.setChargingMode(configuration.chargingMode() == ChargingConfiguration::ChargingModeEco
                                          ? ChargingConfiguration::ChargingModeNormal
                                          : ChargingConfiguration::ChargingModeEco);
    configuration.setAssignedCarId(FuzzHousehold::carId);
    manager->setChargingConfiguration(configuration);
    household.runCycles(1);
    return 0;
}
