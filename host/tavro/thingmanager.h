#ifndef THINGMANAGER_H
#define THINGMANAGER_H

#include "action.h"
#include "thing.h"
#include "thingactioninfo.h"

#include <QDateTime>
#include <QHash>
#include <QObject>

#include <functional>

// The host's registry of configured things and the executor of actions.
// Owns every Thing (as QObject children) and every ThingActionInfo.
class ThingManager : public QObject
{
    Q_OBJECT
public:
    // Replaces the default execution for one thing: it runs when the action
    // is due and returns the status to finish with. Call applyStateAction()
    // inside to get the default state write.
    using ActionHandler = std::function<Thing::ThingError(Thing *thing, const Action &action)>;

    struct ActionLogEntry {
        QDateTime timestamp;
        ThingId thingId;
        QString actionTypeName;
        ParamList params;
        Action::TriggeredBy triggeredBy = Action::TriggeredByUser;
        Thing::ThingError status = Thing::ThingErrorNoError;
    };

    // Loads the built-in thing classes (JSON descriptions in the resources).
    explicit ThingManager(QObject *parent = nullptr);
    ~ThingManager() override;

    ThingClasses supportedThingClasses() const { return m_thingClasses; }
    ThingClass findThingClass(const ThingClassId &id) const;
    ThingClass findThingClassByName(const QString &name) const;
    // Adds or replaces a class; false for an invalid one.
    bool registerThingClass(const ThingClass &thingClass);
    // Reads a JSON file holding one class object or an array of them.
    bool loadThingClasses(const QString &fileName, QString *errorString = nullptr);

    Things configuredThings() const { return m_things; }
    // Null when there is no such thing.
    Thing *findConfiguredThing(const ThingId &id) const { return m_thingsById.value(id); }

    // Creates a thing of the class and emits thingAdded. Null for an unknown
    // class or an id that is taken.
    Thing *addConfiguredThing(const ThingClassId &thingClassId, const QString &name, const ThingId &id = ThingId());
    Thing *addConfiguredThing(const QString &thingClassName, const QString &name, const ThingId &id = ThingId());
    // Emits thingRemoved and deletes the thing (later, from the event loop, so
    // pending actions finish with an error instead of touching freed memory).
    bool removeConfiguredThing(const ThingId &id);

    // Validates and queues the action. The returned info always finishes
    // (asynchronously) with a status; actionExecuted follows finished().
    ThingActionInfo *executeAction(const Action &action);

    void setActionHandler(const ThingId &thingId, const ActionHandler &handler);
    // The default execution: writes a writable state, clamped to the state
    // type's bounds and step size. Other actions succeed without effect.
    static Thing::ThingError applyStateAction(Thing *thing, const Action &action);

    QList<ActionLogEntry> actionLog() const { return m_actionLog; }
    void clearActionLog() { m_actionLog.clear(); }
    // Oldest entries are dropped beyond this many (0 disables the log).
    void setActionLogLimit(int limit) { m_actionLogLimit = limit; }

signals:
    void thingAdded(Thing *thing);
    void thingRemoved(const ThingId &thingId);
    void actionExecuted(const Action &action, Thing::ThingError status);

private:
    Thing::ThingError validate(Thing *thing, const Action &action) const;
    void runAction(ThingActionInfo *info);
    void logAction(const Action &action, Thing *thing, Thing::ThingError status);

    ThingClasses m_thingClasses;
    Things m_things;
    QHash<ThingId, Thing *> m_thingsById;
    QHash<ThingId, ActionHandler> m_actionHandlers;
    QList<ActionLogEntry> m_actionLog;
    int m_actionLogLimit = 10000;
};

#endif // THINGMANAGER_H
