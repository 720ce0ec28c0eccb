#ifndef JSONRPCTHINGSHANDLER_H
#define JSONRPCTHINGSHANDLER_H

#include "jsonhandler.h"
#include "action.h"
#include "thing.h"

class ThingManager;

// The host namespace "Things": what a client needs to act as a user on the
// configured things. Every method needs PermissionScopeControlThings.
//
//   GetThings {} → {things: [{id, name, thingClassId, thingClassName, interfaces}]}
//   GetStateValues {thingId} → {thingError, o:states: [{stateTypeId, name,
//       value, o:minValue, o:maxValue, o:unit}]}
//   GetStateValue {thingId, stateName or stateTypeId} → {thingError, o:value}
//   ExecuteAction {thingId, actionTypeName or actionTypeId,
//       o:params: [{paramName or paramTypeId, value}]} → {thingError}
//       runs as a user action (origin 0) through the ThingManager and
//       answers once the action has finished.
//   notification StateChanged {thingId, stateTypeId, stateName, value}
//   GetNotifications {} → {notifications: [{time, thingId, title, body}]}
//       what was sent to the owner through things with the
//       "notifications" interface, the last maxNotifications, oldest first
//       (time: the host's clock, Unix seconds)
//   notification NotificationSent {notification}
//
// thingError is a key of Thing::ThingError ("ThingErrorNoError", ...).
class JsonRpcThingsHandler : public JsonHandler
{
    Q_OBJECT
public:
    // The manager is not owned; it must outlive the handler.
    explicit JsonRpcThingsHandler(ThingManager *thingManager, QObject *parent = nullptr);

    QString name() const override;

    Q_INVOKABLE JsonReply *GetThings(const QVariantMap &params);
    Q_INVOKABLE JsonReply *GetStateValues(const QVariantMap &params);
    Q_INVOKABLE JsonReply *GetStateValue(const QVariantMap &params);
    Q_INVOKABLE JsonReply *ExecuteAction(const QVariantMap &params);
    Q_INVOKABLE JsonReply *GetNotifications(const QVariantMap &params);

    static constexpr int maxNotifications = 50;

signals:
    void StateChanged(const QVariantMap &params);
    void NotificationSent(const QVariantMap &params);

private:
    void watchThing(Thing *thing);
    void onActionExecuted(const Action &action, Thing::ThingError status);
    JsonReply *errorReply(Thing::ThingError error) const;
    static QString errorKey(Thing::ThingError error);

    ThingManager *m_thingManager = nullptr;
    QVariantList m_notifications;
};

#endif // JSONRPCTHINGSHANDLER_H
