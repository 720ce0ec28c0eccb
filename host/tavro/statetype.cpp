#include "statetype.h"

StateType::StateType(const StateTypeId &id, const QString &name, QVariant::Type type)
    : m_id(id),
      m_name(name),
      m_type(type)
{
}

StateType StateTypes::findByName(const QString &name) const
{
    for (const StateType &stateType : *this) {
        if (stateType.name() == name)
            return stateType;
    }
    return StateType();
}

StateType StateTypes::findById(const StateTypeId &id) const
{
    for (const StateType &stateType : *this) {
        if (stateType.id() == id)
            return stateType;
    }
    return StateType();
}
