#include "scorecard.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

namespace {

const double pvGoal = 0.95;
const double costGoal = 1.05;
const double costSlack = 0.05;        // EUR: a few cents never fail the goal
const double surplusGridSlack = 0.1;  // kWh
const double surplusGridShare = 0.02; // of the surplus-only charging
const double pvPeerSlack = 0.05;      // kWh
const int switchesGoal = 10;
const int phaseSwitchesGoal = 6;

QString fixed(double value, int decimals = 2)
{
    return QString::number(value, 'f', decimals);
}

QString signedFixed(double value)
{
    const QString text = fixed(value);
    // "-0.00" is no difference.
    return text.startsWith(QLatin1Char('-')) && text != QLatin1String("-0.00")
                   ? text
                   : QLatin1Char('+') + fixed(qAbs(value) < 0.005 ? 0.0 : value);
}

QString ratioText(double value)
{
    return value < 0 ? QStringLiteral("-") : fixed(value);
}

QString deadlineText(const Scorecard::Side &side)
{
    if (side.deadlinesReachable == 0)
        return QStringLiteral("-");
    return QStringLiteral("%1/%2").arg(side.deadlinesMet).arg(side.deadlinesReachable);
}

QString surplusText(const Scorecard::Side &side)
{
    return side.surplusOnlyEnergy > 0.1 ? fixed(side.gridBeyondTolerance) : QStringLiteral("-");
}

const QStringList groupHeads = {QString(),
                                QStringLiteral("PV/limit"),
                                QString(),
                                QStringLiteral("deadline"),
                                QString(),
                                QStringLiteral("cost"),
                                QString(),
                                QString(),
                                QStringLiteral("grid>tol kWh"),
                                QString(),
                                QStringLiteral("over"),
                                QString(),
                                QStringLiteral("on/off"),
                                QString(),
                                QStringLiteral("phase"),
                                QString(),
                                QStringLiteral("vs peer"),
                                QString(),
                                QStringLiteral("goals"),
                                QString()};
const QStringList columnHeads = {QStringLiteral("scenario"), QStringLiteral("plugin"),   QStringLiteral("peer"),
                                 QStringLiteral("plugin"),   QStringLiteral("peer"),     QStringLiteral("plugin/lim"),
                                 QStringLiteral("-lim EUR"), QStringLiteral("peer EUR"), QStringLiteral("plugin"),
                                 QStringLiteral("peer"),     QStringLiteral("plugin"),   QStringLiteral("peer"),
                                 QStringLiteral("plugin"),   QStringLiteral("peer"),     QStringLiteral("plugin"),
                                 QStringLiteral("peer"),     QStringLiteral("PV kWh"),   QStringLiteral("EUR"),
                                 QStringLiteral("plugin"),   QStringLiteral("peer")};
const QList<int> widths = {25, 7, 6, 8, 6, 11, 9, 9, 8, 6, 7, 6, 7, 6, 7, 6, 8, 7, 7, 6};

}

Scorecard::Side Scorecard::sideOf(const Report::Figures &figures, const Report::Figures &limit, bool priced)
{
    Side side;
    double limitPv = 0;
    double limitCost = 0;
    for (int j = 0; j < figures.cars.count(); j++) {
        const Report::CarFigures &car = figures.cars.at(j);
        side.pvEnergy += car.pvEnergy;
        limitPv += limit.cars.at(j).pvEnergy;
        side.cost += car.cost;
        limitCost += limit.cars.at(j).cost;
        side.surplusOnlyEnergy += car.surplusOnlyEnergy;
        side.gridBeyondTolerance += car.gridBeyondTolerance;
        side.met << (car.deadline == Report::Deadline::Met);
        if (car.deadline == Report::Deadline::Met || car.deadline == Report::Deadline::Missed) {
            side.deadlinesReachable++;
            side.deadlinesMet += car.deadline == Report::Deadline::Met ? 1 : 0;
        }
    }
    side.pvRatio = limitPv > 0.1 ? side.pvEnergy / limitPv : -1;
    side.minutesOver = figures.minutesOverLimitByController();
    side.switchesPerDay = figures.worstSwitchesPerChargerDay();
    side.phaseSwitchesPerDay = figures.worstPhaseSwitchesPerChargerDay();
    const auto goal = [&side](const char *name, bool applies, bool met) {
        side.goals += applies ? 1 : 0;
        side.goalsMet += applies && met ? 1 : 0;
        if (applies && !met)
            side.missed << QLatin1String(name);
    };
    goal("pv", side.pvRatio >= 0, side.pvRatio >= pvGoal);
    goal("deadline", side.deadlinesReachable > 0, side.deadlinesMet == side.deadlinesReachable);
    // The share above the least cost counts on its size: below 0 a factor
    // would ask for more than the least cost itself.
    goal("promise", figures.promises > 0, figures.promisesKept == figures.promises);
    goal("cost", priced, side.cost <= limitCost + (costGoal - 1) * qAbs(limitCost) + costSlack);
    goal("surplus", side.surplusOnlyEnergy > 0.1,
         side.gridBeyondTolerance <= qMax(surplusGridSlack, surplusGridShare * side.surplusOnlyEnergy));
    goal("over", true, side.minutesOver == 0);
    goal("onoff", true, side.switchesPerDay <= switchesGoal);
    goal("phase", true, side.phaseSwitchesPerDay <= phaseSwitchesGoal);
    return side;
}

