#include "overloadprotection.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/acchargeradjuster.h"
#include "smartcharging/householdbalance.h"
#include "smartcharging/sharerounds.h"

#include "config/energymanagerconfiguration.h"
#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "devices/rootmeter.h"
#include "common/tavroenergylogging.h"
#include "common/units.h"
#include "smartcharging/chargingcurrent.h"
#include "smartcharging/chargingsharecalculator.h"
#include "smartcharging/phaseheadroom.h"

#include "tavro/thingutils.h"

#include <limits>

#include <QtMath>

namespace {
// Share of the reducible range (reference down to minimum, all W) that has
// been taken away: 0 = not reduced, 1 = at the minimum or off.
double overloadThrottle(double minPower, double referencePower, double newPower)
{
    if (referencePower <= 0)
        return 0;
    if (newPower <= 0)
        return 1;
    if (referencePower <= minPower)
        return referencePower > newPower ? 1 : 0;
    double power = qMin(newPower, referencePower);
    power = qMax(power, minPower);
    return qBound(0.0, (referencePower - power) / (referencePower - minPower), 1.0);
}

}

struct OverloadProtection::AcOverloadEntry {
    EvChargerAc *charger = nullptr;
    uint phases = 1;
    double minCurrent = 0; // A
    double maxCurrent = 0; // A
    double reference = 0;  // W, before this overload episode
};

// The chargers that load the same phases, with their share requests.
struct OverloadProtection::AcOverloadGroup {
    QList<AcOverloadEntry> entries;
    QList<ChargingShareCalculator::Request> requests; // in entry order
    double references = 0;                            // W, capped at what the chargers have now
    double slack = 0;                                 // W the chargers can give without going off
};

struct OverloadProtection::DcOverloadEntry {
    EvChargerDc *charger = nullptr;
    double reference = 0; // W
};

bool OverloadProtection::verifyOverloadProtection(const QDateTime &currentDateTime)
{
    if (!m_context.rootMeter) {
        qCDebug(dcTavroEnergy())
                << "Overload protection: No root meter configured, the overload protection is not available.";
        return false;
    }
    if (m_context.phasePowerLimit == 0) {
        qCDebug(dcTavroEnergy())
                << "Overload protection: No power limit configured, the overload protection is disabled.";
        return false;
    }

    const double limitPower = static_cast<double>(m_context.phasePowerLimit * Units::wholePhaseVoltage);
    QList<double> overshoots;
    double maxOvershoot = 0;
    if (!measurePhaseOvershoots(limitPower, &overshoots, &maxOvershoot)) {
        releaseOverloadProtection();
        return false;
    }

    qCDebug(dcTavroEnergy()) << "Overload protection: Triggered, maximum power consumption per phase is:" << limitPower
                             << "[W], Overshot on phases:"
                             << "A:" << overshoots.at(0) << "[W],"
                             << "B:" << overshoots.at(1) << "[W],"
                             << "C:" << overshoots.at(2) << "[W]";

    const ChargingShareCalculator::Strategy strategy = m_context.configuration->chargingShareStrategy();
    throttleAcChargersForOverload(overshoots, strategy, currentDateTime);
    throttleDcChargersForOverload(maxOvershoot, strategy);
    return true;
}

bool OverloadProtection::measurePhaseOvershoots(double limitPower, QList<double> *overshoots,
                                                double *maxOvershoot) const
{
    const QList<QPair<QString, double>> phasePowers = {
            {QStringLiteral("A"), m_context.rootMeter->currentPowerPhaseA()},
            {QStringLiteral("B"), m_context.rootMeter->currentPowerPhaseB()},
            {QStringLiteral("C"), m_context.rootMeter->currentPowerPhaseC()}};
    bool overloaded = false;
    for (const auto &phasePower : phasePowers) {
        double overshoot = 0;
        if (phasePower.second > limitPower) {
            qCInfo(dcTavroEnergy()) << "Overload protection: Phase" << phasePower.first
                                    << "exceeding limit:" << phasePower.second << "W ("
                                    << phasePower.second / Units::phaseVoltage << "A). Maximum allowance:" << limitPower
                                    << "W (" << m_context.phasePowerLimit << "A)";
            overshoot = phasePower.second - limitPower;
            *maxOvershoot = qMax(*maxOvershoot, overshoot);
            overloaded = true;
        }
        overshoots->append(overshoot);
    }
    return overloaded;
}

