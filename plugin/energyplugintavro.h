#ifndef ENERGYPLUGINTAVRO_H
#define ENERGYPLUGINTAVRO_H

#include "plugin/pricerefreshhook.h"

#include "tavro-energy/energyplugin.h"

#include <QObject>
#include <QPointer>

class SpotMarketManager;

// The plugin object the host loads. A thin shell: init() creates every
// long-lived object with the plugin as Qt parent; they die with the plugin.
// Only the spot-market manager is remembered, for the price refresh hook.
class EnergyPluginTavro : public EnergyPlugin, public PriceRefreshHook
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "io.tavro.EnergyPlugin")
    Q_INTERFACES(EnergyPlugin PriceRefreshHook)

public:
    explicit EnergyPluginTavro(QObject *parent = nullptr);

    void init() override;
    void refreshPrices() override;

private:
    QPointer<SpotMarketManager> m_spotMarketManager;
};

#endif // ENERGYPLUGINTAVRO_H