void Scorecard::compareWithPeer(Line *line)
{
    Side &plugin = line->plugin;
    const Side &peer = line->peer;
    line->sameDeadlines = plugin.met == peer.met;
    const auto goal = [&plugin](const char *name, bool applies, bool met) {
        plugin.goals += applies ? 1 : 0;
        plugin.goalsMet += applies && met ? 1 : 0;
        if (applies && !met)
            plugin.missed << QLatin1String(name);
    };
    goal("pvPeer", plugin.pvRatio >= 0, plugin.pvEnergy >= peer.pvEnergy - pvPeerSlack);
    // Meeting a deadline the peer missed costs what it costs.
    goal("costPeer", line->priced && line->sameDeadlines, plugin.cost <= peer.cost + costSlack);
}

void Scorecard::add(const QString &name, const Report &report, const QString &reportText, bool priced)
{
    Line line;
    line.name = name;
    line.title = reportText.section(QLatin1Char('\n'), 0, 0).section(QStringLiteral("Scenario: "), 1);
    line.priced = priced;
    line.plugin = sideOf(report.plugin(), report.limit(), priced);
    // The peer's cost against the least cost of the plugin's energy would
    // compare different energies; it is compared with the plugin's instead.
    line.peer = sideOf(report.peer(), report.limit(), false);
    for (const Report::CarFigures &car : report.limit().cars)
        line.limitCost += car.cost;
    compareWithPeer(&line);
    line.report = reportText;
    line.failures = report.failedExpectations();
    m_lines.append(line);
}

QStringList Scorecard::cells(const Line &line, QStringList *missedGoals) const
{
    const Side &p = line.plugin;
    const Side &q = line.peer;
    const QString none = QStringLiteral("-");
    const QStringList values = {
            line.name,
            ratioText(p.pvRatio),
            ratioText(q.pvRatio),
            deadlineText(p),
            deadlineText(q),
            line.priced && line.limitCost > 0.005 ? fixed(p.cost / line.limitCost) : none,
            line.priced ? signedFixed(p.cost - line.limitCost) : none,
            line.priced ? fixed(q.cost) : none,
            surplusText(p),
            surplusText(q),
            QString::number(p.minutesOver),
            QString::number(q.minutesOver),
            QString::number(p.switchesPerDay),
            QString::number(q.switchesPerDay),
            QString::number(p.phaseSwitchesPerDay),
            QString::number(q.phaseSwitchesPerDay),
            p.pvRatio >= 0 ? signedFixed(p.pvEnergy - q.pvEnergy) : none,
            line.priced ? (line.sameDeadlines ? signedFixed(p.cost - q.cost) : QStringLiteral("n/c")) : none,
            QStringLiteral("%1/%2").arg(p.goalsMet).arg(p.goals),
            QStringLiteral("%1/%2").arg(q.goalsMet).arg(q.goals)};
    // Which goal each cell shows, for the plugin (p) or the peer (q).
    const QList<QPair<const Side *, const char *>> goals = {
            {nullptr, nullptr}, {&p, "pv"},     {&q, "pv"},         {&p, "deadline"},   {&q, "deadline"},
            {&p, "cost"},       {&p, "cost"},   {nullptr, nullptr}, {&p, "surplus"},    {&q, "surplus"},
            {&p, "over"},       {&q, "over"},   {&p, "onoff"},      {&q, "onoff"},      {&p, "phase"},
            {&q, "phase"},      {&p, "pvPeer"}, {&p, "costPeer"},   {nullptr, nullptr}, {nullptr, nullptr}};
    missedGoals->clear();
    for (const auto &goal : goals)
        *missedGoals << (goal.first && goal.first->misses(goal.second) ? QLatin1String(goal.second) : QString());
    // A broken promise shows beside the deadlines.
    if ((*missedGoals)[3].isEmpty() && p.misses("promise"))
        (*missedGoals)[3] = QStringLiteral("promise");
    missedGoals->last() = q.goalsMet < q.goals ? QStringLiteral("goals") : QString();
    (*missedGoals)[missedGoals->count() - 2] = p.goalsMet < p.goals ? QStringLiteral("goals") : QString();
    return values;
}

QString Scorecard::tableRow(const QStringList &values)
{
    QString text;
    for (int i = 0; i < values.count(); i++) {
        const int width = widths.value(i, 8);
        QString value = values.at(i);
        if (!text.isEmpty() && !text.endsWith(QLatin1Char(' ')) && value.size() >= width)
            value.prepend(QLatin1Char(' '));
        text += i == 0 ? value.leftJustified(width) : value.rightJustified(width);
    }
    return text + QLatin1Char('\n');
}

