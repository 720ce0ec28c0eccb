#include "evchargerac.h"

#include "common/tavroenergylogging.h"
#include "common/units.h"
#include "tavro/action.h"
#include "tavro/tavroclock.h"
#include "tavro/thing.h"
#include "tavro/thingactioninfo.h"
#include "tavro/thingmanager.h"

#include <limits>

namespace {
const char *const lockTimeFormat = "dd.MM.yyyy hh:mm:ss";
}

EvChargerAc::EvChargerAc(ThingManager *thingManager, Thing *thing)
    : QObject(thing),
      m_thingManager(thingManager),
      m_thing(thing)
{
    const ThingClass &thingClass = thing->thingClass();
    const StateTypes &stateTypes = thingClass.stateTypes();
    const auto idOf = [&stateTypes](const char *name) { return stateTypes.findByName(QLatin1String(name)).id(); };
    m_ids.power = idOf("power");
    m_ids.pluggedIn = idOf("pluggedIn");
    m_ids.charging = idOf("charging");
    m_ids.connected = idOf("connected");
    m_ids.maxChargingCurrent = idOf("maxChargingCurrent");
    m_ids.phaseCount = idOf("phaseCount");
    m_ids.desiredPhaseCount = idOf("desiredPhaseCount");
    m_ids.currentPower = idOf("currentPower");
    const char *const currentNames[] = {"currentPhaseA", "currentPhaseB", "currentPhaseC"};
    const char *const powerNames[] = {"currentPowerPhaseA", "currentPowerPhaseB", "currentPowerPhaseC"};
    for (int i = 0; i < 3; i++) {
        m_ids.currentPhase[i] = idOf(currentNames[i]);
        m_ids.currentPowerPhase[i] = idOf(powerNames[i]);
    }
    m_maxChargingCurrentType = stateTypes.findByName(QStringLiteral("maxChargingCurrent"));
    m_connectable = thingClass.interfaces().contains(QStringLiteral("connectable"));
    m_hasPowerMeter = thingClass.interfaces().contains(QStringLiteral("smartmeterconsumer"));

    m_chargingEnabledLockTimer.setInterval(1000);
    m_chargingEnabledLockTimer.setSingleShot(true);
    // Counts the lock down once a second on the host's clock; rearms itself
    // for as long as the lock holds.
    connect(&m_chargingEnabledLockTimer, &QTimer::timeout, this, [this]() {
        evaluateChargingEnabledLock(TavroClock::currentDateTime());
        if (m_chargingEnabledLocked)
            m_chargingEnabledLockTimer.start();
    });
}

ThingId EvChargerAc::id() const
{
    return m_thing->id();
}

Thing *EvChargerAc::thing() const
{
    return m_thing;
}

QString EvChargerAc::name() const
{
    return m_thing->name();
}

bool EvChargerAc::chargingEnabled() const
{
    return stateValue(m_ids.power).toBool();
}

bool EvChargerAc::pluggedIn() const
{
    if (m_ids.pluggedIn.isNull())
        return true;
    return stateValue(m_ids.pluggedIn).toBool();
}

bool EvChargerAc::charging() const
{
    if (!m_ids.charging.isNull())
        return stateValue(m_ids.charging).toBool();
    return chargingEnabled() && pluggedIn();
}

bool EvChargerAc::available() const
{
    if (!m_connectable)
        return true;
    return stateValue(m_ids.connected).toBool();
}

bool EvChargerAc::hasPowerMeter() const
{
    return m_hasPowerMeter;
}

double EvChargerAc::maxChargingCurrent() const
{
    return stateValue(m_ids.maxChargingCurrent).toDouble();
}

uint EvChargerAc::maxChargingCurrentMinValue() const
{
    return m_thing->state(m_ids.maxChargingCurrent).minValue().toUInt();
}

uint EvChargerAc::maxChargingCurrentMaxValue() const
{
    return m_thing->state(m_ids.maxChargingCurrent).maxValue().toUInt();
}

double EvChargerAc::maxChargingCurrentStepSize() const
{
    return m_maxChargingCurrentType.stepSize();
}

uint EvChargerAc::phaseCount() const
{
    if (m_ids.phaseCount.isNull())
        return 1;
    const uint phaseCount = stateValue(m_ids.phaseCount).toUInt();
    if (phaseCount == 0) {
        qCWarning(dcTavroEnergy()) << "EV charger reports 0 phases... That can't be right... Adjusting to 1.";
        return 1;
    }
    return phaseCount;
}

bool EvChargerAc::canSetPhaseCount() const
{
    return !m_ids.desiredPhaseCount.isNull();
}

