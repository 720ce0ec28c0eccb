#ifndef ELECTRICITY_H
#define ELECTRICITY_H

#include <QObject>

namespace Electricity {
Q_NAMESPACE

// Phase flags of a three-phase grid connection.
enum Phase {
    PhaseNone = 0x00,
    PhaseA = 0x01,
    PhaseB = 0x02,
    PhaseC = 0x04,
    PhaseAll = PhaseA | PhaseB | PhaseC
};
Q_ENUM_NS(Phase)
Q_DECLARE_FLAGS(Phases, Phase)
Q_FLAG_NS(Phases)

// Number of phases set in the flags.
int phaseCount(Phases phases);

}

Q_DECLARE_OPERATORS_FOR_FLAGS(Electricity::Phases)

#endif // ELECTRICITY_H
