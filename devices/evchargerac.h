#ifndef EVCHARGERAC_H
#define EVCHARGERAC_H

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include "tavro/electricity.h"
#include "tavro/statetype.h"
#include "tavro/typeutils.h"

class Thing;
class ThingManager;
class ThingActionInfo;

// A typed view onto one host thing implementing "evchargerac". Reads the
// charger's states live (only the class's state type ids are looked up
// once: a thing keeps its class for life), sends the manager's commands as
// host actions with origin 1 (never counted as user input) and guards the
// charger with two time locks: after an on/off switch no further switch for
// chargingEnabledLockDuration seconds, after a current change no further
// change for chargingCurrentLockDuration seconds. It also latches a charge
// refusal: enabled and plugged in, but the car draws nothing.
//
// The adapter is a child of the thing and dies with it. Commands return the
// host's ThingActionInfo (owned by the host, gone after its finished()), or
// null when a lock refused the command and nothing was sent.
class EvChargerAc : public QObject
{
    Q_OBJECT
public:
    EvChargerAc(ThingManager *thingManager, Thing *thing);

    ThingId id() const;
    Thing *thing() const;
    QString name() const;

    // State "power".
    bool chargingEnabled() const;
    // State "pluggedIn"; true when the charger cannot tell.
    bool pluggedIn() const;
    // State "charging"; without it: enabled and plugged in.
    bool charging() const;
    // State "connected" for "connectable" classes, otherwise always true.
    bool available() const;
    // The class implements "smartmeterconsumer".
    bool hasPowerMeter() const;

    // A, the present limit.
    double maxChargingCurrent() const;
    // A, the live bounds of the state (the charger may narrow them).
    uint maxChargingCurrentMinValue() const;
    uint maxChargingCurrentMaxValue() const;
    // A, the step of the class's state type (0 = any value).
    double maxChargingCurrentStepSize() const;

    // Phases in use; 1 without a "phaseCount" state, a reported 0 becomes 1.
    uint phaseCount() const;
    // The charger has a "desiredPhaseCount" state.
    bool canSetPhaseCount() const;
    // The phase count nearest to phaseCount that the "desiredPhaseCount"
    // state allows: the smallest allowed one not below it, else the largest
    // allowed; phaseCount itself when the state lists no values. A two-phase
    // car on a 1/3 charger is charged with 3 and draws on two.
    int supportedPhaseCount(int phaseCount) const;
    // Phases on which current flows; empty whenever "currentPower" is absent
    // or exactly 0 W.
    Electricity::Phases meteredPhases() const;
    // W; measured when the class has "currentPower", otherwise estimated
    // from the current limit at 230 V per phase.
    double currentPower() const;

    // Seconds.
    uint chargingEnabledLockDuration() const;
    void setChargingEnabledLockDuration(uint seconds);
    uint chargingCurrentLockDuration() const;
    void setChargingCurrentLockDuration(uint seconds);

    bool chargingEnabledLocked() const;
    // Seconds left of the charging-enabled lock, -1 when not locked.
    int remainingChargingEnabledLockDuration() const;
    // True while fewer than chargingCurrentLockDuration seconds have passed
    // since the last successful change of the current.
    bool chargingCurrentLocked(const QDateTime &now) const;
    bool chargeRefusalLatched() const;

    // The three commands below send nothing (and return null) when the
    // charger already reports the value and no command for that state is on
    // its way: a rate-limited charger is spared repeats, while a command the
    // charger refused or ignored leaves the old value reported and goes out
    // again next time.

    // The charger reports enabled and no switch is on its way:
    // setChargingEnabled(enabled) would send nothing.
    bool holdsChargingEnabled(bool enabled) const { return chargingEnabled() == enabled && m_pendingSwitches == 0; }
    // Sends "power". Refused while locked unless forced or unchanged. A
    // successful change starts the lock at now when applyLock is set, and
    // clears it otherwise.
    ThingActionInfo *setChargingEnabled(bool enabled, const QDateTime &now, bool force, bool applyLock);
    // Sends "maxChargingCurrent" clamped to the class's declared bounds (A).
    // Refused while the current lock holds unless forced. Only a successful
    // change of the value starts the current lock.
    ThingActionInfo *setMaxChargingCurrent(double current, const QDateTime &now, bool force);
    // Sends "desiredPhaseCount"; no lock. Restarts the refusal window: the
    // switch pauses the charge.
    ThingActionInfo *setDesiredPhaseCount(int phaseCount);

