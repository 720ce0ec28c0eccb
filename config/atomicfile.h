#ifndef ATOMICFILE_H
#define ATOMICFILE_H

#include <QByteArray>
#include <QString>

// Replaces a file in one step: the content goes to a new file beside it,
// which is flushed to the disk and renamed over the old one, so a crash or
// a kill leaves the old file or the new one, never a part. Every byte is
// checked: a write the file system cuts short (a full disk, a file-size
// limit) fails, where QSaveFile would rename the shortened file into place.
// The new file keeps the old one's permissions.
class AtomicFile
{
public:
    enum Durability {
        // Flushed to the disk before it replaces the old file: a power cut
        // leaves the old file or the new one.
        SurvivesPowerLoss,
        // Not flushed: a killed process leaves the old file or the new one
        // (the system writes it out), a power cut may lose the change. For
        // what is written every minute and can be done without.
        SurvivesCrash
    };

    // False with the system's words for the cause in error; the old file is
    // then as it was and nothing is left beside it.
    static bool write(const QString &fileName, const QByteArray &content, QString *error = nullptr,
                      Durability durability = SurvivesPowerLoss);
};

#endif // ATOMICFILE_H
