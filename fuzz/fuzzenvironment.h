#ifndef FUZZENVIRONMENT_H
#define FUZZENVIRONMENT_H

#include <QByteArray>
#include <QDateTime>
#include <QString>

// What every fuzz target shares: one application object, a scratch directory
// behind the host's settings, storage and cache paths (so no input touches a
// user's files), a frozen host clock so that every input runs the same way
// each time, and silent logging (set TAVRO_FUZZ_VERBOSE=1 to see it).
class FuzzEnvironment
{
public:
    // Safe to call for every input; the work is done once.
    static void initialize();

    // Empties the scratch directories and puts the clock back to start().
    static void reset();

    // A Monday, 12:00:30 local time.
    static QDateTime start();

    static QString settingsFile(); // "energy.conf"
    static QString cacheFile();    // "tavro-energy-spotmarket-data.cache"
    static QString storageFile(const QString &name);

    static bool writeFile(const QString &fileName, const QByteArray &data);

    // Lets queued work run: action executions, replies, deferred deletes.
    static void processEvents();
};

#endif // FUZZENVIRONMENT_H
