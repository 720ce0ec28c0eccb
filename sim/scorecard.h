#ifndef SCORECARD_H
#define SCORECARD_H

#include "report.h"

#include <QList>
#include <QString>
#include <QStringList>

class QTextStream;

// One line per scenario of the owner's goals, for the plugin and the peer
// controller, as a text table and a static HTML page beside every
// scenario's report, CSV and chart. The goals, each scored where it
// applies:
//   "pv"       PV energy at least 0.95 of the limit's;
//   "deadline" every reachable deadline met;
//   "promise"  (plugin) every "out of reach" promise within 3 points of the
//              level reached (shown with the deadlines);
//   "cost"     (plugin) at most 1.05 of the limit's cost for the same energy,
//              give or take 5 cents;
//   "surplus"  in surplus-only charging, grid energy beyond what the owner's
//              acquisition tolerance lets the grid cover at most 0.1 kWh and
//              2 % of that charging;
//   "over"     no minute over the fuse that the controller caused;
//   "onoff", "phase" at most 10 on/off and 6 phase switches per charger and day;
//   "pvPeer"   (plugin) at least the peer's PV energy, give or take 0.05 kWh;
//   "costPeer" (plugin) at most the peer's cost, give or take 5 cents, where
//              both met the same deadlines.
class Scorecard
{
public:
    struct Side {
        double pvRatio = -1; // PV energy / the limit's, -1 without PV to take
        double pvEnergy = 0; // kWh
        int deadlinesMet = 0;
        int deadlinesReachable = 0;
        QVector<bool> met;              // per car: a deadline met
        double cost = 0;                // EUR
        double surplusOnlyEnergy = 0;   // kWh charged surplus-only
        double gridBeyondTolerance = 0; // kWh of it from the grid beyond the tolerance
        int minutesOver = 0;            // caused by the controller, worst phase
        int switchesPerDay = 0;         // worst charger-day
        int phaseSwitchesPerDay = 0;
        QStringList missed; // the goals above it missed
        int goalsMet = 0;
        int goals = 0;

        bool misses(const char *goal) const { return missed.contains(QLatin1String(goal)); }
    };
    struct Line {
        QString name; // file name without .json
        QString title;
        Side plugin;
        Side peer;
        double limitCost = 0; // EUR, the least cost of the plugin's energy
        bool priced = false;
        bool sameDeadlines = true; // plugin and peer met the same deadlines
        QString report;            // the scenario's printed report
        QStringList failures;      // its expectations that failed
    };

    void add(const QString &name, const Report &report, const QString &reportText, bool priced);
    QString table() const;
    // Writes index.html and every scenario's report <name>.txt into
    // directory, beside the CSVs and charts; the page names them relative
    // to itself.
    bool writeHtml(const QString &directory, QString *errorString) const;

    const QList<Line> &lines() const { return m_lines; }
    // One line of the text table: every cell in its column's width, and a
    // blank before a cell that fills its column where the cell before ends
    // in a figure, so that no two figures run together.
    static QString tableRow(const QStringList &values);
    static Side sideOf(const Report::Figures &figures, const Report::Figures &limit, bool priced);
    // Scores the plugin against the peer in line (goals "pvPeer", "costPeer").
    static void compareWithPeer(Line *line);

private:
    // The cells of a line, plain; missedGoal[i] names the goal a cell shows
    // when that goal was missed.
    QStringList cells(const Line &line, QStringList *missedGoals) const;
    // writeHtml(): the table with a row per scenario and its files' links.
    void writeHtmlTable(QTextStream &out) const;
    // writeHtml(): every failed expectation, nothing when all were met.
    void writeHtmlFailures(QTextStream &out) const;

    QList<Line> m_lines;
};

#endif // SCORECARD_H
