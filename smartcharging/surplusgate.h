#ifndef SURPLUSGATE_H
#define SURPLUSGATE_H

#include <QDate>
#include <QDateTime>

// Keeps one charger's surplus charging calm under passing clouds without
// buying more from the grid than the owner allows: it decides when the
// charger starts, stops and switches between one and more phases by how
// long the surplus has called for it, not by the minute alone. On real
// chargers every phase switch interrupts the charge and every start or stop
// cycles contactors.
//
// The acquisition tolerance is the owner's word on how much of a surplus
// charge may come from the grid: the surplus must cover that share of the
// minimum, the rest may be bought. A dip below it is ridden out at the
// minimum only on the reserve: what the charge leaves of that allowance,
// at most the stop delay's worth of it on the fewest phases and no more
// than a dip without any surplus there spends in the stop delay (such a
// dip is ridden out for the stop delay at most). A charge
// starts with a full reserve. Once it is spent the charger drops to its
// fewest phases, or stops when it is on them. At most
// maxPhaseSwitchesPerDay phase switches a day.
// Fed once per cycle: first phaseCount(), then chargingEnabled().
class SurplusGate
{
public:
    static constexpr int maxPhaseSwitchesPerDay = 6;
    // Stops for lack of surplus a day the start delay alone governs; later
    // restarts wait longer.
    static constexpr int calmStopsPerDay = 3;

    // Seconds; 0 switches the rule off (the surplus of the minute decides).
    struct Delays {
        uint phaseUp = 0;   // the three-phase minimum covered this long before switching up
        uint phaseDown = 0; // short of it this long before switching down
        uint phaseHold = 0; // at least this long between two switches
        uint start = 0;     // the minimum covered this long before starting again after a stop
        uint stop = 0;      // a dip without surplus ridden out this long on the fewest phases
    };

    // What the surplus offers the charger in one cycle. Powers in W.
    struct Reading {
        // What the charger may take from the surplus: its own draw plus its
        // part of the export (negative while the household imports more).
        double surplusPower = 0;
        double phaseMinimum = 0; // its minimum current on one phase
        double tolerance = 1;    // share of the minimum the surplus must cover (0..1)
        // Share of the minimum the owner allows to come from elsewhere while
        // a dip is ridden out (0..1): 1 - the acquisition tolerance, also
        // where a home battery makes the surplus cover the whole minimum.
        double allowedShare = 0;
        // What the household imports with no managed car drawing (at least
        // 0); below 0 not known: the whole import counts against a dip, as
        // it does where the whole minimum may be bought.
        double houseImport = -1;
        // What it charges on now, from the surplus or another plan (0: not
        // charging); counts for the day's switches, and for the waits only
        // while running.
        uint presentPhases = 0;
        uint bestPhases = 1;   // what the surplus of this minute calls for
        uint fewestPhases = 1; // the fewest it can charge on (1 where it can switch)
        bool running = false;  // it charges from the surplus now (else the best count is taken at once)
        // It draws power now: not within a phase switch's pause, nor while
        // the car wakes up.
        bool drawing = true;
    };

    // Whether the surplus covers the tolerance's share of the minimum on phases.
    static bool covers(const Reading &reading, uint phases);
    // Whether a surplus (W) is ample for a charge at minimum (W): a cloud
    // that takes half of it still leaves the minimum covered. A restart on
    // it need not wait out the day's growing restart wait.
    static bool ample(double surplus, double minimum) { return minimum > 0 && surplus >= 2 * minimum; }
    // The reading phaseCount() was last given, if that was at now.
    bool hasReading(const QDateTime &now) const { return m_readingAt.isValid() && m_readingAt == now; }
    const Reading &reading() const { return m_reading; }

    // The phase count to charge on: up once the higher count's minimum has
    // been covered for the up delay, down once the present one has fallen
    // short for the down delay (both net of the minutes between), down to
    // the fewest at once when a dip has spent the reserve; never within the
    // hold time of the last switch, unless a dip sent it down and the sun
    // has been back on the higher count for a quarter of the up delay and
    // the charger draws again on the fewest.
    uint phaseCount(const Reading &reading, const QDateTime &now, const Delays &delays);
    // The phases a charger riding a dip out in a group charges on: its part
    // of the group's surplus may be less than phaseCount() saw. Where that
    // part no longer covers phases but covers its fewest, it goes on to them
    // as phaseCount() would (the dip has spent what it may spend on these,
    // a switch of the day is left) instead of stopping; else phases.
    uint dipPhaseCount(const Reading &reading, uint phases, const QDateTime &now, const Delays &delays);
    // Whether to charge on phases (the count phaseCount() or the share rounds
    // decided). Covered: yes. Short while charging: on at the minimum while
    // the reserve lasts, then off. Not charging: a first start is free, a
    // start after a stop waits for the start delay, and on a day of many
    // stops longer, unless the surplus is ample for the minimum on phases
    // and the charge before the stop ran steadily.
    bool chargingEnabled(const Reading &reading, uint phases, const QDateTime &now, const Delays &delays);
    // The same for a caller that knows only whether the surplus covers the
    // minimum (no reserve): a shortfall is bridged for the stop delay, which
    // starts again once the surplus covers. Ample: see ample(); a restart
    // on a day of many stops then waits only the start delay.
    bool chargingEnabled(bool covered, bool running, const QDateTime &now, const Delays &delays, bool ample = false);
    // Whether a charger not charging would start now on a surplus that
    // covers it (a restart may wait, see chargingEnabled()).
    bool startsNow(const QDateTime &now, const Delays &delays) const;
    // The charger was switched off to hand the surplus to another one, not
    // for lack of sun: a later start need not wait for the start delay.
    void handOver();
    // The charger was stopped for lack of surplus outside the gate (the home
    // battery went first): a later start waits as after the gate's own stop.
    void stoppedOutside(const QDateTime &now) { recordStop(now); }
    // The charger was stopped so that another rides a long dip out on one
    // reserve: a later start waits the start delay, but the stop is not the
    // charger's own and does not lengthen the day's restart waits.
    void yielded(const QDateTime &now);
    // The charger kept riding the dip stopped in the same cycle: nobody
    // rode it, so the last yield counts as a stop for lack of surplus.
    void yieldNotRidden();
    // The car was unplugged: the next charge starts afresh, only the day's
    // phase switches and the hold time are kept.
    void unplugged();

