#ifndef STATETYPE_H
#define STATETYPE_H

#include "typeutils.h"

#include <QVariant>
#include <QVariantList>

// Description of one state of a thing class: its type, bounds, step size,
// possible values and whether users (and plugins) may write it through an
// action of the same name and id.
class StateType
{
public:
    StateType() = default;
    StateType(const StateTypeId &id, const QString &name, QVariant::Type type);

    StateTypeId id() const { return m_id; }
    QString name() const { return m_name; }
    QVariant::Type type() const { return m_type; }
    bool isValid() const { return !m_id.isNull() && !m_name.isEmpty(); }

    QVariant defaultValue() const { return m_defaultValue; }
    void setDefaultValue(const QVariant &value) { m_defaultValue = value; }
    // Invalid when unbounded.
    QVariant minValue() const { return m_minValue; }
    void setMinValue(const QVariant &value) { m_minValue = value; }
    QVariant maxValue() const { return m_maxValue; }
    void setMaxValue(const QVariant &value) { m_maxValue = value; }
    // 0 when any value is allowed.
    double stepSize() const { return m_stepSize; }
    void setStepSize(double stepSize) { m_stepSize = stepSize; }
    QVariantList possibleValues() const { return m_possibleValues; }
    void setPossibleValues(const QVariantList &values) { m_possibleValues = values; }
    bool writable() const { return m_writable; }
    void setWritable(bool writable) { m_writable = writable; }
    QString unit() const { return m_unit; }
    void setUnit(const QString &unit) { m_unit = unit; }

private:
    StateTypeId m_id;
    QString m_name;
    QVariant::Type m_type = QVariant::Invalid;
    QVariant m_defaultValue;
    QVariant m_minValue;
    QVariant m_maxValue;
    double m_stepSize = 0;
    QVariantList m_possibleValues;
    bool m_writable = false;
    QString m_unit;
};

class StateTypes : public QList<StateType>
{
public:
    StateTypes() = default;
    StateTypes(const QList<StateType> &other)
        : QList<StateType>(other)
    {
    }
    // An invalid StateType when there is none.
    StateType findByName(const QString &name) const;
    StateType findById(const StateTypeId &id) const;
};

#endif // STATETYPE_H
