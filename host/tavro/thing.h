#ifndef THING_H
#define THING_H

#include "param.h"
#include "state.h"
#include "thingclass.h"

#include <QHash>
#include <QObject>

// One configured device. Owned by the ThingManager; plugins may set dynamic
// properties on it and parent their adapters to it, which then die with it.
class Thing : public QObject
{
    Q_OBJECT
public:
    enum ThingError {
        ThingErrorNoError = 0,
        ThingErrorThingNotFound,
        ThingErrorThingClassNotFound,
        ThingErrorActionTypeNotFound,
        ThingErrorStateTypeNotFound,
        ThingErrorMissingParameter,
        ThingErrorInvalidParameter,
        ThingErrorHardwareNotAvailable,
        ThingErrorHardwareFailure,
        ThingErrorTimeout
    };
    Q_ENUM(ThingError)

    Thing(const ThingClass &thingClass, const ThingId &id, const QString &name, QObject *parent = nullptr);

    ThingId id() const { return m_id; }
    QString name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }
    const ThingClass &thingClass() const { return m_thingClass; }
    ThingClassId thingClassId() const { return m_thingClass.id(); }

    bool hasState(const QString &stateName) const;
    bool hasState(const StateTypeId &stateTypeId) const;
    // An invalid State when the class has no such state.
    State state(const QString &stateName) const;
    State state(const StateTypeId &stateTypeId) const;
    QVariant stateValue(const QString &stateName) const;
    QVariant stateValue(const StateTypeId &stateTypeId) const;

    // Sets a state (converted to the state type, clamped to the live bounds)
    // and emits stateValueChanged when the value changed. Unknown names are
    // ignored.
    void setStateValue(const QString &stateName, const QVariant &value);
    void setStateValue(const StateTypeId &stateTypeId, const QVariant &value);
    // Narrows or widens the live bounds of a state (emits stateValueChanged
    // when they change); the value is re-clamped.
    void setStateMinMaxValues(const QString &stateName, const QVariant &minValue, const QVariant &maxValue);
    void setStatePossibleValues(const QString &stateName, const QVariantList &values);

    ParamList settings() const { return m_settings; }
    QVariant setting(const QString &settingName) const;
    void setSettingValue(const QString &settingName, const QVariant &value);

signals:
    void stateValueChanged(const StateTypeId &stateTypeId, const QVariant &value, const QVariant &minValue,
                           const QVariant &maxValue, const QVariantList &possibleValues);
    void settingChanged(const ParamTypeId &paramTypeId, const QVariant &value);

private:
    QVariant normalized(const State &state, const StateType &stateType, const QVariant &value) const;

    ThingId m_id;
    QString m_name;
    ThingClass m_thingClass;
    QHash<StateTypeId, State> m_states;
    QHash<QString, StateTypeId> m_stateIdsByName;
    ParamList m_settings;
};

class Things : public QList<Thing *>
{
public:
    Things() = default;
    Things(const QList<Thing *> &other)
        : QList<Thing *>(other)
    {
    }
    Thing *findById(const ThingId &id) const;
    Things filterByInterface(const QString &interface) const;
    Things filterByThingClassId(const ThingClassId &thingClassId) const;
};

#endif // THING_H
