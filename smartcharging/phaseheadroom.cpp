#include "phaseheadroom.h"

#include "common/units.h"
#include "devices/rootmeter.h"

#include <limits>

namespace {

const Electricity::Phase phaseFlags[3] = {Electricity::PhaseA, Electricity::PhaseB, Electricity::PhaseC};

Electricity::Phases orAll(Electricity::Phases phases)
{
    return phases == Electricity::PhaseNone ? Electricity::Phases(Electricity::PhaseAll) : phases;
}

}

PhaseHeadroom::PhaseHeadroom(const RootMeter *rootMeter, uint limit)
{
    if (!rootMeter || limit == 0)
        return;
    m_limited = true;
    for (int i = 0; i < 3; i++)
        m_amperes[i] = rootMeter->calculateAllowanceAmpere(phaseFlags[i], limit);
}

double PhaseHeadroom::available(Electricity::Phases phases) const
{
    if (!m_limited)
        return std::numeric_limits<double>::infinity();
    phases = orAll(phases);
    double result = std::numeric_limits<double>::infinity();
    for (int i = 0; i < 3; i++) {
        if (phases.testFlag(phaseFlags[i]))
            result = qMin(result, m_amperes[i]);
    }
    return result;
}

void PhaseHeadroom::spend(Electricity::Phases phases, double amperes)
{
    phases = orAll(phases);
    for (int i = 0; i < 3; i++) {
        if (phases.testFlag(phaseFlags[i])) {
            m_amperes[i] -= amperes;
            m_spentPower += amperes * Units::phaseVoltage;
        }
    }
}