int EvChargerAc::supportedPhaseCount(int phaseCount) const
{
    if (!canSetPhaseCount())
        return phaseCount;
    const QVariantList allowed = m_thing->state(m_ids.desiredPhaseCount).possibleValues();
    int atLeast = -1;
    int largest = -1;
    for (const QVariant &value : allowed) {
        bool ok = false;
        const int count = value.toInt(&ok);
        if (!ok)
            continue;
        largest = qMax(largest, count);
        if (count >= phaseCount && (atLeast < 0 || count < atLeast))
            atLeast = count;
    }
    if (atLeast >= 0)
        return atLeast;
    return largest >= 0 ? largest : phaseCount;
}

Electricity::Phases EvChargerAc::meteredPhases() const
{
    Electricity::Phases phases = Electricity::PhaseNone;
    if (m_ids.currentPower.isNull() || stateValue(m_ids.currentPower).toDouble() == 0.0)
        return phases;

    const Electricity::Phase phaseFlags[] = {Electricity::PhaseA, Electricity::PhaseB, Electricity::PhaseC};
    for (int i = 0; i < 3; i++) {
        // The current decides when the charger reports it; the power per
        // phase only stands in for it. Any non-zero value counts, negative
        // ones included.
        bool inUse = false;
        if (!m_ids.currentPhase[i].isNull())
            inUse = stateValue(m_ids.currentPhase[i]).toDouble() != 0.0;
        else if (!m_ids.currentPowerPhase[i].isNull())
            inUse = stateValue(m_ids.currentPowerPhase[i]).toDouble() != 0.0;
        if (inUse)
            phases |= phaseFlags[i];
    }
    return phases;
}

double EvChargerAc::currentPower() const
{
    if (!m_ids.currentPower.isNull())
        return stateValue(m_ids.currentPower).toDouble();

    const bool drawing =
            !m_ids.charging.isNull() ? stateValue(m_ids.charging).toBool() : stateValue(m_ids.power).toBool();
    if (!drawing)
        return 0.0;
    return maxChargingCurrent() * Units::phaseVoltage * phaseCount();
}

uint EvChargerAc::chargingEnabledLockDuration() const
{
    return m_chargingEnabledLockDuration;
}

void EvChargerAc::setChargingEnabledLockDuration(uint seconds)
{
    m_chargingEnabledLockDuration = seconds;
}

uint EvChargerAc::chargingCurrentLockDuration() const
{
    return m_chargingCurrentLockDuration;
}

void EvChargerAc::setChargingCurrentLockDuration(uint seconds)
{
    m_chargingCurrentLockDuration = seconds;
}

bool EvChargerAc::chargingEnabledLocked() const
{
    return m_chargingEnabledLocked;
}

int EvChargerAc::remainingChargingEnabledLockDuration() const
{
    return m_remainingChargingEnabledLockDuration;
}

bool EvChargerAc::chargingCurrentLocked(const QDateTime &now) const
{
    return m_lastChargingCurrentChange.isValid()
           && secondsSince(m_lastChargingCurrentChangeMSecs, now) < static_cast<qint64>(m_chargingCurrentLockDuration);
}

bool EvChargerAc::chargeRefusalLatched() const
{
    return m_chargeRefusalLatched;
}

ThingActionInfo *EvChargerAc::setChargingEnabled(bool enabled, const QDateTime &now, bool force, bool applyLock)
{
    const bool changing = chargingEnabled() != enabled;
    evaluateChargingEnabledLock(now);
    // The charger's state changes only when an action has finished, so a
    // locking switch still on its way counts as the lock: otherwise an
    // opposite command in the same cycle (overload protection switching
    // off, then the plan switching on again) would undo it before the lock
    // starts.
    const bool undoesPendingSwitch = m_pendingLockingSwitch && m_pendingChargingEnabled != enabled;
    if (!force && ((changing && m_chargingEnabledLocked) || undoesPendingSwitch)) {
        qCDebug(dcTavroEnergy()) << "Charging enabled is locked since" << m_lastChargingEnabledChange.secsTo(now)
                                 << "seconds. Lock duration is" << m_chargingEnabledLockDuration << "seconds."
                                 << "Last action:" << m_lastChargingEnabledChange.toString(lockTimeFormat)
                                 << "now:" << now.toString(lockTimeFormat);
        return nullptr;
    }
    if (holdsChargingEnabled(enabled))
        return nullptr;

    ThingActionInfo *info = executeStateAction(m_ids.power, enabled);
    const bool locking = changing && applyLock;
    if (locking) {
        m_pendingLockingSwitch = true;
        m_pendingChargingEnabled = enabled;
    }
    m_pendingSwitches++;
    connect(info, &ThingActionInfo::finished, this, [this, info, changing, now, applyLock, locking]() {
        m_pendingSwitches--;
        if (locking)
            m_pendingLockingSwitch = false;
        // A failed switch, or one that sent the value the charger already
        // had, leaves the lock as it was.
        if (info->status() != Thing::ThingErrorNoError || !changing)
            return;
        if (!applyLock) {
            resetChargingEnabledLock();
            return;
        }
        // The lock counts from the time of the decision, not of the reply.
        setLastChargingEnabledChange(now);
        evaluateChargingEnabledLock(now);
    });
    return info;
}

