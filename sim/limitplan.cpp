#include "limitplan.h"

#include <ClpSimplex.hpp>

#include <QtMath>

#include <limits>
#include <utility>
#include <vector>

namespace {

const double voltage = 230.0;
const double kwhPerWattMinute = 1.0 / 60000.0;
const double infinity = std::numeric_limits<double>::infinity();
// Objective weights in EUR per kWh: a kWh of PV is worth more than any
// price, a kWh missing at a deadline more than any PV.
const double pvWeight = 10.0;
const double shortfallWeight = 1e4;
// A car in normal mode wants its energy whatever it costs (but after
// deadlines and PV).
const double normalModeWeight = 1.0;
const double tolerance = 1e-6;

// A linear program built column by column. Rows are made first and
// referred to by index; the solver minimises.
class LinearProgram
{
public:
    int addRow(double lower, double upper)
    {
        m_rowLower.push_back(lower);
        m_rowUpper.push_back(upper);
        return static_cast<int>(m_rowLower.size()) - 1;
    }

    int addColumn(double upper, double cost, const std::vector<std::pair<int, double>> &entries)
    {
        m_start.push_back(static_cast<CoinBigIndex>(m_index.size()));
        for (const auto &entry : entries) {
            m_index.push_back(entry.first);
            m_value.push_back(entry.second);
        }
        m_upper.push_back(upper);
        m_cost.push_back(cost);
        return static_cast<int>(m_upper.size()) - 1;
    }

    int columns() const { return static_cast<int>(m_upper.size()); }
    int rows() const { return static_cast<int>(m_rowLower.size()); }

    // The column values and row activities of an optimum; false with
    // errorString otherwise.
    bool solve(std::vector<double> *values, std::vector<double> *activities, QString *errorString)
    {
        values->assign(m_upper.size(), 0.0);
        activities->assign(m_rowLower.size(), 0.0);
        if (m_upper.empty())
            return true;
        std::vector<CoinBigIndex> start = m_start;
        start.push_back(static_cast<CoinBigIndex>(m_index.size()));
        const std::vector<double> lower(m_upper.size(), 0.0);
        ClpSimplex model;
        model.setLogLevel(0);
        model.loadProblem(columns(), rows(), start.data(), m_index.data(), m_value.data(), lower.data(), m_upper.data(),
                          m_cost.data(), m_rowLower.data(), m_rowUpper.data());
        model.dual();
        if (!model.isProvenOptimal()) {
            *errorString = QStringLiteral("the linear program has no optimum (status %1)").arg(model.status());
            return false;
        }
        const double *solution = model.primalColumnSolution();
        values->assign(solution, solution + columns());
        const double *activity = model.primalRowSolution();
        activities->assign(activity, activity + rows());
        return true;
    }

private:
    std::vector<CoinBigIndex> m_start;
    std::vector<int> m_index;
    std::vector<double> m_value;
    std::vector<double> m_upper;
    std::vector<double> m_cost;
    std::vector<double> m_rowLower;
    std::vector<double> m_rowUpper;
};

// What the chargers of a run drew per phase in a minute, A (discharging
// counts as nothing: it only makes room for the others).
void drawOf(const Scenario &scenario, const MinuteRecord &record, double *current)
{
    for (int p = 0; p < 3; p++)
        current[p] = 0;
    for (int i = 0; i < record.chargerPower.count(); i++) {
        const double power = qMax(0.0, record.chargerPower.at(i));
        const int phases = scenario.chargers.at(i).dc ? 3 : static_cast<int>(record.chargerPhases.at(i));
        for (int p = 0; p < phases && p < 3; p++)
            current[p] += power / phases / voltage;
    }
}

}

// What a solve gave, per column and row.
struct LimitPlan::Solution {
    enum Kind {
        Pv,
        Grid,
        Shortfall,
        Battery // A per phase the home battery covers in a minute
    };
    struct Column {
        int session = -1; // -1: a shortfall of a car's energy, the home battery
        Kind kind = Grid;
        double price = 0;  // EUR per kWh
        int deadline = -1; // a shortfall: the deadline it belongs to
    };
    std::vector<Column> columns;
    std::vector<double> values;
    std::vector<double> activities; // per row
    QVector<int> deadlineRow;       // per deadline, -1 none
};

LimitPlan::LimitPlan(const Scenario &scenario, const QVector<MinuteRecord> &records, const QVector<double> &pvAvailable,
                     const OwnerTimeline &owner)
    : m_scenario(scenario),
      m_records(records),
      m_pvAvailable(pvAvailable),
      m_owner(owner),
      m_allowedDraw(records.count() * 3, 0.0)
{
    findSessions();
    findDeadlines();
    m_allowedDischarge.fill(0.0, sessionCount());
}