QString Scorecard::table() const
{
    QString text;
    QTextStream out(&text);
    const auto row = [&out](const QStringList &values) { out << tableRow(values); };
    row(groupHeads);
    row(columnHeads);
    int pluginGoals = 0;
    int peerGoals = 0;
    int goals = 0;
    int peerOf = 0;
    for (const Line &line : m_lines) {
        QStringList missed;
        QStringList values = cells(line, &missed);
        // A missed goal is marked with a star.
        for (int i = 1; i < values.count() - 2; i++) {
            if (!missed.at(i).isEmpty())
                values[i] += QLatin1Char('*');
        }
        row(values);
        pluginGoals += line.plugin.goalsMet;
        peerGoals += line.peer.goalsMet;
        goals += line.plugin.goals;
        peerOf += line.peer.goals;
    }
    out << "Goals met: plugin " << pluginGoals << " of " << goals << ", peer " << peerGoals << " of " << peerOf
        << "; * a goal missed.\n"
        << "PV/limit: PV energy of all cars / the limit's; deadline: met / reachable; cost: the plugin's / the least\n"
        << "for the same energy, and the difference in EUR; grid>tol: grid energy in surplus-only charging beyond the\n"
        << "acquisition tolerance; over: minutes over the fuse the controller caused, worst phase; on/off, phase: worst\n"
        << "charger-day; vs peer: the plugin's PV energy and cost less the peer's (n/c: they met other deadlines).\n"
        << "The plugin's deadline cell is marked too when an \"out of reach\" promise missed the level reached by\n"
        << "more than 3 points.\n";
    return text;
}

bool Scorecard::writeHtml(const QString &directory, QString *errorString) const
{
    for (const Line &line : m_lines) {
        QFile report(QDir(directory).filePath(line.name + QStringLiteral(".txt")));
        if (!report.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            *errorString = report.errorString();
            return false;
        }
        report.write(line.report.toUtf8());
    }
    QFile file(QDir(directory).filePath(QStringLiteral("index.html")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *errorString = file.errorString();
        return false;
    }
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Tavro Energy scorecard</title>\n"
        << "<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse}"
        << "td,th{padding:2px 6px;text-align:right;white-space:nowrap;border-bottom:1px solid #ddd}td:first-child,th:first-child{text-align:left}"
        << "td.miss{background:#f8d0d0;color:#900;font-weight:bold}.failed{color:#900}</style></head><body>\n"
        << "<h1>Scorecard: plugin, peer controller and the limit</h1>\n"
        << "<p>Goals per scenario: PV energy at least " << pvGoal
        << " of the limit's; every reachable deadline met; cost at most " << costGoal
        << " of the limit's for the same energy; in surplus-only charging at most " << surplusGridSlack << " kWh and "
        << surplusGridShare * 100
        << " % from the grid beyond the acquisition tolerance; no minute over the fuse the controller caused; at most "
        << switchesGoal << " on/off and " << phaseSwitchesGoal
        << " phase switches per charger and day; the plugin at least the peer's PV energy and at most its cost where "
           "both met the same deadlines. Missed goals are marked.</p>\n";
    writeHtmlTable(out);
    writeHtmlFailures(out);
    out << "<pre>"
        << table().section(QStringLiteral("Goals met:"), 1).prepend(QStringLiteral("Goals met:")).toHtmlEscaped()
        << "</pre>\n</body></html>\n";
    return true;
}

void Scorecard::writeHtmlTable(QTextStream &out) const
{
    out << "<table>\n<tr>";
    for (int i = 0; i < groupHeads.count(); i++)
        out << "<th>" << groupHeads.at(i).toHtmlEscaped() << "</th>";
    out << "<th></th></tr>\n<tr>";
    for (const QString &head : columnHeads)
        out << "<th>" << head.toHtmlEscaped() << "</th>";
    out << "<th>files</th></tr>\n";
    for (const Line &line : m_lines) {
        QStringList missed;
        const QStringList values = cells(line, &missed);
        out << "<tr id=\"" << line.name.toHtmlEscaped() << "\">";
        for (int i = 0; i < values.count(); i++) {
            out << "<td";
            if (!missed.at(i).isEmpty())
                out << " class=\"miss\" data-goal=\"" << missed.at(i) << "\"";
            if (i == 0)
                out << " title=\"" << line.title.toHtmlEscaped() << "\"";
            out << ">" << values.at(i).toHtmlEscaped() << "</td>";
        }
        const QString name = line.name.toHtmlEscaped();
        out << "<td><a href=\"" << name << ".txt\">report</a> <a href=\"" << name << ".csv\">CSV</a> <a href=\"" << name
            << ".png\">chart</a></td></tr>\n";
    }
    out << "</table>\n";
}

void Scorecard::writeHtmlFailures(QTextStream &out) const
{
    bool failed = false;
    for (const Line &line : m_lines)
        failed = failed || !line.failures.isEmpty();
    if (!failed)
        return;
    out << "<h2>Expectations not met</h2>\n<ul class=\"failed\">\n";
    for (const Line &line : m_lines) {
        for (const QString &failure : line.failures)
            out << "<li>" << line.name.toHtmlEscaped() << ": " << failure.toHtmlEscaped() << "</li>\n";
    }
    out << "</ul>\n";
}
