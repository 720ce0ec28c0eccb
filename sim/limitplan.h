#ifndef LIMITPLAN_H
#define LIMITPLAN_H

#include "household.h"
#include "ownertimeline.h"

#include <QString>
#include <QVector>

#include <vector>

// The best any controller could do with perfect knowledge of a household
// run: a linear program over the whole run (COIN-OR CLP), per minute and
// car the energy from PV and from the grid, bounded by each car's and
// wallbox's current range and phases (one phase instead of three where the
// charger can switch), the per-phase fuse beside the house load (a home
// battery may cover up to its discharge power while its energy lasts), the
// PV the cars may take and the room up to full (or up to the target of a
// car that stops there, the highest the owner set while the car was plugged
// in). Minimum currents are relaxed and every loss is taken at its most
// favourable end.
//
// It is an upper bound by construction: every run it is compared with is
// one of its choices. The fuse of each minute and phase is widened to what
// those runs' chargers drew (a run's reaction minute over the fuse
// included; what the home battery's discharge power could explain of it
// counts against the battery's energy, at least what those runs needed of
// it), and the room of a bidirectional car grows by what a run took
// out of it (discharging is not in the program), so a run's own schedule
// always fits.
//
// plan(): the owner's deadlines first (as far as they can be met), then
// most PV energy into the cars, then energy for cars while in normal mode,
// then least grid cost. leastCost(): the cheapest way to give each car the
// energy another run gave it, meeting each deadline as far as that run did.
// Energies in kWh at the charger, costs in EUR, powers in W. The scenario,
// the records, the PV and the owner's timeline must outlive the object.
class LimitPlan
{
public:
    struct CarResult {
        double energy = 0;
        double pvEnergy = 0;
        double gridEnergy = 0;
        double cost = 0;
        double socAtTarget = -1;    // % at the scenario's target, -1 without one
        double finalSoc = 0;        // % at the end of the run
        bool reachable = true;      // its target met in the plan, with every other deadline
        bool reachableFirst = true; // its target can be met when the car goes first
    };
    // A deadline of the owner (OwnerTimeline::deadlines).
    struct DeadlineResult {
        int car = 0;
        int minute = 0;
        double percentage = 0;
        int session = -1;           // the plug-in it falls in (with the ones before it on a trip chain); -1 none
        double needed = 0;          // kWh at the charger from the chain's start to reach it
        double planned = 0;         // kWh the plan gives before it
        bool reachableFirst = true; // with the car going first
    };

    // pvAvailable: W the cars may take in each minute (pvAvailableToCars).
    LimitPlan(const Scenario &scenario, const QVector<MinuteRecord> &records, const QVector<double> &pvAvailable,
              const OwnerTimeline &owner);

    // A run the plan must allow: its chargers' draws widen the fuse, its
    // discharging widens the room. Call before plan().
    void allowRun(const QVector<MinuteRecord> &run);

    // False with errorString when the solver fails.
    bool plan(QString *errorString);
    const QVector<CarResult> &cars() const { return m_cars; }
    const QVector<DeadlineResult> &deadlines() const { return m_deadlines; }
    // Every deadline met together in the plan.
    bool allReachable() const;

    // kWh a run gave each deadline's car before it (its chain of plug-ins
    // up to it), in the order of deadlines().
    QVector<double> deadlineEnergy(const QVector<MinuteRecord> &run) const;

    // The least cost of giving each car at least energy[car] (kWh) within
    // its sessions and each deadline at least what run gave it (up to what
    // it needs), with the fuse and the room widened to run's draws and
    // discharging, so that run's own schedule is always possible. Per-car
    // costs in perCar (below 0 where prices are); false with errorString
    // when the solver fails.
    bool leastCost(const QVector<double> &energy, const QVector<MinuteRecord> &run, QVector<double> *perCar,
                   QString *errorString) const;

