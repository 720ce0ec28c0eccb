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

    // The column values of an optimum; false with errorString otherwise.
    bool solve(std::vector<double> *values, QString *errorString)
    {
        values->assign(m_upper.size(), 0.0);
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

// What the chargers of a run drew per phase in a minute, A.
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

// What a solve gave, per column.
struct LimitPlan::Solution {
    enum Kind {
        Pv,
        Grid,
        Shortfall
    };
    struct Column {
        int session = 0;
        Kind kind = Grid;
        double price = 0; // EUR per kWh
        bool beforeDeadline = false;
    };
    std::vector<Column> columns;
    std::vector<double> values;
};

LimitPlan::LimitPlan(const Scenario &scenario, const QVector<MinuteRecord> &records, const QVector<double> &pvAvailable)
    : m_scenario(scenario),
      m_records(records),
      m_pvAvailable(pvAvailable)
{
    findSessions();
}

double LimitPlan::ceilingOf(const Scenario::Car &car)
{
    if (!car.configuration.value(QStringLiteral("stopOnTargetPercentage")).toBool())
        return 100.0;
    return qMin(100.0, car.configuration.value(QStringLiteral("targetPercentage"), 80).toDouble());
}

void LimitPlan::findSessions()
{
    for (int j = 0; j < m_scenario.cars.count(); j++) {
        const Scenario::Car &car = m_scenario.cars.at(j);
        const int charger = Household::chargerOf(m_scenario, j);
        if (charger < 0)
            continue;
        const Scenario::Charger &description = m_scenario.chargers.at(charger);
        int deadlineSession = -1;
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
                chainFirst = m_sessions.count();
                chainUse = 0;
            } else {
                chainUse += car.tripUseKwh / car.capacityKwh * 100.0;
            }
            session.chainFirst = chainFirst;
            session.chainUse = chainUse;
            const double chainSoc = m_sessions.value(chainFirst, session).socStart - chainUse;
            session.room = qMax(0.0, (ceilingOf(car) - chainSoc) / 100.0 * car.capacityKwh
                                             / (1.0 - car.largestLossPercent() / 100.0));
            session.maxPower = Household::maxPower(m_scenario, j);
            session.phases = description.dc ? 3 : qMin(car.phases, description.maxPhases);
            session.oneOrThree = !description.dc && session.phases == 3 && description.phaseSwitching;
            session.onePhasePower = session.oneOrThree ? session.maxPower / 3 : 0;
            const QString mode = car.configuration.value(QStringLiteral("chargingMode")).toString();
            session.normalMode = mode.isEmpty() || mode == QLatin1String("ChargingModeNormal");
            if (car.targetMinute >= 0 && m < car.targetMinute)
                deadlineSession = m_sessions.count();
            m_sessions.append(session);
        }
        if (deadlineSession >= 0) {
            Session &session = m_sessions[deadlineSession];
            const double chainSoc = m_sessions.at(session.chainFirst).socStart - session.chainUse;
            session.deadline = car.targetMinute;
            session.needed = qMax(0.0, (car.targetPercentage - chainSoc) / 100.0 * car.capacityKwh
                                               / (1.0 - car.leastLossPercent() / 100.0));
        }
    }
}

