#ifndef ENERGYPLUGINTAVRO_H
#define ENERGYPLUGINTAVRO_H

#include "tavro-energy/energyplugin.h"

#include <QObject>

// The plugin object the host loads. A thin shell: init() creates every
// long-lived object with the plugin as Qt parent and keeps no pointers; they
// die with the plugin.
class EnergyPluginTavro : public EnergyPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "io.tavro.EnergyPlugin")
    Q_INTERFACES(EnergyPlugin)

public:
    explicit EnergyPluginTavro(QObject *parent = nullptr);

    void init() override;
};

#endif // ENERGYPLUGINTAVRO_H
