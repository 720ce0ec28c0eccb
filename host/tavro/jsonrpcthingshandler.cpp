#include "jsonrpcthingshandler.h"
#include "jsonrpclogging.h"
#include "tavroclock.h"
#include "thingmanager.h"

namespace {

const QString thingErrorRef = QStringLiteral("$ref:ThingError");

}

JsonRpcThingsHandler::JsonRpcThingsHandler(ThingManager *thingManager, QObject *parent)
    : JsonHandler(parent),
      m_thingManager(thingManager)
{
    registerEnum<Thing::ThingError>();
    const QString uuid = basicTypeToString(Uuid);
    const QString string = basicTypeToString(String);
    const QString variant = basicTypeToString(Variant);
    registerObject(QStringLiteral("ThingInfo"), {{QStringLiteral("id"), uuid},
                                                 {QStringLiteral("name"), string},
                                                 {QStringLiteral("thingClassId"), uuid},
                                                 {QStringLiteral("thingClassName"), string},
                                                 {QStringLiteral("interfaces"), basicTypeToString(StringList)}});
    registerObject(QStringLiteral("StateValue"), {{QStringLiteral("stateTypeId"), uuid},
                                                  {QStringLiteral("name"), string},
                                                  {QStringLiteral("value"), variant},
                                                  {QStringLiteral("o:minValue"), variant},
                                                  {QStringLiteral("o:maxValue"), variant},
                                                  {QStringLiteral("o:unit"), string}});
    registerObject(QStringLiteral("ActionParam"), {{QStringLiteral("o:paramName"), string},
                                                   {QStringLiteral("o:paramTypeId"), uuid},
                                                   {QStringLiteral("value"), variant}});

    registerMethod(QStringLiteral("GetThings"), QStringLiteral("Lists the configured things."), {},
                   {{QStringLiteral("things"), QVariantList{QStringLiteral("$ref:ThingInfo")}}},
                   Types::PermissionScopeControlThings);
    registerMethod(QStringLiteral("GetStateValues"), QStringLiteral("Gets every state of a thing."),
                   {{QStringLiteral("thingId"), uuid}},
                   {{QStringLiteral("thingError"), thingErrorRef},
                    {QStringLiteral("o:states"), QVariantList{QStringLiteral("$ref:StateValue")}}},
                   Types::PermissionScopeControlThings);
    registerMethod(QStringLiteral("GetStateValue"),
                   QStringLiteral("Gets one state of a thing, by stateName or stateTypeId."),
                   {{QStringLiteral("thingId"), uuid},
                    {QStringLiteral("o:stateName"), string},
                    {QStringLiteral("o:stateTypeId"), uuid}},
                   {{QStringLiteral("thingError"), thingErrorRef}, {QStringLiteral("o:value"), variant}},
                   Types::PermissionScopeControlThings);
    registerMethod(QStringLiteral("ExecuteAction"),
                   QStringLiteral("Executes an action on a thing as the user, by actionTypeName or actionTypeId, "
                                  "and answers when it has finished. Each param is named by paramName or "
                                  "paramTypeId."),
                   {{QStringLiteral("thingId"), uuid},
                    {QStringLiteral("o:actionTypeName"), string},
                    {QStringLiteral("o:actionTypeId"), uuid},
                    {QStringLiteral("o:params"), QVariantList{QStringLiteral("$ref:ActionParam")}}},
                   {{QStringLiteral("thingError"), thingErrorRef}}, Types::PermissionScopeControlThings);
    registerNotification(QStringLiteral("StateChanged"), QStringLiteral("Emitted whenever a state of a thing changes."),
                         {{QStringLiteral("thingId"), uuid},
                          {QStringLiteral("stateTypeId"), uuid},
                          {QStringLiteral("stateName"), string},
                          {QStringLiteral("value"), variant}},
                         Types::PermissionScopeControlThings);

    registerObject(QStringLiteral("OwnerNotification"), {{QStringLiteral("time"), basicTypeToString(Time)},
                                                         {QStringLiteral("thingId"), uuid},
                                                         {QStringLiteral("title"), string},
                                                         {QStringLiteral("body"), string}});
    registerMethod(QStringLiteral("GetNotifications"),
                   QStringLiteral("Lists what was sent to the owner through things with the notifications "
                                  "interface: the last 50, oldest first (time: the host's clock, Unix seconds)."),
                   {}, {{QStringLiteral("notifications"), QVariantList{QStringLiteral("$ref:OwnerNotification")}}},
                   Types::PermissionScopeControlThings);
    registerNotification(QStringLiteral("NotificationSent"),
                         QStringLiteral("Emitted whenever something was sent to the owner through a thing with the "
                                        "notifications interface."),
                         {{QStringLiteral("notification"), QStringLiteral("$ref:OwnerNotification")}},
                         Types::PermissionScopeControlThings);

    for (Thing *thing : m_thingManager->configuredThings())
        watchThing(thing);
    connect(m_thingManager, &ThingManager::thingAdded, this, &JsonRpcThingsHandler::watchThing);
    connect(m_thingManager, &ThingManager::actionExecuted, this, &JsonRpcThingsHandler::onActionExecuted);
}

