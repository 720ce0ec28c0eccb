#ifndef THINGACTIONINFO_H
#define THINGACTIONINFO_H

#include "action.h"
#include "thing.h"

#include <QObject>
#include <QPointer>

// Tracks one executing action. Created and owned by the ThingManager; it
// emits finished() exactly once, always from the event loop (never inside
// executeAction()), and deletes itself afterwards: callers must not keep the
// pointer past finished().
class ThingActionInfo : public QObject
{
    Q_OBJECT
public:
    ThingActionInfo(Thing *thing, const Action &action, QObject *parent = nullptr);

    Thing *thing() const { return m_thing; }
    Action action() const { return m_action; }
    Thing::ThingError status() const { return m_status; }
    bool isFinished() const { return m_finished; }

    // Sets the status and emits finished(); the ThingManager calls it from
    // the event loop.
    void finish(Thing::ThingError status);

signals:
    void finished();

private:
    QPointer<Thing> m_thing;
    Action m_action;
    Thing::ThingError m_status = Thing::ThingErrorNoError;
    bool m_finished = false;
};

#endif // THINGACTIONINFO_H
