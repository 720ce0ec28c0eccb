#include "surplusgate.h"

#include <QtGlobal>

namespace {
// Longest gap (s) between two cycles the reserve and the switch waits
// count; a longer one (a restart, a clock change) adds no more.
const qint64 maxStep = 120;
// Every stop a day beyond calmStopsPerDay makes the next restart wait this
// much longer (s).
const qint64 restartWaitPerStop = 600;
// Share of the up delay the sun must be back after a dip sent the charger
// to its fewest phases before it goes up again within the hold time.
const qint64 dipReturnDivisor = 4;
}

bool SurplusGate::lasted(const QDateTime &since, const QDateTime &now, uint seconds)
{
    return since.isValid() && since <= now && since.secsTo(now) >= static_cast<qint64>(seconds);
}

bool SurplusGate::covers(const Reading &reading, uint phases)
{
    return reading.surplusPower >= qBound(0.0, reading.tolerance, 1.0) * reading.phaseMinimum * qMax(1u, phases);
}

double SurplusGate::fullReserve(const Reading &reading, const Delays &delays)
{
    // The stop delay's worth of the allowance, but no more than a dip
    // without any surplus spends beyond it in the stop delay: at a low
    // tolerance the allowance is large and spent slowly, and would ride a
    // whole cloud out on the grid. Where the whole minimum may be bought
    // such a dip spends nothing; the allowance alone bounds it.
    const double allowed = qBound(0.0, reading.allowedShare, 1.0);
    const double beyond = 1.0 - allowed;
    const double share = beyond > 0 ? qMin(allowed, beyond) : allowed;
    return share * reading.phaseMinimum * qMax(1u, reading.fewestPhases) * delays.stop / 3600.0;
}

double SurplusGate::allowancePerFewest(const Reading &reading)
{
    return qBound(0.0, reading.allowedShare, 1.0) * reading.phaseMinimum * qMax(1u, reading.fewestPhases);
}

int SurplusGate::phaseSwitchesOn(const QDate &date) const
{
    return date == m_switchDay ? m_switchesToday : 0;
}

void SurplusGate::recordSwitch(uint phases, const QDateTime &now)
{
    m_lastSwitch = now;
    m_orderedPhases = phases;
    m_upPressure = m_downPressure = 0;
    m_dipDrop = false;
}

void SurplusGate::recordDipDrop(uint phases, const QDateTime &now, const Delays &delays)
{
    // Only a dip after a steady spell returns soon: a second one within
    // twice the hold time shows clouds that come back, which the hold
    // rides out on the fewest phases without spending more switches.
    const bool steady = !m_lastDipDrop.isValid() || lasted(m_lastDipDrop, now, 2 * delays.phaseHold);
    recordSwitch(phases, now);
    m_dipDrop = steady;
    m_lastDipDrop = now;
}

void SurplusGate::observePhases(uint present, const QDateTime &now)
{
    if (now.date() != m_switchDay) {
        m_switchDay = now.date();
        m_switchesToday = 0;
    }
    // Every switch while charging counts for the day, whoever ordered it;
    // one the gate did not order starts the hold time too.
    if (present > 0 && m_observedPhases > 0 && present != m_observedPhases) {
        m_switchesToday++;
        if (present != m_orderedPhases)
            recordSwitch(present, now);
    }
    m_observedPhases = present;
}

uint SurplusGate::phaseCount(const Reading &reading, const QDateTime &now, const Delays &delays)
{
    m_reading = reading;
    m_readingAt = now;
    const qint64 seconds = m_pressureAt.isValid() && m_pressureAt <= now ? qMin(m_pressureAt.secsTo(now), maxStep) : 0;
    m_pressureAt = now;
    const uint present = reading.presentPhases;
    observePhases(present, now);
    // Taking over from another plan (or starting) the surplus chooses at
    // once; the switch still counts for the day.
    if (present == 0 || !reading.running) {
        m_upPressure = m_downPressure = 0;
        m_dipDrop = false;
        return reading.bestPhases;
    }

    const int switchesLeft = maxPhaseSwitchesPerDay - phaseSwitchesOn(now.date());
    const bool withinHold = m_lastSwitch.isValid() && !lasted(m_lastSwitch, now, delays.phaseHold);
    // A dip that sent the charger to its fewest phases may have been one
    // minute of cloud: the sun back on the higher count's whole minimum for
    // a part of the up delay takes it back up within the hold time, while
    // a switch of the day is left for the next dip. Held there for the
    // hold time, one short dip would cost a quarter hour of sun. Not within
    // the pause of the switch down: a charger that draws nothing through
    // two pauses in a row looks like a car that refuses the charge.
    const bool dipReturn = m_dipDrop && withinHold && switchesLeft >= 2 && reading.drawing;
    const bool held = !withinHold || dipReturn;
    const bool presentCovered = covers(reading, present);
    const PhaseWish wish = updatePhasePressure(reading, present, presentCovered, seconds);

    // Within the pause of a switch the charger buys nothing: a dip is
    // judged once it draws again, not answered with a second pause.
    if (reading.running && present > reading.fewestPhases && !presentCovered && switchesLeft >= 1
        && (reading.drawing || !withinHold) && dipGoesToFewest(reading, now, delays)) {
        recordDipDrop(reading.fewestPhases, now, delays);
        return reading.fewestPhases;
    }

    if (!held || switchesLeft < 1)
        return present;
    // Up with a switch of the day left for the way back down: a day of
    // clouds ends on the fewest phases, not riding dips out on more. The
    // last switch goes up only once the surplus has covered the higher
    // count three times as long: a steady afternoon is not spent on one
    // phase for a switch kept for a cloud that may not come.
    const qint64 upWait = dipReturn ? delays.phaseUp / dipReturnDivisor
                                    : static_cast<qint64>(delays.phaseUp) * (switchesLeft >= 2 ? 1 : 3);
    if (wish.up && m_upPressure >= upWait) {
        recordSwitch(m_upTarget, now);
        return m_upTarget;
    }
    // Down with a switch of the day left for the way back up, or with the
    // last one once the surplus has stayed short three times as long.
    const qint64 downWait = delays.phaseDown;
    if (wish.down && m_downPressure >= downWait) {
        recordSwitch(wish.downTarget, now);
        return wish.downTarget;
    }
    return present;
}

