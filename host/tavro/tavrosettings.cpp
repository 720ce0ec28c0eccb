#include "tavrosettings.h"

#include <QDir>
#include <QStandardPaths>

static QString resolvePath(const char *variable, QStandardPaths::StandardLocation location, const QString &subdir)
{
    QString path = qEnvironmentVariable(variable);
    if (path.isEmpty())
        path = QStandardPaths::writableLocation(location) + QLatin1Char('/') + subdir;
    QDir().mkpath(path);
    return path;
}

QString TavroSettings::settingsPath()
{
    return resolvePath("TAVRO_SETTINGS_PATH", QStandardPaths::GenericConfigLocation, QStringLiteral("tavro"));
}

QString TavroSettings::storagePath()
{
    return resolvePath("TAVRO_STORAGE_PATH", QStandardPaths::GenericDataLocation, QStringLiteral("tavro"));
}

QString TavroSettings::cachePath()
{
    return resolvePath("TAVRO_CACHE_PATH", QStandardPaths::GenericCacheLocation, QStringLiteral("tavro"));
}

QString TavroSettings::translationsPath()
{
    const QString path = qEnvironmentVariable("TAVRO_TRANSLATIONS_PATH");
    if (!path.isEmpty())
        return path;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/tavro/translations");
}
