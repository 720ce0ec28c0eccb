#include "thingmanager.h"
#include "thingutils.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTimer>

#include "tavroclock.h"

Q_LOGGING_CATEGORY(dcThingManager, "ThingManager")

ThingManager::ThingManager(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<Action>();
    qRegisterMetaType<Thing::ThingError>();
    qRegisterMetaType<ThingId>("ThingId");
    qRegisterMetaType<StateTypeId>("StateTypeId");
    qRegisterMetaType<ParamTypeId>("ParamTypeId");
    const QDir resources(QStringLiteral(":/thingclasses"));
    for (const QString &fileName : resources.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
        QString error;
        if (!loadThingClasses(resources.filePath(fileName), &error))
            qCWarning(dcThingManager()) << "Could not load thing class" << fileName << error;
    }
}

ThingManager::~ThingManager()
{
    // Things are QObject children; drop the index first so nothing looks
    // them up while they are destroyed.
    m_thingsById.clear();
    m_things.clear();
}

ThingClass ThingManager::findThingClass(const ThingClassId &id) const
{
    return m_thingClasses.findById(id);
}

ThingClass ThingManager::findThingClassByName(const QString &name) const
{
    return m_thingClasses.findByName(name);
}

bool ThingManager::registerThingClass(const ThingClass &thingClass)
{
    if (!thingClass.isValid())
        return false;
    for (int i = 0; i < m_thingClasses.count(); i++) {
        if (m_thingClasses.at(i).id() == thingClass.id()) {
            m_thingClasses[i] = thingClass;
            return true;
        }
    }
    m_thingClasses.append(thingClass);
    return true;
}

bool ThingManager::loadThingClasses(const QString &fileName, QString *errorString)
{
    QString error;
    if (!errorString)
        errorString = &error;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *errorString = file.errorString();
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *errorString = parseError.errorString();
        return false;
    }
    const QJsonArray classes = document.isArray() ? document.array() : QJsonArray({document.object()});
    for (const QJsonValue &value : classes) {
        const ThingClass thingClass = ThingClass::fromJson(value.toObject(), errorString);
        if (!registerThingClass(thingClass))
            return false;
    }
    return true;
}

Thing *ThingManager::addConfiguredThing(const ThingClassId &thingClassId, const QString &name, const ThingId &id)
{
    const ThingClass thingClass = m_thingClasses.findById(thingClassId);
    if (!thingClass.isValid()) {
        qCWarning(dcThingManager()) << "Cannot add thing" << name << ": unknown thing class" << thingClassId;
        return nullptr;
    }
    const ThingId thingId = id.isNull() ? ThingId::createUuid() : id;
    if (m_thingsById.contains(thingId)) {
        qCWarning(dcThingManager()) << "Cannot add thing" << name << ": id already in use" << thingId;
        return nullptr;
    }
    Thing *thing = new Thing(thingClass, thingId, name, this);
    m_things.append(thing);
    m_thingsById.insert(thingId, thing);
    emit thingAdded(thing);
    return thing;
}

Thing *ThingManager::addConfiguredThing(const QString &thingClassName, const QString &name, const ThingId &id)
{
    const ThingClass thingClass = m_thingClasses.findByName(thingClassName);
    if (!thingClass.isValid()) {
        qCWarning(dcThingManager()) << "Cannot add thing" << name << ": unknown thing class" << thingClassName;
        return nullptr;
    }
    return addConfiguredThing(thingClass.id(), name, id);
}

bool ThingManager::removeConfiguredThing(const ThingId &id)
{
    Thing *thing = m_thingsById.take(id);
    if (!thing)
        return false;
    m_things.removeAll(thing);
    m_actionHandlers.remove(id);
    emit thingRemoved(id);
    thing->deleteLater();
    return true;
}

Thing::ThingError ThingManager::validate(Thing *thing, const Action &action) const
{
    if (!thing)
        return Thing::ThingErrorThingNotFound;
    const ActionType actionType = thing->thingClass().actionTypes().findById(action.actionTypeId());
    if (!actionType.isValid())
        return Thing::ThingErrorActionTypeNotFound;
    for (const Param &param : action.params()) {
        if (!actionType.paramTypes().findById(param.paramTypeId()).isValid())
            return Thing::ThingErrorInvalidParameter;
    }
    for (const ParamType &paramType : actionType.paramTypes()) {
        const QVariant value = action.paramValue(paramType.id());
        if (!value.isValid()) {
            if (paramType.defaultValue().isValid())
                continue;
            return Thing::ThingErrorMissingParameter;
        }
        if (!value.canConvert(static_cast<int>(paramType.type())))
            return Thing::ThingErrorInvalidParameter;
        if (!paramType.allowedValues().isEmpty()) {
            QVariant converted = value;
            converted.convert(static_cast<int>(paramType.type()));
            if (!paramType.allowedValues().contains(converted))
                return Thing::ThingErrorInvalidParameter;
        }
    }
    return Thing::ThingErrorNoError;
}

ThingActionInfo *ThingManager::executeAction(const Action &action)
{
    Thing *thing = m_thingsById.value(action.thingId());
    ThingActionInfo *info = new ThingActionInfo(thing, action, this);
    const Thing::ThingError error = validate(thing, action);
    if (error != Thing::ThingErrorNoError) {
        QTimer::singleShot(0, this, [this, info, action, error]() {
            logAction(action, nullptr, error);
            info->finish(error);
            emit actionExecuted(action, error);
        });
        return info;
    }
    QTimer::singleShot(0, info, [this, info]() { runAction(info); });
    return info;
}

void ThingManager::runAction(ThingActionInfo *info)
{
    const Action action = info->action();
    Thing *thing = m_thingsById.value(action.thingId());
    Thing::ThingError status = Thing::ThingErrorThingNotFound;
    if (thing) {
        const ActionHandler handler = m_actionHandlers.value(thing->id());
        status = handler ? handler(thing, action) : applyStateAction(thing, action);
    }
    logAction(action, thing, status);
    info->finish(status);
    emit actionExecuted(action, status);
}

Thing::ThingError ThingManager::applyStateAction(Thing *thing, const Action &action)
{
    const StateType stateType = thing->thingClass().getStateType(action.actionTypeId());
    if (!stateType.isValid() || !stateType.writable())
        return Thing::ThingErrorNoError;
    QVariant value = action.paramValue(stateType.id());
    if (!value.isValid())
        value = stateType.defaultValue();
    value = ThingUtils::ensureValueClamping(value, stateType.type(), stateType.minValue(), stateType.maxValue(),
                                            stateType.stepSize());
    thing->setStateValue(stateType.id(), value);
    return Thing::ThingErrorNoError;
}

void ThingManager::setActionHandler(const ThingId &thingId, const ActionHandler &handler)
{
    if (handler)
        m_actionHandlers.insert(thingId, handler);
    else
        m_actionHandlers.remove(thingId);
}

void ThingManager::logAction(const Action &action, Thing *thing, Thing::ThingError status)
{
    if (m_actionLogLimit <= 0)
        return;
    ActionLogEntry entry;
    entry.timestamp = TavroClock::currentDateTime();
    entry.thingId = action.thingId();
    if (thing)
        entry.actionTypeName = thing->thingClass().actionTypes().findById(action.actionTypeId()).name();
    entry.params = action.params();
    entry.triggeredBy = action.triggeredBy();
    entry.status = status;
    m_actionLog.append(entry);
    while (m_actionLog.count() > m_actionLogLimit)
        m_actionLog.removeFirst();
}
