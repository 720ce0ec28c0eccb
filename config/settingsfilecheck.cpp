#include "settingsfilecheck.h"
#include "initext.h"

#include <QDataStream>
#include <QDateTime>
#include <QTimeZone>
#include <QVariant>

namespace {

int hexValue(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

// How QSettings turns the text after "=" into one string or a list of
// strings: escapes, quotes, commas between list elements. Plain runs of
// bytes are taken as Latin-1 or, with utf8, as UTF-8 (a file with a byte
// order mark).
QStringList unescapedValues(const QByteArray &data, int from, int to, bool utf8)
{
    static const char escapeCodes[][2] = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'},
                                          {'v', '\v'}, {'"', '"'},  {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    QStringList values;
    QString current;
    bool inQuotes = false;
    int i = from;
    auto skipSpaces = [&]() {
        while (i < to && (data.at(i) == ' ' || data.at(i) == '\t'))
            ++i;
    };
    skipSpaces();
    while (i < to) {
        const char ch = data.at(i);
        if (ch == '\\') {
            if (++i >= to)
                break;
            const char code = data.at(i++);
            bool known = false;
            for (const auto &escape : escapeCodes) {
                if (code == escape[0]) {
                    current += QLatin1Char(escape[1]);
                    known = true;
                    break;
                }
            }
            if (known)
                continue;
            if (code == 'x' && i < to && hexValue(data.at(i)) >= 0) {
                uint value = 0;
                while (i < to && hexValue(data.at(i)) >= 0)
                    value = ((value << 4) | uint(hexValue(data.at(i++)))) & 0xffffffu;
                current += QChar(ushort(value));
            } else if (code >= '0' && code <= '7') {
                uint value = uint(code - '0');
                while (i < to && data.at(i) >= '0' && data.at(i) <= '7')
                    value = ((value << 3) | uint(data.at(i++) - '0')) & 0xffffffu;
                current += QChar(ushort(value));
            } else if ((code == '\n' || code == '\r') && i < to) {
                const char next = data.at(i);
                if ((next == '\n' || next == '\r') && next != code)
                    ++i;
            }
        } else if (ch == '"') {
            ++i;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipSpaces();
        } else if (ch == ',' && !inQuotes) {
            values.append(current);
            current.clear();
            ++i;
            skipSpaces();
        } else {
            int j = i + 1;
            while (j < to && data.at(j) != '\\' && data.at(j) != '"' && data.at(j) != ',')
                ++j;
            current += utf8 ? QString::fromUtf8(data.constData() + i, j - i)
                            : QString::fromLatin1(data.constData() + i, j - i);
            i = j;
        }
    }
    values.append(current);
    return values;
}

// Walks QDataStream data as written by QSettings and checks every length
// against the bytes that are left, before Qt allocates anything for it.
class PayloadReader
{
public:
    explicit PayloadReader(const QByteArray &data)
        : m_data(data)
    {
    }

    bool atEnd() const { return m_position == m_data.size(); }

    // "@Variant(": stream version 4.0, no null flag. Every core type whose
    // layout is known here: what holds a count is checked against the bytes
    // left; a type not known here cannot be checked and counts as damaged.
    bool variant(int depth = 0)
    {
        quint32 type = 0;
        if (depth > 8 || !read32(type))
            return false;
        // Qt 4 numbered the types after the first 30 from 128 on, and this
        // stream version keeps those numbers.
        if (type >= 128)
            type -= 97;
        switch (type) {
        case QMetaType::Nullptr:
            return true;
        case QMetaType::Bool:
        case QMetaType::Char:
        case QMetaType::SChar:
        case QMetaType::UChar:
            return skip(1);
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::QChar:
            return skip(2);
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Float: // single precision in this stream version
        case QMetaType::QTime:
        case QMetaType::QDate: // a 32-bit day number in this stream version
            return skip(4);
        case QMetaType::QSize:
        case QMetaType::QPoint:
        case QMetaType::Long: // both longs as 64 bits
        case QMetaType::ULong:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Double:
            return skip(8);
        case QMetaType::QDateTime: // date, time, one byte for local time, UTC or offset
            return skip(9);
        case QMetaType::QUuid:
        case QMetaType::QSizeF:
        case QMetaType::QPointF:
        case QMetaType::QRect:
        case QMetaType::QLine:
            return skip(16);
        case QMetaType::QRectF:
        case QMetaType::QLineF:
            return skip(32);
        case QMetaType::QString:
        case QMetaType::QLocale: // its name
            return string();
        case QMetaType::QByteArray:
        case QMetaType::QUrl:          // its encoded form
        case QMetaType::QJsonDocument: // JSON text
        case QMetaType::QJsonObject:
        case QMetaType::QJsonArray:
            return bytes();
        case QMetaType::QRegExp: // pattern, case, syntax, minimal
            return string() && skip(3);
        case QMetaType::QRegularExpression: // pattern, options
            return string() && skip(4);
        case QMetaType::QBitArray: {
            quint32 bits = 0;
            return read32(bits) && skip((qint64(bits) + 7) / 8);
        }
        case QMetaType::QStringList:
            return sequence(4, [this]() { return string(); });
        case QMetaType::QByteArrayList:
            return sequence(4, [this]() { return bytes(); });
        case QMetaType::QVariantList:
            return sequence(4, [this, depth]() { return variant(depth + 1); });
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash:
            return sequence(8, [this, depth]() { return string() && variant(depth + 1); });
        case 127: { // a named type in this stream version
            QByteArray name;
            return bytes(&name) && name == QByteArrayLiteral("QUuid\0") && skip(16);
        }
        default:
            return false;
        }
    }

    // "@DateTime(": stream version 5.6, a QVariant holding a QDateTime.
    bool dateTime()
    {
        quint32 type = 0;
        if (!read32(type) || type != QMetaType::QDateTime || !skip(1 + 8 + 4)) // null flag, day, time
            return false;
        quint8 timeSpec = 0;
        if (!read8(timeSpec))
            return false;
        switch (timeSpec) {
        case Qt::LocalTime:
        case Qt::UTC:
            return true;
        case Qt::OffsetFromUTC:
            return skip(4);
        case Qt::TimeZone: {
            QString zoneId;
            if (!string(&zoneId))
                return false;
            if (zoneId != QLatin1String("OffsetFromUtc"))
                return QTimeZone::isTimeZoneIdAvailable(zoneId.toUtf8());
            // A custom zone: id, offset, name, abbreviation, country, comment.
            return string(&zoneId) && !zoneId.isEmpty() && skip(4) && string() && string() && skip(4) && string();
        }
        default:
            return false;
        }
    }

private:
    qint64 left() const { return m_data.size() - m_position; }

    bool skip(qint64 count)
    {
        if (count < 0 || count > left())
            return false;
        m_position += int(count);
        return true;
    }

    bool read8(quint8 &value)
    {
        if (left() < 1)
            return false;
        value = quint8(m_data.at(m_position++));
        return true;
    }

    bool read32(quint32 &value)
    {
        if (left() < 4)
            return false;
        value = 0;
        for (int i = 0; i < 4; i++)
            value = (value << 8) | quint8(m_data.at(m_position++));
        return true;
    }

    bool bytes(QByteArray *content = nullptr)
    {
        quint32 size = 0;
        if (!read32(size))
            return false;
        if (size == 0xffffffffu) // a null byte array
            return true;
        if (content && size <= left())
            *content = m_data.mid(m_position, int(size));
        return skip(size);
    }

    // UTF-16, big-endian, the size in bytes.
    bool string(QString *content = nullptr)
    {
        quint32 size = 0;
        if (!read32(size))
            return false;
        if (size == 0xffffffffu)
            return true;
        if (size % 2 != 0 || size > left())
            return false;
        if (content) {
            content->resize(int(size / 2));
            for (int i = 0; i < content->size(); i++) {
                const int at = m_position + 2 * i;
                (*content)[i] = QChar(ushort((quint8(m_data.at(at)) << 8) | quint8(m_data.at(at + 1))));
            }
        }
        return skip(size);
    }

    // A count, then that many elements of at least minimumSize bytes each.
    template<typename Element>
    bool sequence(int minimumSize, Element element)
    {
        quint32 count = 0;
        if (!read32(count) || count > left() / minimumSize)
            return false;
        for (quint32 i = 0; i < count; i++) {
            if (!element())
                return false;
        }
        return true;
    }

    const QByteArray m_data;
    int m_position = 0;
};

bool soundValue(const QString &value)
{
    // Only these two prefixes reach QDataStream in QSettings.
    const bool isVariant = value.startsWith(QLatin1String("@Variant("));
    const bool isDateTime = value.startsWith(QLatin1String("@DateTime("));
    if ((!isVariant && !isDateTime) || !value.endsWith(QLatin1Char(')')))
        return true;
    const int offset = isVariant ? 9 : 10;
    PayloadReader reader(value.mid(offset, value.size() - offset - 1).toLatin1());
    if (isVariant)
        return reader.variant() && reader.atEnd();
    if (!reader.dateTime() || !reader.atEnd())
        return false;

    // Bounded now: let Qt decode it and check the zone it made.
    QByteArray payload = value.mid(offset).toLatin1();
    QDataStream stream(&payload, QIODevice::ReadOnly);
    stream.setVersion(QDataStream::Qt_5_6);
    QVariant decoded;
    stream >> decoded;
    const QDateTime dateTime = decoded.toDateTime();
    return decoded.userType() == QMetaType::QDateTime
           && (dateTime.timeSpec() != Qt::TimeZone || dateTime.timeZone().isValid());
}

}

SettingsFileCheck::SettingsFileCheck(const QByteArray &content)
{
    const bool hasByteOrderMark = content.startsWith("\xef\xbb\xbf");
    QByteArray section = QByteArrayLiteral("General");
    int position = hasByteOrderMark ? 3 : 0;
    int copied = 0;
    int lineStart = 0;
    int lineEnd = 0;
    int equalsPos = -1;
    while (IniText::readLine(content, position, lineStart, lineEnd, equalsPos)) {
        if (content.at(lineStart) == '[') {
            const int close = content.indexOf(']', lineStart);
            section = content.mid(lineStart + 1, (close == -1 || close >= lineEnd ? lineEnd : close) - lineStart - 1);
            continue;
        }
        if (equalsPos == -1)
            continue;
        // Raw high bytes decode differently with and without a byte order
        // mark; Qt writes none in binary values, so either reading must hold.
        bool sound = true;
        for (bool utf8 : {false, true}) {
            const QStringList values = unescapedValues(content, equalsPos + 1, lineEnd, utf8);
            for (const QString &value : values)
                sound = sound && soundValue(value);
        }
        if (sound)
            continue;
        m_damagedKeys.append(
                QString::fromLatin1(section + '/' + content.mid(lineStart, equalsPos - lineStart).trimmed()));
        m_repairedContent += content.mid(copied, lineStart - copied);
        copied = lineEnd;
    }
    m_repairedContent += content.mid(copied);
}
