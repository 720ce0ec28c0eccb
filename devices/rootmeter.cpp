#include "rootmeter.h"

#include "common/tavroenergylogging.h"
#include "common/units.h"
#include "tavro/thing.h"

RootMeter::RootMeter(Thing *thing)
    : QObject(thing),
      m_thing(thing)
{
    // Resolved once: every state change of the meter passes here.
    const StateTypeId currentPowerTypeId =
            m_thing->thingClass().stateTypes().findByName(QStringLiteral("currentPower")).id();
    connect(m_thing, &Thing::stateValueChanged, this,
            [this, currentPowerTypeId](const StateTypeId &stateTypeId, const QVariant &value) {
                if (!currentPowerTypeId.isNull() && stateTypeId == currentPowerTypeId)
                    emit currentPowerChanged(value.toDouble());
            });
}

Thing *RootMeter::thing() const
{
    return m_thing;
}

double RootMeter::currentPower() const
{
    return doubleState(QStringLiteral("currentPower"));
}

double RootMeter::currentPowerPhaseA() const
{
    return doubleState(QStringLiteral("currentPowerPhaseA"));
}

double RootMeter::currentPowerPhaseB() const
{
    return doubleState(QStringLiteral("currentPowerPhaseB"));
}

double RootMeter::currentPowerPhaseC() const
{
    return doubleState(QStringLiteral("currentPowerPhaseC"));
}

double RootMeter::currentPhaseA() const
{
    return doubleState(QStringLiteral("currentPhaseA"));
}

double RootMeter::currentPhaseB() const
{
    return doubleState(QStringLiteral("currentPhaseB"));
}

double RootMeter::currentPhaseC() const
{
    return doubleState(QStringLiteral("currentPhaseC"));
}

double RootMeter::calculateAllowanceAmpere(Electricity::Phases phases, uint limit) const
{
    if (phases == Electricity::PhaseNone)
        phases = Electricity::PhaseAll;

    const double maximum = limit;
    double result = maximum;
    // Meters that report a voltage on one phase only are common; the last
    // voltage seen stands in for the phases that follow.
    double voltage = Units::phaseVoltage;
    // A voltage of 0 V or less (not yet measured) would divide the load into
    // infinity; the running voltage stays instead.
    auto takeVoltage = [this, &voltage](const QString &stateName) {
        if (!m_thing->hasState(stateName))
            return;
        const double measured = doubleState(stateName);
        if (measured > 0.0)
            voltage = measured;
    };

    if (phases.testFlag(Electricity::PhaseA)) {
        double load = 0.0;
        if (m_thing->hasState(QStringLiteral("currentPhaseA"))) {
            load = currentPhaseA();
            voltage = Units::phaseVoltage;
        } else if (m_thing->hasState(QStringLiteral("currentPowerPhaseA"))) {
            voltage = Units::phaseVoltage;
            takeVoltage(QStringLiteral("voltagePhaseA"));
            load = currentPowerPhaseA() / voltage;
        } else {
            // A single-phase meter reports only the total.
            load = currentPower() / Units::phaseVoltage;
            voltage = Units::phaseVoltage;
        }
        result = qMin(maximum, maximum - load);
    }

    struct PhaseStates {
        Electricity::Phase phase;
        QString current;
        QString power;
        QString voltage;
        const char *singlePhaseMessage;
    };
    const PhaseStates otherPhases[] = {
            {Electricity::PhaseB, QStringLiteral("currentPhaseB"), QStringLiteral("currentPowerPhaseB"),
             QStringLiteral("voltagePhaseB"), "Asked to calculate allowence for Phase B on a single phase root meter."},
            {Electricity::PhaseC, QStringLiteral("currentPhaseC"), QStringLiteral("currentPowerPhaseC"),
             QStringLiteral("voltagePhaseC"), "Asked to calculate allowence for Phase C on a single phase root meter."},
    };
    for (const PhaseStates &states : otherPhases) {
        if (!phases.testFlag(states.phase))
            continue;
        double load = 0.0;
        if (m_thing->hasState(states.current)) {
            load = doubleState(states.current);
        } else if (m_thing->hasState(states.power)) {
            takeVoltage(states.voltage);
            load = doubleState(states.power) / voltage;
        } else {
            qCDebug(dcTavroEnergy()) << states.singlePhaseMessage;
            continue;
        }
        result = qMin(result, maximum - load);
    }
    return result;
}

double RootMeter::doubleState(const QString &stateName) const
{
    return m_thing->stateValue(stateName).toDouble();
}