void JsonRpcThingsHandler::onActionExecuted(const Action &action, Thing::ThingError status)
{
    Thing *thing = m_thingManager->findConfiguredThing(action.thingId());
    if (status != Thing::ThingErrorNoError || !thing
        || !thing->thingClass().interfaces().contains(QStringLiteral("notifications")))
        return;
    const ActionType actionType = thing->thingClass().actionTypes().findById(action.actionTypeId());
    if (actionType.name() != QLatin1String("notify"))
        return;
    const ParamTypes paramTypes = actionType.paramTypes();
    const QVariantMap notification{
            {QStringLiteral("time"), TavroClock::currentDateTime().toSecsSinceEpoch()},
            {QStringLiteral("thingId"), thing->id()},
            {QStringLiteral("title"),
             action.paramValue(paramTypes.findByName(QStringLiteral("title")).id()).toString()},
            {QStringLiteral("body"), action.paramValue(paramTypes.findByName(QStringLiteral("body")).id()).toString()}};
    m_notifications.append(notification);
    while (m_notifications.count() > maxNotifications)
        m_notifications.removeFirst();
    emit NotificationSent({{QStringLiteral("notification"), notification}});
}

JsonReply *JsonRpcThingsHandler::GetNotifications(const QVariantMap &params)
{
    Q_UNUSED(params)
    return createReply({{QStringLiteral("notifications"), m_notifications}});
}

QString JsonRpcThingsHandler::name() const
{
    return QStringLiteral("Things");
}

JsonReply *JsonRpcThingsHandler::GetThings(const QVariantMap &params)
{
    Q_UNUSED(params)
    QVariantList things;
    for (Thing *thing : m_thingManager->configuredThings()) {
        things.append(QVariantMap{{QStringLiteral("id"), thing->id()},
                                  {QStringLiteral("name"), thing->name()},
                                  {QStringLiteral("thingClassId"), thing->thingClassId()},
                                  {QStringLiteral("thingClassName"), thing->thingClass().name()},
                                  {QStringLiteral("interfaces"), thing->thingClass().interfaces()}});
    }
    return createReply({{QStringLiteral("things"), things}});
}

JsonReply *JsonRpcThingsHandler::GetStateValues(const QVariantMap &params)
{
    Thing *thing = m_thingManager->findConfiguredThing(params.value(QStringLiteral("thingId")).toUuid());
    if (!thing)
        return errorReply(Thing::ThingErrorThingNotFound);
    QVariantList states;
    for (const StateType &stateType : thing->thingClass().stateTypes()) {
        const State state = thing->state(stateType.id());
        QVariantMap entry{{QStringLiteral("stateTypeId"), stateType.id()},
                          {QStringLiteral("name"), stateType.name()},
                          {QStringLiteral("value"), state.value()}};
        if (state.minValue().isValid())
            entry.insert(QStringLiteral("minValue"), state.minValue());
        if (state.maxValue().isValid())
            entry.insert(QStringLiteral("maxValue"), state.maxValue());
        if (!stateType.unit().isEmpty())
            entry.insert(QStringLiteral("unit"), stateType.unit());
        states.append(entry);
    }
    return createReply(
            {{QStringLiteral("thingError"), errorKey(Thing::ThingErrorNoError)}, {QStringLiteral("states"), states}});
}

