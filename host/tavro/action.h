#ifndef ACTION_H
#define ACTION_H

#include "param.h"

#include <QMetaType>

// A request to a thing. triggeredBy tells who asked: 0 = a user, 1 = a
// plugin or rule acting on its own.
class Action
{
public:
    enum TriggeredBy {
        TriggeredByUser = 0,
        TriggeredByRule = 1,
        TriggeredByScript = 2
    };

    explicit Action(const ActionTypeId &actionTypeId = ActionTypeId(), const ThingId &thingId = ThingId(),
                    TriggeredBy triggeredBy = TriggeredByUser)
        : m_id(QUuid::createUuid()),
          m_actionTypeId(actionTypeId),
          m_thingId(thingId),
          m_triggeredBy(triggeredBy)
    {
    }

    ActionId id() const { return m_id; }
    bool isValid() const { return !m_actionTypeId.isNull() && !m_thingId.isNull(); }
    ActionTypeId actionTypeId() const { return m_actionTypeId; }
    ThingId thingId() const { return m_thingId; }
    TriggeredBy triggeredBy() const { return m_triggeredBy; }

    ParamList params() const { return m_params; }
    void setParams(const ParamList &params) { m_params = params; }
    Param param(const ParamTypeId &paramTypeId) const;
    QVariant paramValue(const ParamTypeId &paramTypeId) const { return m_params.paramValue(paramTypeId); }

private:
    ActionId m_id;
    ActionTypeId m_actionTypeId;
    ThingId m_thingId;
    TriggeredBy m_triggeredBy = TriggeredByUser;
    ParamList m_params;
};

Q_DECLARE_METATYPE(Action)

#endif // ACTION_H
