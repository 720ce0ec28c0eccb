#include "energysettings.h"
#include "atomicfile.h"
#include "settingsfilecheck.h"

#include "common/tavroenergylogging.h"
#include "tavro/tavrosettings.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

EnergySettings::EnergySettings()
    : QSettings(checkedFileName(), QSettings::IniFormat)
{
    // Qt parses a section on its first use; a line it cannot read shows as
    // a FormatError only then. Parse all now so that it shows here.
    allKeys();
    if (status() == QSettings::FormatError) {
        qCWarning(dcTavroEnergy()) << "The settings file" << fileName()
                                   << "is damaged: lines that cannot be read are left out and will be lost with the"
                                      " next change. The file as found is kept in"
                                   << damagedCopyFileName();
        keepDamagedCopy(fileName());
    } else if (status() == QSettings::AccessError) {
        // QSettings also reports here that it could not write changes an
        // earlier writer left unsaved; that is no reason to call a readable
        // file unreadable.
        QFile file(fileName());
        if (!file.open(QIODevice::ReadOnly))
            qCWarning(dcTavroEnergy()) << "Cannot read the settings file" << fileName() << "-" << file.errorString()
                                       << "- using the defaults; changes hold until the next restart only.";
        else
            qCWarning(dcTavroEnergy()) << "Cannot write earlier changes to the settings file" << fileName();
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

QString EnergySettings::settingsFileName()
{
    return TavroSettings::settingsPath() + QStringLiteral("/energy.conf");
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

    // Repaired once per run when it cannot be repaired in place: this run
    // goes on with that copy, changes included, and has been told so.
    const QString copy = repairedCopyFileName(fileName);
    if (QFile::exists(copy))
        return copy;

    qCWarning(dcTavroEnergy()) << "The settings file" << fileName
                               << "holds damaged values, going on without them:" << check.damagedKeys()
                               << "- the file as found is kept in" << damagedCopyFileName();
    keepDamagedCopy(fileName);
    // Replaced in one step, as QSettings does: a crash leaves the old or the
    // new file, never a part.
    if (writeAtomically(fileName, check.repairedContent()))
        return fileName;
    // Qt must not read the damaged file; the sound values are read from the
    // copy instead.
    if (QDir().mkpath(QFileInfo(copy).path()) && writeAtomically(copy, check.repairedContent())) {
        qCWarning(dcTavroEnergy()) << "Cannot write the repaired settings file" << fileName
                                   << "- reading its sound values from" << copy
                                   << "; changes hold until the next restart only.";
        return copy;
    }
    qCWarning(dcTavroEnergy()) << "Cannot write the repaired settings file" << fileName << "nor a copy in" << copy
                               << "- using the defaults for this run.";
    return fileName + QStringLiteral(".unavailable/energy.conf");
}

bool EnergySettings::writeAtomically(const QString &fileName, const QByteArray &content)
{
    return AtomicFile::write(fileName, content);
}

QString EnergySettings::repairedCopyFileName(const QString &fileName)
{
    // One per process and settings file: a later run reads the file again.
    const QByteArray key = QCryptographicHash::hash(fileName.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return QDir::tempPath()
           + QStringLiteral("/tavro-energy-%1-%2/energy.conf")
                     .arg(QCoreApplication::applicationPid())
                     .arg(QString::fromLatin1(key));
}

void EnergySettings::keepDamagedCopy(const QString &fileName)
{
    const QString copy = damagedCopyFileName();
    QFile::remove(copy);
    if (!QFile::copy(fileName, copy))
        qCWarning(dcTavroEnergy()) << "Cannot keep a copy of the damaged settings file in" << copy;
}
