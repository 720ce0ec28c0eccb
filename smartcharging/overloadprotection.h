#ifndef OVERLOADPROTECTION_H
#define OVERLOADPROTECTION_H

#include "smartcharging/chargingsharecalculator.h"
#include "types/chargingconfiguration.h"

#include "tavro/thing.h"

#include <QDateTime>
#include <QHash>
#include <QList>

class AcChargerAdjuster;
class EvChargerAc;
class HouseholdBalance;
class PhaseHeadroom;
class ShareRounds;
struct ChargingContext;

// Keeps every phase at the root meter under the household limit: throttles
// the AC and DC chargers that load an overloaded phase (shared fairly), and
// once the overload is gone gives the normal-mode chargers back what they
// had, as far as the headroom allows. Collaborators are not owned.
class OverloadProtection
{
public:
    OverloadProtection(ChargingContext &context, AcChargerAdjuster &adjuster, const ShareRounds &shares,
                       const HouseholdBalance &balance)
        : m_context(context),
          m_adjuster(adjuster),
          m_shares(shares),
          m_balance(balance)
    {
    }

    // True when a phase is over the limit (the chargers were throttled).
    bool verifyOverloadProtection(const QDateTime &currentDateTime);
    // Restores throttled normal-mode chargers from the cycle's headroom.
    void verifyOverloadProtectionRecovery(const QDateTime &currentDateTime);
    // Marks the charger throttled to throttle (0..1) or releases it.
    void setChargingStateOverloadProtection(const ThingId &evChargerId, bool active, double throttle);
    // The charger went away.
    void forget(const ThingId &evChargerId) { m_overloadReferencePower.remove(evChargerId); }

private:
    struct AcOverloadEntry;
    struct DcOverloadEntry;
    // W each phase of the root meter is above limitPower (W), in phase
    // order A, B, C; false when none is.
    bool measurePhaseOvershoots(double limitPower, QList<double> *overshoots, double *maxOvershoot) const;
    // Clears the flag of the eco chargers once the overload is gone.
    void releaseOverloadProtection();
    struct AcOverloadGroup;
    // overshoots: W each phase is over, in phase order A, B, C.
    void throttleAcChargersForOverload(const QList<double> &overshoots, ChargingShareCalculator::Strategy strategy,
                                       const QDateTime &currentDateTime);
    // The AC chargers that charge, with their requests, split into those on
    // phase A alone and those on all phases.
    void collectAcOverloadRequests(AcOverloadGroup *onePhase, AcOverloadGroup *multiPhase);
    // Shares budget (W) between the group's chargers and commands the
    // result; returns the current taken off per phase, in W.
    double applyAcOverloadShares(const AcOverloadGroup &group, double budget,
                                 ChargingShareCalculator::Strategy strategy, const QDateTime &currentDateTime);
    // Fills in the entry's current range (A) and reference power (W) for its
    // phases; returns the reference capped at what the charger has now (W).
    double fillAcOverloadEntry(EvChargerAc *charger, const ThingId &id, AcOverloadEntry *entry);
    // The charger's request to the share calculator, at most cappedReference (W).
    ChargingShareCalculator::Request acOverloadRequest(EvChargerAc *charger, const ThingId &id,
                                                       const AcOverloadEntry &entry, double cappedReference) const;
    // Commands the charger's share; returns the current (A) it has then:
    // 0 when switched off, the present one when a lock held the change.
    double applyAcOverloadResult(const AcOverloadEntry &entry, const ChargingShareCalculator::Result &result,
                                 const QDateTime &currentDateTime);
    void throttleDcChargersForOverload(double maxOvershoot, ChargingShareCalculator::Strategy strategy);
    void applyDcOverloadResult(const DcOverloadEntry &entry, const ChargingShareCalculator::Result &result);
    struct AcOverloadRecovery;
    // Restores a normal-mode AC charger the protection throttled, as far as
    // the headroom allows; what it gives away is spent from headroom.
    void recoverAcCharger(EvChargerAc *charger, PhaseHeadroom &headroom, bool unlimited,
                          const QDateTime &currentDateTime);
    void restartOverloadedAcCharger(const AcOverloadRecovery &recovery, PhaseHeadroom &headroom,
                                    const QDateTime &currentDateTime);
    void restoreOverloadedAcCharger(const AcOverloadRecovery &recovery, PhaseHeadroom &headroom,
                                    const QDateTime &currentDateTime);
    void recoverDcChargers(bool unlimited);
    double overloadProtectionReferencePower(const ThingId &evChargerId, double power);
    // True for a charger in normal mode that the protection has throttled:
    // the recovery restores it. Fills in its configuration.
    bool awaitsOverloadRecovery(const ThingId &evChargerId, ChargingConfiguration *configuration) const;

    ChargingContext &m_context;
    AcChargerAdjuster &m_adjuster;
    const ShareRounds &m_shares;
    const HouseholdBalance &m_balance;

    // W each throttled charger drew before the protection cut it.
    QHash<ThingId, double> m_overloadReferencePower;
};

#endif // OVERLOADPROTECTION_H