void OverloadProtection::releaseOverloadProtection()
{
    // Eco chargers go back to their planners at once; normal-mode
    // chargers keep the flag until the recovery has restored them.
    const QList<ThingId> ids = m_context.book.states().keys();
    for (const ThingId &id : ids) {
        if (!m_context.book.state(id).overloadProtectionActive())
            continue;
        if (m_context.book.configuration(id).chargingMode() == ChargingConfiguration::ChargingModeNormal)
            continue;
        setChargingStateOverloadProtection(id, false, 0);
    }
}

void OverloadProtection::throttleAcChargersForOverload(const QList<double> &overshoots,
                                                       ChargingShareCalculator::Strategy strategy,
                                                       const QDateTime &currentDateTime)
{
    AcOverloadGroup onePhase;
    AcOverloadGroup multiPhase;
    collectAcOverloadRequests(&onePhase, &multiPhase);

    // Each overloaded phase needs its overshoot taken off once, at the least
    // power: a watt off a one-phase charger clears a watt of phase A, a watt
    // off a three-phase one only a third of that. So the multi-phase chargers
    // shed what B and C are over, and on A only what the one-phase chargers
    // cannot give without being switched off; the one-phase chargers shed
    // the rest of A.
    const double overshootA = overshoots.at(0);
    const double multiPhaseCut = qMax(qMax(overshoots.at(1), overshoots.at(2)), overshootA - onePhase.slack);
    double reliefA = 0;
    if (multiPhaseCut > 0)
        reliefA =
                applyAcOverloadShares(multiPhase, multiPhase.references - multiPhaseCut * 3, strategy, currentDateTime);
    const double onePhaseCut = overshootA - reliefA;
    if (onePhaseCut > 0)
        applyAcOverloadShares(onePhase, onePhase.references - onePhaseCut, strategy, currentDateTime);
}

double OverloadProtection::applyAcOverloadShares(const AcOverloadGroup &group, double budget,
                                                 ChargingShareCalculator::Strategy strategy,
                                                 const QDateTime &currentDateTime)
{
    const QList<ChargingShareCalculator::Result> results =
            ChargingShareCalculator().calculate(group.requests, qMax(0.0, budget), strategy);
    double reliefPerPhase = 0;
    // One result per request, in request order; the entries follow the requests.
    for (int i = 0; i < results.count() && i < group.entries.count(); i++) {
        const double presentCurrent = group.entries.at(i).charger->maxChargingCurrent();
        const double current = applyAcOverloadResult(group.entries.at(i), results.at(i), currentDateTime);
        reliefPerPhase += (presentCurrent - current) * Units::phaseVoltage;
    }
    return reliefPerPhase;
}

void OverloadProtection::collectAcOverloadRequests(AcOverloadGroup *onePhase, AcOverloadGroup *multiPhase)
{
    for (EvChargerAc *charger : qAsConst(m_context.evChargersAc)) {
        if (!charger->chargingEnabled())
            continue;

        AcOverloadEntry entry;
        entry.charger = charger;
        entry.phases = qMax(1u, charger->phaseCount());
        // A charger on fewer than two phases loads phase A alone.
        AcOverloadGroup *group = entry.phases == 1 ? onePhase : multiPhase;

        const ThingId id = charger->id();
        const double cappedReference = fillAcOverloadEntry(charger, id, &entry);
        const ChargingShareCalculator::Request request = acOverloadRequest(charger, id, entry, cappedReference);
        group->requests.append(request);
        group->entries.append(entry);
        group->references += cappedReference;
        group->slack += qMax(0.0, cappedReference - request.minimumPower);
    }
}

double OverloadProtection::fillAcOverloadEntry(EvChargerAc *charger, const ThingId &id, AcOverloadEntry *entry)
{
    if (m_context.cycle.acInfo(charger)) {
        entry->minCurrent = m_context.cycle.acInfoOrDefault(charger).minChargingCurrent;
        entry->maxCurrent = m_context.cycle.acInfoOrDefault(charger).maxChargingCurrent;
    } else {
        entry->minCurrent = charger->maxChargingCurrentMinValue();
        entry->maxCurrent = charger->maxChargingCurrentMaxValue();
    }

    const ChargingConfiguration &configuration = m_context.book.configuration(id);
    double referenceCurrent = charger->maxChargingCurrent();
    if (configuration.chargingMode() == ChargingConfiguration::ChargingModeNormal
        && configuration.manualChargingEnabled())
        referenceCurrent = configuration.manualMaxChargingCurrent();

    entry->reference = overloadProtectionReferencePower(id, referenceCurrent * Units::phaseVoltage * entry->phases);
    // Never ask a charger for more than it has now.
    return qMin(entry->reference, charger->maxChargingCurrent() * Units::phaseVoltage * entry->phases);
}

