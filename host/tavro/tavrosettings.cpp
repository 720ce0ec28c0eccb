#include "tavrosettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

static QString resolvePath(const char *variable, QStandardPaths::StandardLocation location, const QString &subdir)
{
    QString path = qEnvironmentVariable(variable);
    if (path.isEmpty())
        path = QStandardPaths::writableLocation(location) + QLatin1Char('/') + subdir;
    if (!QFileInfo::exists(path)) {
        // The parents as the user's umask has them, the folder itself private.
        QDir().mkpath(QFileInfo(path).absolutePath());
        ::mkdir(QFile::encodeName(path).constData(), 0700);
    }
    return path;
}

bool TavroSettings::isPrivateFolder(const QString &path, QString *error)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        *error = QStringLiteral("The folder %1 does not exist and cannot be created").arg(path);
        return false;
    }
    if (status.st_uid != ::geteuid()) {
        *error = QStringLiteral("The folder %1 belongs to user id %2, not to this user (%3): refusing to use it, "
                                "since its settings could switch the overload protection off. Remove it, or point "
                                "the TAVRO_*_PATH variables at a folder of your own.")
                         .arg(path)
                         .arg(status.st_uid)
                         .arg(::geteuid());
        return false;
    }
    if (status.st_mode & (S_IWGRP | S_IWOTH)) {
        *error = QStringLiteral("Other users may write in the folder %1 (mode %2): refusing to use it, since "
                                "their settings could switch the overload protection off. Run \"chmod go-w %1\".")
                         .arg(path, QString::number(status.st_mode & 0777, 8));
        return false;
    }
    return true;
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
