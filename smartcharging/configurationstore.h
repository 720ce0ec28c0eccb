#ifndef CONFIGURATIONSTORE_H
#define CONFIGURATIONSTORE_H

#include "types/chargingconfiguration.h"

#include "tavro/thing.h"

struct ChargingContext;

// The charging configurations in the settings file: migrates the old
// layout, restores them into the book at start and writes every change.
// A hand-edited or damaged file restores whatever is sound, with a warning
// for each value it drops or clamps. The configuration of a charger the
// host does not have stays in the file until the host removes the charger.
// A write that fails is logged with its cause; the writers that a client
// waits for return it.
class ConfigurationStore
{
public:
    explicit ConfigurationStore(ChargingContext &context)
        : m_context(context)
    {
    }

    // Moves the old "ChargingInfos" group (and the global lock-on-unplug
    // key) into "ChargingConfigurations", in one write.
    void migrateSettings();
    // Those of the chargers the host has, into the book, without a signal.
    void restoreChargingConfigurations();
    // The charger's configuration as the file keeps it; false when it keeps none.
    bool readChargingConfiguration(const ThingId &evChargerId, ChargingConfiguration *configuration);
    // False, with the reason in error, when the file does not hold it.
    bool storeChargingConfiguration(const ChargingConfiguration &chargingConfiguration, QString *error = nullptr);
    // The host removed the charger: its configuration leaves the file.
    void removeChargingConfiguration(const ThingId &evChargerId);
    // The values normal mode restores, in the book and the file (A, phases; W for DC).
    void storeManualChargingParameters(const ThingId &evChargerId, bool enabled, double maxChargingCurrent,
                                       uint desiredPhaseCount);
    void storeManualDcChargingParameters(const ThingId &evChargerId, bool enabled, double chargingPower);
    // A manual value (A or W) as the file has it; fallback when it is missing or does not parse.
    double storedManualValue(const ThingId &evChargerId, const QString &key, double fallback) const;
    // The manual phase count (1..3) as the file has it; fallback when missing or invalid.
    uint storedManualPhaseCount(const ThingId &evChargerId, uint fallback) const;
    // The battery level (%) the user typed for a car without its own.
    void storeManualSoc(const ThingId &carId, int batteryLevel);

private:
    ChargingContext &m_context;
};

#endif // CONFIGURATIONSTORE_H
