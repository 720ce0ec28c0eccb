#ifndef PHASEHEADROOM_H
#define PHASEHEADROOM_H

#include "tavro/electricity.h"

class RootMeter;

// Amperes per phase that may still be added at the root meter before the
// household limit is reached, measured once per cycle and then spent as the
// chargers get their commands, so that no two chargers plan with the same
// headroom. Without a limit (or a meter) nothing is limited.
class PhaseHeadroom
{
public:
    // Unlimited.
    PhaseHeadroom() = default;
    // Each phase's allowance (A) under limit (A per phase) as the meter
    // reports it now; never above the limit, negative on a phase already over.
    PhaseHeadroom(const RootMeter *rootMeter, uint limit);

    bool limited() const { return m_limited; }
    // A left on the most loaded of the given phases (an empty set: all three).
    double available(Electricity::Phases phases) const;
    // Adds the given amperes of load on each of the phases (negative frees).
    void spend(Electricity::Phases phases, double amperes);
    // W all spends added up, at Units::phaseVoltage: how much more the commands so far
    // will draw than the meter shows (negative: less).
    double spentPower() const { return m_spentPower; }

private:
    bool m_limited = false;
    double m_amperes[3] = {0, 0, 0};
    double m_spentPower = 0;
};

#endif // PHASEHEADROOM_H