    // Wh beyond the tolerance the charger may still spend on riding out a dip.
    double reserve() const { return m_reserve; }
    // Wh a charge starts with and the sun fills back: the stop delay's worth
    // of the allowance, at most what a dip without surplus spends in that time.
    static double fullReserve(const Reading &reading, const Delays &delays);
    // Phase switches while charging on that local date, whoever ordered them.
    int phaseSwitchesOn(const QDate &date) const;
    // Stops for lack of surplus on that local date.
    int stopsOn(const QDate &date) const { return date == m_stopDay ? m_stopsToday : 0; }
    // Stops for another charger's ride (yielded()) on that local date.
    int yieldsOn(const QDate &date) const { return date == m_stopDay ? m_yieldsToday : 0; }

private:
    static bool lasted(const QDateTime &since, const QDateTime &now, uint seconds);
    // W the owner allows from elsewhere at the minimum on the fewest phases.
    static double allowancePerFewest(const Reading &reading);
    void recordSwitch(uint phases, const QDateTime &now);
    // A switch to the fewest phases a dip called for.
    void recordDipDrop(uint phases, const QDateTime &now, const Delays &delays);
    // Counts the switches of the day from what the charger charges on.
    void observePhases(uint present, const QDateTime &now);
    // The reserve once this cycle's reading is counted in.
    double reserveAfter(const Reading &reading, const QDateTime &now, const Delays &delays) const;
    // Which way the surplus calls the phases while running on present ones.
    struct PhaseWish {
        bool up = false;   // to m_upTarget
        bool down = false; // to downTarget
        uint downTarget = 0;
    };
    // Adds the seconds since the last reading to the pressure up or down
    // (net of the minutes the other way).
    PhaseWish updatePhasePressure(const Reading &reading, uint present, bool presentCovered, qint64 seconds);
    // A dip while running above the fewest phases: whether it has spent
    // enough of the reserve to go on to the fewest.
    bool dipGoesToFewest(const Reading &reading, const QDateTime &now, const Delays &delays) const;
    bool startWhenCovered(bool covered, const QDateTime &now, const Delays &delays, bool ample = false);
    // How long (s) a start after a stop for lack of surplus waits for the surplus.
    uint restartWait(const QDateTime &now, const Delays &delays, bool ample) const;
    void recordStop(const QDateTime &now);
    // Notes whether the charger charges from the surplus at now, for the
    // length of the run a stop ends.
    void observeRunning(bool running, const QDateTime &now);

    Reading m_reading;
    QDateTime m_readingAt;
    qint64 m_upPressure = 0; // s the surplus has called for m_upTarget phases, see phaseCount()
    uint m_upTarget = 0;
    qint64 m_downPressure = 0; // s, net, it has fallen short of the present phases
    QDateTime m_pressureAt;
    QDateTime m_lastSwitch;
    uint m_orderedPhases = 0;  // what the gate last switched to
    bool m_dipDrop = false;    // that switch was a dip's that may return soon
    QDateTime m_lastDipDrop;   // the last switch a dip called for
    uint m_observedPhases = 0; // what the charger charged on at the last cycle
    QDate m_switchDay;         // local date the counters below belong to
    int m_switchesToday = 0;
    QDateTime m_coveredSince; // while not running
    QDateTime m_shortSince;   // while running
    bool m_stopped = false;   // the gate has stopped the charger before: restarts wait
    QDateTime m_runningSince; // while running: when the charge began
    qint64 m_lastRun = 0;     // s the charge ended by the last stop had run
    QDate m_stopDay;          // local date of the stop count
    int m_stopsToday = 0;
    int m_yieldsToday = 0;
    double m_reserve = 0;  // Wh, see reserve()
    QDateTime m_reserveAt; // last update of the reserve
};

#endif // SURPLUSGATE_H
