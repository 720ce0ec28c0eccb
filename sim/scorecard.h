#ifndef SCORECARD_H
#define SCORECARD_H

#include "report.h"

#include <QList>
#include <QString>

// One line per scenario of the owner's goals, for the plugin and the peer
// controller, as a text table and a static HTML page with every scenario's
// report and chart. The goals: PV energy at least 0.95 of the limit, every
// reachable deadline met, cost at most 1.05 of the limit's for the same
// energy (give or take 5 cents), no minute over the fuse that the controller
// caused, at most 10 on/off and 6 phase switches per charger and day.
class Scorecard
{
public:
    struct Side {
        double pvRatio = -1; // PV energy / the limit's, -1 without PV
        int deadlinesMet = 0;
        int deadlinesReachable = 0;
        double cost = 0;        // EUR
        int minutesOver = 0;    // caused by the controller, worst phase
        int switchesPerDay = 0; // worst charger-day
        int phaseSwitchesPerDay = 0;
        int goalsMet = 0;
        int goals = 0;
    };
    struct Line {
        QString name; // file name without .json
        QString title;
        Side plugin;
        Side peer;
        double limitCost = 0; // EUR, the least cost of the plugin's energy
        bool priced = false;
        QString report;       // the scenario's printed report
        QStringList failures; // its expectations that failed
    };

    void add(const QString &name, const Report &report, const QString &reportText, bool priced);
    QString table() const;
    // Writes index.html into directory, beside the charts <name>.png.
    bool writeHtml(const QString &directory, QString *errorString) const;

    static Side sideOf(const Report::Figures &figures, const Report::Figures &limit, bool priced);

private:
    QList<Line> m_lines;
};

#endif // SCORECARD_H