ChargingShareCalculator::Request OverloadProtection::acOverloadRequest(EvChargerAc *charger, const ThingId &id,
                                                                       const AcOverloadEntry &entry,
                                                                       double cappedReference) const
{
    ChargingShareCalculator::Request request;
    request.thingId = id.toString();
    request.minimumPower = entry.minCurrent * Units::phaseVoltage * entry.phases;
    request.maximumPower = cappedReference;
    request.phaseCount = entry.phases;
    request.measuredPower = qMax(0.0, charger->currentPower());
    request.priority = 0;
    request.fairnessCounter = m_shares.fairness(id);
    return request;
}

double OverloadProtection::applyAcOverloadResult(const AcOverloadEntry &entry,
                                                 const ChargingShareCalculator::Result &result,
                                                 const QDateTime &currentDateTime)
{
    EvChargerAc *charger = entry.charger;
    const double minPower = entry.minCurrent * Units::phaseVoltage * entry.phases;
    const double presentCurrent = charger->maxChargingCurrent();

    if (!result.enabled) {
        // Give the last reduction time to show at the meter first.
        if (charger->chargingCurrentLocked(currentDateTime)) {
            qCDebug(dcTavroEnergy())
                    << "Overload protection: Waiting for charging current adjustment to take effect before switching off"
                    << charger->name();
            return presentCurrent;
        }
        qCDebug(dcTavroEnergy()) << "Overload protection: Need to switch off charging for" << charger->name();
        setChargingStateOverloadProtection(charger->id(), true, overloadThrottle(minPower, entry.reference, 0));
        m_adjuster.noteOverloadCut(charger->id());
        m_adjuster.executeChargingAction(charger,
                                         ChargingAction(false, presentCurrent, entry.phases,
                                                        ChargingAction::ChargingActionIssuerOverloadProtection, true),
                                         currentDateTime);
        return 0;
    }

    // Rounded down: a rounded-up current would keep the overload.
    double current = floorChargingCurrent(result.allocatedPower / (entry.phases * Units::phaseVoltage),
                                          entry.minCurrent, entry.maxCurrent, charger->maxChargingCurrentStepSize());
    current = qMin(current, presentCurrent);

    qCDebug(dcTavroEnergy()) << "Overload protection: Adjusting AC charger" << charger->name() << "from"
                             << presentCurrent << "[A] ->" << current << "[A]";
    setChargingStateOverloadProtection(
            charger->id(), true,
            overloadThrottle(minPower, entry.reference, current * Units::phaseVoltage * entry.phases));
    // A refused change (the current lock) relieves nothing yet.
    if (!m_adjuster.executeChargingAction(charger,
                                          ChargingAction(true, current, entry.phases,
                                                         ChargingAction::ChargingActionIssuerOverloadProtection, false),
                                          currentDateTime))
        return presentCurrent;
    return current;
}

