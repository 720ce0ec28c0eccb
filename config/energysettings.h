#ifndef ENERGYSETTINGS_H
#define ENERGYSETTINGS_H

#include <QSettings>

// The read/write settings file "energy.conf" in the host's settings path
// (INI format). Create a short-lived instance around every access: changes
// are written back when the object is destroyed. No parent.
//
// A damaged file never stops the plugin. Values Qt cannot decode safely are
// dropped before Qt reads the file, lines it cannot parse are skipped; both
// with a warning and a copy of the file as found in "energy.conf.damaged".
// A file that cannot be read or written is warned about; the settings then
// hold for this run only.
class EnergySettings : public QSettings
{
    Q_OBJECT
public:
    EnergySettings();
    ~EnergySettings() override;

    // Where the file as found is kept when it was damaged.
    static QString damagedCopyFileName();

private:
    static QString checkedFileName();
    static void keepDamagedCopy(const QString &fileName);
};

#endif // ENERGYSETTINGS_H