double LimitPlan::chainSoc(int session) const
{
    const Session &s = m_sessions.at(session);
    return m_sessions.at(s.chainFirst).socStart - s.chainUse;
}

void LimitPlan::findSessions()
{
    for (int j = 0; j < m_scenario.cars.count(); j++) {
        const Scenario::Car &car = m_scenario.cars.at(j);
        const int charger = Household::chargerOf(m_scenario, j);
        if (charger < 0)
            continue;
        const Scenario::Charger &description = m_scenario.chargers.at(charger);
        int chainFirst = -1;
        double chainUse = 0;
        for (int m = 0; m < m_records.count(); m++) {
            if (!m_records.at(m).carPluggedIn.value(j) || (m > 0 && m_records.at(m - 1).carPluggedIn.value(j)))
                continue;
            Session session;
            session.car = j;
            session.charger = charger;
            session.from = m;
            session.to = m;
            while (session.to < m_records.count() && m_records.at(session.to).carPluggedIn.value(j))
                session.to++;
            session.socStart = m_records.at(m).carSocStart.value(j);
            // After a daily trip the car comes back with what it had less the
            // trip, whatever a controller gave it; a random arrival brings a
            // level of its own.
            if (chainFirst < 0 || m_scenario.random.enabled) {
                chainFirst = sessionCount();
                chainUse = 0;
            } else {
                chainUse += car.tripUseKwh / car.capacityKwh * 100.0;
            }
            session.chainFirst = chainFirst;
            session.chainUse = chainUse;
            const Session &first = chainFirst < sessionCount() ? m_sessions.at(chainFirst) : session;
            // The highest ceiling the owner set while the chain ran: a run
            // may have charged up to it before it was lowered.
            const double ceiling = m_owner.largestCeiling(j, first.from, session.to);
            session.room = qMax(0.0, (ceiling - (first.socStart - chainUse)) / 100.0 * car.capacityKwh
                                             / (1.0 - car.largestLossPercent() / 100.0));
            session.maxPower = Household::maxPower(m_scenario, j);
            session.phases = description.dc ? 3 : qMin(car.phases, description.maxPhases);
            session.oneOrThree = !description.dc && session.phases == 3 && description.phaseSwitching;
            session.onePhasePower = session.oneOrThree ? session.maxPower / 3 : 0;
            m_sessions.push_back(session);
        }
    }
}

void LimitPlan::findDeadlines()
{
    m_deadlines.clear();
    for (const OwnerTimeline::Deadline &deadline : m_owner.deadlines(m_records.count())) {
        DeadlineResult result;
        result.car = deadline.car;
        result.minute = deadline.minute;
        result.percentage = deadline.percentage;
        // The plug-in it falls in: the last one that began before it.
        for (int s = 0; s < sessionCount(); s++) {
            if (m_sessions.at(s).car == deadline.car && m_sessions.at(s).from < deadline.minute)
                result.session = s;
        }
        if (result.session >= 0) {
            const Scenario::Car &car = m_scenario.cars.at(deadline.car);
            result.needed = qMax(0.0, (deadline.percentage - chainSoc(result.session)) / 100.0 * car.capacityKwh
                                              / (1.0 - car.leastLossPercent() / 100.0));
        } else {
            result.reachableFirst = false; // never plugged in before it
        }
        m_deadlines.append(result);
    }
}

QVector<double> LimitPlan::chainDischarge(const QVector<MinuteRecord> &run) const
{
    QVector<double> discharge(sessionCount(), 0.0);
    for (int s = 0; s < sessionCount(); s++) {
        const Session &session = m_sessions.at(s);
        double own = 0;
        for (int m = session.from; m < session.to && m < run.count(); m++)
            own += qMax(0.0, -run.at(m).chargerPower.value(session.charger)) * kwhPerWattMinute;
        // Sessions of a chain come in order: the last one before holds the sum so far.
        discharge[s] = own + (session.chainFirst == s ? 0.0 : discharge.at(s - 1));
    }
    return discharge;
}

QVector<double> LimitPlan::chainCharge(const QVector<MinuteRecord> &run) const
{
    QVector<double> charge(sessionCount(), 0.0);
    for (int s = 0; s < sessionCount(); s++) {
        const Session &session = m_sessions.at(s);
        double own = 0;
        for (int m = session.from; m < session.to && m < run.count(); m++)
            own += qMax(0.0, run.at(m).chargerPower.value(session.charger)) * kwhPerWattMinute;
        charge[s] = own + (session.chainFirst == s ? 0.0 : charge.at(s - 1));
    }
    return charge;
}

