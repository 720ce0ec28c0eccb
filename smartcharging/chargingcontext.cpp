#include "chargingcontext.h"

#include "common/units.h"
#include "config/energymanagerconfiguration.h"
#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "devices/rootmeter.h"

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

namespace {

// The cars that can still take power share the expected sun.
int sunTakers(const ChargingContext &context)
{
    int takers = 0;
    for (const ChargingProcessInfo &info : context.acProcessInfos)
        takers += info.remainingPercentage > 0 ? 1 : 0;
    for (const ChargingProcessInfo &info : context.dcProcessInfos)
        takers += info.remainingPercentage > 0 ? 1 : 0;
    return qMax(1, takers);
}

}

uint ChargingContext::sunMinutes(const QDateTime &from, const QDateTime &until, double chargerPower) const
{
    if (!sun.available())
        return 0;
    return static_cast<uint>(sun.coveredHours(from, until, chargerPower, sunTakers(*this)) * 60);
}

double ChargingContext::sunEnergy(const QDateTime &from, const QDateTime &until, double chargerPower) const
{
    if (!sun.available())
        return 0;
    return sun.coveredEnergy(from, until, chargerPower, sunTakers(*this));
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

PhaseHeadroom ChargingContext::measuredHeadroom() const
{
    PhaseHeadroom headroom(rootMeter, phasePowerLimit);
    const QHash<ThingId, CommandedDraws::Draw> &draws = commandedDraws.draws();
    for (auto it = draws.constBegin(); it != draws.constEnd(); ++it) {
        if (EvChargerAc *charger = evChargersAc.value(it.key()))
            headroom.spend(it->phases, pendingAmperes(charger));
        else if (EvChargerDc *charger = evChargersDc.value(it.key()))
            headroom.spend(it->phases, pendingPower(charger) / (3 * Units::phaseVoltage));
    }
    return headroom;
}

double ChargingContext::pendingAmperes(EvChargerAc *charger) const
{
    const ThingId id = charger->id();
    const int phases = qMax(1, Electricity::phaseCount(commandedDraws.phases(id)));
    return commandedDraws.pending(id, charger->currentPower() / (phases * Units::phaseVoltage));
}

double ChargingContext::pendingPower(EvChargerDc *charger) const
{
    // A DC charger draws on all three phases alike.
    const double perPhase = 3 * Units::phaseVoltage;
    return commandedDraws.pending(charger->id(), charger->measuredPower() / perPhase) * perPhase;
}
