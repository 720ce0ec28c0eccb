#include "energysettings.h"
#include "settingsfilecheck.h"

#include "plugin/tavroenergylogging.h"
#include "tavro/tavrosettings.h"

#include <QFile>
#include <QSaveFile>

namespace {

QString settingsFileName()
{
    return TavroSettings::settingsPath() + QStringLiteral("/energy.conf");
}

}

EnergySettings::EnergySettings() :
    QSettings(checkedFileName(), QSettings::IniFormat)
{
    // Qt parses a section on its first use; a line it cannot read shows as
    // a FormatError only then. Parse all now so that it shows here.
    allKeys();
    if (status() == QSettings::FormatError) {
        qCWarning(dcTavroEnergy()) << "The settings file" << fileName()
                                   << "is damaged: lines that cannot be read are left out and will be lost with the"
                                      " next change. The file as found is kept in" << damagedCopyFileName();
        keepDamagedCopy(fileName());
    } else if (status() == QSettings::AccessError) {
        qCWarning(dcTavroEnergy()) << "Cannot read the settings file" << fileName()
                                   << "- using the defaults; changes hold until the next restart only.";
    }
}

EnergySettings::~EnergySettings()
{
    // A file that could not be read was warned about already.
    const bool wasReadable = status() != QSettings::AccessError;
    sync();
    if (wasReadable && status() == QSettings::AccessError)
        qCWarning(dcTavroEnergy()) << "Cannot write the settings file" << fileName()
                                   << "- the change holds until the next restart only.";
}

QString EnergySettings::damagedCopyFileName()
{
    return settingsFileName() + QStringLiteral(".damaged");
}

QString EnergySettings::checkedFileName()
{
    const QString fileName = settingsFileName();
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return fileName; // missing or unreadable: QSettings tells which
    const SettingsFileCheck check(file.readAll());
    file.close();
    if (!check.damaged())
        return fileName;

    qCWarning(dcTavroEnergy()) << "The settings file" << fileName << "holds damaged values, going on without them:"
                               << check.damagedKeys() << "- the file as found is kept in" << damagedCopyFileName();
    keepDamagedCopy(fileName);
    // Replaced in one step, as QSettings does: a crash leaves the old or the
    // new file, never a part.
    QSaveFile repaired(fileName);
    if (!repaired.open(QIODevice::WriteOnly) || repaired.write(check.repairedContent()) != check.repairedContent().size()
            || !repaired.commit()) {
        // Qt must not read the damaged file: nothing is restored, and
        // nothing can be stored there either.
        qCWarning(dcTavroEnergy()) << "Cannot write the repaired settings file" << fileName << repaired.errorString()
                                   << "- using the defaults for this run.";
        return fileName + QStringLiteral(".unavailable/energy.conf");
    }
    return fileName;
}

void EnergySettings::keepDamagedCopy(const QString &fileName)
{
    const QString copy = damagedCopyFileName();
    QFile::remove(copy);
    if (!QFile::copy(fileName, copy))
        qCWarning(dcTavroEnergy()) << "Cannot keep a copy of the damaged settings file in" << copy;
}
