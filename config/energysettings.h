#ifndef ENERGYSETTINGS_H
#define ENERGYSETTINGS_H

#include <QSettings>

// The settings file "energy.conf" in the host's settings path (INI format),
// for reading: create a short-lived instance around every access. No parent.
// The plugin changes the file only through SettingsChange, which can say
// whether a change was stored; a change made here is written when the
// object is destroyed, and a failure only logged.
//
// A damaged file never stops the plugin. Values Qt cannot decode safely are
// dropped before Qt reads the file, lines it cannot parse are skipped; both
// with a warning and a copy of the file as found in "energy.conf.damaged".
// When the repaired file cannot be written back, the sound values are read
// from a repaired copy in the temporary folder for the rest of the run (one
// warning). A file that cannot be read is warned about, with the cause.
class EnergySettings : public QSettings
{
    Q_OBJECT
public:
    EnergySettings();
    ~EnergySettings() override;

    // "energy.conf" in the host's settings path.
    static QString settingsFileName();
    // Where the file as found is kept when it was damaged.
    static QString damagedCopyFileName();
    // Where this process keeps the repaired copy of fileName when fileName
    // cannot be written.
    static QString repairedCopyFileName(const QString &fileName);

private:
    static QString checkedFileName();
    static void keepDamagedCopy(const QString &fileName);
    static bool writeAtomically(const QString &fileName, const QByteArray &content);
};

#endif // ENERGYSETTINGS_H
