#include "settingssandbox.h"

#include <QDir>

namespace {

struct PathVariable {
    const char *variable;
    const char *folder;
};

const PathVariable pathVariables[] = {
        {"TAVRO_SETTINGS_PATH", "settings"},
        {"TAVRO_STORAGE_PATH", "storage"},
        {"TAVRO_CACHE_PATH", "cache"},
};

} // namespace

SettingsSandbox::SettingsSandbox(const QString &templateName)
    : m_directory(templateName.isEmpty() ? QDir::tempPath() + QStringLiteral("/tavro-test-XXXXXX") : templateName)
{
}

QString SettingsSandbox::folder(const QString &name) const
{
    const QString path = m_directory.filePath(name);
    QDir().mkpath(path);
    return path;
}

void SettingsSandbox::apply() const
{
    for (const PathVariable &path : pathVariables)
        qputenv(path.variable, folder(QString::fromLatin1(path.folder)).toUtf8());
}

void SettingsSandbox::addTo(QProcessEnvironment &environment) const
{
    for (const PathVariable &path : pathVariables)
        environment.insert(QString::fromLatin1(path.variable), folder(QString::fromLatin1(path.folder)));
}

void SettingsSandbox::clear() const
{
    for (const PathVariable &path : pathVariables) {
        QDir directory(m_directory.filePath(QString::fromLatin1(path.folder)));
        directory.removeRecursively();
        directory.mkpath(QStringLiteral("."));
    }
}