bool LimitPlan::solve(Goal goal, const QVector<double> &required, const QVector<MinuteRecord> *run, Solution *solution,
                      QString *errorString) const
{
    LinearProgram lp;
    solution->columns.clear();
    const auto column = [&](int session, Solution::Kind kind, double upper, double cost, double price,
                            bool beforeDeadline, const std::vector<std::pair<int, double>> &entries) {
        lp.addColumn(upper, cost, entries);
        solution->columns.push_back({session, kind, price, beforeDeadline});
    };

    // Rows of whole sessions: the room up to the ceiling and, planning, the
    // deadline; for the least cost, each car's energy.
    QVector<int> roomRow(m_sessions.count());
    QVector<int> deadlineRow(m_sessions.count(), -1);
    QVector<int> energyRow(m_scenario.cars.count(), -1);
    for (int s = 0; s < m_sessions.count(); s++) {
        const Session &session = m_sessions.at(s);
        roomRow[s] = lp.addRow(-infinity, session.room);
        if (goal == Goal::Plan && session.deadline >= 0 && session.needed > tolerance) {
            deadlineRow[s] = lp.addRow(qMin(session.needed, session.room), infinity);
            column(s, Solution::Shortfall, session.needed, shortfallWeight, 0, false, {{deadlineRow[s], 1.0}});
        }
    }
    for (int j = 0; goal == Goal::LeastCost && j < m_scenario.cars.count(); j++) {
        if (required.value(j) <= tolerance)
            continue;
        energyRow[j] = lp.addRow(required.at(j), infinity);
        column(-1, Solution::Shortfall, required.at(j), shortfallWeight, 0, false, {{energyRow[j], 1.0}});
    }
    // Energy in a session counts in its own room and deadline rows and in
    // those of the sessions that follow on from it.
    const auto sessionEntries = [&](int s, int m) {
        std::vector<std::pair<int, double>> entries;
        for (int t = s; t < m_sessions.count(); t++) {
            if (m_sessions.at(t).chainFirst != m_sessions.at(s).chainFirst)
                continue;
            entries.push_back({roomRow.at(t), 1.0});
            if (deadlineRow.at(t) >= 0 && m < m_sessions.at(t).deadline)
                entries.push_back({deadlineRow.at(t), 1.0});
        }
        if (energyRow.at(m_sessions.at(s).car) >= 0)
            entries.push_back({energyRow.at(m_sessions.at(s).car), 1.0});
        return entries;
    };

    // Night minutes (no PV, the fuse far away) of one price are one column
    // per session: nothing in them tells one minute from the next.
    struct Quiet {
        int until = -1; // first minute after the run of minutes
        double price = 0;
        bool beforeDeadline = false;
        int minutes = 0;
    };
    QVector<Quiet> quiet(m_sessions.count());
    const auto nowValue = [&](int s) {
        return goal == Goal::Plan && m_sessions.at(s).normalMode ? normalModeWeight : 0.0;
    };
    const auto flush = [&](int s) {
        Quiet &q = quiet[s];
        if (q.minutes > 0)
            column(s, Solution::Grid, q.minutes * m_sessions.at(s).maxPower * kwhPerWattMinute, q.price - nowValue(s),
                   q.price, q.beforeDeadline, sessionEntries(s, q.until - 1));
        q = Quiet();
    };

    const double batteryHelp = m_scenario.hasBattery ? m_scenario.batteryMaxDischargePower / 3 / voltage : 0;
    QVector<int> active;
    for (int m = 0; m < m_records.count(); m++) {
        const MinuteRecord &record = m_records.at(m);
        active.clear();
        for (int s = 0; s < m_sessions.count(); s++) {
            if (m >= m_sessions.at(s).from && m < m_sessions.at(s).to)
                active.append(s);
        }
        if (active.isEmpty())
            continue;
        const double price = record.price / 1000.0;
        const double available = qMax(0.0, m_pvAvailable.value(m)) * kwhPerWattMinute;

        // Fuse rows where the cars could reach the limit at all.
        int fuseRow[3] = {-1, -1, -1};
        if (record.phaseLimit > 0) {
            double ran[3] = {0, 0, 0};
            if (run)
                drawOf(m_scenario, run->at(m), ran);
            for (int p = 0; p < 3; p++) {
                const double outside = (record.housePhasePower[p] - record.pvPower / 3) / voltage - batteryHelp;
                const double headroom = qMax(qMax(0.0, record.phaseLimit - outside), ran[p]);
                double most = 0;
                for (int s : qAsConst(active)) {
                    const Session &session = m_sessions.at(s);
                    const double perPhase =
                            p < static_cast<int>(session.phases) ? session.maxPower / session.phases / voltage : 0;
                    most += p == 0 && session.oneOrThree ? qMax(perPhase, session.onePhasePower / voltage) : perPhase;
                }
                if (most > headroom + tolerance)
                    fuseRow[p] = lp.addRow(-infinity, headroom);
            }
        }
        const bool fuse = fuseRow[0] >= 0 || fuseRow[1] >= 0 || fuseRow[2] >= 0;

        if (available <= 0 && !fuse) {
            for (int s : qAsConst(active)) {
                const bool before = m < m_sessions.at(s).deadline;
                if (goal == Goal::Plan && !before && !m_sessions.at(s).normalMode)
                    continue; // grid energy after the deadline buys nothing here
                Quiet &q = quiet[s];
                if (q.minutes > 0 && (q.until != m || q.price != price || q.beforeDeadline != before))
                    flush(s);
                quiet[s].until = m + 1;
                quiet[s].price = price;
                quiet[s].beforeDeadline = before;
                quiet[s].minutes++;
            }
            continue;
        }

        double offered = 0;
        for (int s : qAsConst(active))
            offered += m_sessions.at(s).maxPower * kwhPerWattMinute;
        const int availableRow =
                available > 0 && offered > available + tolerance ? lp.addRow(-infinity, available) : -1;
        for (int s : qAsConst(active)) {
            flush(s);
            const Session &session = m_sessions.at(s);
            const bool before = m < session.deadline;
            const bool grid = goal == Goal::LeastCost || before || session.normalMode;
            // One or three phases, from PV or the grid: four columns at most.
            struct Option {
                Solution::Kind kind;
                bool onePhase;
            };
            std::vector<Option> options;
            if (available > 0)
                options.push_back({Solution::Pv, false});
            if (grid)
                options.push_back({Solution::Grid, false});
            if (fuse && session.oneOrThree) {
                if (available > 0)
                    options.push_back({Solution::Pv, true});
                if (grid)
                    options.push_back({Solution::Grid, true});
            }
            const int capacityRow = options.size() > 1 ? lp.addRow(-infinity, 1.0) : -1;
            for (const Option &option : options) {
                const double power = option.onePhase ? session.onePhasePower : session.maxPower;
                const double upper = power * kwhPerWattMinute;
                std::vector<std::pair<int, double>> entries = sessionEntries(s, m);
                if (capacityRow >= 0)
                    entries.push_back({capacityRow, 1.0 / upper});
                if (option.kind == Solution::Pv && availableRow >= 0)
                    entries.push_back({availableRow, 1.0});
                for (int p = 0; p < 3; p++) {
                    const int phases = option.onePhase ? 1 : static_cast<int>(session.phases);
                    if (fuseRow[p] >= 0 && p < phases)
                        entries.push_back({fuseRow[p], 1.0 / kwhPerWattMinute / phases / voltage});
                }
                const double cost =
                        option.kind == Solution::Pv ? (goal == Goal::Plan ? -pvWeight : 0.0) : price - nowValue(s);
                column(s, option.kind, upper, cost, option.kind == Solution::Pv ? 0.0 : price, before, entries);
            }
        }
    }
    for (int s = 0; s < m_sessions.count(); s++)
        flush(s);

    m_columns = lp.columns();
    m_rows = lp.rows();
    return lp.solve(&solution->values, errorString);
}

