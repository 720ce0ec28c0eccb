#ifndef PARAMTYPE_H
#define PARAMTYPE_H

#include "typeutils.h"

#include <QVariant>
#include <QVariantList>

// Description of one parameter of an action (or of a thing setting).
class ParamType
{
public:
    ParamType() = default;
    ParamType(const ParamTypeId &id, const QString &name, QVariant::Type type,
              const QVariant &defaultValue = QVariant());

    ParamTypeId id() const { return m_id; }
    QString name() const { return m_name; }
    QVariant::Type type() const { return m_type; }
    QVariant defaultValue() const { return m_defaultValue; }
    QVariant minValue() const { return m_minValue; }
    void setMinValue(const QVariant &value) { m_minValue = value; }
    QVariant maxValue() const { return m_maxValue; }
    void setMaxValue(const QVariant &value) { m_maxValue = value; }
    QVariantList allowedValues() const { return m_allowedValues; }
    void setAllowedValues(const QVariantList &values) { m_allowedValues = values; }
    bool isValid() const { return !m_id.isNull() && !m_name.isEmpty(); }

private:
    ParamTypeId m_id;
    QString m_name;
    QVariant::Type m_type = QVariant::Invalid;
    QVariant m_defaultValue;
    QVariant m_minValue;
    QVariant m_maxValue;
    QVariantList m_allowedValues;
};

class ParamTypes : public QList<ParamType>
{
public:
    ParamTypes() = default;
    ParamTypes(const QList<ParamType> &other)
        : QList<ParamType>(other)
    {
    }
    // An invalid ParamType when there is none of that name.
    ParamType findByName(const QString &name) const;
    ParamType findById(const ParamTypeId &id) const;
};

#endif // PARAMTYPE_H
