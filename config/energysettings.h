#ifndef ENERGYSETTINGS_H
#define ENERGYSETTINGS_H

#include <QSettings>

// The read/write settings file "energy.conf" in the host's settings path
// (INI format). Create a short-lived instance around every access: changes
// are written back when the object is destroyed. No parent.
class EnergySettings : public QSettings
{
    Q_OBJECT
public:
    EnergySettings();
};

#endif // ENERGYSETTINGS_H
