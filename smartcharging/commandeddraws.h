#ifndef COMMANDEDDRAWS_H
#define COMMANDEDDRAWS_H

#include "tavro/electricity.h"
#include "tavro/typeutils.h"

#include <QDateTime>
#include <QHash>

// What the chargers were told to draw in the last minute and may not show at
// the root meter yet: a car ramps up over seconds, and a second cycle (a car
// plugged in, a setting changed) may run before the meter reads again. Every
// headroom measured from the meter counts these draws, so that two cycles in
// one minute never hand out the same amperes.
class CommandedDraws
{
public:
    // s after a command in which its draw may still be missing at the meter.
    static constexpr qint64 settleSeconds = 60;

    struct Draw {
        QDateTime at;
        Electricity::Phases phases = Electricity::PhaseAll;
        double amperes = 0; // A per phase the charger was told to draw
    };

    // A command raising the charger's draw to amperes (A per phase) on the
    // phases; 0 or less forgets the charger (a lower draw shows at once).
    void record(const ThingId &chargerId, Electricity::Phases phases, double amperes, const QDateTime &at);
    void forget(const ThingId &chargerId) { m_draws.remove(chargerId); }
    // Drops every draw commanded settleSeconds or more before now.
    void expire(const QDateTime &now);

    // A per phase still missing at the meter: the command less what the
    // charger draws now (presentAmperes, A per phase), never below 0; 0
    // without a recent command.
    double pending(const ThingId &chargerId, double presentAmperes) const;
    Electricity::Phases phases(const ThingId &chargerId) const { return m_draws.value(chargerId).phases; }
    const QHash<ThingId, Draw> &draws() const { return m_draws; }

private:
    QHash<ThingId, Draw> m_draws;
};

#endif // COMMANDEDDRAWS_H
