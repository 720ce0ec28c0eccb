#ifndef ENERGYMANAGERCONFIGURATION_H
#define ENERGYMANAGERCONFIGURATION_H

#include <QObject>
#include <QVariantMap>

#include "common/chargingsharestrategy.h"

// The installer's read-only tuning values, loaded once at construction from
// the JSON file named by the environment variable
// "TAVRO_ENERGY_MANAGER_CONFIG" or, when that is unset or empty, from
// "energy-manager-configuration.json" in the host's storage path. Values that
// the file does not set keep their defaults; a missing or broken file leaves
// all defaults in force. The format is the JSON Schema
// config/energy-manager-configuration.schema.json: a key it does not know or
// a value of the wrong type is logged by name and left out, the other keys
// count, and the file is then not reported as loaded successfully.
class EnergyManagerConfiguration : public QObject
{
    Q_OBJECT
public:
    explicit EnergyManagerConfiguration(QObject *parent = nullptr);

    // Seconds an AC charger's on/off state stays locked after a change.
    uint chargingEnabledLockDuration() const;
    // Seconds an AC charger's current stays locked after a change.
    uint chargingCurrentLockDuration() const;
    // Minutes; shortest spot-market schedule.
    uint minimumScheduleDuration() const;
    // Minutes between rotations of the charging-share fairness counter.
    uint chargingShareRotationWindow() const;
    // Factor (0.5 = half) of the needed energy planned from spot-market hours.
    double spotMarketChargePredictableEnergyPercentage() const;
    ChargingShareStrategy::Strategy chargingShareStrategy() const;

    // Calm surplus charging (seconds; 0 switches each rule off). A charger
    // switches up to three phases only after the surplus has covered the
    // three-phase minimum for phaseSwitchUpDelay, down to one only after it
    // has fallen short of it for phaseSwitchDownDelay (charging on at the
    // minimum meanwhile), and never twice within phaseSwitchHoldTime. Once
    // charging it stops only after the surplus has fallen short of its
    // minimum for surplusStopDelay, and starts again only after the surplus
    // has covered it for surplusStartDelay (a first start waits for nothing).
    uint phaseSwitchUpDelay() const;
    uint phaseSwitchDownDelay() const;
    uint phaseSwitchHoldTime() const;
    uint surplusStartDelay() const;
    uint surplusStopDelay() const;

private:
    // True when every key was taken as written.
    bool loadConfiguration(const QString &fileName);
    // Takes the values of a checked file's keys; the count of those out of
    // range (logged, the value kept).
    int applyValues(const QVariantMap &map);

    uint m_chargingEnabledLockDuration = 300;
    uint m_chargingCurrentLockDuration = 10;
    uint m_minimumScheduleDuration = 15;
    uint m_chargingShareRotationWindow = 15;
    double m_spotMarketChargePredictableEnergyPercentage = 0.5;
    ChargingShareStrategy::Strategy m_chargingShareStrategy = ChargingShareStrategy::StrategyEqualPower;
    uint m_phaseSwitchUpDelay = 600;
    uint m_phaseSwitchDownDelay = 600;
    uint m_phaseSwitchHoldTime = 900;
    uint m_surplusStartDelay = 0;
    uint m_surplusStopDelay = 900;
};

#endif // ENERGYMANAGERCONFIGURATION_H
