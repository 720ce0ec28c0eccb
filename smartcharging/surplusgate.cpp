#include "surplusgate.h"

#include <QtGlobal>

namespace {
// Longest gap (s) between two cycles the reserve and the switch waits
// count; a longer one (a restart, a clock change) adds no more.
const qint64 maxStep = 120;
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
    return allowancePerFewest(reading) * delays.stop / 3600.0;
}

double SurplusGate::allowancePerFewest(const Reading &reading)
{
    return (1.0 - qBound(0.0, reading.tolerance, 1.0)) * reading.phaseMinimum * qMax(1u, reading.fewestPhases);
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
    if (present == 0) {
        m_upPressure = m_downPressure = 0;
        return reading.bestPhases;
    }

    const int switchesLeft = maxPhaseSwitchesPerDay - phaseSwitchesOn(now.date());
    const bool held = !m_lastSwitch.isValid() || lasted(m_lastSwitch, now, delays.phaseHold);
    if (reading.running && present > reading.fewestPhases && !covers(reading, present)) {
        // A dip: ridden out on these phases while the reserve lasts, then on
        // the fewest, where the minimum is smallest, instead of stopping
        // (keeping a switch of the day for the way back).
        if (!held || reserveAfter(reading, now, delays) > 0 || switchesLeft < 2)
            return present;
        recordSwitch(reading.fewestPhases, now);
        return reading.fewestPhases;
    }

    // Up once the surplus has covered the higher count's minimum for the
    // up delay, net of the minutes it covered it only within the
    // tolerance; a minute that does not cover it at all breaks the wait.
    const uint best = reading.bestPhases;
    const bool upWanted = best > present && covers(reading, best);
    if (upWanted) {
        m_upPressure += seconds;
        m_upTarget = best;
    } else if (m_upPressure > 0 && covers(reading, m_upTarget)) {
        m_upPressure = qMax<qint64>(0, m_upPressure - seconds);
    } else {
        m_upPressure = 0;
    }
    // Down once the surplus has fallen short of the present minimum for the
    // down delay, net of the minutes it covered it in between: a brief
    // sunny gap does not start the wait again.
    if (best < present)
        m_downPressure += seconds;
    else
        m_downPressure = qMax<qint64>(0, m_downPressure - seconds);

    if (!held || switchesLeft < 1)
        return present;
    if (upWanted && m_upPressure >= static_cast<qint64>(delays.phaseUp)) {
        recordSwitch(m_upTarget, now);
        return m_upTarget;
    }
    if (best < present && m_downPressure >= static_cast<qint64>(delays.phaseDown)) {
        recordSwitch(best, now);
        return best;
    }
    return present;
}

double SurplusGate::reserveAfter(const Reading &reading, const QDateTime &now, const Delays &delays) const
{
    const double tolerance = qBound(0.0, reading.tolerance, 1.0);
    // What the minimum on the present phases takes from the grid, and what
    // the owner allows of it.
    const double minimum = reading.phaseMinimum * qMax(1u, reading.presentPhases);
    const double allowed = (1.0 - tolerance) * minimum;
    const double used = qMax(0.0, minimum - reading.surplusPower);
    qint64 seconds = 0;
    if (m_reserveAt.isValid() && m_reserveAt <= now)
        seconds = qMin(m_reserveAt.secsTo(now), maxStep);
    // It fills with what the charge leaves of the allowance, at most at the
    // rate and up to the stop delay's worth of the allowance on the fewest
    // phases: a brief sunny gap adds only what the owner allowed for it.
    return qMin(fullReserve(reading, delays),
                m_reserve + qMin(allowancePerFewest(reading), allowed - used) * seconds / 3600.0);
}

bool SurplusGate::chargingEnabled(const Reading &reading, uint phases, const QDateTime &now, const Delays &delays)
{
    const bool covered = covers(reading, phases);
    if (!reading.running) {
        // A charge starts with one stop delay's worth of the allowance.
        m_reserve = fullReserve(reading, delays);
        m_reserveAt = QDateTime();
        return startWhenCovered(covered, now, delays);
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
    m_stopped = true;
    return false;
}

bool SurplusGate::chargingEnabled(bool covered, bool running, const QDateTime &now, const Delays &delays)
{
    if (!running)
        return startWhenCovered(covered, now, delays);
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
    m_stopped = true;
    return false;
}

void SurplusGate::handOver()
{
    m_stopped = false;
    m_shortSince = QDateTime();
}

bool SurplusGate::startWhenCovered(bool covered, const QDateTime &now, const Delays &delays)
{
    m_shortSince = QDateTime();
    if (!covered) {
        m_coveredSince = QDateTime();
        return false;
    }
    if (!m_coveredSince.isValid() || m_coveredSince > now)
        m_coveredSince = now;
    // A first start is free; a start after a stop for lack of surplus waits
    // until the surplus looks like it will stay.
    return !m_stopped || lasted(m_coveredSince, now, delays.start);
}