ThingActionInfo *EvChargerAc::setMaxChargingCurrent(double current, const QDateTime &now, bool force)
{
    // The class's declared range, not the live one: the charger narrows the
    // live range itself. An unbounded side is left open.
    const StateType &stateType = m_maxChargingCurrentType;
    double value = current;
    if (stateType.minValue().isValid())
        value = qMax(value, stateType.minValue().toDouble());
    if (stateType.maxValue().isValid())
        value = qMin(value, stateType.maxValue().toDouble());

    if (!force && chargingCurrentLocked(now)) {
        qCDebug(dcTavroEnergy()) << "Adjust the charging current is locked since"
                                 << m_lastChargingCurrentChange.secsTo(now) << "seconds. Lock duration is"
                                 << m_chargingCurrentLockDuration << "seconds."
                                 << "Last action:" << m_lastChargingCurrentChange.toString(lockTimeFormat)
                                 << "now:" << now.toString(lockTimeFormat);
        return nullptr;
    }
    // The state changes only when the action has finished, and only then
    // the lock starts: without this, a reduction by the overload protection
    // would be overtaken by the plan's current in the same cycle and the
    // phase would stay over the limit. A lower current than the one on its
    // way takes the phase further from its limit: it goes out (the plan
    // following a cloud below what the overload protection cut to).
    if (!force && m_pendingCurrentChanges > 0 && !qFuzzyCompare(m_pendingChargingCurrent, value)
        && value > m_pendingChargingCurrent) {
        qCDebug(dcTavroEnergy()) << "Adjust the charging current is locked: a change to" << m_pendingChargingCurrent
                                 << "[A] is on its way.";
        return nullptr;
    }
    const bool changed = value != maxChargingCurrent();
    if (!changed && m_pendingCurrentChanges == 0)
        return nullptr;

    ThingActionInfo *info = executeStateAction(m_ids.maxChargingCurrent, value);
    if (changed) {
        m_pendingCurrentChanges++;
        m_pendingChargingCurrent = value;
    }
    connect(info, &ThingActionInfo::finished, this, [this, info, changed, now]() {
        if (changed)
            m_pendingCurrentChanges--;
        if (info->status() == Thing::ThingErrorNoError && changed)
            setLastChargingCurrentChange(now);
    });
    return info;
}

ThingActionInfo *EvChargerAc::setDesiredPhaseCount(int phaseCount)
{
    const bool changed = m_ids.desiredPhaseCount.isNull() || stateValue(m_ids.desiredPhaseCount).toInt() != phaseCount;
    if (!changed && m_pendingPhaseChanges == 0)
        return nullptr;
    ThingActionInfo *info = executeStateAction(m_ids.desiredPhaseCount, phaseCount);
    m_pendingPhaseChanges++;
    // A phase switch pauses the charge: the car has not refused what it
    // could not draw, so the refusal window starts again after it.
    m_chargeRefusalSince = QDateTime();
    connect(info, &ThingActionInfo::finished, this, [this]() { m_pendingPhaseChanges--; });
    return info;
}

void EvChargerAc::evaluateChargingEnabledLock(const QDateTime &now)
{
    if (!m_lastChargingEnabledChange.isValid()) {
        m_chargingEnabledLocked = false;
        return;
    }

    // Signed and wide: a clock that went backwards must not read as an
    // expired lock.
    const qint64 elapsed = secondsSince(m_lastChargingEnabledChangeMSecs, now);
    const qint64 duration = m_chargingEnabledLockDuration;
    const int remaining = static_cast<int>(qMin<qint64>(duration - elapsed, std::numeric_limits<int>::max()));

    if (m_chargingEnabledLocked) {
        if (duration < elapsed) {
            qCWarning(dcTavroEnergy()) << "EV charger" << name() << "power is now unlocked";
            setRemainingChargingEnabledLockDuration(-1);
            m_chargingEnabledLocked = false;
            emit chargingEnabledLockedChanged(false);
            m_chargingEnabledLockTimer.stop();
        } else {
            setRemainingChargingEnabledLockDuration(remaining);
        }
        return;
    }

    // The last switch is older than the lock.
    if (duration < elapsed)
        return;

    setRemainingChargingEnabledLockDuration(remaining);
    qCWarning(dcTavroEnergy()) << "EV charger" << name() << "power is now locked for" << m_chargingEnabledLockDuration
                               << "seconds";
    m_chargingEnabledLocked = true;
    emit chargingEnabledLockedChanged(true);
    m_chargingEnabledLockTimer.start();
}

