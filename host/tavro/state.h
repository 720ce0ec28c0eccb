#ifndef STATE_H
#define STATE_H

#include "typeutils.h"

#include <QVariant>
#include <QVariantList>

// The live value of one state of a thing, with the limits that apply right
// now (a charger may narrow its current range while a car is plugged in).
class State
{
public:
    State() = default;
    State(const StateTypeId &stateTypeId, const ThingId &thingId)
        : m_stateTypeId(stateTypeId),
          m_thingId(thingId)
    {
    }

    StateTypeId stateTypeId() const { return m_stateTypeId; }
    ThingId thingId() const { return m_thingId; }
    bool isValid() const { return !m_stateTypeId.isNull(); }

    QVariant value() const { return m_value; }
    void setValue(const QVariant &value) { m_value = value; }
    QVariant minValue() const { return m_minValue; }
    void setMinValue(const QVariant &value) { m_minValue = value; }
    QVariant maxValue() const { return m_maxValue; }
    void setMaxValue(const QVariant &value) { m_maxValue = value; }
    QVariantList possibleValues() const { return m_possibleValues; }
    void setPossibleValues(const QVariantList &values) { m_possibleValues = values; }

private:
    StateTypeId m_stateTypeId;
    ThingId m_thingId;
    QVariant m_value;
    QVariant m_minValue;
    QVariant m_maxValue;
    QVariantList m_possibleValues;
};

#endif // STATE_H
