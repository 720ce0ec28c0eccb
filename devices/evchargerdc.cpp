#include "evchargerdc.h"

#include "tavro/action.h"
#include "tavro/thing.h"
#include "tavro/thingmanager.h"

EvChargerDc::EvChargerDc(ThingManager *thingManager, Thing *thing)
    : QObject(thing),
      m_thingManager(thingManager),
      m_thing(thing)
{
}

ThingId EvChargerDc::id() const
{
    return m_thing->id();
}

Thing *EvChargerDc::thing() const
{
    return m_thing;
}

QString EvChargerDc::name() const
{
    return m_thing->name();
}

bool EvChargerDc::chargingEnabled() const
{
    return m_thing->stateValue(QStringLiteral("power")).toBool();
}

double EvChargerDc::chargingPower() const
{
    return m_thing->stateValue(QStringLiteral("chargingPower")).toDouble();
}

QString EvChargerDc::chargingCapabilities() const
{
    return m_thing->stateValue(QStringLiteral("chargingCapabilities")).toString();
}

bool EvChargerDc::supportsCharging() const
{
    const QString capabilities = chargingCapabilities();
    return capabilities == QLatin1String("charging") || capabilities == QLatin1String("bidirectional");
}

bool EvChargerDc::supportsDischarging() const
{
    const QString capabilities = chargingCapabilities();
    return capabilities == QLatin1String("discharging") || capabilities == QLatin1String("bidirectional");
}

double EvChargerDc::minChargingPower() const
{
    return optionalPower(QStringLiteral("minChargingPower"));
}

double EvChargerDc::maxChargingPower() const
{
    return optionalPower(QStringLiteral("maxChargingPower"));
}

double EvChargerDc::minDischargingPower() const
{
    return optionalPower(QStringLiteral("minDischargingPower"));
}

double EvChargerDc::maxDischargingPower() const
{
    return optionalPower(QStringLiteral("maxDischargingPower"));
}

bool EvChargerDc::pluggedIn() const
{
    if (!m_thing->hasState(QStringLiteral("pluggedIn")))
        return true;
    return m_thing->stateValue(QStringLiteral("pluggedIn")).toBool();
}

bool EvChargerDc::hlcSessionActive() const
{
    if (!m_thing->hasState(QStringLiteral("hlcSessionActive")))
        return false;
    return m_thing->stateValue(QStringLiteral("hlcSessionActive")).toBool();
}

ThingId EvChargerDc::connectedVehicleThingId() const
{
    if (!m_thing->hasState(QStringLiteral("connectedVehicleThingId")))
        return ThingId();
    return ThingId(m_thing->stateValue(QStringLiteral("connectedVehicleThingId")).toString());
}

double EvChargerDc::measuredPower() const
{
    if (m_thing->thingClass().hasStateType(QStringLiteral("currentPower")))
        return m_thing->stateValue(QStringLiteral("currentPower")).toDouble();
    return chargingPower();
}

bool EvChargerDc::available() const
{
    if (!m_thing->thingClass().interfaces().contains(QStringLiteral("connectable")))
        return true;
    return m_thing->stateValue(QStringLiteral("connected")).toBool();
}

ThingActionInfo *EvChargerDc::setChargingEnabled(bool enabled)
{
    return executeStateAction(QStringLiteral("power"), enabled);
}

ThingActionInfo *EvChargerDc::setChargingPower(double power)
{
    return executeStateAction(QStringLiteral("chargingPower"), power);
}

double EvChargerDc::optionalPower(const QString &stateName) const
{
    if (!m_thing->hasState(stateName))
        return 0.0;
    return m_thing->stateValue(stateName).toDouble();
}

ThingActionInfo *EvChargerDc::executeStateAction(const QString &stateName, const QVariant &value)
{
    // The action writing a state shares the state type's id, and so does its
    // one parameter. Origin 1 keeps the manager from taking it for user input.
    const StateTypeId stateTypeId = m_thing->thingClass().stateTypes().findByName(stateName).id();
    Action action(stateTypeId, m_thing->id(), Action::TriggeredByRule);
    action.setParams(ParamList({Param(stateTypeId, value)}));
    return m_thingManager->executeAction(action);
}
