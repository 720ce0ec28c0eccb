#include "jsonrpcvalidator.h"
#include "jsonhandler.h"

#include <QDateTime>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSequentialIterable>
#include <QSet>
#include <QUuid>

#include <cmath>
#include <limits>

namespace {

// Nesting deeper than this is refused instead of recursing on.
const int maxDepth = 64;
// Integers beyond this lose precision as JSON numbers.
const double maxExactInteger = 9007199254740992.0; // 2^53
// 9999-12-31T23:59:59Z in Unix seconds.
const double maxTime = 253402300799.0;

const QString optionalPrefix = QStringLiteral("o:");
const QString referencePrefix = QStringLiteral("$ref:");

JsonRpcValidator::Result failure(const QString &path, const QString &message, bool declarationError = false)
{
    JsonRpcValidator::Result result;
    result.ok = false;
    result.declarationError = declarationError;
    result.message = path.isEmpty() ? message : path + QStringLiteral(": ") + message;
    return result;
}

QString joinPath(const QString &path, const QString &member)
{
    return path.isEmpty() ? member : path + QLatin1Char('.') + member;
}

QString typeText(const QVariant &type)
{
    if (type.type() == QVariant::List || type.type() == QVariant::StringList) {
        const QVariantList list = type.toList();
        return QStringLiteral("[%1]").arg(list.isEmpty() ? QString() : typeText(list.first()));
    }
    return type.toString();
}

QString jsonKind(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a bool");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("a string");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("nothing");
}

bool isInteger(const QJsonValue &value)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    return std::isfinite(number) && std::floor(number) == number && std::fabs(number) <= maxExactInteger;
}

}

JsonRpcValidator::Result JsonRpcValidator::validateMembers(const QVariantMap &declaration, const QJsonObject &object,
                                                           const QString &path) const
{
    return validateMembers(declaration, object, path, 0);
}

JsonRpcValidator::Result JsonRpcValidator::validateValue(const QVariant &type, const QJsonValue &value,
                                                         const QString &path) const
{
    return validateValue(type, value, path, 0);
}

JsonRpcValidator::Result JsonRpcValidator::validateMembers(const QVariantMap &declaration, const QJsonObject &object,
                                                           const QString &path, int depth) const
{
    if (depth > maxDepth)
        return failure(path, QStringLiteral("nested too deeply"));
    QSet<QString> declared;
    for (auto it = declaration.constBegin(); it != declaration.constEnd(); ++it) {
        const bool optional = it.key().startsWith(optionalPrefix);
        const QString name = optional ? it.key().mid(optionalPrefix.length()) : it.key();
        declared.insert(name);
        const QJsonValue value = object.value(name);
        if (value.isUndefined() || (optional && value.isNull())) {
            if (optional)
                continue;
            return failure(joinPath(path, name), QStringLiteral("missing"));
        }
        const Result result = validateValue(it.value(), value, joinPath(path, name), depth + 1);
        if (!result.ok)
            return result;
    }
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!declared.contains(it.key()))
            return failure(joinPath(path, it.key()), QStringLiteral("unknown member"));
    }
    return Result();
}

JsonRpcValidator::Result JsonRpcValidator::validateValue(const QVariant &type, const QJsonValue &value,
                                                         const QString &path, int depth) const
{
    if (depth > maxDepth)
        return failure(path, QStringLiteral("nested too deeply"));
    if (type.type() == QVariant::List || type.type() == QVariant::StringList) {
        const QVariantList itemTypes = type.toList();
        if (itemTypes.count() != 1)
            return failure(path, QStringLiteral("list type without one item type"), true);
        if (!value.isArray())
            return failure(path, QStringLiteral("expected %1, got %2").arg(typeText(type), jsonKind(value)));
        const QJsonArray array = value.toArray();
        for (int i = 0; i < array.count(); i++) {
            const Result result =
                    validateValue(itemTypes.first(), array.at(i), QStringLiteral("%1[%2]").arg(path).arg(i), depth + 1);
            if (!result.ok)
                return result;
        }
        return Result();
    }
    if (type.type() == QVariant::Map) {
        if (!value.isObject())
            return failure(path, QStringLiteral("expected an object, got %1").arg(jsonKind(value)));
        return validateMembers(type.toMap(), value.toObject(), path, depth + 1);
    }
    const QString name = type.toString();
    if (name.startsWith(referencePrefix))
        return validateReference(name.mid(referencePrefix.length()), value, path, depth);
    return validateBasic(name, value, path);
}

