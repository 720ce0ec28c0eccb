#include "action.h"

Param Action::param(const ParamTypeId &paramTypeId) const
{
    for (const Param &param : m_params) {
        if (param.paramTypeId() == paramTypeId)
            return param;
    }
    return Param(paramTypeId);
}