void LimitPlan::allowRun(const QVector<MinuteRecord> &run)
{
    for (int m = 0; m < m_records.count() && m < run.count(); m++) {
        double drawn[3];
        drawOf(m_scenario, run.at(m), drawn);
        for (int p = 0; p < 3; p++)
            m_allowedDraw[3 * m + p] = qMax(m_allowedDraw.at(3 * m + p), drawn[p]);
    }
    const QVector<double> discharge = chainDischarge(run);
    for (int s = 0; s < sessionCount(); s++)
        m_allowedDischarge[s] = qMax(m_allowedDischarge.at(s), discharge.at(s));
    m_allowedBatteryHelp = qMax(m_allowedBatteryHelp, batteryHelpOf(run));
}

double LimitPlan::batteryHelpOf(const QVector<MinuteRecord> &run) const
{
    if (!m_scenario.hasBattery)
        return 0;
    const double most = m_scenario.batteryMaxDischargePower / 3 / voltage;
    double energy = 0;
    for (int m = 0; m < m_records.count() && m < run.count(); m++) {
        const MinuteRecord &record = m_records.at(m);
        if (record.phaseLimit <= 0)
            continue;
        double drawn[3];
        drawOf(m_scenario, run.at(m), drawn);
        double help = 0;
        for (int p = 0; p < 3; p++) {
            const double left = record.phaseLimit - (record.housePhasePower[p] - record.pvPower / 3) / voltage;
            help = qMax(help, drawn[p] - qMax(0.0, left));
        }
        energy += qBound(0.0, help, most) * 3 * voltage / 60.0;
    }
    return energy;
}

bool LimitPlan::allReachable() const
{
    for (const DeadlineResult &deadline : m_deadlines) {
        if (deadline.session < 0 || deadline.planned + 1e-4 < deadline.needed)
            return false;
    }
    return true;
}

QVector<double> LimitPlan::deadlineEnergy(const QVector<MinuteRecord> &run) const
{
    QVector<double> energy(m_deadlines.count(), 0.0);
    for (int k = 0; k < m_deadlines.count(); k++) {
        const DeadlineResult &deadline = m_deadlines.at(k);
        if (deadline.session < 0)
            continue;
        const int chain = m_sessions.at(deadline.session).chainFirst;
        for (int t = chain; t <= deadline.session; t++) {
            const Session &session = m_sessions.at(t);
            if (session.chainFirst != chain)
                continue;
            for (int m = session.from; m < session.to && m < deadline.minute && m < run.count(); m++)
                energy[k] += qMax(0.0, run.at(m).chargerPower.value(session.charger)) * kwhPerWattMinute;
        }
    }
    return energy;
}

// One solve's linear program. Rows and columns go in in the order the
// solver has always seen them (its optimum may depend on it): the rows of
// whole sessions (rooms, deadlines, the least cost's energies), then minute
// by minute the fuse and PV rows with the sessions' columns.
class LimitPlan::Program
{
public:
    Program(const LimitPlan &plan, const Request &request, Solution *solution);

    // Every row and column of the request.
    void build();
    int columns() const { return m_lp.columns(); }
    int rows() const { return m_lp.rows(); }
    bool solve(QString *errorString) { return m_lp.solve(&m_solution->values, &m_solution->activities, errorString); }

private:
    using Entries = std::vector<std::pair<int, double>>;
    // Night minutes (no PV, the fuse far away) of one price are one column
    // per session: nothing in them tells one minute from the next.
    struct Quiet {
        int until = -1; // first minute after the run of minutes
        double price = 0;
        double cost = 0;
        Entries entries;
        int minutes = 0;
    };

    bool included(int s) const { return m_firstCar < 0 || m_plan.m_sessions.at(s).car == m_firstCar; }
    void addColumn(int session, Solution::Kind kind, double upper, double cost, double price, int deadline,
                   const Entries &entries);
    // The room up to the ceiling (and what a run took out of a
    // bidirectional car).
    void addRoomRows();
    void addDeadlineRows();
    // The least cost: each car's energy.
    void addEnergyRows();
    // Energy in a session counts in its own room and deadline rows and in
    // those of the sessions that follow on from it. "before" tells whether
    // a deadline that needs energy still lies ahead.
    Entries sessionEntries(int s, int m, bool *before) const;
    // The grid's worth in a minute, or false where the grid buys nothing.
    bool gridCost(int s, int m, double price, bool before, double *cost) const;
    void addMinute(int m);
    // Fuse rows where the cars could reach the limit at all; the limit
    // allows what a run it is compared with drew. False where none is needed.
    bool addFuseRows(int m, int *fuseRow);
    // What the home battery covers in the minute on the phases whose fuse
    // rows count on it (A, a column of its own against the energy it can
    // give in the whole run).
    void addBatteryHelp(const bool *helped, const int *fuseRow);
    // Wh the home battery can give the household in the whole run at most:
    // what it holds at the start, all it could take from the export, and
    // what the runs' cars discharged (it may have taken that too); at least
    // what the runs compared with needed of it.
    double batteryEnergy() const;
    // A minute without PV and fuse: joined to the session's quiet run.
    void addQuietMinute(int m, double price);
    void flush(int s);
    // One or three phases, from PV or the grid: four columns at most.
    void addSessionColumns(int s, int m, double price, double available, bool fuse, const int *fuseRow,
                           int availableRow);

