#include "param.h"

bool ParamList::hasParam(const ParamTypeId &paramTypeId) const
{
    for (const Param &param : *this) {
        if (param.paramTypeId() == paramTypeId)
            return true;
    }
    return false;
}

QVariant ParamList::paramValue(const ParamTypeId &paramTypeId) const
{
    for (const Param &param : *this) {
        if (param.paramTypeId() == paramTypeId)
            return param.value();
    }
    return QVariant();
}

void ParamList::setParamValue(const ParamTypeId &paramTypeId, const QVariant &value)
{
    for (Param &param : *this) {
        if (param.paramTypeId() == paramTypeId) {
            param.setValue(value);
            return;
        }
    }
    append(Param(paramTypeId, value));
}
