#include "jsonschemacheck.h"

#include <QJsonArray>
#include <QJsonDocument>

// The schema parser reports a broken schema by exception; without them it
// would abort the process.
#define VALIJSON_USE_EXCEPTIONS 1
#include <valijson/adapters/qtjson_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validation_results.hpp>
#include <valijson/validator.hpp>

#include <algorithm>
#include <exception>

struct JsonSchemaCheck::Schema {
    valijson::Schema schema;
};

namespace {

// valijson's context segments: "<root>", then "[key]" or "[index]".
QStringList segmentsOf(const std::vector<std::string> &context)
{
    QStringList segments;
    for (const std::string &part : context) {
        const QString text = QString::fromStdString(part);
        if (text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']')))
            segments << text.mid(1, text.size() - 2);
    }
    return segments;
}

// "cars[0].phases": the document tells an index from a key.
QString pathText(const QStringList &segments, const QJsonValue &document)
{
    QString path;
    QJsonValue value = document;
    for (const QString &segment : segments) {
        if (value.isArray()) {
            path += QLatin1Char('[') + segment + QLatin1Char(']');
            value = value.toArray().at(segment.toInt());
        } else {
            path += (path.isEmpty() ? QString() : QStringLiteral(".")) + segment;
            value = value.toObject().value(segment);
        }
    }
    return path;
}

QJsonValue valueAt(const QStringList &segments, const QJsonValue &document)
{
    QJsonValue value = document;
    for (const QString &segment : segments)
        value = value.isArray() ? value.toArray().at(segment.toInt()) : value.toObject().value(segment);
    return value;
}

// The document without the key at the object that segments lead to.
QJsonValue withoutKey(const QJsonValue &value, const QStringList &segments, int depth, const QString &key)
{
    if (depth == segments.count()) {
        QJsonObject object = value.toObject();
        object.remove(key);
        return object;
    }
    const QString &segment = segments.at(depth);
    if (value.isArray()) {
        QJsonArray array = value.toArray();
        const int index = segment.toInt();
        array[index] = withoutKey(array.at(index), segments, depth + 1, key);
        return array;
    }
    QJsonObject object = value.toObject();
    object[segment] = withoutKey(object.value(segment), segments, depth + 1, key);
    return object;
}

QString shortText(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return QStringLiteral("the text \"%1\"").arg(value.toString());
    case QJsonValue::Double:
        return QStringLiteral("the number %1").arg(value.toDouble());
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Array:
        return QStringLiteral("a list");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    default:
        return QStringLiteral("null");
    }
}

QString typeWords(const QJsonValue &type)
{
    const QJsonArray types = type.isArray() ? type.toArray() : QJsonArray{type};
    QStringList words;
    for (const QJsonValue &name : types) {
        const QString text = name.toString();
        if (text == QLatin1String("integer"))
            words << QStringLiteral("a whole number");
        else if (text == QLatin1String("number"))
            words << QStringLiteral("a number");
        else if (text == QLatin1String("string"))
            words << QStringLiteral("a text");
        else if (text == QLatin1String("boolean"))
            words << QStringLiteral("true or false");
        else if (text == QLatin1String("array"))
            words << QStringLiteral("a list");
        else if (text == QLatin1String("object"))
            words << QStringLiteral("an object");
        else
            words << text;
    }
    return words.join(QStringLiteral(" or "));
}

int editDistance(const QString &a, const QString &b)
{
    QVector<int> row(b.size() + 1);
    for (int j = 0; j <= b.size(); j++)
        row[j] = j;
    for (int i = 1; i <= a.size(); i++) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); j++) {
            const int above = row[j];
            const int cost = a.at(i - 1).toLower() == b.at(j - 1).toLower() ? 0 : 1;
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + cost});
            diagonal = above;
        }
    }
    return row[b.size()];
}

