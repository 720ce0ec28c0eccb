#ifndef SETTINGSCHANGE_H
#define SETTINGSCHANGE_H

#include <QList>
#include <QString>
#include <QVariant>

// Changes to the settings file "energy.conf", written in one step: commit()
// writes the file with all of them or leaves it as it was, and says why.
// Keys as QSettings names them ("Group/Subgroup/key"). Only the lines of
// the changed keys change (see IniText); nothing is written when the file
// holds the values already.
//
// The file is read and replaced as a whole (AtomicFile), never changed in
// place, and never through QSettings: a write that fails leaves nothing
// behind that a later reader or writer would pick up (QSettings keeps
// changes it could not write and writes them with the next access).
// The file's modification time moves on with every write, so that readers
// that cache it (QSettings) notice also a change within a millisecond.
class SettingsChange
{
public:
    void setValue(const QString &key, const QVariant &value) { m_changes.append({key, value, false}); }
    // The key, or the group with everything in it.
    void remove(const QString &key) { m_changes.append({key, QVariant(), true}); }
    bool isEmpty() const { return m_changes.isEmpty(); }

    // True when the file holds the changes. Otherwise false with the reason
    // in error (the file named, the system's words for the cause), which is
    // also logged as a warning; the file is as it was. A file that cannot be
    // read is not replaced: that would lose the settings in it.
    bool commit(QString *error = nullptr) const;

private:
    struct Change {
        QString key;
        QVariant value;
        bool remove = false;
    };
    QList<Change> m_changes;
};

#endif // SETTINGSCHANGE_H
