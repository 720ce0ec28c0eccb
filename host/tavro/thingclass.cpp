#include "thingclass.h"

#include <QJsonArray>

namespace {

QVariant::Type typeFromString(const QString &name)
{
    static const QHash<QString, QVariant::Type> types = {
            {QStringLiteral("bool"), QVariant::Bool},     {QStringLiteral("int"), QVariant::Int},
            {QStringLiteral("uint"), QVariant::UInt},     {QStringLiteral("double"), QVariant::Double},
            {QStringLiteral("string"), QVariant::String}, {QStringLiteral("uuid"), QVariant::Uuid},
    };
    return types.value(name.toLower(), QVariant::Invalid);
}

QVariant convert(const QJsonValue &value, QVariant::Type type)
{
    if (value.isUndefined() || value.isNull())
        return QVariant();
    QVariant variant = value.toVariant();
    variant.convert(static_cast<int>(type));
    return variant;
}

bool parseParamTypes(const QJsonArray &array, ParamTypes *paramTypes, QString *errorString)
{
    for (const QJsonValue &entry : array) {
        const QJsonObject object = entry.toObject();
        const QUuid id(object.value(QStringLiteral("id")).toString());
        const QString name = object.value(QStringLiteral("name")).toString();
        const QVariant::Type type = typeFromString(object.value(QStringLiteral("type")).toString());
        if (id.isNull() || name.isEmpty() || type == QVariant::Invalid) {
            *errorString = QStringLiteral("Invalid param type \"%1\"").arg(name);
            return false;
        }
        ParamType paramType(id, name, type, convert(object.value(QStringLiteral("defaultValue")), type));
        paramType.setMinValue(convert(object.value(QStringLiteral("minValue")), type));
        paramType.setMaxValue(convert(object.value(QStringLiteral("maxValue")), type));
        paramType.setAllowedValues(object.value(QStringLiteral("allowedValues")).toArray().toVariantList());
        paramTypes->append(paramType);
    }
    return true;
}

}

bool ThingClass::hasStateType(const QString &name) const
{
    return m_stateTypes.findByName(name).isValid();
}

bool ThingClass::hasStateType(const StateTypeId &id) const
{
    return m_stateTypes.findById(id).isValid();
}

StateType ThingClass::getStateType(const StateTypeId &id) const
{
    return m_stateTypes.findById(id);
}

ThingClass ThingClass::fromJson(const QJsonObject &json, QString *errorString)
{
    QString error;
    if (!errorString)
        errorString = &error;

    ThingClass thingClass;
    thingClass.m_id = QUuid(json.value(QStringLiteral("id")).toString());
    thingClass.m_name = json.value(QStringLiteral("name")).toString();
    if (thingClass.m_id.isNull() || thingClass.m_name.isEmpty()) {
        *errorString = QStringLiteral("A thing class needs an id and a name");
        return ThingClass();
    }
    for (const QJsonValue &interface : json.value(QStringLiteral("interfaces")).toArray())
        thingClass.m_interfaces.append(interface.toString());

    for (const QJsonValue &entry : json.value(QStringLiteral("stateTypes")).toArray()) {
        const QJsonObject object = entry.toObject();
        const QUuid id(object.value(QStringLiteral("id")).toString());
        const QString name = object.value(QStringLiteral("name")).toString();
        const QVariant::Type type = typeFromString(object.value(QStringLiteral("type")).toString());
        if (id.isNull() || name.isEmpty() || type == QVariant::Invalid) {
            *errorString = QStringLiteral("Invalid state type \"%1\" in thing class %2").arg(name, thingClass.m_name);
            return ThingClass();
        }
        StateType stateType(id, name, type);
        stateType.setDefaultValue(convert(object.value(QStringLiteral("defaultValue")), type));
        stateType.setMinValue(convert(object.value(QStringLiteral("minValue")), type));
        stateType.setMaxValue(convert(object.value(QStringLiteral("maxValue")), type));
        stateType.setStepSize(object.value(QStringLiteral("stepSize")).toDouble(0));
        stateType.setUnit(object.value(QStringLiteral("unit")).toString());
        QVariantList possibleValues;
        for (const QJsonValue &value : object.value(QStringLiteral("possibleValues")).toArray())
            possibleValues.append(convert(value, type));
        stateType.setPossibleValues(possibleValues);
        stateType.setWritable(object.value(QStringLiteral("writable")).toBool(false));
        thingClass.m_stateTypes.append(stateType);

        if (stateType.writable()) {
            // The value is required: a state action without it means nothing.
            ParamType paramType(id, name, type);
            paramType.setMinValue(stateType.minValue());
            paramType.setMaxValue(stateType.maxValue());
            paramType.setAllowedValues(possibleValues);
            thingClass.m_actionTypes.append(ActionType(id, name, ParamTypes({paramType})));
        }
    }

    for (const QJsonValue &entry : json.value(QStringLiteral("actionTypes")).toArray()) {
        const QJsonObject object = entry.toObject();
        const QUuid id(object.value(QStringLiteral("id")).toString());
        const QString name = object.value(QStringLiteral("name")).toString();
        ParamTypes paramTypes;
        if (id.isNull() || name.isEmpty()) {
            *errorString = QStringLiteral("Invalid action type in thing class %1").arg(thingClass.m_name);
            return ThingClass();
        }
        if (!parseParamTypes(object.value(QStringLiteral("paramTypes")).toArray(), &paramTypes, errorString))
            return ThingClass();
        thingClass.m_actionTypes.append(ActionType(id, name, paramTypes));
    }

    if (!parseParamTypes(json.value(QStringLiteral("settingsTypes")).toArray(), &thingClass.m_settingsTypes,
                         errorString))
        return ThingClass();

    return thingClass;
}

ThingClass ThingClasses::findById(const ThingClassId &id) const
{
    for (const ThingClass &thingClass : *this) {
        if (thingClass.id() == id)
            return thingClass;
    }
    return ThingClass();
}

ThingClass ThingClasses::findByName(const QString &name) const
{
    for (const ThingClass &thingClass : *this) {
        if (thingClass.name() == name)
            return thingClass;
    }
    return ThingClass();
}