bool startsWith(const std::string &text, const char *prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// The known key closest to an unknown one, within a typo's distance; empty
// for none.
QString closestKey(const QString &key, const QJsonObject &node)
{
    QString closest;
    int best = std::max(2, static_cast<int>(key.size()) / 4) + 1;
    for (const QString &known : node.value(QStringLiteral("properties")).toObject().keys()) {
        const int distance = editDistance(key, known);
        if (distance < best) {
            best = distance;
            closest = known;
        }
    }
    return closest;
}

// What is wrong with a value, in words, from the validator's text and the
// schema node that refused it.
QString valueMessage(const std::string &text, const QJsonObject &node, const QJsonValue &value)
{
    if (startsWith(text, "Value type not permitted"))
        return QStringLiteral("%1 is expected, not %2")
                .arg(typeWords(node.value(QStringLiteral("type"))), shortText(value));
    if (startsWith(text, "Failed to match regex") && node.contains(QStringLiteral("description")))
        return QStringLiteral("%1 is no %2")
                .arg(shortText(value), node.value(QStringLiteral("description")).toString());
    if (startsWith(text, "Failed to match against any enum")) {
        QStringList allowed;
        for (const QJsonValue &option : node.value(QStringLiteral("enum")).toArray())
            allowed << QString::fromUtf8(QJsonDocument(QJsonArray{option}).toJson(QJsonDocument::Compact))
                               .mid(1)
                               .chopped(1);
        return QStringLiteral("%1 is none of %2").arg(shortText(value), allowed.join(QStringLiteral(", ")));
    }
    if (startsWith(text, "Expected number greater than") || startsWith(text, "Expected number less than")) {
        const bool below = startsWith(text, "Expected number greater than");
        const bool inclusive = text.find("or equal to") != std::string::npos;
        const QString bound = below ? (inclusive ? QStringLiteral("minimum") : QStringLiteral("exclusiveMinimum"))
                                    : (inclusive ? QStringLiteral("maximum") : QStringLiteral("exclusiveMaximum"));
        const QString words = below ? (inclusive ? QStringLiteral("at least") : QStringLiteral("more than"))
                                    : (inclusive ? QStringLiteral("at most") : QStringLiteral("less than"));
        return QStringLiteral("must be %1 %2, not %3")
                .arg(words, QString::number(node.value(bound).toDouble()), QString::number(value.toDouble()));
    }
    QString description = QString::fromStdString(text);
    if (description.endsWith(QLatin1Char('.')))
        description.chop(1);
    return QStringLiteral("%1, found %2").arg(description, shortText(value));
}
}

JsonSchemaCheck::JsonSchemaCheck(const QByteArray &schemaText)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(schemaText, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        m_errorString = QStringLiteral("the schema is no JSON object: %1").arg(parseErrorText(schemaText, error));
        return;
    }
    m_schemaJson = document.object();
    auto schema = std::make_unique<Schema>();
    try {
        valijson::SchemaParser parser(valijson::SchemaParser::kDraft7);
        parser.populateSchema(valijson::adapters::QtJsonAdapter(QJsonValue(m_schemaJson)), schema->schema);
    } catch (const std::exception &exception) {
        m_errorString = QStringLiteral("the schema is broken: %1").arg(QString::fromStdString(exception.what()));
        return;
    }
    m_schema = std::move(schema);
}

JsonSchemaCheck::~JsonSchemaCheck() = default;

QJsonObject JsonSchemaCheck::resolved(const QJsonObject &node) const
{
    // Local references only ("#/definitions/clock"), as the schemas here use.
    QJsonObject current = node;
    for (int hops = 0; hops < 8 && current.contains(QStringLiteral("$ref")); hops++) {
        const QString reference = current.value(QStringLiteral("$ref")).toString();
        if (!reference.startsWith(QLatin1String("#/")))
            break;
        QJsonValue target = m_schemaJson;
        for (const QString &part : reference.mid(2).split(QLatin1Char('/')))
            target = target.toObject().value(part);
        current = target.toObject();
    }
    return current;
}

QJsonObject JsonSchemaCheck::schemaAt(const QStringList &keys, const QJsonValue &document) const
{
    QJsonObject node = resolved(m_schemaJson);
    QJsonValue value = document;
    for (const QString &key : keys) {
        if (value.isArray()) {
            node = resolved(node.value(QStringLiteral("items")).toObject());
            value = value.toArray().at(key.toInt());
            continue;
        }
        const QJsonObject properties = node.value(QStringLiteral("properties")).toObject();
        node = resolved(properties.contains(key) ? properties.value(key).toObject()
                                                 : node.value(QStringLiteral("additionalProperties")).toObject());
        value = value.toObject().value(key);
    }
    return node;
}