    // The most PV (kWh) the cars could take giving each deadline what run
    // gave it (up to what it needs), with the fuse and the room widened to
    // run's draws and discharging: the bound of a run that bought PV with a
    // deadline the plan meets better. False with errorString when the
    // solver fails.
    bool pvBound(const QVector<MinuteRecord> &run, double *pv, QString *errorString) const;

    // The PV (W) the cars may take in each minute: PV minus house load,
    // less what the home battery takes first while it is below the owner's
    // lower limit in force, the battery running as it would without the
    // cars from initialBatterySoc (%).
    static QVector<double> pvAvailableToCars(const Scenario &scenario, const QVector<MinuteRecord> &records,
                                             double initialBatterySoc, const OwnerTimeline &owner);

    // Statistics of the last solve, for the benchmark figures.
    int columns() const { return m_columns; }
    int rows() const { return m_rows; }

private:
    struct Session {
        int car = 0;
        int charger = 0;
        int from = 0;             // first minute plugged in
        int to = 0;               // first minute after
        double socStart = 0;      // % as the run found it
        int chainFirst = 0;       // the session this one follows on from (daily trips) or itself
        double chainUse = 0;      // % the trips took out of the battery since chainFirst
        double room = 0;          // kWh the car can take up to its ceiling, over the chain up to here
        uint phases = 3;          // phases it draws on (DC: spread over three)
        bool oneOrThree = false;  // the charger may run a three-phase car on one phase
        double maxPower = 0;      // W
        double onePhasePower = 0; // W on one phase
    };
    enum class Goal {
        Plan,
        LeastCost,
        Reach, // one deadline with its car going first
        RunPv  // most PV giving each deadline what a run gave it
    };
    struct Request {
        Goal goal = Goal::Plan;
        int deadline = -1;                          // Reach: the one
        QVector<double> required;                   // LeastCost: kWh per car
        QVector<double> floors;                     // LeastCost, RunPv: kWh per deadline
        const QVector<MinuteRecord> *run = nullptr; // LeastCost, RunPv: its draws and discharging are allowed too
    };
    struct Solution;
    class Program;

    void findSessions();
    void findDeadlines();
    double chainSoc(int session) const;
    // kWh a run took out of each session's car, over the chain up to it.
    QVector<double> chainDischarge(const QVector<MinuteRecord> &run) const;
    // kWh the run charged into each session's chain up to its end.
    QVector<double> chainCharge(const QVector<MinuteRecord> &run) const;
    // Wh of the home battery's help a run's draws need beside the house on
    // the fuse (at most its discharge power a minute; beyond it the fuse
    // is widened), counted for every minute the run drew beyond the fuse.
    double batteryHelpOf(const QVector<MinuteRecord> &run) const;
    bool solve(const Request &request, Solution *solution, QString *errorString) const;
    // plan(): each deadline's planned energy from the solution, and for one
    // the plan misses whether its car going first could meet it.
    bool judgeDeadlines(const Solution &solution, const QVector<double> &shortfall, QString *errorString);
    // plan(): a car's totals, its level at its target and at the end, from
    // the kWh of each session.
    void finishCar(int car, const QVector<double> &energy);

    const Scenario &m_scenario;
    const QVector<MinuteRecord> &m_records;
    const QVector<double> &m_pvAvailable;
    const OwnerTimeline &m_owner;
    std::vector<Session> m_sessions;
    int sessionCount() const { return static_cast<int>(m_sessions.size()); }
    QVector<DeadlineResult> m_deadlines;
    QVector<CarResult> m_cars;
    QVector<double> m_allowedDraw;      // A per minute and phase (3 per minute), the most an allowed run drew
    QVector<double> m_allowedDischarge; // kWh per session, the most an allowed run took out over its chain
    double m_allowedBatteryHelp = 0;    // Wh, the most an allowed run needed of the home battery
    mutable int m_columns = 0;
    mutable int m_rows = 0;
};

#endif // LIMITPLAN_H
