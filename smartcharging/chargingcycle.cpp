#include "chargingcycle.h"

#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "devices/rootmeter.h"

const ChargingProcessInfo *ChargingCycle::acInfo(EvChargerAc *charger) const
{
    const auto entry = m_ac.constFind(charger);
    return entry != m_ac.constEnd() && entry->prepared ? &entry->info : nullptr;
}

ChargingProcessInfo *ChargingCycle::acInfo(EvChargerAc *charger)
{
    const auto entry = m_ac.find(charger);
    return entry != m_ac.end() && entry->prepared ? &entry->info : nullptr;
}

ChargingProcessInfo ChargingCycle::acInfoOrDefault(EvChargerAc *charger) const
{
    const ChargingProcessInfo *info = acInfo(charger);
    return info ? *info : ChargingProcessInfo();
}

void ChargingCycle::setAcInfo(EvChargerAc *charger, const ChargingProcessInfo &info)
{
    AcEntry &entry = m_ac[charger];
    entry.prepared = true;
    entry.info = info;
}

ChargingProcessInfo &ChargingCycle::acInfoToChange(EvChargerAc *charger)
{
    AcEntry &entry = m_ac[charger];
    entry.prepared = true;
    return entry.info;
}

EvChargerAcs ChargingCycle::plannedAcChargers() const
{
    EvChargerAcs chargers;
    chargers.reserve(m_ac.size());
    for (auto it = m_ac.constBegin(); it != m_ac.constEnd(); ++it) {
        if (it->planned)
            chargers.append(it.key());
    }
    return chargers;
}

ChargingCycle::Actions ChargingCycle::acActions(EvChargerAc *charger) const
{
    const auto entry = m_ac.constFind(charger);
    return entry != m_ac.constEnd() ? entry->actions : Actions();
}

ChargingAction ChargingCycle::acAction(EvChargerAc *charger, Issuer issuer) const
{
    const auto entry = m_ac.constFind(charger);
    return entry != m_ac.constEnd() ? entry->actions.value(issuer) : ChargingAction();
}

ChargingCycle::Actions &ChargingCycle::acActionsToChange(EvChargerAc *charger)
{
    AcEntry &entry = m_ac[charger];
    entry.planned = true;
    return entry.actions;
}

void ChargingCycle::resetAcActions(const EvChargerAcs &chargers)
{
    for (auto it = m_ac.begin(); it != m_ac.end();) {
        if (!it->prepared) {
            it = m_ac.erase(it);
            continue;
        }
        it->planned = false;
        it->actions.clear();
        ++it;
    }
    for (EvChargerAc *charger : chargers) {
        const ChargingProcessInfo info = acInfoOrDefault(charger);
        Actions &actions = acActionsToChange(charger);
        for (Issuer issuer : {ChargingAction::ChargingActionIssuerSurplusCharging,
                              ChargingAction::ChargingActionIssuerSpotMarketCharging,
                              ChargingAction::ChargingActionIssuerTimeRequirement}) {
            actions.insert(issuer, ChargingAction(false, info.minChargingCurrent, info.minPhaseCount, issuer, false));
        }
    }
}

void ChargingCycle::dropAc(EvChargerAc *charger)
{
    m_ac.remove(charger);
}

void ChargingCycle::dropAcInfo(EvChargerAc *charger)
{
    const auto entry = m_ac.find(charger);
    if (entry == m_ac.end())
        return;
    if (!entry->planned) {
        m_ac.erase(entry);
        return;
    }
    entry->prepared = false;
    entry->info = ChargingProcessInfo();
}

const ChargingProcessInfo *ChargingCycle::dcInfo(EvChargerDc *charger) const
{
    const auto info = m_dc.constFind(charger);
    return info != m_dc.constEnd() ? &info.value() : nullptr;
}

ChargingProcessInfo *ChargingCycle::dcInfo(EvChargerDc *charger)
{
    const auto info = m_dc.find(charger);
    return info != m_dc.end() ? &info.value() : nullptr;
}

