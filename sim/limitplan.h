#ifndef LIMITPLAN_H
#define LIMITPLAN_H

#include "household.h"

#include <QString>
#include <QVector>

// The best any controller could do with perfect knowledge of a household
// run: a linear program over the whole run (COIN-OR CLP), per minute and
// car the energy from PV and from the grid, bounded by each car's and
// wallbox's current range and phases (one phase instead of three where the
// charger can switch), the per-phase fuse beside the house load (a home
// battery may cover up to its discharge power), the PV the cars may take
// and the room up to full (or up to the target of a car that stops there).
// Minimum currents are relaxed and every loss is taken at its most
// favourable end, so the result is an upper bound on what a real controller
// can reach.
//
// plan(): each car's target by its deadline where that is possible at all
// (otherwise the car is marked unreachable), then most PV energy into the
// cars, then energy for cars in normal mode, then least grid cost. leastCost(): the cheapest way to give each car
// the energy another run gave it. Energies in kWh, costs in EUR, powers in W.
// The scenario and the records must outlive the object.
class LimitPlan
{
public:
    struct CarResult {
        double energy = 0;
        double pvEnergy = 0;
        double gridEnergy = 0;
        double cost = 0;
        double socAtTarget = -1; // % at the deadline, -1 without one
        double finalSoc = 0;     // % at the end of the run
        bool reachable = true;   // the deadline can be met at all
    };

    // pvAvailable: W the cars may take in each minute (Report::pvAvailableToCars).
    LimitPlan(const Scenario &scenario, const QVector<MinuteRecord> &records, const QVector<double> &pvAvailable);

    // False with errorString when the solver fails.
    bool plan(QString *errorString);
    const QVector<CarResult> &cars() const { return m_cars; }

    // The least cost of giving each car at least energy[car] (kWh) within
    // its sessions, no deadlines, with the fuse widened in every minute and
    // phase to what the chargers drew in run (so that run's own schedule is
    // always possible). Per-car costs in perCar. -1 on solver failure.
    double leastCost(const QVector<double> &energy, const QVector<MinuteRecord> &run, QVector<double> *perCar,
                     QString *errorString) const;

    // The PV (W) the cars may take in each minute: PV minus house load,
    // less what the home battery takes first while it is below the owner's
    // lower limit (fraction; < 0 none), the battery running as it would
    // without the cars from initialBatterySoc (%).
    static QVector<double> pvAvailableToCars(const Scenario &scenario, const QVector<MinuteRecord> &records,
                                             double initialBatterySoc, double batteryLowerLimit);

    // The SoC a car may charge up to: the target of a car that stops there, else 100.
    static double ceilingOf(const Scenario::Car &car);

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
        int deadline = -1;        // minutes before this count for the target, -1 none
        double needed = 0;        // kWh by then, over the chain up to here
        uint phases = 3;          // phases it draws on (DC: spread over three)
        bool oneOrThree = false;  // the charger may run a three-phase car on one phase
        double maxPower = 0;      // W
        double onePhasePower = 0; // W on one phase
        bool normalMode = false;  // the owner wants it charged now
    };
    enum class Goal {
        Plan,
        LeastCost
    };
    struct Solution;

    void findSessions();
    bool solve(Goal goal, const QVector<double> &required, const QVector<MinuteRecord> *run, Solution *solution,
               QString *errorString) const;

    const Scenario &m_scenario;
    const QVector<MinuteRecord> &m_records;
    const QVector<double> &m_pvAvailable;
    QVector<Session> m_sessions;
    QVector<CarResult> m_cars;
    mutable int m_columns = 0;
    mutable int m_rows = 0;
};

#endif // LIMITPLAN_H
