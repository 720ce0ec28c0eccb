#include "actiontype.h"

ActionType ActionTypes::findByName(const QString &name) const
{
    for (const ActionType &actionType : *this) {
        if (actionType.name() == name)
            return actionType;
    }
    return ActionType();
}

ActionType ActionTypes::findById(const ActionTypeId &id) const
{
    for (const ActionType &actionType : *this) {
        if (actionType.id() == id)
            return actionType;
    }
    return ActionType();
}
