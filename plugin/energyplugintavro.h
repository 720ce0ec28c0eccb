#ifndef ENERGYPLUGINTAVRO_H
#define ENERGYPLUGINTAVRO_H

#include "plugin/forecastrefreshhook.h"
#include "plugin/pricerefreshhook.h"

#include "tavro-energy/energyplugin.h"

#include <QObject>
#include <QPointer>

class SolarForecastManager;
class SpotMarketManager;

// The plugin object the host loads. A thin shell: init() creates every
// long-lived object with the plugin as Qt parent; they die with the plugin.
// Only the spot-market and forecast managers are remembered, for the
// refresh hooks.
class EnergyPluginTavro : public EnergyPlugin, public PriceRefreshHook, public ForecastRefreshHook
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "io.tavro.EnergyPlugin")
    Q_INTERFACES(EnergyPlugin PriceRefreshHook ForecastRefreshHook)

public:
    explicit EnergyPluginTavro(QObject *parent = nullptr);

    void init() override;
    void refreshPrices() override;
    bool tickSolarForecast() override;
    bool solarForecastBusy() const override;

private:
    QPointer<SpotMarketManager> m_spotMarketManager;
    QPointer<SolarForecastManager> m_solarForecastManager;
};

#endif // ENERGYPLUGINTAVRO_H
