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
        // A per phase the charger was told to draw; below 0 a DC car told
        // to feed in (a discharge cut or ended: what it stops feeding in is
        // load at the meter as much as a charge raised).
        double amperes = 0;
    };

    // A command raising the charger's draw to amperes (A per phase) on the
    // phases.
    void record(const ThingId &chargerId, Electricity::Phases phases, double amperes, const QDateTime &at);
    // A command lowering the draw to amperes: a recorded draw above it comes
    // down to it and keeps its time (the rest of the raise may still be
    // missing at the meter); none is recorded (a lower draw shows at once).
    void lower(const ThingId &chargerId, double amperes);
    void forget(const ThingId &chargerId) { m_draws.remove(chargerId); }
    // Drops every draw commanded settleSeconds or more before now.
    void expire(const QDateTime &now);

    // A per phase still missing at the meter: the command less what the
    // charger draws now (presentAmperes, A per phase, below 0 while a DC car
    // feeds in), never below 0; 0 without a recent command.
    double pending(const ThingId &chargerId, double presentAmperes) const;
    Electricity::Phases phases(const ThingId &chargerId) const { return m_draws.value(chargerId).phases; }
    const QHash<ThingId, Draw> &draws() const { return m_draws; }

private:
    QHash<ThingId, Draw> m_draws;
};

#endif // COMMANDEDDRAWS_H