    const LimitPlan &m_plan;
    const Request &m_request;
    const Goal m_goal;
    Solution *const m_solution;
    LinearProgram m_lp;
    int m_firstCar = -1; // Reach: going first, a car is alone in the house up to its deadline
    int m_lastMinute = 0;
    QVector<int> m_roomRow;
    QVector<double> m_room;
    QVector<bool> m_needsEnergy;
    QVector<QVector<int>> m_chainDeadlines; // by the chain's first session
    QVector<int> m_energyRow;
    QVector<Quiet> m_quiet;
    QVector<int> m_active; // sessions plugged in in the minute being built
    double m_batteryHelp = 0; // A per phase the home battery may cover at its discharge power
    int m_batteryRow = -1;    // the energy it can give in the run, -1 without one
};

LimitPlan::Program::Program(const LimitPlan &plan, const Request &request, Solution *solution)
    : m_plan(plan),
      m_request(request),
      m_goal(request.goal),
      m_solution(solution)
{
    m_solution->columns.clear();
    m_firstCar = m_goal == Goal::Reach ? plan.m_deadlines.at(request.deadline).car : -1;
    m_lastMinute = m_goal == Goal::Reach ? qMin(plan.m_records.count(), plan.m_deadlines.at(request.deadline).minute)
                                         : plan.m_records.count();
}

void LimitPlan::Program::addColumn(int session, Solution::Kind kind, double upper, double cost, double price,
                                   int deadline, const Entries &entries)
{
    m_lp.addColumn(upper, cost, entries);
    m_solution->columns.push_back({session, kind, price, deadline});
}

void LimitPlan::Program::build()
{
    addRoomRows();
    addDeadlineRows();
    addEnergyRows();
    m_quiet = QVector<Quiet>(m_plan.sessionCount());
    const Scenario &scenario = m_plan.m_scenario;
    m_batteryHelp = scenario.hasBattery ? scenario.batteryMaxDischargePower / 3 / voltage : 0;
    if (scenario.hasBattery)
        m_batteryRow = m_lp.addRow(-infinity, batteryEnergy());
    for (int m = 0; m < m_lastMinute; m++)
        addMinute(m);
    for (int s = 0; s < m_plan.sessionCount(); s++)
        flush(s);
}

void LimitPlan::Program::addRoomRows()
{
    const int sessions = m_plan.sessionCount();
    const QVector<double> runDischarge =
            m_request.run ? m_plan.chainDischarge(*m_request.run) : QVector<double>(sessions, 0.0);
    const QVector<double> runCharge =
            m_request.run ? m_plan.chainCharge(*m_request.run) : QVector<double>(sessions, 0.0);
    m_roomRow = QVector<int>(sessions, -1);
    m_room = QVector<double>(sessions, 0.0);
    for (int s = 0; s < sessions; s++) {
        const Scenario::Car &car = m_plan.m_scenario.cars.at(m_plan.m_sessions.at(s).car);
        const double discharged = qMax(m_plan.m_allowedDischarge.at(s), runDischarge.at(s));
        m_room[s] = m_plan.m_sessions.at(s).room + discharged / (1.0 - car.largestLossPercent() / 100.0);
        // The least cost may buy past the ceiling as far as the run did (at
        // a price below 0 that earns money), not for a car the run left at it:
        // it is the yardstick of the run's own energy.
        if (m_goal == Goal::LeastCost)
            m_room[s] = qMax(m_room.at(s), runCharge.at(s));
        if (included(s))
            m_roomRow[s] = m_lp.addRow(-infinity, m_room.at(s));
    }
}

