#include "initext.h"

#include <QDateTime>
#include <QLocale>
#include <QUuid>

namespace {

// QSettings' normal form of a key: no leading, trailing or double slashes.
QString normalizedKey(const QString &key)
{
    if (!key.startsWith(QLatin1Char('/')) && !key.endsWith(QLatin1Char('/')) && !key.contains(QLatin1String("//")))
        return key;
    return key.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
}

bool isHexDigit(uint ch)
{
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

// A key or section name as QSettings writes it: letters, digits, "_", "-"
// and "." as they are, "/" as a backslash, the rest as %XX or %UXXXX.
QByteArray escapedKey(const QString &key)
{
    static const char hexDigits[] = "0123456789ABCDEF";
    QByteArray result;
    for (const QChar c : key) {
        const uint ch = c.unicode();
        if (ch == '/') {
            result += '\\';
        } else if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_'
                   || ch == '-' || ch == '.') {
            result += char(ch);
        } else if (ch <= 0xff) {
            result += '%';
            result += hexDigits[ch / 16];
            result += hexDigits[ch % 16];
        } else {
            result += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                result += hexDigits[(ch >> shift) & 0xf];
        }
    }
    return result;
}

// The reverse, as QSettings reads it: a backslash is "/", %XX and %UXXXX
// are characters, a "%" that starts neither stays.
QString unescapedKey(const QByteArray &data, int from, int to)
{
    QString result;
    int i = from;
    while (i < to) {
        const char ch = data.at(i);
        if (ch == '\\') {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (ch != '%' || i == to - 1) {
            result += QLatin1Char(ch);
            ++i;
            continue;
        }
        int digits = 2;
        int first = i + 1;
        if (data.at(first) == 'U') {
            ++first;
            digits = 4;
        }
        bool ok = false;
        const int value = first + digits <= to ? data.mid(first, digits).toInt(&ok, 16) : 0;
        if (!ok) {
            result += QLatin1Char('%');
            ++i;
            continue;
        }
        result += QChar(value);
        i = first + digits;
    }
    return result;
}

// Text after "=" as QSettings writes it: control and non-ASCII characters
// escaped (a hex digit right after a numeric escape too, or it would be
// read as part of it), quoted when it holds ";", "," or "=" or starts or
// ends with a space.
QByteArray escapedString(const QString &text)
{
    QByteArray result;
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    for (const QChar c : text) {
        const uint ch = c.unicode();
        if (ch == ';' || ch == ',' || ch == '=')
            needsQuotes = true;
        if (escapeNextIfDigit && isHexDigit(ch)) {
            result += "\\x" + QByteArray::number(ch, 16);
            continue;
        }
        escapeNextIfDigit = false;
        switch (ch) {
        case '\0':
            result += "\\0";
            escapeNextIfDigit = true;
            break;
        case '\a':
            result += "\\a";
            break;
        case '\b':
            result += "\\b";
            break;
        case '\f':
            result += "\\f";
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        case '\t':
            result += "\\t";
            break;
        case '\v':
            result += "\\v";
            break;
        case '"':
        case '\\':
            result += '\\';
            result += char(ch);
            break;
        default:
            if (ch <= 0x1f || ch >= 0x7f) {
                result += "\\x" + QByteArray::number(ch, 16);
                escapeNextIfDigit = true;
            } else {
                result += char(ch);
            }
        }
    }
    if (needsQuotes || result.startsWith(' ') || result.endsWith(' '))
        result = '"' + result + '"';
    return result;
}

// One value as text, as QSettings turns it into a string before escaping;
// a null string for a type not written here.
QString valueText(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return value.toString();
    case QMetaType::Double:
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    case QMetaType::QString: {
        // A leading "@" would read as one of Qt's typed values.
        // A null string is the empty text, not a type this file cannot write.
        const QString text = value.toString();
        if (text.isNull())
            return QStringLiteral("");
        return text.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + text : text;
    }
    case QMetaType::QUuid:
        return value.toUuid().toString();
    case QMetaType::QLocale:
        return value.toLocale().name();
    case QMetaType::QDateTime: {
        // Local time without an offset, so that it reads back as local time.
        const QDateTime dateTime = value.toDateTime();
        return dateTime.isValid() ? dateTime.toString(Qt::ISODateWithMs) : QStringLiteral("");
    }
    default:
        return QString();
    }
}

} // namespace

