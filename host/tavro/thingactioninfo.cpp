#include "thingactioninfo.h"

ThingActionInfo::ThingActionInfo(Thing *thing, const Action &action, QObject *parent)
    : QObject(parent),
      m_thing(thing),
      m_action(action)
{
}

void ThingActionInfo::finish(Thing::ThingError status)
{
    if (m_finished)
        return;
    m_finished = true;
    m_status = status;
    emit finished();
    deleteLater();
}