void LimitPlan::Program::addDeadlineRows()
{
    const QVector<DeadlineResult> &deadlines = m_plan.m_deadlines;
    m_solution->deadlineRow.fill(-1, deadlines.count());
    m_needsEnergy = QVector<bool>(deadlines.count(), false);
    m_chainDeadlines = QVector<QVector<int>>(m_plan.sessionCount());
    for (int k = 0; k < deadlines.count(); k++) {
        const DeadlineResult &deadline = deadlines.at(k);
        if (deadline.session < 0 || (m_goal == Goal::Reach && k != m_request.deadline))
            continue;
        double lower = qMin(deadline.needed, m_room.at(deadline.session));
        if (m_goal == Goal::LeastCost || m_goal == Goal::RunPv)
            lower = qMin(lower, m_request.floors.value(k));
        lower = qMax(0.0, lower);
        m_solution->deadlineRow[k] = m_lp.addRow(lower, infinity);
        m_chainDeadlines[m_plan.m_sessions.at(deadline.session).chainFirst].append(k);
        if (lower > tolerance) {
            m_needsEnergy[k] = true;
            addColumn(-1, Solution::Shortfall, lower, m_goal == Goal::Reach ? 1.0 : shortfallWeight, 0, k,
                      {{m_solution->deadlineRow.at(k), 1.0}});
        }
    }
}

void LimitPlan::Program::addEnergyRows()
{
    // The least cost gives each car the energy the run gave it, no more:
    // at a price below 0 more would earn money for energy nobody took.
    const int cars = m_plan.m_scenario.cars.count();
    QVector<double> runEnergy(cars, 0.0);
    for (int s = 0; m_goal == Goal::LeastCost && s < m_plan.sessionCount(); s++) {
        const Session &session = m_plan.m_sessions.at(s);
        for (int m = session.from; m < session.to && m < m_request.run->count(); m++)
            runEnergy[session.car] +=
                    qMax(0.0, m_request.run->at(m).chargerPower.value(session.charger)) * kwhPerWattMinute;
    }
    m_energyRow = QVector<int>(cars, -1);
    for (int j = 0; m_goal == Goal::LeastCost && j < cars; j++) {
        const double required = qMax(0.0, m_request.required.value(j));
        m_energyRow[j] = m_lp.addRow(required, qMax(required, runEnergy.at(j)) + tolerance);
        if (required > tolerance)
            addColumn(-1, Solution::Shortfall, required, shortfallWeight, 0, -1, {{m_energyRow[j], 1.0}});
    }
}

LimitPlan::Program::Entries LimitPlan::Program::sessionEntries(int s, int m, bool *before) const
{
    Entries entries;
    const int chain = m_plan.m_sessions.at(s).chainFirst;
    for (int t = s; t < m_plan.sessionCount(); t++) {
        if (m_plan.m_sessions.at(t).chainFirst == chain && m_roomRow.at(t) >= 0)
            entries.push_back({m_roomRow.at(t), 1.0});
    }
    *before = false;
    for (int k : m_chainDeadlines.at(chain)) {
        if (m_plan.m_deadlines.at(k).session >= s && m < m_plan.m_deadlines.at(k).minute) {
            entries.push_back({m_solution->deadlineRow.at(k), 1.0});
            *before = *before || m_needsEnergy.at(k);
        }
    }
    if (m_energyRow.at(m_plan.m_sessions.at(s).car) >= 0)
        entries.push_back({m_energyRow.at(m_plan.m_sessions.at(s).car), 1.0});
    return entries;
}

bool LimitPlan::Program::gridCost(int s, int m, double price, bool before, double *cost) const
{
    const bool normal = m_plan.m_owner.wishAt(m_plan.m_sessions.at(s).car, m).mode == OwnerTimeline::Mode::Normal;
    switch (m_goal) {
    case Goal::Plan:
        *cost = price - (normal ? normalModeWeight : 0.0);
        return before || normal;
    case Goal::LeastCost:
        *cost = price;
        return true;
    case Goal::Reach:
    case Goal::RunPv:
        *cost = 0;
        return before;
    }
    return false;
}

void LimitPlan::Program::flush(int s)
{
    Quiet &q = m_quiet[s];
    if (q.minutes > 0)
        addColumn(s, Solution::Grid, q.minutes * m_plan.m_sessions.at(s).maxPower * kwhPerWattMinute, q.cost, q.price,
                  -1, q.entries);
    q = Quiet();
}

