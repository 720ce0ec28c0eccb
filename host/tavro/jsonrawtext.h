#ifndef JSONRAWTEXT_H
#define JSONRAWTEXT_H

#include <QByteArray>
#include <QList>

// Pieces of JSON text exactly as they were written. Qt reads every number
// as a double, so an id like 9007199254740993 would come back altered; the
// server echoes the id's own text instead.
//
// Both functions expect text that QJsonDocument has accepted already; on
// anything else they return nothing useful, but stay within the text.
class JsonRawText
{
public:
    // The text of each element of a JSON array, without the white space
    // around it.
    static QList<QByteArray> arrayElements(const QByteArray &text);
    // The text of the value of the object's top-level member name (the last
    // one when it occurs twice, as Qt reads it); empty when there is none.
    static QByteArray memberValue(const QByteArray &text, const QString &name);
    // The path of the first member that an object gives twice, at any
    // depth ("method", "params.configuration.mode", "list[2].name"), empty
    // when there is none. Keys are compared as decoded ("\u0069d" is "id").
    static QString duplicateMember(const QByteArray &text);

private:
    // Index just past the value starting at position (white space before it
    // is skipped).
    static int skipValue(const QByteArray &text, int position);
    static int skipSpace(const QByteArray &text, int position);
    static QString decodedKey(const QByteArray &key);
    // Walks the value at position; past its end, or -1 once a duplicate is
    // found (its path in *duplicate).
    static int findDuplicate(const QByteArray &text, int position, const QString &path, int depth, QString *duplicate);
};

#endif // JSONRAWTEXT_H
