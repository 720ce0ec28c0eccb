#ifndef PARAM_H
#define PARAM_H

#include "typeutils.h"

#include <QVariant>

class Param
{
public:
    Param(const ParamTypeId &paramTypeId = ParamTypeId(), const QVariant &value = QVariant())
        : m_paramTypeId(paramTypeId),
          m_value(value)
    {
    }

    ParamTypeId paramTypeId() const { return m_paramTypeId; }
    QVariant value() const { return m_value; }
    void setValue(const QVariant &value) { m_value = value; }

private:
    ParamTypeId m_paramTypeId;
    QVariant m_value;
};

class ParamList : public QList<Param>
{
public:
    ParamList() = default;
    ParamList(const QList<Param> &other)
        : QList<Param>(other)
    {
    }
    bool hasParam(const ParamTypeId &paramTypeId) const;
    // Invalid QVariant when the param is absent.
    QVariant paramValue(const ParamTypeId &paramTypeId) const;
    // Replaces the value of an existing param or appends a new one.
    void setParamValue(const ParamTypeId &paramTypeId, const QVariant &value);
};

#endif // PARAM_H