ChargingProcessInfo ChargingCycle::dcInfoOrDefault(EvChargerDc *charger) const
{
    return m_dc.value(charger);
}

ChargingProcessInfo &ChargingCycle::dcInfoToChange(EvChargerDc *charger)
{
    auto info = m_dc.find(charger);
    if (info == m_dc.end())
        info = m_dc.insert(charger, ChargingProcessInfo());
    return info.value();
}

int ChargingCycle::sunTakers(bool pluggedInOnly) const
{
    int takers = 0;
    const auto count = [&takers, pluggedInOnly](bool pluggedIn, const ChargingProcessInfo &info) {
        takers += info.remainingPercentage > 0 && (pluggedIn || !pluggedInOnly) ? 1 : 0;
    };
    forEachAcInfo([&count](EvChargerAc *charger, const ChargingProcessInfo &info) {
        count(charger->pluggedIn(), info);
    });
    forEachDcInfo([&count](EvChargerDc *charger, const ChargingProcessInfo &info) {
        count(charger->pluggedIn(), info);
    });
    return qMax(1, takers);
}

SurplusGate &ChargingCycle::surplusGate(const ThingId &evChargerId)
{
    auto gate = m_surplusGates.find(evChargerId);
    if (gate == m_surplusGates.end())
        gate = m_surplusGates.insert(evChargerId, SurplusGate());
    return gate.value();
}

SurplusGate::Reading ChargingCycle::surplusReading(const ThingId &evChargerId) const
{
    const auto gate = m_surplusGates.constFind(evChargerId);
    return gate != m_surplusGates.constEnd() ? gate->reading() : SurplusGate().reading();
}

void ChargingCycle::begin(const QDateTime &currentDateTime)
{
    m_now = currentDateTime;
    m_overloaded = false;
    m_headroomOpen = false;
    m_headroom = PhaseHeadroom();
}

void ChargingCycle::claimFuse(int place, Electricity::Phases phases, double amperes)
{
    if (place >= 0 && amperes > 0)
        m_fuseClaims.append({place, phases, amperes});
}

double ChargingCycle::fuseClaimedBefore(int place) const
{
    const Electricity::Phase phaseFlags[3] = {Electricity::PhaseA, Electricity::PhaseB, Electricity::PhaseC};
    double claimed[3] = {0, 0, 0};
    for (const FuseClaim &claim : m_fuseClaims) {
        if (place >= 0 && claim.place >= place)
            continue;
        for (int p = 0; p < 3; p++) {
            if (claim.phases.testFlag(phaseFlags[p]))
                claimed[p] += claim.amperes;
        }
    }
    return qMax(claimed[0], qMax(claimed[1], claimed[2]));
}

void ChargingCycle::openHeadroom(const PhaseHeadroom &measured)
{
    m_headroom = measured;
    m_headroomOpen = true;
}

PhaseHeadroom &ChargingCycle::headroom(const PhaseHeadroom &measured)
{
    if (m_headroomOpen)
        return m_headroom;
    m_measured = measured;
    return m_measured;
}

void ChargingCycle::spend(Electricity::Phases phases, double amperes)
{
    if (m_headroomOpen)
        m_headroom.spend(phases, amperes);
}

double ChargingCycle::availableOnAllPhases(const PhaseHeadroom &measured) const
{
    if (m_headroomOpen)
        return m_headroom.available(Electricity::PhaseAll);
    return measured.available(Electricity::PhaseAll);
}

void ChargingCycle::restore(const Frame &frame)
{
    m_now = frame.now;
    m_overloaded = frame.overloaded;
    m_headroomOpen = frame.headroomOpen;
    m_headroom = frame.headroom;
}

void ChargingCycle::forget(const ThingId &evChargerId, EvChargerAc *acCharger, EvChargerDc *dcCharger)
{
    if (acCharger)
        m_ac.remove(acCharger);
    if (dcCharger)
        m_dc.remove(dcCharger);
    m_surplusGates.remove(evChargerId);
    m_commandedDraws.forget(evChargerId);
}
