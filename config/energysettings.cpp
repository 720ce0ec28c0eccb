#include "energysettings.h"

#include "tavro/tavrosettings.h"

EnergySettings::EnergySettings() :
    QSettings(TavroSettings::settingsPath() + QStringLiteral("/energy.conf"), QSettings::IniFormat)
{
}