void EvChargerAc::resetChargingEnabledLock()
{
    m_chargingEnabledLockTimer.stop();
    setLastChargingEnabledChange(QDateTime());
    const bool wasLocked = m_chargingEnabledLocked;
    const bool hadRemaining = m_remainingChargingEnabledLockDuration != -1;
    m_chargingEnabledLocked = false;
    m_remainingChargingEnabledLockDuration = -1;
    if (wasLocked)
        emit chargingEnabledLockedChanged(false);
    if (hadRemaining)
        emit remainingChargingEnabledLockDurationChanged(-1);
}

void EvChargerAc::restoreChargingEnabledLock(const QDateTime &lockStart, const QDateTime &now)
{
    // A start still to come would lock the charger for longer than the lock lasts.
    if (!lockStart.isValid() || lockStart > now || m_lastChargingEnabledChange.isValid())
        return;
    setLastChargingEnabledChange(lockStart);
    evaluateChargingEnabledLock(now);
    // Run out already: nothing to hold.
    if (!m_chargingEnabledLocked)
        setLastChargingEnabledChange(QDateTime());
}

void EvChargerAc::resetLocks()
{
    resetChargingEnabledLock();
    setLastChargingCurrentChange(QDateTime());
    m_chargeRefusalSince = QDateTime();
    m_chargeRefusalLatched = false;
}

void EvChargerAc::evaluateChargeRefusal(const QDateTime &now)
{
    // Without a meter 0 W means nothing.
    if (!hasPowerMeter())
        return;

    if (currentPower() > 0.0) {
        m_chargeRefusalSince = QDateTime();
        m_chargeRefusalLatched = false;
        return;
    }
    // Holds until power flows or the locks are reset.
    if (m_chargeRefusalLatched)
        return;

    if (!chargingEnabled() || !pluggedIn()) {
        m_chargeRefusalSince = QDateTime();
        return;
    }

    if (!m_chargeRefusalSince.isValid() || m_chargeRefusalSince > now)
        m_chargeRefusalSince = now;
    // The refusal window borrows the on/off lock's duration.
    if (m_chargeRefusalSince.secsTo(now) >= static_cast<qint64>(m_chargingEnabledLockDuration))
        m_chargeRefusalLatched = true;
}

void EvChargerAc::setLastChargingEnabledChange(const QDateTime &dateTime)
{
    m_lastChargingEnabledChange = dateTime;
    m_lastChargingEnabledChangeMSecs = dateTime.isValid() ? dateTime.toMSecsSinceEpoch() : 0;
}

void EvChargerAc::setLastChargingCurrentChange(const QDateTime &dateTime)
{
    m_lastChargingCurrentChange = dateTime;
    m_lastChargingCurrentChangeMSecs = dateTime.isValid() ? dateTime.toMSecsSinceEpoch() : 0;
}

qint64 EvChargerAc::secondsSince(qint64 sinceMSecs, const QDateTime &now)
{
    // As QDateTime::secsTo: 0 from an invalid time (the callers check the start).
    return now.isValid() ? (now.toMSecsSinceEpoch() - sinceMSecs) / 1000 : 0;
}

QVariant EvChargerAc::stateValue(const StateTypeId &stateTypeId) const
{
    return m_thing->stateValue(stateTypeId);
}

ThingActionInfo *EvChargerAc::executeStateAction(const StateTypeId &stateTypeId, const QVariant &value)
{
    // The action writing a state shares the state type's id, and so does its
    // one parameter. Origin 1 keeps the manager from taking it for user input.
    Action action(stateTypeId, m_thing->id(), Action::TriggeredByRule);
    action.setParams(ParamList({Param(stateTypeId, value)}));
    return m_thingManager->executeAction(action);
}

void EvChargerAc::setRemainingChargingEnabledLockDuration(int seconds)
{
    if (m_remainingChargingEnabledLockDuration == seconds)
        return;
    m_remainingChargingEnabledLockDuration = seconds;
    emit remainingChargingEnabledLockDurationChanged(seconds);
}