JsonRpcValidator::Result JsonRpcValidator::validateBasic(const QString &type, const QJsonValue &value,
                                                         const QString &path) const
{
    bool known = false;
    const int basicType = QMetaEnum::fromType<JsonHandler::BasicType>().keyToValue(type.toLatin1().constData(), &known);
    if (!known)
        return failure(path, QStringLiteral("undeclared type \"%1\"").arg(type), true);
    bool ok = false;
    switch (static_cast<JsonHandler::BasicType>(basicType)) {
    case JsonHandler::Uuid:
        ok = value.isString() && isUuid(value.toString());
        break;
    case JsonHandler::String:
        ok = value.isString();
        break;
    case JsonHandler::StringList: {
        ok = value.isArray();
        const QJsonArray array = value.toArray();
        for (const QJsonValue &item : array)
            ok = ok && item.isString();
        break;
    }
    case JsonHandler::Int:
        ok = isInteger(value) && value.toDouble() >= std::numeric_limits<int>::min()
             && value.toDouble() <= std::numeric_limits<int>::max();
        break;
    case JsonHandler::Uint:
        ok = isInteger(value) && value.toDouble() >= 0 && value.toDouble() <= std::numeric_limits<uint>::max();
        break;
    case JsonHandler::Time:
        // Unix seconds: neither the epoch itself (a client's "unset"), nor
        // before it, nor past the year 9999 is a time anyone plans for.
        ok = isInteger(value) && value.toDouble() >= 1 && value.toDouble() <= maxTime;
        if (!ok && value.isDouble())
            return failure(path, QStringLiteral("expected Time (Unix seconds from 1 to %1, the end of the year 9999), "
                                                "got the number %2")
                                         .arg(qint64(maxTime))
                                         .arg(value.toDouble(), 0, 'g', 17));
        break;
    case JsonHandler::Double:
        ok = value.isDouble();
        break;
    case JsonHandler::Bool:
        ok = value.isBool();
        break;
    case JsonHandler::Variant:
        ok = !value.isUndefined();
        break;
    case JsonHandler::Object:
        ok = value.isObject();
        break;
    }
    if (ok)
        return Result();
    QString got = jsonKind(value);
    if (value.isDouble())
        got = QStringLiteral("the number %1").arg(value.toDouble(), 0, 'g', 17);
    else if (value.isString())
        got = QStringLiteral("\"%1\"").arg(value.toString().left(64));
    return failure(path, QStringLiteral("expected %1, got %2").arg(type, got));
}

JsonRpcValidator::Result JsonRpcValidator::validateReference(const QString &name, const QJsonValue &value,
                                                             const QString &path, int depth) const
{
    for (JsonHandler *handler : m_handlers) {
        const QVariantMap enums = handler->jsonEnums();
        auto enumIt = enums.constFind(name);
        if (enumIt != enums.constEnd()) {
            const QStringList keys = enumIt.value().toStringList();
            if (!value.isString())
                return failure(path, QStringLiteral("expected a key of %1, got %2").arg(name, jsonKind(value)));
            if (!keys.contains(value.toString()))
                return failure(path, QStringLiteral("\"%1\" is not a key of %2").arg(value.toString().left(64), name));
            return Result();
        }
        const QVariantMap objects = handler->jsonObjects();
        auto objectIt = objects.constFind(name);
        if (objectIt != objects.constEnd()) {
            const QVariant declaration = objectIt.value();
            // List types are declared as [item type].
            if (declaration.type() == QVariant::List)
                return validateValue(declaration, value, path, depth + 1);
            if (!value.isObject())
                return failure(path, QStringLiteral("expected a %1 object, got %2").arg(name, jsonKind(value)));
            return validateMembers(declaration.toMap(), value.toObject(), path, depth + 1);
        }
    }
    return failure(path, QStringLiteral("undeclared type \"%1\"").arg(name), true);
}

QJsonObject JsonRpcValidator::withoutNullOptionals(const QVariantMap &declaration, const QJsonObject &object)
{
    QJsonObject result = object;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (it.value().isNull() && declaration.contains(optionalPrefix + it.key()))
            result.remove(it.key());
    }
    return result;
}

bool JsonRpcValidator::isUuid(const QString &text)
{
    static const QRegularExpression pattern(
            QStringLiteral("^(\\{[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}\\}"
                           "|[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12})$"));
    return pattern.match(text).hasMatch();
}

QJsonValue JsonRpcValidator::toJson(const QVariant &value)
{
    const int type = value.userType();
    switch (type) {
    case QMetaType::UnknownType:
        return QJsonValue(QJsonValue::Null);
    case QMetaType::QVariantMap: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            object.insert(it.key(), toJson(it.value()));
        return object;
    }
    case QMetaType::QVariantHash: {
        QJsonObject object;
        const QVariantHash hash = value.toHash();
        for (auto it = hash.constBegin(); it != hash.constEnd(); ++it)
            object.insert(it.key(), toJson(it.value()));
        return object;
    }
    case QMetaType::QVariantList: {
        QJsonArray array;
        for (const QVariant &item : value.toList())
            array.append(toJson(item));
        return array;
    }
    case QMetaType::QStringList:
        return QJsonArray::fromStringList(value.toStringList());
    case QMetaType::QUuid:
        return value.toUuid().toString();
    case QMetaType::QDateTime:
        return value.toDateTime().isValid() ? QJsonValue(value.toDateTime().toSecsSinceEpoch())
                                            : QJsonValue(QJsonValue::Null);
    case QMetaType::QByteArray:
        return QString::fromUtf8(value.toByteArray());
    case QMetaType::Double:
    case QMetaType::Float: {
        const double number = value.toDouble();
        return std::isfinite(number) ? QJsonValue(number) : QJsonValue(QJsonValue::Null);
    }
    case QMetaType::QString:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return QJsonValue::fromVariant(value);
    default:
        break;
    }
    if (QMetaType::typeFlags(type).testFlag(QMetaType::IsGadget) && QMetaType::metaObjectForType(type))
        return toJson(JsonHandler::pack(*QMetaType::metaObjectForType(type), value.constData()));
    if (value.canConvert<QVariantList>()) {
        QJsonArray array;
        const QSequentialIterable iterable = value.value<QSequentialIterable>();
        for (const QVariant &item : iterable)
            array.append(toJson(item));
        return array;
    }
    return QJsonValue::fromVariant(value);
}
