#include "commandeddraws.h"

#include <cmath>

void CommandedDraws::record(const ThingId &chargerId, Electricity::Phases phases, double amperes, const QDateTime &at)
{
    if (!std::isfinite(amperes)) {
        forget(chargerId);
        return;
    }
    Draw &draw = m_draws[chargerId];
    draw.at = at;
    draw.phases = phases == Electricity::PhaseNone ? Electricity::Phases(Electricity::PhaseAll) : phases;
    draw.amperes = amperes;
}

void CommandedDraws::lower(const ThingId &chargerId, double amperes)
{
    const auto it = m_draws.find(chargerId);
    if (it != m_draws.end() && it->amperes > amperes)
        it->amperes = amperes;
}

void CommandedDraws::expire(const QDateTime &now)
{
    for (auto it = m_draws.begin(); it != m_draws.end();) {
        // A clock set back makes a command look younger; it still expires.
        const qint64 age = it->at.secsTo(now);
        if (age >= settleSeconds || age < 0)
            it = m_draws.erase(it);
        else
            ++it;
    }
}

double CommandedDraws::pending(const ThingId &chargerId, double presentAmperes) const
{
    const auto it = m_draws.constFind(chargerId);
    if (it == m_draws.constEnd())
        return 0;
    return qMax(0.0, it->amperes - presentAmperes);
}
