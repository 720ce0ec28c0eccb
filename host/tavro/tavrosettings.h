#ifndef TAVROSETTINGS_H
#define TAVROSETTINGS_H

#include <QString>

// Where the host keeps its files. Each path can be moved with an environment
// variable (TAVRO_SETTINGS_PATH, TAVRO_STORAGE_PATH, TAVRO_CACHE_PATH,
// TAVRO_TRANSLATIONS_PATH) so tests and demos run in temporary directories.
// Without it the paths lie below the user's standard locations. The
// directories are created on first use.
class TavroSettings
{
public:
    static QString settingsPath();
    static QString storagePath();
    static QString cachePath();
    static QString translationsPath();
};

#endif // TAVROSETTINGS_H
