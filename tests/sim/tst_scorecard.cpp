#include <QtTest>

#include "sim/scorecard.h"

// Which of the owner's goals the scorecard counts as missed, from the
// figures of one car: against the limit, against the peer, and in
// surplus-only charging.
class TestScorecard : public QObject
{
    Q_OBJECT

private slots:
    void goals_data();
    void goals();
    void promises_data();
    void promises();
    void tableCellsStayApart_data();
    void tableCellsStayApart();
};

using Deadline = Report::Deadline;
Q_DECLARE_METATYPE(Report::Deadline)

void TestScorecard::goals_data()
{
    QTest::addColumn<QList<double>>("pv");   // kWh: plugin, peer, limit
    QTest::addColumn<QList<double>>("cost"); // EUR: plugin, peer, limit
    QTest::addColumn<Deadline>("pluginDeadline");
    QTest::addColumn<Deadline>("peerDeadline");
    QTest::addColumn<QList<double>>("surplus"); // kWh: surplus-only charging, its grid beyond the tolerance
    QTest::addColumn<QStringList>("missed");    // the plugin's
    QTest::addColumn<int>("goals");             // the plugin's goals that apply

    const QList<double> noPv{0, 0, 0};
    const QList<double> none{0, 0};
    // over, on/off and phase always apply: 3 goals.
    QTest::newRow("limit's cost 0: a few cents pass")
            << noPv << QList<double>{0.04, 0.04, 0} << Deadline::None << Deadline::None << none << QStringList() << 5;
    QTest::newRow("limit's cost 0: the difference counts") << noPv << QList<double>{0.30, 0.30, 0} << Deadline::None
                                                           << Deadline::None << none << QStringList{"cost"} << 5;
    // Below 0 the 5 % are of the least cost's size, not a factor on it.
    QTest::newRow("least cost below 0: within 5 % and 5 cents")
            << noPv << QList<double>{-0.91, -0.91, -1.0} << Deadline::None << Deadline::None << none << QStringList()
            << 5;
    QTest::newRow("least cost below 0: the difference counts")
            << noPv << QList<double>{-0.89, -0.89, -1.0} << Deadline::None << Deadline::None << none
            << QStringList{"cost"} << 5;
    QTest::newRow("less PV than the peer beyond the slack")
            << QList<double>{9.0, 9.1, 9.2} << QList<double>{0, 0, 0} << Deadline::None << Deadline::None << none
            << QStringList{"pvPeer"} << 5;
    QTest::newRow("less PV than the peer within the slack")
            << QList<double>{9.06, 9.1, 9.2} << QList<double>{0, 0, 0} << Deadline::None << Deadline::None << none
            << QStringList() << 5;
    QTest::newRow("dearer than the peer for the same deadlines")
            << noPv << QList<double>{2.0, 1.5, 1.95} << Deadline::Met << Deadline::Met << none
            << QStringList{"costPeer"} << 6;
    QTest::newRow("dearer for a deadline the peer missed: not compared")
            << noPv << QList<double>{2.0, 1.5, 1.95} << Deadline::Met << Deadline::Missed << none << QStringList() << 5;
    QTest::newRow("grid beyond the tolerance above 2 %")
            << noPv << QList<double>{0, 0, 0} << Deadline::None << Deadline::None << QList<double>{20, 0.5}
            << QStringList{"surplus"} << 4;
    QTest::newRow("grid beyond the tolerance within 2 %")
            << noPv << QList<double>{0, 0, 0} << Deadline::None << Deadline::None << QList<double>{20, 0.39}
            << QStringList() << 4;
    QTest::newRow("a missed deadline the limit met") << noPv << QList<double>{0, 0, 0} << Deadline::Missed
                                                     << Deadline::Missed << none << QStringList{"deadline"} << 4;
}

void TestScorecard::goals()
{
    QFETCH(QList<double>, pv);
    QFETCH(QList<double>, cost);
    QFETCH(Deadline, pluginDeadline);
    QFETCH(Deadline, peerDeadline);
    QFETCH(QList<double>, surplus);
    QFETCH(QStringList, missed);
    QFETCH(int, goals);

    Report::Figures figures[3];
    for (int i = 0; i < 3; i++) {
        Report::CarFigures car;
        car.pvEnergy = pv.at(i);
        car.cost = cost.at(i);
        car.deadline = i == 0 ? pluginDeadline : i == 1 ? peerDeadline : Deadline::Met;
        if (i < 2) {
            car.surplusOnlyEnergy = surplus.at(0);
            car.gridBeyondTolerance = surplus.at(1);
        }
        figures[i].cars << car;
    }
    const bool priced = cost.at(0) != 0;
    Scorecard::Line line;
    line.priced = priced;
    line.plugin = Scorecard::sideOf(figures[0], figures[2], priced);
    line.peer = Scorecard::sideOf(figures[1], figures[2], false);
    Scorecard::compareWithPeer(&line);
    QCOMPARE(line.plugin.missed, missed);
    QCOMPARE(line.plugin.goals, goals);
    QCOMPARE(line.plugin.goalsMet, goals - missed.count());
}

void TestScorecard::promises_data()
{
    QTest::addColumn<int>("promises");
    QTest::addColumn<int>("kept");
    QTest::addColumn<QStringList>("missed");
    QTest::addColumn<int>("goals");

    // over, on/off and phase always apply.
    QTest::newRow("no promise: no goal") << 0 << 0 << QStringList() << 3;
    QTest::newRow("every promise kept") << 2 << 2 << QStringList() << 4;
    QTest::newRow("one promise missed the level reached") << 2 << 1 << QStringList{"promise"} << 4;
}

void TestScorecard::promises()
{
    QFETCH(int, promises);
    QFETCH(int, kept);
    QFETCH(QStringList, missed);
    QFETCH(int, goals);

    Report::Figures figures;
    figures.cars << Report::CarFigures();
    figures.promises = promises;
    figures.promisesKept = kept;
    const Scorecard::Side side = Scorecard::sideOf(figures, figures, false);
    QCOMPARE(side.missed, missed);
    QCOMPARE(side.goals, goals);
}

void TestScorecard::tableCellsStayApart_data()
{
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QString>("expected");

    // Columns 1 to 3 are 7, 6 and 8 wide.
    QTest::newRow("figures within their columns")
            << QStringList{"a", "0.08", "1.20", "1/1"} << QStringLiteral("a                           0.08  1.20     1/1\n");
    QTest::newRow("a figure filling its column after a figure")
            << QStringList{"a", "0.08", "10.17*", "1/1"} << QStringLiteral("a                           0.08 10.17*     1/1\n");
    QTest::newRow("a figure wider than its column after a figure")
            << QStringList{"a", "0.08", "110.17*", "1/1"} << QStringLiteral("a                           0.08 110.17*     1/1\n");
    QTest::newRow("a heading after a blank cell spans on")
            << QStringList{"", "PV/limit", "", "deadline"} << QStringLiteral("                         PV/limit      deadline\n");
}

void TestScorecard::tableCellsStayApart()
{
    QFETCH(QStringList, values);
    QFETCH(QString, expected);

    const QString row = Scorecard::tableRow(values);
    QCOMPARE(row, expected);
    if (!values.first().isEmpty())
        QCOMPARE(row.split(QLatin1Char(' '), Qt::SkipEmptyParts).count(), values.count());
}

QTEST_GUILESS_MAIN(TestScorecard)
#include "tst_scorecard.moc"