    // Releases the lock once more than the duration has passed since the
    // last locking switch (at exactly the duration it still holds).
    void evaluateChargingEnabledLock(const QDateTime &now);
    void resetChargingEnabledLock();
    // When the on/off lock started (the last locking switch); invalid when
    // there was none. A restart hands it to restoreChargingEnabledLock, so
    // the charger is not switched again before the lock has run out.
    QDateTime chargingEnabledLockStart() const { return m_lastChargingEnabledChange; }
    void restoreChargingEnabledLock(const QDateTime &lockStart, const QDateTime &now);
    // Clears both locks and the refusal latch.
    void resetLocks();
    // Called once per cycle; latches after chargingEnabledLockDuration seconds
    // of 0 W while enabled and plugged in (only with a power meter).
    void evaluateChargeRefusal(const QDateTime &now);

signals:
    void chargingEnabledLockedChanged(bool locked);
    void remainingChargingEnabledLockDurationChanged(int seconds);

private:
    // The ids of the states read every cycle; null when the class lacks one.
    struct StateIds {
        StateTypeId power;
        StateTypeId pluggedIn;
        StateTypeId charging;
        StateTypeId connected;
        StateTypeId maxChargingCurrent;
        StateTypeId phaseCount;
        StateTypeId desiredPhaseCount;
        StateTypeId currentPower;
        StateTypeId currentPhase[3];
        StateTypeId currentPowerPhase[3];
    };

    QVariant stateValue(const StateTypeId &stateTypeId) const;
    ThingActionInfo *executeStateAction(const StateTypeId &stateTypeId, const QVariant &value);
    void setRemainingChargingEnabledLockDuration(int seconds);
    // The lock starts keep their instants (ms since the epoch): the cycle
    // checks the locks of every charger, and each conversion of a local
    // date-time costs a call into the C library's time-zone code.
    void setLastChargingEnabledChange(const QDateTime &dateTime);
    void setLastChargingCurrentChange(const QDateTime &dateTime);
    static qint64 secondsSince(qint64 sinceMSecs, const QDateTime &now);

    ThingManager *m_thingManager = nullptr;
    Thing *m_thing = nullptr;
    StateIds m_ids;
    // The class's "maxChargingCurrent" state type: declared bounds and step.
    StateType m_maxChargingCurrentType;
    bool m_connectable = false;
    bool m_hasPowerMeter = false;

    QTimer m_chargingEnabledLockTimer;
    bool m_chargingEnabledLocked = false;
    uint m_chargingEnabledLockDuration = 300;
    int m_remainingChargingEnabledLockDuration = -1;
    uint m_chargingCurrentLockDuration = 10;
    QDateTime m_lastChargingEnabledChange;
    QDateTime m_lastChargingCurrentChange;
    qint64 m_lastChargingEnabledChangeMSecs = 0;
    qint64 m_lastChargingCurrentChangeMSecs = 0;
    QDateTime m_chargeRefusalSince;
    bool m_chargeRefusalLatched = false;
    // A locking on/off switch sent but not finished yet, and its value.
    bool m_pendingLockingSwitch = false;
    bool m_pendingChargingEnabled = false;
    // Switches and phase changes sent but not finished yet.
    int m_pendingSwitches = 0;
    int m_pendingPhaseChanges = 0;
    // A current change (A) sent but not finished yet: it starts the current
    // lock only when it finishes, so it holds the lock while in flight.
    int m_pendingCurrentChanges = 0;
    double m_pendingChargingCurrent = 0;
};

#endif // EVCHARGERAC_H