void LimitPlan::Program::addMinute(int m)
{
    const MinuteRecord &record = m_plan.m_records.at(m);
    m_active.clear();
    for (int s = 0; s < m_plan.sessionCount(); s++) {
        if (included(s) && m >= m_plan.m_sessions.at(s).from && m < m_plan.m_sessions.at(s).to)
            m_active.append(s);
    }
    if (m_active.isEmpty())
        return;
    const double price = record.price / 1000.0;
    const double available = qMax(0.0, m_plan.m_pvAvailable.value(m)) * kwhPerWattMinute;
    int fuseRow[3] = {-1, -1, -1};
    const bool fuse = addFuseRows(m, fuseRow);
    if (available <= 0 && !fuse) {
        addQuietMinute(m, price);
        return;
    }
    double offered = 0;
    for (int s : qAsConst(m_active))
        offered += m_plan.m_sessions.at(s).maxPower * kwhPerWattMinute;
    const int availableRow = available > 0 && offered > available + tolerance ? m_lp.addRow(-infinity, available) : -1;
    for (int s : qAsConst(m_active))
        addSessionColumns(s, m, price, available, fuse, fuseRow, availableRow);
}

bool LimitPlan::Program::addFuseRows(int m, int *fuseRow)
{
    const MinuteRecord &record = m_plan.m_records.at(m);
    if (record.phaseLimit > 0) {
        double ran[3] = {0, 0, 0};
        if (m_request.run && m < m_request.run->count())
            drawOf(m_plan.m_scenario, m_request.run->at(m), ran);
        bool helped[3] = {false, false, false};
        for (int p = 0; p < 3; p++) {
            const double left = record.phaseLimit - (record.housePhasePower[p] - record.pvPower / 3) / voltage;
            const double widened = qMax(ran[p], m_plan.m_allowedDraw.at(3 * m + p));
            // The home battery covers up to its discharge power, but only
            // as long as its energy lasts: where the house alone leaves the
            // phase something its help is a column of the minute, and what
            // the runs drew beyond the fuse counts against the battery's
            // energy as far as its discharge power could explain it (the
            // rest widens the fuse). Where the house alone is over the fuse
            // the battery counts at its full power (a looser bound).
            helped[p] = m_batteryRow >= 0 && left >= 0;
            const double headroom = helped[p] ? qMax(left, widened - m_batteryHelp)
                                              : qMax(qMax(0.0, left + m_batteryHelp), widened);
            double most = 0;
            for (int s : qAsConst(m_active)) {
                const Session &session = m_plan.m_sessions.at(s);
                const double perPhase =
                        p < static_cast<int>(session.phases) ? session.maxPower / session.phases / voltage : 0;
                most += p == 0 && session.oneOrThree ? qMax(perPhase, session.onePhasePower / voltage) : perPhase;
            }
            if (most > headroom + tolerance)
                fuseRow[p] = m_lp.addRow(-infinity, headroom);
            else
                helped[p] = false;
        }
        addBatteryHelp(helped, fuseRow);
    }
    return fuseRow[0] >= 0 || fuseRow[1] >= 0 || fuseRow[2] >= 0;
}

void LimitPlan::Program::addBatteryHelp(const bool *helped, const int *fuseRow)
{
    if (!helped[0] && !helped[1] && !helped[2])
        return;
    // It discharges alike on all three phases.
    Entries entries = {{m_batteryRow, 3 * voltage / 60.0}};
    for (int p = 0; p < 3; p++) {
        if (helped[p])
            entries.push_back({fuseRow[p], -1.0});
    }
    addColumn(-1, Solution::Battery, m_batteryHelp, 0, 0, -1, entries);
}

double LimitPlan::Program::batteryEnergy() const
{
    const Scenario &scenario = m_plan.m_scenario;
    double energy = scenario.batteryCapacityKwh * 1000.0 * qMax(0.0, scenario.batterySoc) / 100.0;
    for (const MinuteRecord &record : m_plan.m_records)
        energy += qMin(scenario.batteryMaxChargePower, qMax(0.0, record.pvPower - record.houseLoad)) / 60.0;
    const QVector<double> runDischarge = m_request.run ? m_plan.chainDischarge(*m_request.run) : QVector<double>();
    for (int s = 0; s < m_plan.sessionCount(); s++)
        energy += qMax(m_plan.m_allowedDischarge.at(s), runDischarge.value(s)) * 1000.0;
    const double needed = m_request.run ? m_plan.batteryHelpOf(*m_request.run) : 0.0;
    return qMax(energy, qMax(m_plan.m_allowedBatteryHelp, needed));
}

void LimitPlan::Program::addQuietMinute(int m, double price)
{
    for (int s : qAsConst(m_active)) {
        bool before = false;
        Entries entries = sessionEntries(s, m, &before);
        double cost = 0;
        if (!gridCost(s, m, price, before, &cost))
            continue; // grid energy here buys nothing
        Quiet &q = m_quiet[s];
        if (q.minutes > 0 && (q.until != m || q.price != price || q.cost != cost || q.entries != entries))
            flush(s);
        q.until = m + 1;
        q.price = price;
        q.cost = cost;
        q.entries = std::move(entries);
        q.minutes++;
    }
}

