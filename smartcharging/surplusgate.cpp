#include "surplusgate.h"

bool SurplusGate::lasted(const QDateTime &since, const QDateTime &now, uint seconds)
{
    return since.isValid() && since <= now && since.secsTo(now) >= static_cast<qint64>(seconds);
}

uint SurplusGate::phaseCount(uint best, uint present, bool running, const QDateTime &now, const Delays &delays)
{
    if (!running || present == 0) {
        m_candidate = 0;
        m_candidateSince = QDateTime();
        return best;
    }
    if (best == present) {
        m_candidate = 0;
        m_candidateSince = QDateTime();
        return present;
    }
    if (m_candidate != best) {
        m_candidate = best;
        m_candidateSince = now;
    }
    const uint delay = best > present ? delays.phaseUp : delays.phaseDown;
    const bool held = !m_lastSwitch.isValid() || lasted(m_lastSwitch, now, delays.phaseHold);
    if (!lasted(m_candidateSince, now, delay) || !held)
        return present;

    m_lastSwitch = now;
    m_candidate = 0;
    m_candidateSince = QDateTime();
    return best;
}

bool SurplusGate::chargingEnabled(bool covered, bool running, const QDateTime &now, const Delays &delays)
{
    if (running) {
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