uint SurplusGate::dipPhaseCount(const Reading &reading, uint phases, const QDateTime &now, const Delays &delays)
{
    if (!reading.running || phases <= reading.fewestPhases || covers(reading, phases)
        || !covers(reading, reading.fewestPhases) || phaseSwitchesOn(now.date()) >= maxPhaseSwitchesPerDay)
        return phases;
    Reading riding = reading;
    riding.presentPhases = phases;
    if (!dipGoesToFewest(riding, now, delays))
        return phases;
    recordDipDrop(reading.fewestPhases, now, delays);
    return reading.fewestPhases;
}

SurplusGate::PhaseWish SurplusGate::updatePhasePressure(const Reading &reading, uint present, bool presentCovered,
                                                        qint64 seconds)
{
    const uint best = reading.bestPhases;
    PhaseWish wish;
    // Up once the surplus has covered the higher count's whole minimum for
    // the up delay, net of the minutes it covered it only within the
    // tolerance; a minute that does not cover it at all breaks the wait.
    wish.up = best > present && reading.surplusPower >= reading.phaseMinimum * best;
    if (wish.up) {
        m_upPressure += seconds;
        m_upTarget = best;
    } else if (m_upPressure > 0 && covers(reading, m_upTarget)) {
        m_upPressure = qMax<qint64>(0, m_upPressure - seconds);
    } else {
        m_upPressure = 0;
    }
    // Down once the surplus has fallen short of the present minimum for the
    // down delay, net of the minutes it covered it in between: a brief
    // sunny gap does not start the wait again. Minutes that cover it within
    // the tolerance buy no more than the owner allows: they count half.
    wish.down = present > reading.fewestPhases && (best < present || !presentCovered);
    wish.downTarget = best < present ? best : reading.fewestPhases;
    if (wish.down)
        m_downPressure += presentCovered ? seconds / 2 : seconds;
    else
        m_downPressure = qMax<qint64>(0, m_downPressure - seconds);
    return wish;
}

bool SurplusGate::dipGoesToFewest(const Reading &reading, const QDateTime &now, const Delays &delays) const
{
    // A dip. One the fewest phases cover within the tolerance is ridden
    // out on these phases while the reserve lasts, then on the fewest
    // rather than off. A deeper one goes on to the fewest, where the
    // minimum buys least, once it has taken half of the reserve: a short
    // cloud does not cost a switch, a long one is ridden out longer.
    // Either keeps a switch of the day for the way back.
    const double reserve = reserveAfter(reading, now, delays);
    const bool shallow = covers(reading, reading.fewestPhases);
    return shallow ? reserve <= 0 : reserve <= fullReserve(reading, delays) / 2;
}

double SurplusGate::reserveAfter(const Reading &reading, const QDateTime &now, const Delays &delays) const
{
    // What the minimum on the present phases takes from the grid, and what
    // the owner allows of it. Where the owner bounds that share, beyond its
    // own minimum only what the household imports without the cars counts:
    // another car riding its dip at its minimum does not end this one's
    // ride sooner. Where the whole minimum may be bought, every import
    // beside it is what ends the ride.
    const double minimum = reading.phaseMinimum * qMax(1u, reading.presentPhases);
    const double allowed = qBound(0.0, reading.allowedShare, 1.0) * minimum;
    const double taken = qMax(0.0, minimum - reading.surplusPower);
    const bool bounded = allowed < minimum && reading.houseImport >= 0;
    const double used = bounded ? qMin(taken, minimum + reading.houseImport) : taken;
    qint64 seconds = 0;
    if (m_reserveAt.isValid() && m_reserveAt <= now)
        seconds = qMin(m_reserveAt.secsTo(now), maxStep);
    // It fills while the surplus covers the whole minimum, at the rate of
    // the allowance on the fewest phases and up to the stop delay's worth
    // of it: a brief sunny gap adds only what the owner allowed for it. A
    // minute within the tolerance neither fills nor spends it. The minute
    // that spends the last of it leaves no debt.
    const double change = used <= 0 ? allowancePerFewest(reading) : qMin(0.0, allowed - used);
    return qBound(0.0, m_reserve + change * seconds / 3600.0, fullReserve(reading, delays));
}

