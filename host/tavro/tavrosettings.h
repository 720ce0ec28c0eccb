#ifndef TAVROSETTINGS_H
#define TAVROSETTINGS_H

#include <QString>

// Where the host keeps its files. Each path can be moved with an environment
// variable (TAVRO_SETTINGS_PATH, TAVRO_STORAGE_PATH, TAVRO_CACHE_PATH,
// TAVRO_TRANSLATIONS_PATH) so tests and demos run in temporary directories.
// Without it the paths lie below the user's own standard locations
// (~/.config/tavro, ~/.local/share/tavro, ~/.cache/tavro). The directories
// are created on first use, readable and writable by their owner only.
class TavroSettings
{
public:
    static QString settingsPath();
    static QString storagePath();
    static QString cachePath();
    static QString translationsPath();

    // True when the folder is this user's own and nobody else may write in
    // it: a settings file that someone else can put there could switch off
    // the overload protection. Otherwise false, with *error saying why and
    // what to do.
    static bool isPrivateFolder(const QString &path, QString *error);
};

#endif // TAVROSETTINGS_H