JsonReply *JsonRpcThingsHandler::GetStateValue(const QVariantMap &params)
{
    Thing *thing = m_thingManager->findConfiguredThing(params.value(QStringLiteral("thingId")).toUuid());
    if (!thing)
        return errorReply(Thing::ThingErrorThingNotFound);
    const StateTypes stateTypes = thing->thingClass().stateTypes();
    const StateType stateType = params.contains(QStringLiteral("stateTypeId"))
                                        ? stateTypes.findById(params.value(QStringLiteral("stateTypeId")).toUuid())
                                        : stateTypes.findByName(params.value(QStringLiteral("stateName")).toString());
    if (!stateType.isValid())
        return errorReply(Thing::ThingErrorStateTypeNotFound);
    return createReply({{QStringLiteral("thingError"), errorKey(Thing::ThingErrorNoError)},
                        {QStringLiteral("value"), thing->stateValue(stateType.id())}});
}

JsonReply *JsonRpcThingsHandler::ExecuteAction(const QVariantMap &params)
{
    Thing *thing = m_thingManager->findConfiguredThing(params.value(QStringLiteral("thingId")).toUuid());
    if (!thing)
        return errorReply(Thing::ThingErrorThingNotFound);
    const ActionTypes actionTypes = thing->thingClass().actionTypes();
    const ActionType actionType =
            params.contains(QStringLiteral("actionTypeId"))
                    ? actionTypes.findById(params.value(QStringLiteral("actionTypeId")).toUuid())
                    : actionTypes.findByName(params.value(QStringLiteral("actionTypeName")).toString());
    if (!actionType.isValid())
        return errorReply(Thing::ThingErrorActionTypeNotFound);

    ParamList actionParams;
    for (const QVariant &entry : params.value(QStringLiteral("params")).toList()) {
        const QVariantMap param = entry.toMap();
        const ParamType paramType =
                param.contains(QStringLiteral("paramTypeId"))
                        ? actionType.paramTypes().findById(param.value(QStringLiteral("paramTypeId")).toUuid())
                        : actionType.paramTypes().findByName(param.value(QStringLiteral("paramName")).toString());
        if (!paramType.isValid())
            return errorReply(Thing::ThingErrorInvalidParameter);
        // JSON numbers arrive as doubles or 64-bit integers: hand the action
        // the param's own type.
        QVariant value = param.value(QStringLiteral("value"));
        if (!value.convert(static_cast<int>(paramType.type())))
            return errorReply(Thing::ThingErrorInvalidParameter);
        actionParams.setParamValue(paramType.id(), value);
    }

    Action action(actionType.id(), thing->id(), Action::TriggeredByUser);
    action.setParams(actionParams);
    JsonReply *reply = createAsyncReply();
    ThingActionInfo *info = m_thingManager->executeAction(action);
    // The reply is the context: the server may delete it before the action
    // finishes.
    connect(info, &ThingActionInfo::finished, reply, [info, reply]() {
        reply->finish({{QStringLiteral("thingError"), errorKey(info->status())}});
    });
    return reply;
}

void JsonRpcThingsHandler::watchThing(Thing *thing)
{
    connect(thing, &Thing::stateValueChanged, this,
            [this, thing](const StateTypeId &stateTypeId, const QVariant &value) {
                emit StateChanged({{QStringLiteral("thingId"), thing->id()},
                                   {QStringLiteral("stateTypeId"), stateTypeId},
                                   {QStringLiteral("stateName"), thing->thingClass().getStateType(stateTypeId).name()},
                                   {QStringLiteral("value"), value}});
            });
}

JsonReply *JsonRpcThingsHandler::errorReply(Thing::ThingError error) const
{
    return createReply({{QStringLiteral("thingError"), errorKey(error)}});
}

QString JsonRpcThingsHandler::errorKey(Thing::ThingError error)
{
    return QString::fromLatin1(QMetaEnum::fromType<Thing::ThingError>().valueToKey(error));
}
