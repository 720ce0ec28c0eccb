#include "chargingcontext.h"

#include "config/energymanagerconfiguration.h"

Electricity::Phases ChargingContext::ascendingPhasesForCount(uint count)
{
    switch (count) {
    case 3:
        return Electricity::PhaseAll;
    case 2:
        return Electricity::PhaseA | Electricity::PhaseB;
    default:
        return Electricity::PhaseA;
    }
}

SurplusGate::Delays ChargingContext::surplusGateDelays() const
{
    SurplusGate::Delays delays;
    delays.phaseUp = configuration->phaseSwitchUpDelay();
    delays.phaseDown = configuration->phaseSwitchDownDelay();
    delays.phaseHold = configuration->phaseSwitchHoldTime();
    delays.start = configuration->surplusStartDelay();
    delays.stop = configuration->surplusStopDelay();
    return delays;
}