void OverloadProtection::throttleDcChargersForOverload(double maxOvershoot, ChargingShareCalculator::Strategy strategy)
{
    // DC chargers: they load all three phases; the full overshoot is taken
    // off them as well.
    QList<DcOverloadEntry> dcEntries;
    QList<ChargingShareCalculator::Request> dcRequests;
    double dcReferences = 0;
    for (EvChargerDc *charger : qAsConst(m_context.evChargersDc)) {
        if (!charger->chargingEnabled())
            continue;
        const ThingId id = charger->id();
        const ChargingConfiguration &configuration = m_context.book.configuration(id);
        double base = charger->chargingPower();
        if (configuration.chargingMode() == ChargingConfiguration::ChargingModeNormal
            && configuration.manualChargingEnabled())
            base = configuration.manualChargingPower();

        DcOverloadEntry entry;
        entry.charger = charger;
        entry.reference = overloadProtectionReferencePower(id, base);
        if (entry.reference <= 0)
            continue;

        ChargingShareCalculator::Request request;
        request.thingId = id.toString();
        request.minimumPower = charger->minChargingPower();
        request.maximumPower = entry.reference;
        request.phaseCount = 1;
        request.measuredPower = qMax(0.0, charger->measuredPower());
        request.priority = 0;
        request.fairnessCounter = m_shares.fairness(id);
        dcRequests.append(request);
        dcEntries.append(entry);
        dcReferences += entry.reference;
    }

    const double dcBudget = qMax(0.0, dcReferences - maxOvershoot * 3);
    const QList<ChargingShareCalculator::Result> dcResults =
            ChargingShareCalculator().calculate(dcRequests, dcBudget, strategy);
    for (int i = 0; i < dcResults.count() && i < dcEntries.count(); i++)
        applyDcOverloadResult(dcEntries.at(i), dcResults.at(i));
}

void OverloadProtection::applyDcOverloadResult(const DcOverloadEntry &entry,
                                               const ChargingShareCalculator::Result &result)
{
    EvChargerDc *charger = entry.charger;
    const double presentPower = charger->chargingPower();
    double power = result.enabled ? result.allocatedPower : 0;
    power = qMin(power, presentPower);
    setChargingStateOverloadProtection(charger->id(), true,
                                       overloadThrottle(charger->minChargingPower(), entry.reference, power));
    if (qAbs(presentPower - power) >= 1.0) {
        qCDebug(dcTavroEnergy()) << "Overload protection: Adjusting DC charger" << charger->name() << "from"
                                 << presentPower << "[W] ->" << power << "[W]";
        charger->setChargingPower(power);
    }
    if ((power > 0) != charger->chargingEnabled()) {
        qCDebug(dcTavroEnergy()) << "Overload protection: Setting DC charger power state" << charger->name()
                                 << (power > 0 ? "true" : "false");
        charger->setChargingEnabled(power > 0);
    }
}

// One normal-mode AC charger the recovery looks at: its manual and
// possible currents (A) and the power (W per phase) free on each phase.
struct OverloadProtection::AcOverloadRecovery {
    EvChargerAc *charger = nullptr;
    ThingId id;
    double manualCurrent = 0;
    double minCurrent = 0;
    double maxCurrent = 0;
    bool onePhase = false;
    Electricity::Phases loadedPhases;
    double freeA = 0;
    double freeB = 0;
    double freeC = 0;

    // Whether the free power covers power (W per phase) on the phases the
    // charger loads: A for a one-phase charger, all three otherwise. Each
    // short phase is logged, followed by shortageUnit.
    bool freePowerCovers(double power, const char *shortageUnit) const
    {
        if (onePhase)
            return freeA >= power;
        bool enough = true;
        const QList<QPair<QString, double>> freePhases = {
                {QStringLiteral("A"), freeA}, {QStringLiteral("B"), freeB}, {QStringLiteral("C"), freeC}};
        for (const auto &phase : freePhases) {
            if (phase.second < power) {
                qCDebug(dcTavroEnergy()) << "Overload protection: Not enought power available on phase" << phase.first
                                         << phase.second << shortageUnit;
                enough = false;
            }
        }
        return enough;
    }
};

void OverloadProtection::verifyOverloadProtectionRecovery(const QDateTime &currentDateTime)
{
    // Without a meter there is nothing to measure the free power with; the
    // flagged chargers wait, as the overload check itself does.
    if (!m_context.rootMeter) {
        qCDebug(dcTavroEnergy()) << "Overload protection: No root meter configured, skipping the recovery.";
        return;
    }

    // A limit of 0 means no limit: a charger throttled before the limit was
    // removed must not stay throttled, so every phase counts as free.
    const bool unlimited = m_context.phasePowerLimit == 0;
    // What the fuse leaves per phase, less what this cycle has given away
    // already: two restores must not count on the same headroom.
    PhaseHeadroom &headroom = m_context.headroom();

    const QList<EvChargerAc *> acChargers = m_context.evChargersAc.values();
    for (EvChargerAc *charger : acChargers)
        recoverAcCharger(charger, headroom, unlimited, currentDateTime);

    recoverDcChargers(unlimited);
}

