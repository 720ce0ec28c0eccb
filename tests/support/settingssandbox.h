#ifndef SETTINGSSANDBOX_H
#define SETTINGSSANDBOX_H

#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

// A temporary folder for one test, fault test, fuzz run or benchmark with
// the host's "settings", "storage" and "cache" folders in it, so that
// nothing ever touches a user's files. apply() points this process's
// TAVRO_SETTINGS_PATH, TAVRO_STORAGE_PATH and TAVRO_CACHE_PATH at them,
// addTo() a child process's. The folder goes with the sandbox.
class SettingsSandbox
{
public:
    // templateName as for QTemporaryDir; empty for the default.
    explicit SettingsSandbox(const QString &templateName = QString());

    // False when the folder could not be created.
    bool isValid() const { return m_directory.isValid(); }
    QString path() const { return m_directory.path(); }
    QString filePath(const QString &name) const { return m_directory.filePath(name); }
    // The named folder in the sandbox (created on the first call).
    QString folder(const QString &name) const;

    void apply() const;
    void addTo(QProcessEnvironment &environment) const;
    // Empties the three folders: a fresh start for the next run.
    void clear() const;

private:
    QTemporaryDir m_directory;
};

#endif // SETTINGSSANDBOX_H