void LimitPlan::Program::addSessionColumns(int s, int m, double price, double available, bool fuse, const int *fuseRow,
                                           int availableRow)
{
    flush(s);
    const Session &session = m_plan.m_sessions.at(s);
    bool before = false;
    const Entries sessionRows = sessionEntries(s, m, &before);
    double gridWorth = 0;
    const bool grid = gridCost(s, m, price, before, &gridWorth);
    const bool pv = available > 0 && (m_goal != Goal::Reach || before);
    struct Option {
        Solution::Kind kind;
        bool onePhase;
    };
    std::vector<Option> options;
    if (pv)
        options.push_back({Solution::Pv, false});
    if (grid)
        options.push_back({Solution::Grid, false});
    if (fuse && session.oneOrThree) {
        if (pv)
            options.push_back({Solution::Pv, true});
        if (grid)
            options.push_back({Solution::Grid, true});
    }
    const int capacityRow = options.size() > 1 ? m_lp.addRow(-infinity, 1.0) : -1;
    for (const Option &option : options) {
        const double power = option.onePhase ? session.onePhasePower : session.maxPower;
        const double upper = power * kwhPerWattMinute;
        Entries entries = sessionRows;
        if (capacityRow >= 0)
            entries.push_back({capacityRow, 1.0 / upper});
        if (option.kind == Solution::Pv && availableRow >= 0)
            entries.push_back({availableRow, 1.0});
        for (int p = 0; p < 3; p++) {
            const int phases = option.onePhase ? 1 : static_cast<int>(session.phases);
            if (fuseRow[p] >= 0 && p < phases)
                entries.push_back({fuseRow[p], 1.0 / kwhPerWattMinute / phases / voltage});
        }
        const double pvWorth = m_goal == Goal::Plan ? -pvWeight : m_goal == Goal::RunPv ? -1.0 : 0.0;
        const double cost = option.kind == Solution::Pv ? pvWorth : gridWorth;
        addColumn(s, option.kind, upper, cost, option.kind == Solution::Pv ? 0.0 : price, -1, entries);
    }
}

bool LimitPlan::solve(const Request &request, Solution *solution, QString *errorString) const
{
    Program program(*this, request, solution);
    program.build();
    m_columns = program.columns();
    m_rows = program.rows();
    return program.solve(errorString);
}

bool LimitPlan::plan(QString *errorString)
{
    Solution solution;
    if (!solve(Request(), &solution, errorString))
        return false;
    m_cars = QVector<CarResult>(m_scenario.cars.count());
    QVector<double> energy(sessionCount(), 0.0);
    QVector<double> shortfall(m_deadlines.count(), 0.0);
    for (size_t c = 0; c < solution.columns.size(); c++) {
        const Solution::Column &column = solution.columns.at(c);
        const double value = solution.values.at(c);
        if (column.kind == Solution::Battery)
            continue;
        if (column.kind == Solution::Shortfall) {
            if (column.deadline >= 0)
                shortfall[column.deadline] += value;
            continue;
        }
        CarResult &car = m_cars[m_sessions.at(column.session).car];
        energy[column.session] += value;
        if (column.kind == Solution::Pv) {
            car.pvEnergy += value;
        } else {
            car.gridEnergy += value;
            car.cost += value * column.price;
        }
    }
    if (!judgeDeadlines(solution, shortfall, errorString))
        return false;
    for (int j = 0; j < m_scenario.cars.count(); j++)
        finishCar(j, energy);
    return true;
}

bool LimitPlan::judgeDeadlines(const Solution &solution, const QVector<double> &shortfall, QString *errorString)
{
    for (int k = 0; k < m_deadlines.count(); k++) {
        DeadlineResult &deadline = m_deadlines[k];
        const int row = solution.deadlineRow.value(k, -1);
        if (row < 0)
            continue;
        deadline.planned = qMax(0.0, solution.activities.at(row) - shortfall.at(k));
        if (deadline.planned + 1e-4 >= deadline.needed)
            continue;
        // Missed in the plan: can it be met with its car going first?
        Request first;
        first.goal = Goal::Reach;
        first.deadline = k;
        Solution alone;
        if (!solve(first, &alone, errorString))
            return false;
        const int aloneRow = alone.deadlineRow.at(k);
        double missing = 0;
        for (size_t c = 0; c < alone.columns.size(); c++) {
            if (alone.columns.at(c).kind == Solution::Shortfall)
                missing += alone.values.at(c);
        }
        deadline.reachableFirst = alone.activities.at(aloneRow) - missing + 1e-4 >= deadline.needed;
    }
    return true;
}

