#ifndef SURPLUSGATE_H
#define SURPLUSGATE_H

#include <QDateTime>

// Keeps one charger's surplus charging calm under passing clouds: it decides
// when the charger starts, stops and switches between one and three phases
// by how long the surplus has called for it, not by the minute alone. On
// real chargers every phase switch interrupts the charge and every start or
// stop cycles contactors. Fed once per cycle with what the surplus calls for
// now.
class SurplusGate
{
public:
    // Seconds; 0 switches the rule off (the surplus of the minute decides).
    struct Delays {
        uint phaseUp = 0;   // the three-phase minimum covered this long before switching up
        uint phaseDown = 0; // short of it this long before switching down
        uint phaseHold = 0; // at least this long between two switches
        uint start = 0;     // the minimum covered this long before starting again after a stop
        uint stop = 0;      // short of it this long before stopping
    };

    // The phase count to charge on. best: what the surplus of this minute
    // calls for; present: what the charger charges on now; running: it
    // charges from the surplus now (otherwise a change costs nothing and
    // best is taken at once).
    uint phaseCount(uint best, uint present, bool running, const QDateTime &now, const Delays &delays);
    // Whether to charge. covered: the surplus of this minute covers the
    // minimum on some phase count; running as above.
    bool chargingEnabled(bool covered, bool running, const QDateTime &now, const Delays &delays);

private:
    static bool lasted(const QDateTime &since, const QDateTime &now, uint seconds);

    uint m_candidate = 0; // phase count the surplus calls for, other than the present one
    QDateTime m_candidateSince;
    QDateTime m_lastSwitch;
    QDateTime m_coveredSince; // while not running
    QDateTime m_shortSince;   // while running
    bool m_stopped = false;   // the gate has stopped the charger before: restarts wait
};

#endif // SURPLUSGATE_H
