#include "jsonhandler.h"

#include <QDateTime>
#include <QMetaProperty>
#include <QSequentialIterable>
#include <QUuid>

#include <cmath>
#include <limits>

namespace {

bool isGadgetType(int typeId)
{
    return QMetaType::typeFlags(typeId).testFlag(QMetaType::IsGadget) && QMetaType::metaObjectForType(typeId);
}

bool isListWrapper(const QMetaObject &metaObject)
{
    return metaObject.indexOfProperty("count") >= 0 && metaObject.indexOfMethod("get(int)") >= 0;
}

QVariant packValue(const QVariant &value, const QMetaProperty *property)
{
    if (property && property->isEnumType()) {
        const QMetaEnum metaEnum = property->enumerator();
        int number = 0;
        if (value.userType() != QMetaType::Int && QMetaType::sizeOf(value.userType()) == sizeof(int))
            number = *static_cast<const int *>(value.constData());
        else
            number = value.toInt();
        const char *key = metaEnum.valueToKey(number);
        return key ? QVariant(QString::fromLatin1(key)) : QVariant(number);
    }
    const int type = value.userType();
    switch (type) {
    case QMetaType::QUuid:
        return value.toUuid().toString();
    case QMetaType::QDateTime:
        return value.toDateTime().isValid() ? QVariant(value.toDateTime().toSecsSinceEpoch()) : QVariant();
    case QMetaType::Float:
        return static_cast<double>(value.toFloat());
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::QVariantMap:
        return value;
    default:
        break;
    }
    if (isGadgetType(type))
        return JsonHandler::pack(*QMetaType::metaObjectForType(type), value.constData());
    if (value.canConvert<QVariantList>() && type != QMetaType::QStringList) {
        QVariantList list;
        const QSequentialIterable iterable = value.value<QSequentialIterable>();
        for (const QVariant &item : iterable)
            list.append(packValue(item, nullptr));
        return list;
    }
    return value;
}

bool isEmptyOptional(const QVariant &value)
{
    if (!value.isValid())
        return true;
    switch (value.userType()) {
    case QMetaType::QUuid:
        return value.toUuid().isNull();
    case QMetaType::QDateTime:
        return !value.toDateTime().isValid();
    default:
        return false;
    }
}

QVariant unpackValue(const QVariant &value, int targetType, const QMetaProperty *property, bool *ok)
{
    *ok = true;
    if (property && property->isEnumType()) {
        const QMetaEnum metaEnum = property->enumerator();
        int number = 0;
        if (value.type() == QVariant::String) {
            number = metaEnum.keyToValue(value.toString().toLatin1().constData(), ok);
            if (!*ok)
                return QVariant();
        } else {
            number = value.toInt(ok);
            if (!*ok || !metaEnum.valueToKey(number)) {
                *ok = false;
                return QVariant();
            }
        }
        return QVariant(targetType, &number);
    }
    switch (targetType) {
    case QMetaType::QUuid:
        return QUuid(value.toString());
    case QMetaType::QDateTime:
        return QDateTime::fromSecsSinceEpoch(value.toLongLong(ok));
    case QMetaType::UInt:
    case QMetaType::Int: {
        // Never wrapped: 2^32 must not become 0.
        const double number = value.toDouble(ok);
        const bool isUnsigned = targetType == QMetaType::UInt;
        const double minimum = isUnsigned ? 0.0 : double(std::numeric_limits<int>::min());
        const double maximum =
                isUnsigned ? double(std::numeric_limits<uint>::max()) : double(std::numeric_limits<int>::max());
        *ok = *ok && std::floor(number) == number && number >= minimum && number <= maximum;
        if (!*ok)
            return QVariant();
        return isUnsigned ? QVariant(static_cast<uint>(number)) : QVariant(static_cast<int>(number));
    }
    case QMetaType::Double:
        return value.toDouble(ok);
    case QMetaType::Float:
        return value.toFloat(ok);
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::QString:
        return value.toString();
    default:
        break;
    }
    if (isGadgetType(targetType)) {
        QVariant result(targetType, nullptr);
        JsonHandler::unpack(*QMetaType::metaObjectForType(targetType), value, result.data());
        return result;
    }
    if (targetType == qMetaTypeId<QList<int>>()) {
        QList<int> list;
        for (const QVariant &item : value.toList()) {
            const QVariant number = unpackValue(item, QMetaType::Int, nullptr, ok);
            if (!*ok)
                return QVariant();
            list.append(number.toInt());
        }
        return QVariant::fromValue(list);
    }
    QVariant result = value;
    *ok = result.convert(targetType);
    return result;
}

}