bool LimitPlan::plan(QString *errorString)
{
    Solution solution;
    if (!solve(Goal::Plan, QVector<double>(), nullptr, &solution, errorString))
        return false;
    m_cars = QVector<CarResult>(m_scenario.cars.count());
    QVector<double> energy(m_sessions.count(), 0.0);
    QVector<double> energyBeforeDeadline(m_sessions.count(), 0.0);
    QVector<double> shortfall(m_sessions.count(), 0.0);
    for (size_t c = 0; c < solution.columns.size(); c++) {
        const Solution::Column &column = solution.columns.at(c);
        const double value = solution.values.at(c);
        if (column.kind == Solution::Shortfall) {
            shortfall[column.session] += value;
            continue;
        }
        CarResult &car = m_cars[m_sessions.at(column.session).car];
        energy[column.session] += value;
        if (column.beforeDeadline)
            energyBeforeDeadline[column.session] += value;
        if (column.kind == Solution::Pv) {
            car.pvEnergy += value;
        } else {
            car.gridEnergy += value;
            car.cost += value * column.price;
        }
    }
    for (int j = 0; j < m_scenario.cars.count(); j++) {
        const Scenario::Car &car = m_scenario.cars.at(j);
        CarResult &result = m_cars[j];
        result.energy = result.pvEnergy + result.gridEnergy;
        const auto socAfter = [&car](double socStart, double kwh) {
            return qMin(100.0, socStart + kwh * (1.0 - car.leastLossPercent() / 100.0) / car.capacityKwh * 100.0);
        };
        result.finalSoc = car.soc;
        double chainEnergy = 0;
        for (int s = 0; s < m_sessions.count(); s++) {
            const Session &session = m_sessions.at(s);
            if (session.car != j)
                continue;
            if (session.chainFirst == s)
                chainEnergy = 0;
            const double chainSoc = m_sessions.at(session.chainFirst).socStart - session.chainUse;
            if (session.deadline >= 0) {
                result.socAtTarget = socAfter(chainSoc, chainEnergy + energyBeforeDeadline.at(s));
                // Short of the target only when even the best plan is.
                result.reachable = shortfall.at(s) <= 1e-4 && session.needed <= session.room + tolerance;
            }
            chainEnergy += energy.at(s);
            result.finalSoc = socAfter(chainSoc, chainEnergy);
        }
        if (car.targetMinute >= 0 && result.socAtTarget < 0 && car.targetMinute <= m_records.count())
            result.socAtTarget = m_records.at(car.targetMinute - 1).carSocStart.value(j);
    }
    return true;
}

double LimitPlan::leastCost(const QVector<double> &energy, const QVector<MinuteRecord> &run, QVector<double> *perCar,
                            QString *errorString) const
{
    Solution solution;
    if (!solve(Goal::LeastCost, energy, &run, &solution, errorString))
        return -1;
    perCar->fill(0.0, m_scenario.cars.count());
    double total = 0;
    for (size_t c = 0; c < solution.columns.size(); c++) {
        const Solution::Column &column = solution.columns.at(c);
        if (column.kind != Solution::Grid)
            continue;
        const double cost = solution.values.at(c) * column.price;
        (*perCar)[m_sessions.at(column.session).car] += cost;
        total += cost;
    }
    return total;
}

QVector<double> LimitPlan::pvAvailableToCars(const Scenario &scenario, const QVector<MinuteRecord> &records,
                                             double initialBatterySoc, double batteryLowerLimit)
{
    QVector<double> available(records.count());
    const bool batteryFirst = scenario.hasBattery && batteryLowerLimit >= 0;
    const double capacityWh = scenario.batteryCapacityKwh * 1000.0;
    double soc = initialBatterySoc;
    double previousSoc = soc;
    for (int r = 0; r < records.count(); r++) {
        const MinuteRecord &record = records.at(r);
        const double surplus = qMax(0.0, record.pvPower - record.houseLoad);
        double reserved = 0;
        // The plugin decides on the level it saw at the end of the last minute.
        if (batteryFirst && r > 0 && qRound(previousSoc) < qRound(batteryLowerLimit * 100.0))
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
