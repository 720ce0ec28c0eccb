#include "electricity.h"

int Electricity::phaseCount(Phases phases)
{
    return (phases.testFlag(PhaseA) ? 1 : 0) + (phases.testFlag(PhaseB) ? 1 : 0) + (phases.testFlag(PhaseC) ? 1 : 0);
}
