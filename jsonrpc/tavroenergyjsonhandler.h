#ifndef TAVROENERGYJSONHANDLER_H
#define TAVROENERGYJSONHANDLER_H

#include "tavro/jsonhandler.h"

#include <QObject>
#include <QVariantMap>

class ChargingConfiguration;
class SmartChargingManager;
class SolarForecastManager;
class SpotMarketManager;

// The JSON-RPC namespace "TavroEnergy": global settings, charging
// configurations and states, schedules and spot-market prices. Answers by
// calling the two managers (not owned) and turns their change signals into
// notifications.
class TavroEnergyJsonHandler : public JsonHandler
{
    Q_OBJECT
public:
    TavroEnergyJsonHandler(SpotMarketManager *spotMarketManager, SmartChargingManager *smartChargingManager,
                           QObject *parent = nullptr);

    QString name() const override;

    // Publishes the solar forecast: its configuration, the forecast and
    // their notifications. Call before the handler is registered with the
    // server; the manager is not owned.
    void setSolarForecastManager(SolarForecastManager *solarForecastManager);

    Q_INVOKABLE JsonReply *GetPhasePowerLimit(const QVariantMap &params);
    Q_INVOKABLE JsonReply *SetPhasePowerLimit(const QVariantMap &params);
    Q_INVOKABLE JsonReply *GetAcquisitionTolerance(const QVariantMap &params);
    Q_INVOKABLE JsonReply *SetAcquisitionTolerance(const QVariantMap &params);
    Q_INVOKABLE JsonReply *GetBatteryLevelConsideration(const QVariantMap &params);
    Q_INVOKABLE JsonReply *SetBatteryLevelConsideration(const QVariantMap &params);
    Q_INVOKABLE JsonReply *GetBatteryLevelLimits(const QVariantMap &params);
    Q_INVOKABLE JsonReply *SetBatteryLevelLimits(const QVariantMap &params);
    Q_INVOKABLE JsonReply *GetChargingConfigurations(const QVariantMap &params);
    Q_INVOKABLE JsonReply *SetChargingConfiguration(const QVariantMap &params, const JsonContext &context);
    Q_INVOKABLE JsonReply *GetChargingStates(const QVariantMap &params);
    Q_INVOKABLE JsonReply *GetAvailableSpotMarketProviders(const QVariantMap &params);
    Q_INVOKABLE JsonReply *SetSpotMarketConfiguration(const QVariantMap &params);
    Q_INVOKABLE JsonReply *GetSpotMarketConfiguration(const QVariantMap &params);
    Q_INVOKABLE JsonReply *GetSpotMarketScoreEntries(const QVariantMap &params);
    Q_INVOKABLE JsonReply *GetChargingSchedules(const QVariantMap &params);
    Q_INVOKABLE JsonReply *GetSolarForecastConfiguration(const QVariantMap &params);
    Q_INVOKABLE JsonReply *SetSolarForecastConfiguration(const QVariantMap &params);
    Q_INVOKABLE JsonReply *GetSolarForecast(const QVariantMap &params);

signals:
    void PhasePowerLimitChanged(const QVariantMap &params);
    void AcquisitionToleranceChanged(const QVariantMap &params);
    void ChargingConfigurationAdded(const QVariantMap &params);
    void ChargingConfigurationRemoved(const QVariantMap &params);
    void ChargingConfigurationChanged(const QVariantMap &params);
    void ChargingStateAdded(const QVariantMap &params);
    void ChargingStateRemoved(const QVariantMap &params);
    void ChargingStateChanged(const QVariantMap &params);
    void SpotMarketConfigurationChanged(const QVariantMap &params);
    void SpotMarketScoreEntriesChanged(const QVariantMap &params);
    void ChargingSchedulesChanged(const QVariantMap &params);
    void BatteryLevelConsiderationChanged(const QVariantMap &params);
    void BatteryLevelLimitsChanged(const QVariantMap &params);
    void SolarForecastConfigurationChanged(const QVariantMap &params);
    void SolarForecastChanged(const QVariantMap &params);

private:
    void registerDeclarations();
    // The enums and objects the methods and notifications refer to.
    void registerTypes();
    // Phase limit, acquisition tolerance and battery limits.
    void registerSettingsMethods();
    // Configurations, states, schedules and the spot market.
    void registerChargingMethods();
    void registerNotifications();
    void connectNotifications();
    // A refused value is named in "invalidParameter" (its path, e.g.
    // "chargingConfiguration.targetPercentage").
    JsonReply *energyErrorReply(int error, const QString &invalidParameter = QString()) const;
    // The settings file could not take a change (reason: why, as logged).
    JsonReply *notStoredReply(const QString &reason) const;
    // The configuration as the API carries it: its properties and the
    // language of its notifications.
    static QVariantMap packed(const ChargingConfiguration &configuration);
    // The first member the manager would refuse for a reason the handler
    // can see (empty when there is none).
    QString invalidConfigurationMember(const ChargingConfiguration &configuration) const;
    QVariantMap spotMarketConfiguration(bool providerIdOnlyWhenEnabled) const;
    QVariantList packedScoreEntries() const;

    // The solar forecast's types, methods and notifications.
    void registerSolarForecast();
    void connectSolarForecast();
    // The configuration without its API key (a secret), whether one is set.
    QVariantMap solarForecastConfiguration() const;
    QVariantMap solarForecast() const;

    SpotMarketManager *m_spotMarketManager = nullptr;
    SmartChargingManager *m_smartChargingManager = nullptr;
    SolarForecastManager *m_solarForecastManager = nullptr;
};

#endif // TAVROENERGYJSONHANDLER_H