QList<JsonSchemaCheck::Problem> JsonSchemaCheck::checkOnce(const QJsonValue &document) const
{
    valijson::Validator validator(valijson::Validator::kStrongTypes);
    valijson::ValidationResults results;
    validator.validate(m_schema->schema, valijson::adapters::QtJsonAdapter(document), &results);

    QList<Problem> problems;
    const std::string unknownPrefix = "Object contains a property that could not be validated";
    const std::string requiredPrefix = "Missing required property '";
    for (const valijson::ValidationResults::Error &error : results) {
        const std::string &text = error.description;
        // Wrappers around the errors inside them; those say what is wrong.
        if (startsWith(text, "Failed to validate item #") || startsWith(text, "Failed to validate against schema")
            || startsWith(text, "Failed to validate against additional")
            || startsWith(text, "Failed to validate against child"))
            continue;
        const QStringList segments = segmentsOf(error.context);
        const QJsonValue value = valueAt(segments, document);
        const QJsonObject node = schemaAt(segments, document);
        Problem problem;
        if (startsWith(text, unknownPrefix.c_str()) || startsWith(text, requiredPrefix.c_str())) {
            const bool unknown = startsWith(text, unknownPrefix.c_str());
            // The key is quoted last: "... constraints: 'phasePowerLimt'."
            const std::string::size_type close = text.rfind('\'');
            const std::string::size_type open = text.rfind('\'', close - 1);
            const QString key = QString::fromStdString(text.substr(open + 1, close - open - 1));
            const QString objectPath = pathText(segments, document);
            problem.path = objectPath.isEmpty() ? key : objectPath + QLatin1Char('.') + key;
            problem.keys = QStringList(segments) << key;
            problem.unknownKey = unknown;
            problem.message = unknown ? QStringLiteral("unknown key") : QStringLiteral("missing");
            const QString closest = unknown ? closestKey(key, node) : QString();
            if (!closest.isEmpty())
                problem.message += QStringLiteral(" (did you mean \"%1\"?)").arg(closest);
            problems << problem;
            continue;
        }
        problem.path = pathText(segments, document);
        problem.keys = segments;
        problem.wrongType = startsWith(text, "Value type not permitted");
        problem.message = valueMessage(text, node, value);
        problems << problem;
    }
    // valijson may report one fault on several paths of one schema.
    QList<Problem> unique;
    for (const Problem &problem : problems) {
        const bool seen = std::any_of(unique.cbegin(), unique.cend(), [&problem](const Problem &other) {
            return other.path == problem.path && other.message == problem.message;
        });
        if (!seen)
            unique << problem;
    }
    return unique;
}

QList<JsonSchemaCheck::Problem> JsonSchemaCheck::check(const QJsonValue &document) const
{
    if (!m_schema) {
        Problem problem;
        problem.message = m_errorString;
        return {problem};
    }
    QList<Problem> problems = checkOnce(document);
    // valijson names one unknown key per object; without it the next one
    // shows. Each round removes at least one key.
    QJsonValue remaining = document;
    QList<Problem> unknown;
    for (const Problem &problem : qAsConst(problems)) {
        if (problem.unknownKey)
            unknown << problem;
    }
    for (int round = 0; !unknown.isEmpty() && round < 1000; round++) {
        for (const Problem &problem : qAsConst(unknown))
            remaining = withoutKey(remaining, problem.keys.mid(0, problem.keys.count() - 1), 0, problem.keys.last());
        unknown.clear();
        for (const Problem &problem : checkOnce(remaining)) {
            if (problem.unknownKey) {
                unknown << problem;
                problems << problem;
            }
        }
    }
    return problems;
}

QString JsonSchemaCheck::parseErrorText(const QByteArray &text, const QJsonParseError &error)
{
    const int offset = qBound(0, error.offset, static_cast<int>(text.size()));
    const QByteArray before = text.left(offset);
    const int line = before.count('\n') + 1;
    const int column = QString::fromUtf8(before.mid(before.lastIndexOf('\n') + 1)).size() + 1;
    return QStringLiteral("line %1, column %2: %3").arg(line).arg(column).arg(error.errorString());
}
