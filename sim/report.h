#ifndef REPORT_H
#define REPORT_H

#include "household.h"
#include "limitplan.h"
#include "ownertimeline.h"

#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

class QTextStream;
class Simulation;

// What a run achieved, next to references on the same household and
// prices: "peer" (PeerController in a household of its own), "baseline" (a plain charger at full power from plug-in
// until the car is full) and "limit" (the best any controller could do with perfect knowledge, LimitPlan; its cost is
// the least cost of the energy the plugin delivered). Energies in kWh at the charger, costs in EUR at the spot price,
// currents in A.
//
// PV energy counts what the cars took of the PV the household could give
// them: PV minus house load, less what the home battery takes first while
// it is below the owner's lower limit (the battery as it would run without
// the cars, the same for every column).
class Report
{
public:
    enum class Deadline {
        None,
        Met,
        Missed,
        Unreachable
    };

    struct CarFigures {
        QString name;
        double energy = 0;
        double pvEnergy = 0;
        double gridEnergy = 0;
        double cost = 0;
        double socAtTarget = -1; // -1 without a target time
        double targetPercentage = 0;
        Deadline deadline = Deadline::None;
        double finalSoc = 0;
        double dischargedEnergy = 0;  // kWh out of the car (bidirectional DC)
        double lowestSoc = 100;       // % while plugged in
        double largestSocError = -1;  // % |estimate - truth|, -1 for a car that reports its own level
        double usefulEnergy = 0;      // of energy, what went in below the car's ceiling
        double usefulPvEnergy = 0;    // of pvEnergy, likewise
        double surplusOnlyEnergy = 0; // kWh charged while the owner wanted surplus only (eco, no target, no share)
        double gridBeyondTolerance =
                0; // of that, grid energy beyond what the acquisition tolerance lets the grid cover
        // Of that, in minutes the charger drew more than its minimum: it was
        // still following a surplus that had just gone (a cloud's first
        // minute), not riding a dip out at the minimum.
        double gridBeyondToleranceAboveMinimum = 0;
        double toHomeBattery = 0;   // kWh the car's discharge put into the home battery
        double nightGridEnergy = 0; // of gridEnergy, what came in minutes without PV
    };
    struct Figures {
        QVector<CarFigures> cars;
        int minutesOverLimit[3] = {0, 0, 0};
        int minutesOverAfterOutsideStep[3] = {
                0, 0, 0}; // of those, the first minute after a load step the controller did not command
        // Of those, minutes no charger drew on the phase: the house alone
        // was over the limit, nothing the controller could take back.
        int minutesOverByHouseAlone[3] = {0, 0, 0};
        double largestOvershoot[3] = {0, 0, 0}; // A above the limit
        int longestRunOverLimit = 0;            // most minutes in a row over the limit, any phase
        int switches = 0;                       // on/off changes of all chargers
        int phaseSwitches = 0;                  // switches between 1 and 3 phases that interrupted charging
        QVector<QVector<int>> switchesPerDay;   // [charger][local day of the run]
        // Of those, the switches in the minute of an owner's step or the one
        // after (a hand on the charger, a mode change, a plug-in): not the
        // controller's doing, though they count above.
        QVector<QVector<int>> ownerSwitchesPerDay;
        QVector<QVector<int>> phaseSwitchesPerDay;
        double energyWhileBatteryLow = 0; // kWh to cars while the home battery is below its lower limit
        // "Out of reach" promises to the owner, the last one per car before
        // its target time, and those that named the level reached within 3 points.
        int promises = 0;
        int promisesKept = 0;
        QStringList promisesJudged; // "Car 1: told 85 % at 23:02, reached 81.9 %", one per promise counted

        // Minutes over the limit on the worst phase, not counting the first
        // minute after an outside load step nor those of the house alone.
        int minutesOverLimitByController() const;
        int worstSwitchesPerChargerDay() const;
        int worstPhaseSwitchesPerChargerDay() const;
    };

    explicit Report(const Simulation &simulation);

    const Figures &plugin() const { return m_plugin; }
    const Figures &peer() const { return m_peer; }
    const Figures &baseline() const { return m_baseline; }
    const Figures &limit() const { return m_limit; }
    // The energy each car got from the plugin (atOnce) or the peer
    // (peerAtOnce), charged at full power from each plug-in instead: what
    // the same result costs without smart charging.
    const Figures &atOnce() const { return m_atOnce; }
    const Figures &peerAtOnce() const { return m_peerAtOnce; }

    QString table() const;
    // The scenario's expectations that did not hold, as readable lines.
    QStringList failedExpectations() const { return m_failures; }
    // Expectations the scenario lists as pending, with whether they hold now.
    QStringList pendingExpectations() const { return m_pending; }
    // Where the plugin or the peer beat the limit (also among the failed
    // expectations): each a hole in the limit.
    QStringList limitViolations() const { return m_limitViolations; }
    // Where a run's PV was held against more than the limit's: it gave a
    // deadline less than the limit did, so the most PV with its own
    // deadlines bounds it.
    QStringList limitExcuses() const { return m_limitExcuses; }

    // One line per minute: the local date-time with its offset, the local
    // clock in hours from the first local midnight, the household, and per
    // charger its power, phases, on/off state and phase-switch pause.
    bool writeCsv(const QString &fileName, QString *errorString) const;
    QStringList csvColumns() const;
    // Runs gnuplot on the CSV.
    // Local clock times and dates on the axis, prices in ct/kWh under what
    // the chargers drew, a legend entry only for what the household has.
    bool writeChart(const QString &csvFileName, const QString &pngFileName, QString *errorString) const;
    // The gnuplot script writeChart() runs.
    QString chartScript(const QString &csvFileName, const QString &pngFileName) const;
    // gnuplot's "set xtics (...)" line: local clock times at real minutes.
    QString chartTics() const;