bool SurplusGate::chargingEnabled(const Reading &reading, uint phases, const QDateTime &now, const Delays &delays)
{
    const bool covered = covers(reading, phases);
    observeRunning(reading.running, now);
    if (!reading.running) {
        // A charge starts with one stop delay's worth of the allowance.
        m_reserve = fullReserve(reading, delays);
        m_reserveAt = QDateTime();
        // Ample counts only after a charge that ran at least two extra waits
        // before its stop: the clouds come seldom. After short runs they
        // come and go every few minutes however bright the gaps, and on the
        // minimum current each restart buys the next cloud from the grid.
        const bool steadyBefore = m_lastRun >= 2 * restartWaitPerStop;
        return startWhenCovered(covered, now, delays,
                                steadyBefore && ample(reading.surplusPower, reading.phaseMinimum * qMax(1u, phases)));
    }
    m_reserve = reserveAfter(reading, now, delays);
    m_reserveAt = now;
    m_coveredSince = QDateTime();
    if (covered) {
        m_shortSince = QDateTime();
        return true;
    }
    if (!m_shortSince.isValid() || m_shortSince > now)
        m_shortSince = now;
    // Charging on at the minimum bridges a dip while the reserve lasts.
    if (m_reserve > 0)
        return true;
    recordStop(now);
    return false;
}

bool SurplusGate::chargingEnabled(bool covered, bool running, const QDateTime &now, const Delays &delays, bool ample)
{
    if (!running)
        return startWhenCovered(covered, now, delays, ample && covered);
    m_coveredSince = QDateTime();
    if (covered) {
        m_shortSince = QDateTime();
        return true;
    }
    if (!m_shortSince.isValid() || m_shortSince > now)
        m_shortSince = now;
    // Charging on at the minimum bridges a short cloud.
    if (!lasted(m_shortSince, now, delays.stop))
        return true;
    recordStop(now);
    return false;
}

void SurplusGate::handOver()
{
    m_stopped = false;
    m_shortSince = QDateTime();
}

void SurplusGate::unplugged()
{
    SurplusGate fresh;
    fresh.m_lastSwitch = m_lastSwitch;
    fresh.m_switchDay = m_switchDay;
    fresh.m_switchesToday = m_switchesToday;
    fresh.m_stopDay = m_stopDay;
    fresh.m_stopsToday = m_stopsToday;
    fresh.m_yieldsToday = m_yieldsToday;
    *this = fresh;
}

bool SurplusGate::startWhenCovered(bool covered, const QDateTime &now, const Delays &delays, bool ample)
{
    m_shortSince = QDateTime();
    if (!covered) {
        m_coveredSince = QDateTime();
        return false;
    }
    if (!m_coveredSince.isValid() || m_coveredSince > now)
        m_coveredSince = now;
    return !m_stopped || lasted(m_coveredSince, now, restartWait(now, delays, ample));
}

uint SurplusGate::restartWait(const QDateTime &now, const Delays &delays, bool ample) const
{
    // A first start is free; a start after a stop for lack of surplus waits
    // until the surplus looks like it will stay, and on a day that has
    // stopped the charger often, longer with every further stop, unless the
    // surplus is ample.
    const int stops = ample ? 0 : stopsOn(now.date());
    const qint64 wait = delays.start + restartWaitPerStop * qMax(0, stops - calmStopsPerDay);
    return static_cast<uint>(qMin<qint64>(wait, 86400));
}

bool SurplusGate::startsNow(const QDateTime &now, const Delays &delays) const
{
    const QDateTime since = m_coveredSince.isValid() && m_coveredSince <= now ? m_coveredSince : now;
    return !m_stopped || lasted(since, now, restartWait(now, delays, false));
}

void SurplusGate::observeRunning(bool running, const QDateTime &now)
{
    if (!running)
        m_runningSince = QDateTime();
    else if (!m_runningSince.isValid() || m_runningSince > now)
        m_runningSince = now;
}

void SurplusGate::recordStop(const QDateTime &now)
{
    m_lastRun = m_runningSince.isValid() && m_runningSince <= now ? m_runningSince.secsTo(now) : 0;
    m_runningSince = QDateTime();
    m_stopped = true;
    if (now.date() != m_stopDay) {
        m_stopDay = now.date();
        m_stopsToday = m_yieldsToday = 0;
    }
    m_stopsToday++;
}

void SurplusGate::yielded(const QDateTime &now)
{
    recordStop(now);
    m_stopsToday--;
    m_yieldsToday++;
}

void SurplusGate::yieldNotRidden()
{
    if (m_yieldsToday <= 0)
        return;
    m_yieldsToday--;
    m_stopsToday++;
}