void OverloadProtection::recoverAcCharger(EvChargerAc *charger, PhaseHeadroom &headroom, bool unlimited,
                                          const QDateTime &currentDateTime)
{
    AcOverloadRecovery recovery;
    recovery.charger = charger;
    recovery.id = charger->id();
    ChargingConfiguration configuration;
    if (!awaitsOverloadRecovery(recovery.id, &configuration))
        return;

    recovery.manualCurrent = configuration.manualMaxChargingCurrent();
    qCDebug(dcTavroEnergy()) << "Overload protection: Evaluating normal mode charger" << charger->name()
                             << "which has been set originally to"
                             << (configuration.manualChargingEnabled() ? "true" : "false") << recovery.manualCurrent
                             << "[A]";

    recovery.minCurrent = charger->maxChargingCurrentMinValue();
    recovery.maxCurrent = charger->maxChargingCurrentMaxValue();
    if (m_context.cycle.acInfo(charger)) {
        recovery.minCurrent = m_context.cycle.acInfoOrDefault(charger).minChargingCurrent;
        recovery.maxCurrent = m_context.cycle.acInfoOrDefault(charger).maxChargingCurrent;
    }
    auto freePower = [&headroom, unlimited](Electricity::Phase phase) {
        if (unlimited)
            return std::numeric_limits<double>::max();
        return qMax(0.0, headroom.available(phase)) * Units::phaseVoltage;
    };
    recovery.freeA = freePower(Electricity::PhaseA);
    recovery.freeB = freePower(Electricity::PhaseB);
    recovery.freeC = freePower(Electricity::PhaseC);
    qCDebug(dcTavroEnergy()) << "Overload protection: Available phase power:"
                             << "A:" << recovery.freeA << "[W],"
                             << "B:" << recovery.freeB << "[W],"
                             << "C:" << recovery.freeC << "[W]";

    recovery.onePhase = charger->phaseCount() == 1;
    recovery.loadedPhases =
            recovery.onePhase ? Electricity::Phases(Electricity::PhaseA) : Electricity::Phases(Electricity::PhaseAll);
    if (!charger->chargingEnabled())
        restartOverloadedAcCharger(recovery, headroom, currentDateTime);
    else
        restoreOverloadedAcCharger(recovery, headroom, currentDateTime);
}

void OverloadProtection::restartOverloadedAcCharger(const AcOverloadRecovery &recovery, PhaseHeadroom &headroom,
                                                    const QDateTime &currentDateTime)
{
    EvChargerAc *charger = recovery.charger;
    const double minCurrent = recovery.minCurrent;
    const double needed = minCurrent * Units::phaseVoltage;
    qCDebug(dcTavroEnergy()) << "Overload protection: At least" << needed
                             << "[W] per phase are needed for switching the charger back on.";
    if (!recovery.freePowerCovers(needed, "[W] for switching the charger back on."))
        return;
    if (recovery.onePhase)
        qCDebug(dcTavroEnergy())
                << "Overload protection: Enought power available to start charging using the minimal charging current of"
                << minCurrent << "[A]";

    qCDebug(dcTavroEnergy()) << "Overload protection: Reenable charging at a minimum of" << minCurrent << "[A]";
    if (m_adjuster.executeChargingAction(charger,
                                         ChargingAction(true, minCurrent, charger->phaseCount(),
                                                        ChargingAction::ChargingActionIssuerOverloadProtection, false),
                                         currentDateTime))
        headroom.spend(recovery.loadedPhases, minCurrent);
    const double phases = qMax(1u, charger->phaseCount());
    setChargingStateOverloadProtection(recovery.id, true,
                                       overloadThrottle(minCurrent * Units::phaseVoltage * phases,
                                                        recovery.manualCurrent * Units::phaseVoltage * phases,
                                                        minCurrent * Units::phaseVoltage * phases));
}

