#ifndef ACCHARGERADJUSTER_H
#define ACCHARGERADJUSTER_H

#include "smartcharging/chargingprocessinfo.h"
#include "types/chargingaction.h"
#include "types/chargingstate.h"

#include "tavro/electricity.h"

#include <QDateTime>
#include <QSet>

class EvChargerAc;
class PhaseHeadroom;
using EvChargerAcs = QList<EvChargerAc *>;
class ShareRounds;
struct ChargingContext;

// The last AC step of a cycle: shares the budgets, then sends every AC
// charger the action of its winning issuer, fitted to what the fuse leaves
// after the commands before it, or switches it off when none wants it on.
// Context and share rounds are not owned.
class AcChargerAdjuster
{
public:
    AcChargerAdjuster(ChargingContext &context, ShareRounds &shares)
        : m_context(context),
          m_shares(shares)
    {
    }

    void adjustEvChargers(const QDateTime &currentDateTime);
    // Sends the action to the charger (current, phases, on/off) where it
    // differs; false when nothing was sent: a restart the on/off lock holds back.
    bool executeChargingAction(EvChargerAc *charger, const ChargingAction &action, const QDateTime &currentDateTime);
    // The overload cut switched the charger off: until it next starts, a
    // start needs the margin above its minimum.
    void noteOverloadCut(const ThingId &evChargerId) { m_overloadCut.insert(evChargerId); }

private:
    // The chargers in the order their commands go out.
    EvChargerAcs acCommandOrder() const;
    // Commands the charger's winning action, or switches it off when idle;
    // what it draws afterwards is spent from headroom.
    void adjustAcCharger(EvChargerAc *charger, PhaseHeadroom &headroom, const QDateTime &currentDateTime);
    // Gives the charger's own draw back to the headroom (what the meter shows
    // and what it was told this minute beyond that) and returns it, A per phase.
    double takeBackOwnDraw(EvChargerAc *charger, const ChargingProcessInfo &info, PhaseHeadroom &headroom) const;
    // Current, then on/off; a raise is recorded until the meter shows it.
    void sendCurrentAndPower(EvChargerAc *charger, const ChargingAction &action, bool phasesRaised, bool applyLock,
                             const QDateTime &currentDateTime);
    // Sends the winning issuer's action fitted to the headroom and returns
    // the mode it charges in; idle without a winner or when not even the
    // minimum fits (*phaseLimited). *drawPhases / *drawCurrent (A) follow a sent command.
    ChargingState::Mode commandAcWinningAction(EvChargerAc *charger, const ChargingProcessInfo &info,
                                               PhaseHeadroom &headroom, double ownCurrent,
                                               Electricity::Phases *drawPhases, double *drawCurrent, bool *phaseLimited,
                                               const QDateTime &currentDateTime);
    // A deadline charge the fuse leaves less than its plan counts on (wanted,
    // A per phase, capped at the plan's per-phase power) on its phases stops
    // surplus charging there whose command is still to come this cycle.
    void stopSurplusForDeadline(EvChargerAc *charger, const ChargingProcessInfo &info, Electricity::Phases phases,
                                double wanted, PhaseHeadroom &headroom, const QDateTime &currentDateTime);
    // A deadline (or spot market) charge in the fuse's deadline order that
    // the phase limit holds below its plan (current: A per phase it was
    // commanded this cycle, 0 when it cannot start) lays claim to the
    // amperes it lacks, for the DC chargers placed after it.
    void claimFuseForDeadline(EvChargerAc *charger, const ChargingProcessInfo &info, const ChargingAction &action,
                              Electricity::Phases phases, double current);
    // *drawCurrent becomes 0 when the charger was switched off.
    void switchOffIdleAcCharger(EvChargerAc *charger, double *drawCurrent, const QDateTime &currentDateTime);
    // The phases the charger draws on when it carries out the action.
    static Electricity::Phases acActionPhases(const ChargingProcessInfo &info, const ChargingAction &action);
    // The action's current (A) fitted to the charger's range and to what the
    // fuse leaves on its phases (available, A, with the charger's own draw
    // ownCurrent already counted in; infinite without a limit). Negative
    // when not even the minimum current fits.
    double fitAcCurrent(EvChargerAc *charger, const ChargingProcessInfo &info, const ChargingAction &action,
                        double available, double ownCurrent) const;

    ChargingContext &m_context;
    ShareRounds &m_shares;
    QSet<ThingId> m_overloadCut; // switched off by the overload cut since their last start
    EvChargerAcs m_waiting;      // this cycle's chargers whose command is still to come, in command order
};

#endif // ACCHARGERADJUSTER_H
