#include "scorecard.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

namespace {

const double pvGoal = 0.95;
const double costGoal = 1.05;
const double costSlack = 0.05; // EUR: a few cents never fail the goal
const int switchesGoal = 10;
const int phaseSwitchesGoal = 6;

QString ratioText(double value)
{
    return value < 0 ? QStringLiteral("-") : QString::number(value, 'f', 2);
}

QString deadlineText(const Scorecard::Side &side)
{
    if (side.deadlinesReachable == 0)
        return QStringLiteral("-");
    return QStringLiteral("%1/%2").arg(side.deadlinesMet).arg(side.deadlinesReachable);
}

QString costText(double cost, double limit, bool priced)
{
    if (!priced)
        return QStringLiteral("-");
    return limit > 0.005 ? QString::number(cost / limit, 'f', 2) : QStringLiteral("%1 EUR").arg(cost, 0, 'f', 2);
}

}

Scorecard::Side Scorecard::sideOf(const Report::Figures &figures, const Report::Figures &limit, bool priced)
{
    Side side;
    double pv = 0;
    double limitPv = 0;
    double limitCost = 0;
    for (int j = 0; j < figures.cars.count(); j++) {
        const Report::CarFigures &car = figures.cars.at(j);
        pv += car.pvEnergy;
        limitPv += limit.cars.at(j).pvEnergy;
        side.cost += car.cost;
        limitCost += limit.cars.at(j).cost;
        if (car.deadline == Report::Deadline::Met || car.deadline == Report::Deadline::Missed) {
            side.deadlinesReachable++;
            side.deadlinesMet += car.deadline == Report::Deadline::Met ? 1 : 0;
        }
    }
    side.pvRatio = limitPv > 0.1 ? pv / limitPv : -1;
    side.minutesOver = figures.minutesOverLimitByController();
    side.switchesPerDay = figures.worstSwitchesPerChargerDay();
    side.phaseSwitchesPerDay = figures.worstPhaseSwitchesPerChargerDay();
    const auto goal = [&side](bool applies, bool met) {
        side.goals += applies ? 1 : 0;
        side.goalsMet += applies && met ? 1 : 0;
    };
    goal(side.pvRatio >= 0, side.pvRatio >= pvGoal);
    goal(side.deadlinesReachable > 0, side.deadlinesMet == side.deadlinesReachable);
    goal(priced, side.cost <= costGoal * limitCost + costSlack);
    goal(true, side.minutesOver == 0);
    goal(true, side.switchesPerDay <= switchesGoal);
    goal(true, side.phaseSwitchesPerDay <= phaseSwitchesGoal);
    return side;
}

void Scorecard::add(const QString &name, const Report &report, const QString &reportText, bool priced)
{
    Line line;
    line.name = name;
    line.title = reportText.section(QLatin1Char('\n'), 0, 0).section(QStringLiteral("Scenario: "), 1);
    line.priced = priced;
    line.plugin = sideOf(report.plugin(), report.limit(), priced);
    // The peer's cost against the least cost of the plugin's energy would
    // compare different energies; it is shown in EUR beside the plugin's.
    line.peer = sideOf(report.peer(), report.limit(), false);
    for (const Report::CarFigures &car : report.limit().cars)
        line.limitCost += car.cost;
    line.report = reportText;
    line.failures = report.failedExpectations();
    m_lines.append(line);
}