void OverloadProtection::restoreOverloadedAcCharger(const AcOverloadRecovery &recovery, PhaseHeadroom &headroom,
                                                    const QDateTime &currentDateTime)
{
    EvChargerAc *charger = recovery.charger;
    const double manualCurrent = recovery.manualCurrent;
    const double required = (manualCurrent - charger->maxChargingCurrent()) * Units::phaseVoltage;
    qCDebug(dcTavroEnergy()) << "Overload protection: For restoring the original charging power at least" << required
                             << "[W] per phase are required.";
    if (!recovery.freePowerCovers(required, "[W]"))
        return;
    if (recovery.onePhase)
        qCDebug(dcTavroEnergy()) << "Overload protection: Enought power available to restore the original configuration"
                                 << manualCurrent << "[A]";

    // The charger would refuse a new current right after the last
    // reduction; clearing the flag then would leave it reduced for good.
    if (charger->chargingCurrentLocked(currentDateTime)) {
        qCDebug(dcTavroEnergy()) << "Overload protection: Waiting for the charging current lock before restoring"
                                 << charger->name();
        return;
    }

    const double current = ThingUtils::ensureValueClamping(manualCurrent, QVariant::Double, recovery.minCurrent,
                                                           recovery.maxCurrent, charger->maxChargingCurrentStepSize())
                                   .toDouble();
    qCDebug(dcTavroEnergy()) << "Overload protection: Restoring charger to" << current << "[A]";
    const double presentCurrent = charger->maxChargingCurrent();
    m_adjuster.executeChargingAction(charger,
                                     ChargingAction(true, current, charger->phaseCount(),
                                                    ChargingAction::ChargingActionIssuerOverloadProtection, false),
                                     currentDateTime);
    headroom.spend(recovery.loadedPhases, current - presentCurrent);
    setChargingStateOverloadProtection(recovery.id, false, 0);
}

void OverloadProtection::recoverDcChargers(bool unlimited)
{
    const double freeDc = unlimited ? std::numeric_limits<double>::max() : m_balance.availableDcOverloadThrottlePower();
    const QList<EvChargerDc *> dcChargers = m_context.evChargersDc.values();
    for (EvChargerDc *charger : dcChargers) {
        const ThingId id = charger->id();
        ChargingConfiguration configuration;
        if (!awaitsOverloadRecovery(id, &configuration))
            continue;

        const double manualPower = configuration.manualChargingPower();
        if (manualPower <= 0 || !configuration.manualChargingEnabled()) {
            setChargingStateOverloadProtection(id, false, 0);
            continue;
        }
        if (charger->minChargingPower() > freeDc)
            continue;

        const double target = qMin(manualPower, freeDc);
        const double presentPower = charger->chargingPower();
        m_context.cycle.spend(Electricity::PhaseAll,
                              (target - qMax(0.0, charger->measuredPower())) / (3 * Units::phaseVoltage));
        if (!charger->chargingEnabled()) {
            qCDebug(dcTavroEnergy()) << "Overload protection: Re-enabling DC charger" << charger->name() << "at"
                                     << target << "[W]";
            if (qAbs(presentPower - target) >= 1.0)
                charger->setChargingPower(target);
            charger->setChargingEnabled(true);
        } else if (qAbs(presentPower - target) >= 1.0) {
            qCDebug(dcTavroEnergy()) << "Overload protection: Restoring DC charger" << charger->name() << "to" << target
                                     << "[W]";
            charger->setChargingPower(target);
        }

        if (qAbs(target - manualPower) < 1.0)
            setChargingStateOverloadProtection(id, false, 0);
        else
            setChargingStateOverloadProtection(id, true,
                                               overloadThrottle(charger->minChargingPower(), manualPower, target));
    }
}

double OverloadProtection::overloadProtectionReferencePower(const ThingId &evChargerId, double power)
{
    if (!m_overloadReferencePower.contains(evChargerId))
        m_overloadReferencePower.insert(evChargerId, power);
    return m_overloadReferencePower.value(evChargerId);
}

void OverloadProtection::setChargingStateOverloadProtection(const ThingId &evChargerId, bool active, double throttle)
{
    if (!active) {
        // The episode is over for this charger: the next one starts from
        // what it is allowed then.
        m_overloadReferencePower.remove(evChargerId);
        throttle = 0;
    } else {
        throttle = qBound(0.0, throttle, 1.0);
    }

    m_context.book.setOverloadProtection(evChargerId, active, throttle);
}

bool OverloadProtection::awaitsOverloadRecovery(const ThingId &evChargerId, ChargingConfiguration *configuration) const
{
    *configuration = m_context.book.configuration(evChargerId);
    return configuration->chargingMode() == ChargingConfiguration::ChargingModeNormal
           && m_context.book.state(evChargerId).overloadProtectionActive();
}
