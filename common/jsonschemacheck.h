#ifndef JSONSCHEMACHECK_H
#define JSONSCHEMACHECK_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// Checks JSON documents against a JSON Schema (draft 7), with the valijson
// library, and words what breaks it for the person who wrote the file: the
// key path ("cars[0].phases") and what is wrong there. Every unknown key of
// an object is named, not only the first; a misspelt one gets the closest
// known key as a suggestion.
class JsonSchemaCheck
{
public:
    struct Problem {
        QString path;     // "cars[0].phases"; empty for the document itself
        QString message;  // e.g. "unknown key (did you mean \"phases\"?)"
        QStringList keys; // the path as keys and array indices
        bool unknownKey = false;
        bool wrongType = false;
    };

    // schemaText: the schema as JSON text. A schema that does not parse is a
    // fault of the program, not of the checked file: isValid() is false and
    // errorString() says why.
    explicit JsonSchemaCheck(const QByteArray &schemaText);
    ~JsonSchemaCheck();
    JsonSchemaCheck(const JsonSchemaCheck &) = delete;
    JsonSchemaCheck &operator=(const JsonSchemaCheck &) = delete;

    bool isValid() const { return m_schema != nullptr; }
    QString errorString() const { return m_errorString; }

    // Every problem of document, in document order; empty when it conforms.
    QList<Problem> check(const QJsonValue &document) const;

    // "line 3, column 7: <Qt's text>" for a syntax error found in text.
    static QString parseErrorText(const QByteArray &text, const QJsonParseError &error);

private:
    struct Schema;
    QList<Problem> checkOnce(const QJsonValue &document) const;
    QJsonObject schemaAt(const QStringList &keys, const QJsonValue &document) const;
    QJsonObject resolved(const QJsonObject &node) const;

    std::unique_ptr<Schema> m_schema;
    QJsonObject m_schemaJson;
    QString m_errorString;
};

#endif // JSONSCHEMACHECK_H