QString Scorecard::table() const
{
    QString text;
    QTextStream out(&text);
    const auto cells = [&out](const QStringList &values, const QList<int> &widths) {
        for (int i = 0; i < values.count(); i++)
            out << qSetFieldWidth(widths.at(i)) << (i == 0 ? Qt::left : Qt::right) << values.at(i);
        out << qSetFieldWidth(0) << "\n";
    };
    const QList<int> widths = {25, 7, 6, 8, 6, 12, 10, 7, 6, 7, 6, 7, 6, 7, 6};
    cells({QString(), QStringLiteral("PV/limit"), QString(), QStringLiteral("deadline"), QString(),
           QStringLiteral("cost"), QString(), QStringLiteral("over"), QString(), QStringLiteral("on/off"), QString(),
           QStringLiteral("phase"), QString(), QStringLiteral("goals"), QString()},
          widths);
    cells({QStringLiteral("scenario"), QStringLiteral("plugin"), QStringLiteral("peer"), QStringLiteral("plugin"),
           QStringLiteral("peer"), QStringLiteral("plugin/lim"), QStringLiteral("peer EUR"), QStringLiteral("plugin"),
           QStringLiteral("peer"), QStringLiteral("plugin"), QStringLiteral("peer"), QStringLiteral("plugin"),
           QStringLiteral("peer"), QStringLiteral("plugin"), QStringLiteral("peer")},
          widths);
    int pluginGoals = 0;
    int peerGoals = 0;
    int goals = 0;
    int peerOf = 0;
    for (const Line &line : m_lines) {
        cells({line.name, ratioText(line.plugin.pvRatio), ratioText(line.peer.pvRatio), deadlineText(line.plugin),
               deadlineText(line.peer), costText(line.plugin.cost, line.limitCost, line.priced),
               line.priced ? QString::number(line.peer.cost, 'f', 2) : QStringLiteral("-"),
               QString::number(line.plugin.minutesOver), QString::number(line.peer.minutesOver),
               QString::number(line.plugin.switchesPerDay), QString::number(line.peer.switchesPerDay),
               QString::number(line.plugin.phaseSwitchesPerDay), QString::number(line.peer.phaseSwitchesPerDay),
               QStringLiteral("%1/%2").arg(line.plugin.goalsMet).arg(line.plugin.goals),
               QStringLiteral("%1/%2").arg(line.peer.goalsMet).arg(line.peer.goals)},
              widths);
        pluginGoals += line.plugin.goalsMet;
        peerGoals += line.peer.goalsMet;
        goals += line.plugin.goals;
        peerOf += line.peer.goals;
    }
    out << "Goals met: plugin " << pluginGoals << " of " << goals << ", peer " << peerGoals << " of " << peerOf
        << " (the peer's cost is not scored: it delivers other energies)\n"
        << "PV/limit: PV energy of all cars / the limit's; deadline: met / reachable; cost: the plugin's / the least for the same\n"
        << "energy (EUR when that is 0); over: minutes over the fuse the controller caused, worst phase; on/off, phase: worst\n"
        << "charger-day.\n";
    return text;
}

bool Scorecard::writeHtml(const QString &directory, QString *errorString) const
{
    QFile file(QDir(directory).filePath(QStringLiteral("index.html")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *errorString = file.errorString();
        return false;
    }
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Tavro Energy scorecard</title>\n"
        << "<style>body{font-family:sans-serif;margin:2em}pre{background:#f4f4f4;padding:1em;overflow-x:auto}"
        << "img{max-width:100%;border:1px solid #ccc}.miss{color:#b00}</style></head><body>\n"
        << "<h1>Scorecard: plugin, peer controller and the limit</h1>\n"
        << "<p>Goals per scenario: PV energy at least " << pvGoal
        << " of the limit, every reachable deadline met, cost at most " << costGoal
        << " of the limit's for the same energy, no minute over the fuse the controller caused, at most "
        << switchesGoal << " on/off and " << phaseSwitchesGoal << " phase switches per charger and day.</p>\n"
        << "<pre>" << table().toHtmlEscaped() << "</pre>\n<ul>\n";
    for (const Line &line : m_lines)
        out << "<li><a href=\"#" << line.name << "\">" << line.title.toHtmlEscaped() << "</a>"
            << (line.failures.isEmpty() ? QString()
                                        : QStringLiteral(" <span class=\"miss\">(expectations not met)</span>"))
            << "</li>\n";
    out << "</ul>\n";
    for (const Line &line : m_lines) {
        out << "<h2 id=\"" << line.name << "\">" << line.title.toHtmlEscaped() << "</h2>\n"
            << "<img src=\"" << line.name << ".png\" alt=\"" << line.title.toHtmlEscaped() << "\">\n"
            << "<pre>" << line.report.toHtmlEscaped() << "</pre>\n";
    }
    out << "</body></html>\n";
    return true;
}
