#ifndef JSONRPCVALIDATOR_H
#define JSONRPCVALIDATOR_H

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QVariant>

class JsonHandler;

// Checks JSON values against what JSON handlers declared, before anything
// reaches a handler.
//
// A type is a basic type name ("Uint", "Int", "Double", "Bool", "Uuid",
// "String", "StringList", "Variant", "Object", "Time"; "Uint" and "Int" hold
// the 32-bit ranges, "Time" whole Unix seconds from 1 to the end of the year
// 9999), "$ref:Name" for an
// enum (value: one of its key strings) or an object type (value: an object
// whose members are checked in turn; a list type's value is an array), or a
// one-element list [type] for an array of that type. Member names with the
// prefix "o:" are optional; a JSON null counts as absent for them. Members
// that are not declared are refused.
//
// "$ref" names are looked up in the handlers in the given order, so a
// namespace's own types win over those of others.
class JsonRpcValidator
{
public:
    struct Result {
        bool ok = true;
        // The fault lies in a declaration (unknown type), not in the value.
        bool declarationError = false;
        // What is wrong and where ("gizmo.color: ...").
        QString message;
    };

    explicit JsonRpcValidator(const QList<JsonHandler *> &handlers)
        : m_handlers(handlers)
    {
    }

    Result validateMembers(const QVariantMap &declaration, const QJsonObject &object,
                           const QString &path = QString()) const;
    Result validateValue(const QVariant &type, const QJsonValue &value, const QString &path) const;

    // Drops the null values of optional members at the top level, so that
    // handlers see them as absent.
    static QJsonObject withoutNullOptionals(const QVariantMap &declaration, const QJsonObject &object);

    // Strict text form of a UUID, with or without braces.
    static bool isUuid(const QString &text);

    // QVariant to JSON as the wire carries it: ids as braced text,
    // date-times as seconds since the epoch, gadgets packed by their
    // properties, NaN and infinities as null.
    static QJsonValue toJson(const QVariant &value);

private:
    Result validateValue(const QVariant &type, const QJsonValue &value, const QString &path, int depth) const;
    Result validateMembers(const QVariantMap &declaration, const QJsonObject &object, const QString &path,
                           int depth) const;
    Result validateBasic(const QString &type, const QJsonValue &value, const QString &path) const;
    Result validateReference(const QString &name, const QJsonValue &value, const QString &path, int depth) const;

    QList<JsonHandler *> m_handlers;
};

#endif // JSONRPCVALIDATOR_H