void LimitPlan::finishCar(int j, const QVector<double> &energy)
{
    const Scenario::Car &car = m_scenario.cars.at(j);
    CarResult &result = m_cars[j];
    result.energy = result.pvEnergy + result.gridEnergy;
    const auto socAfter = [&car](double socStart, double kwh) {
        return qMin(100.0, socStart + kwh * (1.0 - car.leastLossPercent() / 100.0) / car.capacityKwh * 100.0);
    };
    // The car's scenario target, as the report judges it; only its own
    // deadlines count for whether it can be met.
    for (const DeadlineResult &deadline : qAsConst(m_deadlines)) {
        if (deadline.car != j || deadline.minute != car.targetMinute)
            continue;
        result.reachableFirst = deadline.reachableFirst;
        result.reachable = deadline.session >= 0 && deadline.planned + 1e-4 >= deadline.needed;
        if (deadline.session >= 0)
            result.socAtTarget = socAfter(chainSoc(deadline.session), deadline.planned);
    }
    result.finalSoc = car.soc;
    double chainEnergy = 0;
    for (int s = 0; s < sessionCount(); s++) {
        const Session &session = m_sessions.at(s);
        if (session.car != j)
            continue;
        if (session.chainFirst == s)
            chainEnergy = 0;
        chainEnergy += energy.at(s);
        result.finalSoc = socAfter(chainSoc(s), chainEnergy);
    }
    if (car.targetMinute >= 0 && result.socAtTarget < 0 && car.targetMinute <= m_records.count()
        && car.targetMinute > 0)
        result.socAtTarget = m_records.at(car.targetMinute - 1).carSocStart.value(j);
}

bool LimitPlan::leastCost(const QVector<double> &energy, const QVector<MinuteRecord> &run, QVector<double> *perCar,
                          QString *errorString) const
{
    Request request;
    request.goal = Goal::LeastCost;
    request.required = energy;
    request.floors = deadlineEnergy(run);
    request.run = &run;
    Solution solution;
    if (!solve(request, &solution, errorString))
        return false;
    perCar->fill(0.0, m_scenario.cars.count());
    for (size_t c = 0; c < solution.columns.size(); c++) {
        const Solution::Column &column = solution.columns.at(c);
        if (column.kind == Solution::Grid)
            (*perCar)[m_sessions.at(column.session).car] += solution.values.at(c) * column.price;
    }
    return true;
}

bool LimitPlan::pvBound(const QVector<MinuteRecord> &run, double *pv, QString *errorString) const
{
    Request request;
    request.goal = Goal::RunPv;
    request.floors = deadlineEnergy(run);
    request.run = &run;
    Solution solution;
    if (!solve(request, &solution, errorString))
        return false;
    *pv = 0;
    for (size_t c = 0; c < solution.columns.size(); c++) {
        if (solution.columns.at(c).kind == Solution::Pv)
            *pv += solution.values.at(c);
    }
    return true;
}

QVector<double> LimitPlan::pvAvailableToCars(const Scenario &scenario, const QVector<MinuteRecord> &records,
                                             double initialBatterySoc, const OwnerTimeline &owner)
{
    QVector<double> available(records.count());
    const double capacityWh = scenario.batteryCapacityKwh * 1000.0;
    double soc = initialBatterySoc;
    double previousSoc = soc;
    for (int r = 0; r < records.count(); r++) {
        const MinuteRecord &record = records.at(r);
        const double surplus = qMax(0.0, record.pvPower - record.houseLoad);
        double reserved = 0;
        // The plugin decides on the level it saw at the end of the last
        // minute, with the lower limit the owner set by then.
        const double lowerLimit = owner.batteryLowerLimitAt(r);
        if (scenario.hasBattery && lowerLimit >= 0 && r > 0 && qRound(previousSoc) < qRound(lowerLimit * 100.0))
            reserved = qMin(qMin(surplus, scenario.batteryMaxChargePower), (100.0 - soc) / 100.0 * capacityWh * 60.0);
        available[r] = surplus - reserved;
        previousSoc = soc;
        if (scenario.hasBattery) {
            // The battery's own controller, as in the physics, without cars.
            const double net = record.houseLoad - record.pvPower;
            const double power =
                    net < 0 ? qMin(qMin(-net, scenario.batteryMaxChargePower),
                                   (100.0 - soc) / 100.0 * capacityWh * 60.0)
                            : -qMin(qMin(net, scenario.batteryMaxDischargePower), soc / 100.0 * capacityWh * 60.0);
            soc = qBound(0.0, soc + power / 60.0 / capacityWh * 100.0, 100.0);
        }
    }
    return available;
}
