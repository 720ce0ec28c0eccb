#include "chargingcontext.h"

#include "common/units.h"
#include "config/energymanagerconfiguration.h"
#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "devices/rootmeter.h"
#include "smartcharging/householdbalance.h"

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

uint ChargingContext::sunMinutes(const QDateTime &from, const QDateTime &until, double chargerPower) const
{
    if (!sun.available())
        return 0;
    return static_cast<uint>(sun.coveredHours(from, until, chargerPower, cycle.sunTakers()) * 60);
}

double ChargingContext::sunEnergy(const QDateTime &from, const QDateTime &until, double chargerPower) const
{
    if (!sun.available())
        return 0;
    return sun.coveredEnergy(from, until, chargerPower, cycle.sunTakers());
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

bool ChargingContext::sunCarries(EvChargerAc *charger, const ChargingProcessInfo &info) const
{
    if (!rootMeter || !charger->charging())
        return false;
    const uint phases = qMax(1u, charger->phaseCount());
    return sunPower(charger) >= info.minChargingCurrent * info.voltage * phases;
}

double ChargingContext::sunPower(EvChargerAc *charger) const
{
    if (!rootMeter)
        return 0;
    // What the charger draws plus the export, which a DC car's discharge is
    // no part of. Nor is the discharge of a home battery that may not feed
    // the cars: it hides an import.
    const double battery = qMin(0.0, HouseholdBalance(*this).homeBattery().surplusTerm);
    return charger->currentPower() - rootMeter->currentPower() - dcFeedIn() - dcDeadlineClaim + battery;
}

double ChargingContext::sunAtHand(EvChargerAc *charger, const ChargingProcessInfo &info, const QDateTime &deadline,
                                  const QDateTime &currentDateTime) const
{
    const double power = info.maxChargingCurrent * info.voltage * qMax(1u, info.maxPhaseCount);
    if (!sun.available() || power <= 0 || !deadline.isValid())
        return 0;
    const qint64 seconds = qBound<qint64>(0, currentDateTime.secsTo(deadline), Units::internalTargetOffset / 2);
    if (seconds == 0)
        return 0;
    const double measured = qBound(0.0, sunPower(charger), power) * seconds / 3600.0;
    return qMin(measured, sunEnergy(currentDateTime, currentDateTime.addSecs(seconds), power));
}

double ChargingContext::dcFeedIn() const
{
    double feedIn = 0;
    for (EvChargerDc *charger : evChargersDc)
        feedIn += qMax(0.0, -charger->measuredPower());
    return feedIn;
}

double ChargingContext::importDcCanShed(const EvChargerAcs &chargers, double netLoad) const
{
    if (netLoad <= 0)
        return 0;
    double draw = 0;
    double minimum = 0;
    for (EvChargerAc *charger : chargers) {
        draw += qMax(0.0, charger->currentPower());
        if (runsOnSurplus(charger))
            minimum += minimumDraw(charger);
    }
    const double shortfall = minimum - (draw - netLoad);
    if (shortfall <= 0)
        return 0;
    double sheddable = 0;
    for (EvChargerDc *dc : evChargersDc) {
        // A target time's charge keeps the sun it takes before the AC cars.
        if (book.configuration(dc->id()).chargingMode() == ChargingConfiguration::ChargingModeEco
            && runsOnSurplus(dc))
            sheddable += qMax(0.0, dc->measuredPower() - qMax(0.0, dc->minChargingPower()));
    }
    return qMin(qMin(netLoad, shortfall), sheddable);
}

double ChargingContext::minimumDraw(EvChargerAc *charger) const
{
    return cycle.acInfoOrDefault(charger).minChargingCurrent * qMax(1u, charger->phaseCount()) * Units::phaseVoltage;
}

PhaseHeadroom ChargingContext::measuredHeadroom() const
{
    PhaseHeadroom headroom(rootMeter, phasePowerLimit);
    const QHash<ThingId, CommandedDraws::Draw> &draws = cycle.commandedDraws().draws();
    for (auto it = draws.constBegin(); it != draws.constEnd(); ++it) {
        if (EvChargerAc *acCharger = evChargersAc.value(it.key()))
            headroom.spend(it->phases, pendingAmperes(acCharger));
        else if (EvChargerDc *dcCharger = evChargersDc.value(it.key()))
            headroom.spend(it->phases, pendingPower(dcCharger) / (3 * Units::phaseVoltage));
    }
    // A discharge about to end at the car's floor gives the fuse room back
    // to the house the minute it stops, before the others could follow:
    // they fit without it now. What a command already spends of it above
    // is not spent twice.
    for (const ThingId &id : dischargesEnding) {
        EvChargerDc *charger = evChargersDc.value(id);
        const double feedIn = charger ? qMax(0.0, -charger->measuredPower()) : 0;
        if (feedIn <= 0)
            continue;
        const double spent = draws.contains(id) ? pendingPower(charger) : 0;
        headroom.spend(Electricity::PhaseAll, qMax(0.0, feedIn - spent) / (3 * Units::phaseVoltage));
    }
    return headroom;
}

double ChargingContext::pendingAmperes(EvChargerAc *charger) const
{
    const ThingId id = charger->id();
    const int phases = qMax(1, Electricity::phaseCount(cycle.commandedDraws().phases(id)));
    return cycle.commandedDraws().pending(id, charger->currentPower() / (phases * Units::phaseVoltage));
}

double ChargingContext::pendingPower(EvChargerDc *charger) const
{
    // A DC charger draws on all three phases alike.
    const double perPhase = 3 * Units::phaseVoltage;
    return cycle.commandedDraws().pending(charger->id(), charger->measuredPower() / perPhase) * perPhase;
}

PhaseHeadroom &ChargingContext::headroom()
{
    return cycle.headroomOpen() ? cycle.headroom(PhaseHeadroom()) : cycle.headroom(measuredHeadroom());
}

double ChargingContext::availableOnAllPhases() const
{
    return cycle.headroomOpen() ? cycle.availableOnAllPhases(PhaseHeadroom())
                                : measuredHeadroom().available(Electricity::PhaseAll);
}
