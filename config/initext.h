#ifndef INITEXT_H
#define INITEXT_H

#include <QByteArray>
#include <QVector>
#include <QString>
#include <QVariant>

// The text of a settings file in QSettings' INI format, changed in place:
// a changed key keeps its line, a new one goes to the end of its section
// (a new section to the end of the file), a removed key or group takes its
// lines with it. Everything else (comments, keys of other programs, lines
// QSettings cannot read) stays byte for byte. Keys are named as QSettings
// names them ("Group/Subgroup/key"; top-level keys without a group) and are
// found however the file escapes them.
//
// Values are written so that QSettings reads them back as it reads its
// own: numbers, bools and text as text, lists as comma-separated lists. A
// UUID, a locale and a date-time are written as their text (a date-time in
// ISO 8601 with milliseconds, with "Z" or an offset unless it is local
// time), which the readers convert back as they convert Qt's binary form.
class IniText
{
public:
    explicit IniText(const QByteArray &content = QByteArray());

    // False (and nothing changed) for a value of a type not written here.
    bool setValue(const QString &key, const QVariant &value);
    // The key, or the group with every key in it.
    void remove(const QString &key);
    QByteArray content() const;

    // How a value is written after "="; empty and *ok false for a type not
    // written here.
    static QByteArray encodedValue(const QVariant &value, bool *ok = nullptr);

    // How QSettings (Qt 5) cuts INI text into lines: a backslash escapes the
    // next character (also a line break), double quotes span lines, and ";"
    // outside quotes ends the line (a comment follows). Blank lines and
    // comment lines are skipped. From position on; returns false at the end.
    // The line is [lineStart, lineEnd), equalsPos its first "=" outside
    // quotes (-1: none); position moves past it.
    static bool readLine(const QByteArray &data, int &position, int &lineStart, int &lineEnd, int &equalsPos);

private:
    struct Line {
        enum Kind {
            Section,
            Entry,
            Other
        };
        QByteArray gap;  // blank lines and comments before the line
        QByteArray text; // the line itself, without its line break
        Kind kind = Other;
        QString section; // a section's (or an entry's section's) name, "" for the top level
        QString key;     // an entry's full key, its section's name in front
        int equals = -1; // an entry's "=" in text
    };

    // The full key of an entry; its section's name in front.
    static QString fullKey(const QString &section, const QString &key);
    // Index of the line after which a new entry of section goes; -1 when
    // the file has no such section.
    int endOfSection(const QString &section) const;
    // Takes the line out; a comment before it stays, before the next line.
    void removeLine(int index);

    QVector<Line> m_lines;
    QByteArray m_tail; // what follows the last line
};

#endif // INITEXT_H