IniText::IniText(const QByteArray &content)
{
    // A byte order mark stays where it is, ahead of everything.
    int position = content.startsWith("\xef\xbb\xbf") ? 3 : 0;
    int gapStart = 0;
    QString section;
    int lineStart = 0;
    int lineEnd = 0;
    int equalsPos = -1;
    while (readLine(content, position, lineStart, lineEnd, equalsPos)) {
        Line line;
        line.gap = content.mid(gapStart, lineStart - gapStart);
        line.text = content.mid(lineStart, lineEnd - lineStart);
        gapStart = lineEnd;
        if (content.at(lineStart) == '[') {
            int close = content.indexOf(']', lineStart);
            if (close == -1 || close >= lineEnd)
                close = lineEnd;
            const QByteArray name = content.mid(lineStart + 1, close - lineStart - 1).trimmed();
            if (name.compare("general", Qt::CaseInsensitive) == 0)
                section.clear();
            else if (name.compare("%general", Qt::CaseInsensitive) == 0)
                section = QStringLiteral("General");
            else
                section = unescapedKey(name, 0, name.size());
            line.kind = Line::Section;
        } else if (equalsPos != -1) {
            int keyEnd = equalsPos;
            while (keyEnd > lineStart && (content.at(keyEnd - 1) == ' ' || content.at(keyEnd - 1) == '\t'))
                --keyEnd;
            line.kind = Line::Entry;
            line.equals = equalsPos - lineStart;
            line.key = normalizedKey(fullKey(section, unescapedKey(content, lineStart, keyEnd)));
        }
        line.section = section;
        m_lines.append(line);
    }
    m_tail = content.mid(gapStart);
}

QString IniText::fullKey(const QString &section, const QString &key)
{
    return section.isEmpty() ? key : section + QLatin1Char('/') + key;
}

bool IniText::setValue(const QString &key, const QVariant &value)
{
    bool ok = false;
    const QByteArray encoded = encodedValue(value, &ok);
    const QString name = normalizedKey(key);
    if (!ok || name.isEmpty())
        return false;

    // The first line of the key takes the value; further ones (QSettings
    // reads the last) go.
    int found = -1;
    for (int i = 0; i < m_lines.count(); i++) {
        if (m_lines.at(i).kind != Line::Entry || m_lines.at(i).key != name)
            continue;
        if (found == -1) {
            found = i;
            Line &line = m_lines[i];
            line.text = line.text.left(line.equals + 1) + encoded;
            continue;
        }
        removeLine(i);
        i--;
    }
    if (found != -1)
        return true;

    // A new key goes where QSettings would put it: into the section named
    // by its first part, a key without a group into the top level.
    const int slash = name.indexOf(QLatin1Char('/'));
    const QString section = slash == -1 ? QString() : name.left(slash);
    const QString inSection = slash == -1 ? name : name.mid(slash + 1);
    Line entry;
    entry.kind = Line::Entry;
    entry.section = section;
    entry.key = name;
    entry.gap = "\n";
    entry.text = escapedKey(inSection) + '=';
    entry.equals = entry.text.size() - 1;
    entry.text += encoded;

    int after = endOfSection(section);
    if (after == -1) {
        Line header;
        header.kind = Line::Section;
        header.section = section;
        header.gap = m_lines.isEmpty() ? QByteArray() : QByteArrayLiteral("\n\n");
        if (section.isEmpty())
            header.text = "[General]";
        else if (section.compare(QLatin1String("general"), Qt::CaseInsensitive) == 0)
            header.text = "[%" + escapedKey(section) + ']';
        else
            header.text = '[' + escapedKey(section) + ']';
        m_lines.append(header);
        after = m_lines.count() - 1;
    }
    m_lines.insert(after + 1, entry);
    if (after + 1 == m_lines.count() - 1 && m_tail.isEmpty())
        m_tail = "\n";
    return true;
}

