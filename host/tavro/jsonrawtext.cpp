#include "jsonrawtext.h"

#include <QJsonArray>
#include <QJsonDocument>
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
        // Escapes in a key ("\u0069d") are rare: let Qt decode those.
        const bool matches = key.contains('\\')
                                     ? QJsonDocument::fromJson('[' + key + ']').array().at(0).toString() == name
                                     : key.mid(1, key.size() - 2) == name.toUtf8();
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
