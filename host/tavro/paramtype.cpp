#include "paramtype.h"

ParamType::ParamType(const ParamTypeId &id, const QString &name, QVariant::Type type, const QVariant &defaultValue)
    : m_id(id),
      m_name(name),
      m_type(type),
      m_defaultValue(defaultValue)
{
}

ParamType ParamTypes::findByName(const QString &name) const
{
    for (const ParamType &paramType : *this) {
        if (paramType.name() == name)
            return paramType;
    }
    return ParamType();
}

ParamType ParamTypes::findById(const ParamTypeId &id) const
{
    for (const ParamType &paramType : *this) {
        if (paramType.id() == id)
            return paramType;
    }
    return ParamType();
}