JsonHandler::JsonHandler(QObject *parent)
    : QObject(parent)
{
}

QHash<QString, QString> JsonHandler::cacheHashes() const
{
    return {};
}

QVariantMap JsonHandler::translateNotification(const QString &notification, const QVariantMap &params,
                                               const QLocale &locale)
{
    Q_UNUSED(notification)
    Q_UNUSED(locale)
    return params;
}

QString JsonHandler::basicTypeToString(BasicType type)
{
    return QString::fromLatin1(QMetaEnum::fromType<BasicType>().valueToKey(type));
}

QString JsonHandler::basicTypeName(int metaTypeId)
{
    switch (metaTypeId) {
    case QMetaType::QUuid:
        return basicTypeToString(Uuid);
    case QMetaType::QString:
        return basicTypeToString(String);
    case QMetaType::QStringList:
        return basicTypeToString(StringList);
    case QMetaType::Int:
    case QMetaType::LongLong:
        return basicTypeToString(Int);
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return basicTypeToString(Uint);
    case QMetaType::Double:
    case QMetaType::Float:
        return basicTypeToString(Double);
    case QMetaType::Bool:
        return basicTypeToString(Bool);
    case QMetaType::QVariant:
        return basicTypeToString(Variant);
    case QMetaType::QVariantMap:
        return basicTypeToString(Object);
    case QMetaType::QDateTime:
        return basicTypeToString(Time);
    default:
        return QString();
    }
}

QVariant JsonHandler::pack(const QMetaObject &metaObject, const void *value)
{
    if (isListWrapper(metaObject)) {
        QVariantList list;
        const int count = metaObject.property(metaObject.indexOfProperty("count")).readOnGadget(value).toInt();
        const QMetaMethod get = metaObject.method(metaObject.indexOfMethod("get(int)"));
        for (int i = 0; i < count; i++) {
            QVariant item;
            get.invokeOnGadget(const_cast<void *>(value), Q_RETURN_ARG(QVariant, item), Q_ARG(int, i));
            list.append(packValue(item, nullptr));
        }
        return list;
    }
    QVariantMap map;
    for (int i = 0; i < metaObject.propertyCount(); i++) {
        const QMetaProperty property = metaObject.property(i);
        if (qstrcmp(property.name(), "objectName") == 0)
            continue;
        const QVariant propertyValue = property.readOnGadget(value);
        if (property.isUser() && isEmptyOptional(propertyValue))
            continue;
        const QVariant packed = packValue(propertyValue, &property);
        if (packed.isValid())
            map.insert(QString::fromLatin1(property.name()), packed);
    }
    return map;
}

void JsonHandler::unpack(const QMetaObject &metaObject, const QVariant &value, void *target)
{
    if (isListWrapper(metaObject)) {
        const int put = metaObject.indexOfMethod("put(QVariant)");
        if (put < 0)
            return;
        // Items of "Things" are "Thing": the element type is the list name
        // without its plural s.
        QByteArray itemName(metaObject.className());
        itemName.chop(1);
        const int itemType = QMetaType::type(itemName.constData());
        for (const QVariant &entry : value.toList()) {
            bool ok = true;
            const QVariant item =
                    itemType != QMetaType::UnknownType ? unpackValue(entry, itemType, nullptr, &ok) : entry;
            metaObject.method(put).invokeOnGadget(target, Q_ARG(QVariant, item));
        }
        return;
    }
    const QVariantMap map = value.toMap();
    for (int i = 0; i < metaObject.propertyCount(); i++) {
        const QMetaProperty property = metaObject.property(i);
        const QString name = QString::fromLatin1(property.name());
        if (!map.contains(name) || !property.isWritable())
            continue;
        bool ok = true;
        const QVariant converted = unpackValue(map.value(name), property.userType(), &property, &ok);
        if (ok)
            property.writeOnGadget(target, converted);
    }
}

