#ifndef THINGCLASS_H
#define THINGCLASS_H

#include "actiontype.h"
#include "statetype.h"

#include <QJsonObject>
#include <QStringList>

// A kind of device. Thing classes are data: they are read from JSON
// descriptions (see fromJson). Every writable state gets an action of the
// same name and id whose single parameter has that id too.
class ThingClass
{
public:
    ThingClass() = default;

    ThingClassId id() const { return m_id; }
    QString name() const { return m_name; }
    bool isValid() const { return !m_id.isNull(); }
    const QStringList &interfaces() const { return m_interfaces; }

    const StateTypes &stateTypes() const { return m_stateTypes; }
    bool hasStateType(const QString &name) const;
    bool hasStateType(const StateTypeId &id) const;
    StateType getStateType(const StateTypeId &id) const;
    const ActionTypes &actionTypes() const { return m_actionTypes; }
    const ParamTypes &settingsTypes() const { return m_settingsTypes; }

    // Parses one class description. Returns an invalid class and sets
    // errorString on malformed input.
    static ThingClass fromJson(const QJsonObject &json, QString *errorString = nullptr);

private:
    ThingClassId m_id;
    QString m_name;
    QStringList m_interfaces;
    StateTypes m_stateTypes;
    ActionTypes m_actionTypes;
    ParamTypes m_settingsTypes;
};

class ThingClasses : public QList<ThingClass>
{
public:
    ThingClass findById(const ThingClassId &id) const;
    ThingClass findByName(const QString &name) const;
};

#endif // THINGCLASS_H
