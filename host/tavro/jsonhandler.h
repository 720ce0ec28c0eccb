#ifndef JSONHANDLER_H
#define JSONHANDLER_H

#include "jsoncontext.h"
#include "jsonreply.h"
#include "types.h"

#include <QMetaEnum>
#include <QObject>
#include <QVariantMap>

// Base of every JSON-RPC namespace. A handler declares its enums, object
// types, methods and notifications; the server validates requests against
// these declarations before it invokes the method of the same name
// (Q_INVOKABLE JsonReply *Method(const QVariantMap &params[, const JsonContext &])).
// Notifications are signals named like the notification carrying one
// QVariantMap.
//
// Types in declarations: a basic type name ("Uint" and "Int" are 32 bits
// wide, "Double", "Bool", "Uuid", "String", ...), "$ref:Name" for a declared enum or object,
// or a one-element list for a list of that type. A parameter or property
// name prefixed "o:" is optional.
class JsonHandler : public QObject
{
    Q_OBJECT
public:
    enum BasicType {
        Uuid,
        String,
        StringList,
        Int,
        Uint,
        Double,
        Bool,
        Variant,
        Object,
        Time
    };
    Q_ENUM(BasicType)

    explicit JsonHandler(QObject *parent = nullptr);

    virtual QString name() const = 0;
    virtual QHash<QString, QString> cacheHashes() const;
    virtual QVariantMap translateNotification(const QString &notification, const QVariantMap &params,
                                              const QLocale &locale);

    QVariantMap jsonEnums() const { return m_enums; }
    QVariantMap jsonObjects() const { return m_objects; }
    QVariantMap jsonMethods() const { return m_methods; }
    QVariantMap jsonNotifications() const { return m_notifications; }

    static QString basicTypeToString(BasicType type);
    // The basic type name of a Qt meta-type id ("Uint" for QMetaType::UInt),
    // empty when there is none.
    static QString basicTypeName(int metaTypeId);

    // Gadgets become maps of their properties (enums as key names, nested
    // gadgets as maps, ids as braced text, date-times as seconds since the
    // epoch; optional properties without a value are left out); list
    // wrappers (a "count" property and get(int)) become lists.
    static QVariant pack(const QMetaObject &metaObject, const void *value);
    // Writes the members a map carries into target and leaves the others as
    // they are; appends list items through put(QVariant).
    static void unpack(const QMetaObject &metaObject, const QVariant &value, void *target);

    template<typename T>
    static QVariant pack(const T &value)
    {
        return pack(T::staticMetaObject, &value);
    }
    template<typename T>
    static T unpack(const QVariant &value, const T &base = T())
    {
        T result = base;
        unpack(T::staticMetaObject, value, &result);
        return result;
    }

protected:
    template<typename T>
    void registerEnum();
    template<typename T>
    void registerObject()
    {
        registerObject(T::staticMetaObject);
    }
    template<typename ObjectType, typename ListType>
    void registerObject()
    {
        registerObject(ObjectType::staticMetaObject);
        registerList(ListType::staticMetaObject, ObjectType::staticMetaObject);
    }
    void registerMethod(const QString &name, const QString &description, const QVariantMap &params,
                        const QVariantMap &returns,
                        Types::PermissionScope permissionScope = Types::PermissionScopeAdmin);
    // Only clients whose token holds every bit of permissionScope receive
    // the notification: give it the scope of the method that reads the same.
    void registerNotification(const QString &name, const QString &description, const QVariantMap &params,
                              Types::PermissionScope permissionScope = Types::PermissionScopeAdmin);
    // Types that have no meta-object: an enum by its keys, an object by its
    // members (member name, "o:" for optional, to type as in declarations).
    void registerEnum(const QString &name, const QStringList &keys);
    void registerObject(const QString &name, const QVariantMap &members);

    // The reply object for a method; the server takes ownership.
    JsonReply *createReply(const QVariantMap &data) const;
    // An unfinished reply for a method that answers later: call finish() on
    // it. The server owns it and may delete it before (see JsonReply).
    JsonReply *createAsyncReply() const;

private:
    void registerEnum(const QMetaEnum &metaEnum);
    void registerObject(const QMetaObject &metaObject);
    void registerList(const QMetaObject &listMetaObject, const QMetaObject &itemMetaObject);

    QVariantMap m_enums;
    QVariantMap m_objects;
    QVariantMap m_methods;
    QVariantMap m_notifications;
};

template<typename T>
void JsonHandler::registerEnum()
{
    registerEnum(QMetaEnum::fromType<T>());
}

#endif // JSONHANDLER_H