    // Figures of a controller's run from its minute records; pvAvailable
    // holds the PV (W) the cars may take in each minute; an overshoot in one
    // of ownerActionMinutes (the owner operating a device or changing a
    // setting) counts as the first minute after an outside step; an on/off
    // switch in one of ownerSwitchMinutes or the minute after counts as the
    // owner's. Energy counts as useful up to the ceiling the owner's wish of
    // the minute sets (owner; without it the scenario's configurations).
    static Figures figuresOf(const Scenario &scenario, const QVector<MinuteRecord> &records,
                             const QVector<double> &pvAvailable, const QSet<int> &ownerActionMinutes = QSet<int>(),
                             const OwnerTimeline *owner = nullptr, const QSet<int> &ownerSwitchMinutes = QSet<int>());
    // Per car and minute after the start: the owner wants it charged from
    // the surplus only (eco mode without a target time or daily share), by
    // its configuration and the scripted changes to it. Empty for a soak.
    static QVector<QVector<bool>> surplusOnlyMinutes(const Scenario &scenario);
    // The per-phase current (A) the chargers drew in a minute.
    static void chargerPhaseCurrents(const Scenario &scenario, const MinuteRecord &record, double *current);

private:
    // chartScript()'s panels of the powers (kW) and the states of charge
    // (%), plotting data (the quoted CSV file) by the CSV's columns.
    QString chartPowerPanel(const QString &data, const QStringList &columns) const;
    QString chartSocPanel(const QString &data, const QStringList &columns) const;
    bool batteryLow(int recordIndex) const;
    void computePlugin();
    // Every car at full power from each plug-in until it is full, or until
    // it has energyCap[car] kWh (the at-once reference for the same energy).
    Figures chargedAtOnce(const QVector<double> &energyCap) const;
    // chargedAtOnce(): every car's W in one minute (power), its SoC (%) and
    // whether it charges (1/0) follow, switches are counted in result and
    // the draw added to phaseCurrent (A per phase); W of all cars.
    double chargeAtOnce(const MinuteRecord &record, const QVector<double> &energyCap, QVector<double> *soc,
                        QVector<int> *charging, QVector<double> *power, double *phaseCurrent, Figures *result) const;
    void computeLimit();
    // computeLimit(): the plan's figures per car, at the least cost (EUR per car).
    void takeLimitCars(const LimitPlan &plan, const QVector<double> &leastCost);
    void judgeDeadlines(Figures *figures) const;
    void checkBounds();
    // Every expectation of the scenario against the plugin's figures:
    // m_failures and m_pending.
    void evaluateExpectations();
    // The sections of table(), in its order (report.cpp).
    class Table;
    void writeCarEnergy(Table *table, int j) const;
    // False for a car without a target time.
    bool writeCarDeadline(Table *table, int j) const;
    void writeCarDischarge(Table *table, int j) const;
    void writeAllCars(Table *table, QTextStream &out) const;
    void writePhases(Table *table, QTextStream &out) const;
    void writeSwitches(Table *table, QTextStream &out) const;
    // The plugin's switches of one charger per day that the owner's steps
    // caused (none: no line).
    void writeOwnerSwitches(int charger, QTextStream &out) const;
    // The home battery and the notifications, then writeForecastAndSoak.
    void writeHousehold(Table *table, QTextStream &out) const;
    void writeForecastAndSoak(QTextStream &out) const;
    class Checker;
    // One car's own goals ("cars": {"Name": {…}}).
    void checkCarExpectations(int carIndex, const QJsonObject &expected, Checker *checker) const;
    // One car's goals relative to the limit and the baseline.
    void checkCarAgainstReferences(int carIndex, const QJsonObject &expected, Checker *checker) const;
    void checkPhaseLimitExpectations(Checker *checker) const;
    // The cars together: counts, fairness, PV, switches, battery, notifications, forecast.
    void checkChargingExpectations(Checker *checker) const;
    // The "random" section's calls, plug events, heap and faults.
    void checkSoakExpectations(Checker *checker) const;
    // The last "out of reach" notification before each target time against
    // the level the car reached by then: a promise more than 3 points off
    // is a failure.
    void checkPromises();
    // Whether car j was unplugged in a minute from `from` on, before `to`.
    bool unpluggedBetween(int j, int from, int to) const;

    const Simulation &m_simulation;
    QVector<double> m_pvAvailable;  // W per minute
    QString m_limitError;           // why the limit could not be computed
    QVector<bool> m_reachable;      // per car: its deadline met in the limit, with every other deadline
    QVector<bool> m_reachableFirst; // per car: its deadline can be met with the car going first
    QVector<LimitPlan::DeadlineResult> m_limitDeadlines; // every deadline the owner set
    QVector<double> m_pluginDeadlineEnergy;              // kWh the plugin gave each of them
    QVector<double> m_peerDeadlineEnergy;
    double m_peerLeastCost = 0; // EUR, the least cost of the energy the peer delivered
    double m_pluginPvBound = 0; // kWh of PV the plugin's run may not exceed
    double m_peerPvBound = 0;
    Figures m_plugin;
    Figures m_peer;
    Figures m_baseline;
    Figures m_limit;
    Figures m_atOnce;
    Figures m_peerAtOnce;
    QStringList m_failures;
    QStringList m_pending;
    QStringList m_limitViolations;
    QStringList m_limitExcuses;
};

#endif // REPORT_H