void IniText::remove(const QString &key)
{
    const QString name = normalizedKey(key);
    const QString prefix = name + QLatin1Char('/');
    // Sections that lose their last entry go with it.
    QList<int> emptied;
    int header = -1;
    bool removedInBlock = false;
    bool keptInBlock = false;
    auto closeBlock = [&]() {
        if (header != -1 && removedInBlock && !keptInBlock)
            emptied.append(header);
    };
    for (int i = 0; i < m_lines.count(); i++) {
        const Line &line = m_lines.at(i);
        if (line.kind == Line::Section) {
            closeBlock();
            header = i;
            removedInBlock = false;
            keptInBlock = false;
            continue;
        }
        if (line.kind != Line::Entry)
            continue;
        if (name.isEmpty() || line.key == name || line.key.startsWith(prefix)) {
            // Lines before this one keep their places.
            removeLine(i);
            i--;
            removedInBlock = true;
        } else {
            keptInBlock = true;
        }
    }
    closeBlock();
    for (int i = emptied.count() - 1; i >= 0; i--)
        removeLine(emptied.at(i));
}

void IniText::removeLine(int index)
{
    const Line line = m_lines.takeAt(index);
    if (line.gap.trimmed().isEmpty())
        return;
    if (index < m_lines.count())
        m_lines[index].gap.prepend(line.gap);
    else
        m_tail.prepend(line.gap);
}

int IniText::endOfSection(const QString &section) const
{
    for (int i = m_lines.count() - 1; i >= 0; i--) {
        const Line &line = m_lines.at(i);
        if (line.section == section && (line.kind == Line::Entry || line.kind == Line::Section))
            return i;
    }
    return -1;
}

QByteArray IniText::content() const
{
    QByteArray result;
    for (const Line &line : m_lines)
        result += line.gap + line.text;
    return result + m_tail;
}

QByteArray IniText::encodedValue(const QVariant &value, bool *ok)
{
    if (ok)
        *ok = true;
    if (!value.isValid())
        return QByteArrayLiteral("@Invalid()");
    if (value.userType() == QMetaType::QVariantList || value.userType() == QMetaType::QStringList) {
        const QVariantList list = value.toList();
        // QSettings has no form for an empty list; a single element is
        // written alone and reads back as text.
        if (list.isEmpty())
            return QByteArrayLiteral("@Invalid()");
        QByteArray result;
        for (const QVariant &element : list) {
            const QString text = valueText(element);
            if (text.isNull()) {
                if (ok)
                    *ok = false;
                return QByteArray();
            }
            if (!result.isEmpty())
                result += ", ";
            result += escapedString(text);
        }
        return result;
    }
    const QString text = valueText(value);
    if (text.isNull()) {
        if (ok)
            *ok = false;
        return QByteArray();
    }
    return escapedString(text);
}

bool IniText::readLine(const QByteArray &data, int &position, int &lineStart, int &lineEnd, int &equalsPos)
{
    auto isSpace = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; };
    const int size = data.size();
    bool inQuotes = false;
    equalsPos = -1;
    lineStart = position;
    while (lineStart < size && isSpace(data.at(lineStart)))
        ++lineStart;
    int i = lineStart;
    while (i < size) {
        const char ch = data.at(i++);
        if (ch == '=') {
            if (!inQuotes && equalsPos == -1)
                equalsPos = i - 1;
        } else if (ch == '\n' || ch == '\r') {
            if (i == lineStart + 1) {
                ++lineStart;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (ch == '\\') {
            if (i < size) {
                const char escaped = data.at(i++);
                if (i < size) {
                    const char next = data.at(i);
                    if ((escaped == '\n' && next == '\r') || (escaped == '\r' && next == '\n'))
                        ++i;
                }
            }
        } else if (ch == '"') {
            inQuotes = !inQuotes;
        } else if (ch == ';') {
            if (i == lineStart + 1) {
                while (i < size && data.at(i) != '\n' && data.at(i) != '\r')
                    ++i;
                while (i < size && isSpace(data.at(i)))
                    ++i;
                lineStart = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    position = i;
    lineEnd = i;
    return lineEnd > lineStart;
}
