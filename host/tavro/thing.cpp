#include "thing.h"
#include "thingutils.h"

namespace {
// A state without a declared default starts at the type's zero value.
QVariant zeroValue(QVariant::Type type)
{
    switch (type) {
    case QVariant::Bool:
        return false;
    case QVariant::Int:
        return 0;
    case QVariant::UInt:
        return 0u;
    case QVariant::Double:
        return 0.0;
    case QVariant::String:
        return QString(QLatin1String(""));
    case QVariant::Uuid:
        return QUuid();
    default:
        return QVariant();
    }
}
}

Thing::Thing(const ThingClass &thingClass, const ThingId &id, const QString &name, QObject *parent)
    : QObject(parent),
      m_id(id),
      m_name(name),
      m_thingClass(thingClass)
{
    for (const StateType &stateType : thingClass.stateTypes()) {
        State state(stateType.id(), id);
        state.setMinValue(stateType.minValue());
        state.setMaxValue(stateType.maxValue());
        state.setPossibleValues(stateType.possibleValues());
        QVariant value = stateType.defaultValue();
        if (!value.isValid())
            value = zeroValue(stateType.type());
        state.setValue(value);
        m_states.insert(stateType.id(), state);
        m_stateIdsByName.insert(stateType.name(), stateType.id());
    }
    for (const ParamType &settingType : thingClass.settingsTypes())
        m_settings.append(Param(settingType.id(), settingType.defaultValue()));
}

bool Thing::hasState(const QString &stateName) const
{
    return m_stateIdsByName.contains(stateName);
}

bool Thing::hasState(const StateTypeId &stateTypeId) const
{
    return m_states.contains(stateTypeId);
}

State Thing::state(const QString &stateName) const
{
    const auto id = m_stateIdsByName.constFind(stateName);
    return id == m_stateIdsByName.constEnd() ? State() : m_states.value(id.value());
}

State Thing::state(const StateTypeId &stateTypeId) const
{
    return m_states.value(stateTypeId);
}

// Both read the value in place: a State copy costs four QVariant copies.
QVariant Thing::stateValue(const QString &stateName) const
{
    const auto id = m_stateIdsByName.constFind(stateName);
    return id == m_stateIdsByName.constEnd() ? QVariant() : stateValue(id.value());
}

QVariant Thing::stateValue(const StateTypeId &stateTypeId) const
{
    const auto it = m_states.constFind(stateTypeId);
    return it == m_states.constEnd() ? QVariant() : it->value();
}

QVariant Thing::normalized(const State &state, const StateType &stateType, const QVariant &value) const
{
    return ThingUtils::ensureValueClamping(value, stateType.type(), state.minValue(), state.maxValue(), 0);
}

void Thing::setStateValue(const QString &stateName, const QVariant &value)
{
    const auto it = m_stateIdsByName.constFind(stateName);
    if (it != m_stateIdsByName.constEnd())
        setStateValue(it.value(), value);
}

void Thing::setStateValue(const StateTypeId &stateTypeId, const QVariant &value)
{
    auto it = m_states.find(stateTypeId);
    if (it == m_states.end())
        return;
    const QVariant newValue = normalized(it.value(), m_thingClass.getStateType(stateTypeId), value);
    if (it->value() == newValue)
        return;
    it->setValue(newValue);
    const State state = it.value();
    emit stateValueChanged(stateTypeId, state.value(), state.minValue(), state.maxValue(), state.possibleValues());
}

void Thing::setStateMinMaxValues(const QString &stateName, const QVariant &minValue, const QVariant &maxValue)
{
    auto it = m_states.find(m_stateIdsByName.value(stateName));
    if (it == m_states.end())
        return;
    if (it->minValue() == minValue && it->maxValue() == maxValue)
        return;
    it->setMinValue(minValue);
    it->setMaxValue(maxValue);
    it->setValue(normalized(it.value(), m_thingClass.getStateType(it->stateTypeId()), it->value()));
    const State state = it.value();
    emit stateValueChanged(state.stateTypeId(), state.value(), state.minValue(), state.maxValue(),
                           state.possibleValues());
}

void Thing::setStatePossibleValues(const QString &stateName, const QVariantList &values)
{
    auto it = m_states.find(m_stateIdsByName.value(stateName));
    if (it == m_states.end() || it->possibleValues() == values)
        return;
    it->setPossibleValues(values);
    const State state = it.value();
    emit stateValueChanged(state.stateTypeId(), state.value(), state.minValue(), state.maxValue(),
                           state.possibleValues());
}

QVariant Thing::setting(const QString &settingName) const
{
    const ParamType settingType = m_thingClass.settingsTypes().findByName(settingName);
    return m_settings.paramValue(settingType.id());
}

void Thing::setSettingValue(const QString &settingName, const QVariant &value)
{
    const ParamType settingType = m_thingClass.settingsTypes().findByName(settingName);
    if (!settingType.isValid() || m_settings.paramValue(settingType.id()) == value)
        return;
    m_settings.setParamValue(settingType.id(), value);
    emit settingChanged(settingType.id(), value);
}

Thing *Things::findById(const ThingId &id) const
{
    for (Thing *thing : *this) {
        if (thing->id() == id)
            return thing;
    }
    return nullptr;
}

Things Things::filterByInterface(const QString &interface) const
{
    Things result;
    for (Thing *thing : *this) {
        if (thing->thingClass().interfaces().contains(interface))
            result.append(thing);
    }
    return result;
}

Things Things::filterByThingClassId(const ThingClassId &thingClassId) const
{
    Things result;
    for (Thing *thing : *this) {
        if (thing->thingClassId() == thingClassId)
            result.append(thing);
    }
    return result;
}
