#include "settingschange.h"
#include "atomicfile.h"
#include "energysettings.h"
#include "initext.h"

#include "common/tavroenergylogging.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

bool SettingsChange::commit(QString *error) const
{
    const QString fileName = EnergySettings::settingsFileName();
    auto fail = [&](const QString &reason) {
        qCWarning(dcTavroEnergy()).noquote() << reason << "- the change is not stored.";
        if (error)
            *error = reason;
        return false;
    };

    const QFileInfo before(fileName);
    const bool existed = before.exists();
    // Taken now: the file is replaced below.
    const QDateTime previous = existed ? before.lastModified() : QDateTime();
    QByteArray content;
    if (existed) {
        QFile file(fileName);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("Cannot read the settings file %1 to change it: %2")
                                .arg(fileName, file.errorString()));
        content = file.readAll();
        if (file.error() != QFileDevice::NoError)
            return fail(QStringLiteral("Cannot read the settings file %1 to change it: %2")
                                .arg(fileName, file.errorString()));
    }

    IniText text(content);
    for (const Change &change : m_changes) {
        if (change.remove) {
            text.remove(change.key);
        } else if (!text.setValue(change.key, change.value)) {
            return fail(QStringLiteral("Cannot store %1: a value of type %2 has no form in the settings file")
                                .arg(change.key, QString::fromLatin1(change.value.typeName())));
        }
    }
    const QByteArray changed = text.content();
    if (existed && changed == content)
        return true;

    QString reason;
    if (!AtomicFile::write(fileName, changed, &reason))
        return fail(QStringLiteral("Cannot write the settings file %1: %2").arg(fileName, reason));

    // QSettings takes a file of the same size and time as unchanged, and
    // the system's clock for file times may tick in milliseconds.
    if (existed && QFileInfo(fileName).lastModified() <= previous) {
        QFile written(fileName);
        if (written.open(QIODevice::ReadOnly))
            written.setFileTime(previous.addMSecs(1), QFileDevice::FileModificationTime);
    }
    return true;
}
