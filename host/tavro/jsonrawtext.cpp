#include "jsonrawtext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QString>

int JsonRawText::skipSpace(const QByteArray &text, int position)
{
    while (position < text.size()) {
        const char c = text.at(position);
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            break;
        position++;
    }
    return position;
}

int JsonRawText::skipValue(const QByteArray &text, int position)
{
    position = skipSpace(text, position);
    int depth = 0;
    bool inString = false;
    while (position < text.size()) {
        const char c = text.at(position++);
        if (inString) {
            if (c == '\\') {
                position++;
                continue;
            }
            if (c != '"')
                continue;
            inString = false;
            if (depth == 0)
                return position;
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            break;
        case '{':
        case '[':
            depth++;
            break;
        case '}':
        case ']':
            if (depth == 0)
                return position - 1; // the end of the enclosing container
            if (--depth == 0)
                return position;
            break;
        case ',':
        case ' ':
        case '\t':
        case '\r':
        case '\n':
            if (depth == 0)
                return position - 1;
            break;
        default:
            break;
        }
    }
    return position;
}

QList<QByteArray> JsonRawText::arrayElements(const QByteArray &text)
{
    QList<QByteArray> elements;
    int position = skipSpace(text, 0);
    if (position >= text.size() || text.at(position) != '[')
        return elements;
    position = skipSpace(text, position + 1);
    while (position < text.size() && text.at(position) != ']') {
        const int end = skipValue(text, position);
        if (end <= position)
            break;
        elements.append(text.mid(position, end - position));
        position = skipSpace(text, end);
        if (position < text.size() && text.at(position) == ',')
            position = skipSpace(text, position + 1);
    }
    return elements;
}

QByteArray JsonRawText::memberValue(const QByteArray &text, const QString &name)
{
    QByteArray value;
    int position = skipSpace(text, 0);
    if (position >= text.size() || text.at(position) != '{')
        return value;
    position = skipSpace(text, position + 1);
    while (position < text.size() && text.at(position) == '"') {
        const int keyEnd = skipValue(text, position);
        const QByteArray key = text.mid(position, keyEnd - position);
        const bool matches = decodedKey(key) == name;
        position = skipSpace(text, keyEnd);
        if (position >= text.size() || text.at(position) != ':')
            break;
        const int valueStart = skipSpace(text, position + 1);
        const int valueEnd = skipValue(text, valueStart);
        if (matches)
            value = text.mid(valueStart, valueEnd - valueStart);
        position = skipSpace(text, valueEnd);
        if (position < text.size() && text.at(position) == ',')
            position = skipSpace(text, position + 1);
    }
    return value;
}

QString JsonRawText::decodedKey(const QByteArray &key)
{
    // Escapes in a key ("\u0069d") are rare: let Qt decode those.
    if (key.contains('\\'))
        return QJsonDocument::fromJson('[' + key + ']').array().at(0).toString();
    return QString::fromUtf8(key.mid(1, key.size() - 2));
}

QString JsonRawText::duplicateMember(const QByteArray &text)
{
    QString duplicate;
    findDuplicate(text, 0, QString(), 0, &duplicate);
    return duplicate;
}

int JsonRawText::findDuplicate(const QByteArray &text, int position, const QString &path, int depth, QString *duplicate)
{
    position = skipSpace(text, position);
    if (position >= text.size())
        return position;
    const char opening = text.at(position);
    // Qt refuses deeper texts before they get here; stay safe anyway.
    if ((opening != '{' && opening != '[') || depth > 1024)
        return skipValue(text, position);
    const bool isObject = opening == '{';
    const char closing = isObject ? '}' : ']';
    QSet<QString> keys;
    int index = 0;
    position = skipSpace(text, position + 1);
    while (position < text.size() && text.at(position) != closing) {
        QString key;
        if (isObject) {
            const int keyEnd = skipValue(text, position);
            key = decodedKey(text.mid(position, keyEnd - position));
            if (keys.contains(key)) {
                *duplicate = path.isEmpty() ? key : path + QLatin1Char('.') + key;
                return -1;
            }
            keys.insert(key);
            position = skipSpace(text, keyEnd);
            if (position >= text.size() || text.at(position) != ':')
                return text.size();
            position = skipSpace(text, position + 1);
        }
        int end = 0;
        // Only containers can hold a member twice; the path is built for
        // those alone.
        if (position < text.size() && (text.at(position) == '{' || text.at(position) == '[')) {
            const QString memberPath = isObject ? (path.isEmpty() ? key : path + QLatin1Char('.') + key)
                                                : path + QStringLiteral("[%1]").arg(index);
            end = findDuplicate(text, position, memberPath, depth + 1, duplicate);
            if (end < 0)
                return -1;
        } else {
            end = skipValue(text, position);
        }
        index++;
        if (end <= position)
            return text.size();
        position = skipSpace(text, end);
        if (position < text.size() && text.at(position) == ',')
            position = skipSpace(text, position + 1);
    }
    return position + 1;
}
