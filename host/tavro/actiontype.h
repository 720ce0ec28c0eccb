#ifndef ACTIONTYPE_H
#define ACTIONTYPE_H

#include "paramtype.h"

class ActionType
{
public:
    ActionType() = default;
    ActionType(const ActionTypeId &id, const QString &name, const ParamTypes &paramTypes = ParamTypes())
        : m_id(id),
          m_name(name),
          m_paramTypes(paramTypes)
    {
    }

    ActionTypeId id() const { return m_id; }
    QString name() const { return m_name; }
    ParamTypes paramTypes() const { return m_paramTypes; }
    bool isValid() const { return !m_id.isNull() && !m_name.isEmpty(); }

private:
    ActionTypeId m_id;
    QString m_name;
    ParamTypes m_paramTypes;
};

class ActionTypes : public QList<ActionType>
{
public:
    ActionTypes() = default;
    ActionTypes(const QList<ActionType> &other)
        : QList<ActionType>(other)
    {
    }
    ActionType findByName(const QString &name) const;
    ActionType findById(const ActionTypeId &id) const;
};

#endif // ACTIONTYPE_H
