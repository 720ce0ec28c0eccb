#ifndef SETTINGSFILECHECK_H
#define SETTINGSFILECHECK_H

#include <QByteArray>
#include <QStringList>

// Looks through the text of a settings file in QSettings' INI format for
// binary values ("@Variant(...)", "@DateTime(...)") that Qt's own reader
// cannot take apart safely: an element count larger than the file (Qt
// reserves memory for it and the process dies), a date-time with a time
// zone that does not exist (Qt crashes when it writes it back), or a type
// whose layout is not known here, so that its counts cannot be checked.
// Values of the other core types are sound, also those this plugin never
// stores itself (a float, a list holding a date-time): the readers decide
// what to make of them. Lines and values are split the way QSettings
// splits them, so what is checked is what Qt would decode.
//
// Everything else is left to QSettings: other values are plain text, and a
// malformed line is a QSettings::FormatError the caller sees.
class SettingsFileCheck
{
public:
    explicit SettingsFileCheck(const QByteArray &content);

    bool damaged() const { return !m_damagedKeys.isEmpty(); }
    // "section/key" as written in the file, one for each damaged line.
    QStringList damagedKeys() const { return m_damagedKeys; }
    // The content without the lines that hold damaged values; the same
    // content when nothing is damaged.
    QByteArray repairedContent() const { return m_repairedContent; }

private:
    QStringList m_damagedKeys;
    QByteArray m_repairedContent;
};

#endif // SETTINGSFILECHECK_H