void JsonHandler::registerEnum(const QMetaEnum &metaEnum)
{
    QStringList keys;
    for (int i = 0; i < metaEnum.keyCount(); i++)
        keys.append(QString::fromLatin1(metaEnum.key(i)));
    m_enums.insert(QString::fromLatin1(metaEnum.name()), keys);
}

void JsonHandler::registerEnum(const QString &name, const QStringList &keys)
{
    m_enums.insert(name, keys);
}

void JsonHandler::registerObject(const QString &name, const QVariantMap &members)
{
    m_objects.insert(name, members);
}

void JsonHandler::registerObject(const QMetaObject &metaObject)
{
    QVariantMap description;
    for (int i = 0; i < metaObject.propertyCount(); i++) {
        const QMetaProperty property = metaObject.property(i);
        if (qstrcmp(property.name(), "objectName") == 0)
            continue;
        const QString name =
                (property.isUser() ? QStringLiteral("o:") : QString()) + QString::fromLatin1(property.name());
        QVariant type;
        if (property.isEnumType()) {
            type = QStringLiteral("$ref:") + QString::fromLatin1(property.enumerator().name());
        } else if (isGadgetType(property.userType())) {
            type = QStringLiteral("$ref:")
                   + QString::fromLatin1(QMetaType::metaObjectForType(property.userType())->className());
        } else if (property.userType() == qMetaTypeId<QList<int>>()) {
            type = QVariantList{basicTypeToString(Int)};
        } else {
            type = basicTypeName(property.userType());
            if (type.toString().isEmpty())
                type = basicTypeToString(Variant);
        }
        description.insert(name, type);
    }
    m_objects.insert(QString::fromLatin1(metaObject.className()), description);
}

void JsonHandler::registerList(const QMetaObject &listMetaObject, const QMetaObject &itemMetaObject)
{
    m_objects.insert(QString::fromLatin1(listMetaObject.className()),
                     QVariantList{QStringLiteral("$ref:") + QString::fromLatin1(itemMetaObject.className())});
}

void JsonHandler::registerMethod(const QString &name, const QString &description, const QVariantMap &params,
                                 const QVariantMap &returns, Types::PermissionScope permissionScope)
{
    QVariantMap method;
    method.insert(QStringLiteral("description"), description);
    method.insert(QStringLiteral("params"), params);
    method.insert(QStringLiteral("returns"), returns);
    method.insert(QStringLiteral("permissionScope"),
                  QString::fromLatin1(QMetaEnum::fromType<Types::PermissionScope>().valueToKey(permissionScope)));
    m_methods.insert(name, method);
}

void JsonHandler::registerNotification(const QString &name, const QString &description, const QVariantMap &params,
                                       Types::PermissionScope permissionScope)
{
    QVariantMap notification;
    notification.insert(QStringLiteral("description"), description);
    notification.insert(QStringLiteral("params"), params);
    notification.insert(QStringLiteral("permissionScope"),
                        QString::fromLatin1(QMetaEnum::fromType<Types::PermissionScope>().valueToKey(permissionScope)));
    m_notifications.insert(name, notification);
}

JsonReply *JsonHandler::createReply(const QVariantMap &data) const
{
    return new JsonReply(data);
}

JsonReply *JsonHandler::createAsyncReply() const
{
    return JsonReply::createAsyncReply();
}
