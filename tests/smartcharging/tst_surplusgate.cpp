#include "smartcharging/surplusgate.h"

#include <QtTest>

namespace {

// One letter per minute of surplus for a 6 A car (1380 W on one phase),
// acquisition tolerance 0.5 unless a case names another: "=" -1500 W
// (another car at its minimum draws the PV and 1500 W more), "#" -1500 W
// (the house alone imports 1500 W), "0" no surplus, "_" 300 W (short even
// on one phase), "."
// 1000 W (one phase within the tolerance), "-" 1700 W (one phase covered),
// "o" 3000 W (three phases within the tolerance), "O" 6000 W (three
// covered). The charger follows the gate: one letter per minute of what it
// then does, "1"/"3" its phases, "-" off.
double surplusOf(QChar letter)
{
    switch (letter.toLatin1()) {
    case '=':
    case '#':
        return -1500;
    case '0':
        return 0;
    case '_':
        return 300;
    case '.':
        return 1000;
    case '-':
        return 1700;
    case 'o':
        return 3000;
    default:
        return 6000;
    }
}

// Feeds the gate minute by minute as the surplus plan does: the best count
// is three once the surplus covers three minimums, else one.
QString follow(SurplusGate &gate, const QString &surplus, const SurplusGate::Delays &delays, uint fewest = 1,
               const QDateTime &start = QDateTime(QDate(2026, 5, 10), QTime(10, 0)), double tolerance = 0.5)
{
    uint present = 0;
    QString done;
    for (int minute = 0; minute < surplus.count(); minute++) {
        const QDateTime now = start.addSecs(minute * 60);
        SurplusGate::Reading reading;
        reading.surplusPower = surplusOf(surplus.at(minute));
        reading.phaseMinimum = 1380;
        reading.tolerance = tolerance;
        reading.allowedShare = 1.0 - tolerance;
        reading.houseImport = surplus.at(minute) == '#' ? 1500 : 0;
        reading.fewestPhases = fewest;
        reading.bestPhases = reading.surplusPower >= 3 * 1380 || fewest == 3 ? 3 : 1;
        reading.presentPhases = present;
        reading.running = present > 0;
        const uint phases = gate.phaseCount(reading, now, delays);
        const bool on = gate.chargingEnabled(reading, phases, now, delays);
        present = on ? phases : 0;
        done += on ? QString::number(phases) : QStringLiteral("-");
    }
    return done;
}

SurplusGate::Delays minutes(uint up, uint down, uint hold, uint start, uint stop)
{
    SurplusGate::Delays delays;
    delays.phaseUp = up * 60;
    delays.phaseDown = down * 60;
    delays.phaseHold = hold * 60;
    delays.start = start * 60;
    delays.stop = stop * 60;
    return delays;
}

}

struct GateCase {
    SurplusGate::Delays delays;
    uint fewest;
    QString surplus;
    QString expected;
    double tolerance = 0.5;
};
Q_DECLARE_METATYPE(GateCase)

class TestSurplusGate : public QObject
{
    Q_OBJECT

private slots:
    void sequence_data();
    void sequence();
    void reserveCountsWhatTheGapLeft();
    void phaseSwitchesPerDay();
    void stopTimerStartsAgainWhenCovered_data();
    void stopTimerStartsAgainWhenCovered();
    void stopOutsideTheGateDelaysTheRestart_data();
    void stopOutsideTheGateDelaysTheRestart();
};

void TestSurplusGate::sequence_data()
{
    QTest::addColumn<GateCase>("c");
    // A stop delay of 10 minutes: a full reserve is 690 W for 10 minutes.
    QTest::newRow("all delays 0: the minute decides") << GateCase{minutes(0, 0, 0, 0, 0), 1, "OO_O.-_", "33-311-"};
    // The first minute of a charge spends nothing. "_" on one phase buys
    // 1080 W, 390 W beyond the tolerance: the reserve lasts 17 minutes.
    QTest::newRow("a dip without surplus on one phase: ridden on the reserve, then off")
            << GateCase{minutes(10, 10, 15, 0, 10), 1, "..______________________.", "1111111111111111111-----1"};
    QTest::newRow("within the tolerance the charge goes on however long") << GateCase{
            minutes(10, 10, 15, 0, 10), 1, "................................", "11111111111111111111111111111111"};
    // On three phases "-" buys 2440 W, 370 W beyond: 18 minutes of reserve,
    // then one phase, where 1700 W cover the minimum.
    QTest::newRow("a dip on three phases: ridden out, then on one phase, not off")
            << GateCase{minutes(10, 30, 15, 0, 10), 1, "O-----------------------", "333333333333333333331111"};
    // "." on three phases buys 3140 W, 1070 W beyond: 6 minutes.
    QTest::newRow("a deep dip on three phases spends the reserve sooner")
            << GateCase{minutes(10, 30, 15, 0, 10), 1, "O..........", "33333333111"};
    // Its fewest phases are three: a reserve three times as large, 19 minutes.
    QTest::newRow("a fixed three-phase charger stops instead")
            << GateCase{minutes(10, 30, 15, 0, 10), 3, "O........................", "333333333333333333333----"};
    // Up after 10 minutes covered on three, "o" minutes count against it.
    QTest::newRow("up after the up delay, net of the minutes only within the tolerance")
            << GateCase{minutes(10, 10, 0, 0, 10), 1, "-OOOOOoOOOOOOOO", "111111111111333"};
    QTest::newRow("a dip below the tolerance starts the up wait again")
            << GateCase{minutes(10, 10, 0, 0, 10), 1, "-OOOOOOOOO.OOOOOOOOOO", "111111111111111111113"};
    // Down after 10 minutes short of the three-phase minimum; minutes that
    // cover it within the tolerance count half, sunny gaps count against.
    QTest::newRow("down within the tolerance after twice the down delay")
            << GateCase{minutes(0, 10, 0, 0, 10), 1, "O" + QString(25, 'o'), QString(20, '3') + QString(6, '1')};
    QTest::newRow("down net of sunny gaps")
            << GateCase{minutes(0, 10, 0, 0, 10), 1, "O" + QString(10, 'o') + "OO" + QString(20, 'o'),
                        QString(26, '3') + QString(7, '1')};
    // At tolerance 1 a minute short of three minimums goes to one phase at
    // once. The sun back for a quarter of the up delay takes it up again
    // within the hold time; a second dip within twice the hold time keeps
    // it on one phase for the hold time.
    QTest::newRow("one short dip: back up soon; a second one: held")
            << GateCase{minutes(10, 10, 15, 0, 10), 1, "OOO-" + QString(10, 'O') + "-" + QString(20, 'O'),
                        "333111" + QString(8, '3') + QString(15, '1') + QString(6, '3'), 1.0};
    QTest::newRow("no switch within the hold time of the last")
            << GateCase{minutes(1, 1, 15, 0, 10), 1, "-OOoooooooooooooooo", "1333333333333333111"};
    // Without any surplus the minimum on one phase buys 345 W beyond a
    // tolerance of 0.25: 10 minutes of it, not the allowance's worth
    // (1035 W for 10 minutes), which would ride half an hour of cloud out.
    QTest::newRow("tolerance 0.25: a dip without surplus is ridden out for the stop delay")
            << GateCase{minutes(10, 10, 15, 0, 10), 1, "-" + QString(14, '0'), QString(11, '1') + "----", 0.25};
    // Another car's minimum is not this one's to ride out: counted, it
    // would spend the reserve in two minutes and stop the car in a short
    // cloud. What the house imports alone does count: the sun is going.
    QTest::newRow("tolerance 0.25: another car's draw does not shorten the ride")
            << GateCase{minutes(10, 10, 15, 0, 10), 1, "-" + QString(14, '='), QString(11, '1') + "----", 0.25};
    QTest::newRow("tolerance 0.25: the house's own import does")
            << GateCase{minutes(10, 10, 15, 0, 10), 1, "-" + QString(14, '#'), "111" + QString(12, '-'), 0.25};
    // At 0.75 it buys 1035 W beyond it, the allowance (345 W for 10
    // minutes) lasts 4 minutes.
    QTest::newRow("tolerance 0.75: the allowance bounds the ride sooner")
            << GateCase{minutes(10, 10, 15, 0, 10), 1, "-" + QString(9, '0'), "11111-----", 0.75};
    QTest::newRow("a restart after a stop waits for the start delay")
            << GateCase{minutes(10, 10, 15, 3, 0), 1, "._.......", "1----1111"};
    // Four stops a day: the next restart waits ten minutes more, unless
    // "o" is twice the minimum on one phase and the charge before the
    // fourth stop ran at least twice those ten minutes (here 21).
    const QString shortRuns = "oo_oo_oo_";
    const QString stoppedThrice = "11--1--1--";
    QTest::newRow("after an eleven-minute run an ample restart waits the day's longer wait")
            << GateCase{minutes(10, 10, 15, 1, 0), 1, shortRuns + QString(12, 'o') + "_" + QString(13, 'o'),
                        stoppedThrice + QString(11, '1') + QString(12, '-') + "11"};
    QTest::newRow("after a steady run an ample restart waits only the start delay")
            << GateCase{minutes(10, 10, 15, 1, 0), 1, shortRuns + QString(22, 'o') + "_" + QString(13, 'o'),
                        stoppedThrice + QString(21, '1') + "--" + QString(12, '1')};
    QTest::newRow("after a steady run a restart that only covers the minimum waits")
            << GateCase{minutes(10, 10, 15, 1, 0), 1, shortRuns + QString(22, 'o') + "_" + QString(13, '-'),
                        stoppedThrice + QString(21, '1') + QString(12, '-') + "11"};
}

void TestSurplusGate::sequence()
{
    QFETCH(GateCase, c);
    SurplusGate gate;
    QCOMPARE(follow(gate, c.surplus, c.delays, c.fewest, QDateTime(QDate(2026, 5, 10), QTime(10, 0)), c.tolerance),
             c.expected);
}

void TestSurplusGate::reserveCountsWhatTheGapLeft()
{
    // 15 minutes without surplus spend 91 of the 115 Wh (the first minute
    // of a charge spends nothing); a two-minute sunny gap adds 23 Wh (690 W
    // for 2 minutes), enough for 7 minutes more, not for another 17.
    SurplusGate gate;
    const QString done = follow(gate, "." + QString(15, '_') + "--" + QString(12, '_'), minutes(10, 10, 15, 0, 10));
    QCOMPARE(done, QString(25, '1') + QString(5, '-'));
}

void TestSurplusGate::phaseSwitchesPerDay()
{
    // Sun for 12 minutes and clouds for 20 all morning: without a bound
    // every cloud would switch twice. An up-switch keeps one of the day's
    // six for the way back down: the morning ends on one phase after five.
    // The last one goes up only after three times the up delay of sun
    // (15 minutes), so a steady afternoon is not spent on one phase.
    SurplusGate gate;
    QString weather;
    for (int i = 0; i < 6; i++)
        weather += QString(12, 'O') + QString(20, 'o');
    const QString afternoon = QString(30, 'O') + QString(10, 'o');
    const QDateTime start(QDate(2026, 5, 10), QTime(7, 0));
    const QString done = follow(gate, weather + afternoon, minutes(5, 5, 5, 0, 10), 1, start);
    const QString morning = done.left(weather.count());
    int switches = 0;
    for (int i = 1; i < morning.count(); i++)
        switches += morning.at(i) != morning.at(i - 1) && morning.at(i) != '-' && morning.at(i - 1) != '-' ? 1 : 0;
    QCOMPARE(switches, SurplusGate::maxPhaseSwitchesPerDay - 1);
    QCOMPARE(morning.right(1), QStringLiteral("1"));
    // The sixth switch: up in the afternoon's 15th minute of sun, then the
    // clouds are ridden out on three phases within the tolerance.
    QCOMPARE(done.mid(weather.count()), QString(14, '1') + QString(26, '3'));
    QCOMPARE(gate.phaseSwitchesOn(start.date()), SurplusGate::maxPhaseSwitchesPerDay);
    // A new day starts with a new count.
    QCOMPARE(follow(gate, "OOOOOO" + QString(12, 'o'), minutes(5, 5, 5, 0, 10), 1, start.addDays(1)),
             QString(15, '3') + "111");
}

void TestSurplusGate::stopTimerStartsAgainWhenCovered_data()
{
    QTest::addColumn<QString>("covered"); // "x" short, "c" covered, one per minute
    QTest::addColumn<QString>("expected");
    // Stop delay 4 minutes.
    QTest::newRow("short for the stop delay: off") << "cxxxxx"
                                                   << "111110";
    QTest::newRow("covered again: the delay starts anew") << "cxxxcxxxxx"
                                                          << "1111111110";
}

void TestSurplusGate::stopTimerStartsAgainWhenCovered()
{
    // The entry point for callers without a reserve (DC chargers).
    QFETCH(QString, covered);
    QFETCH(QString, expected);
    SurplusGate gate;
    const QDateTime start(QDate(2026, 5, 10), QTime(10, 0));
    bool running = false;
    QString done;
    for (int minute = 0; minute < covered.count(); minute++) {
        const bool on = gate.chargingEnabled(covered.at(minute) == 'c', running, start.addSecs(minute * 60),
                                             minutes(0, 0, 0, 0, 4));
        // "0": the minute it is switched off.
        done += on ? QStringLiteral("1") : (running ? QStringLiteral("0") : QStringLiteral("-"));
        running = on;
    }
    QCOMPARE(done, expected);
}

void TestSurplusGate::stopOutsideTheGateDelaysTheRestart_data()
{
    // A start delay of 5 minutes; the surplus covers one phase all along.
    // Stops earlier that morning, one a minute, the last a minute before:
    // "s" one for lack of surplus outside the gate, "y" one for another
    // charger's ride, "n" one for a ride the kept charger did not ride on.
    // A fourth stop for lack of surplus makes the restart wait 10 minutes
    // longer; one for another charger's ride does not, unless nobody rode.
    QTest::addColumn<QString>("stops");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no stop before: the first start is free") << QString() << QStringLiteral("1111111111111111");
    QTest::newRow("stopped outside the gate: waits the start delay")
            << QStringLiteral("s") << QStringLiteral("-----11111111111");
    QTest::newRow("a fourth stop of the day: waits longer")
            << QStringLiteral("ssss") << QStringLiteral("---------------1");
    QTest::newRow("a fourth stop for another's ride: the start delay alone")
            << QStringLiteral("sssy") << QStringLiteral("-----11111111111");
    QTest::newRow("a fourth stop for a ride nobody rode: waits longer")
            << QStringLiteral("sssn") << QStringLiteral("---------------1");
    QTest::newRow("stopped for another's ride alone: waits the start delay")
            << QStringLiteral("y") << QStringLiteral("-----11111111111");
}

void TestSurplusGate::stopOutsideTheGateDelaysTheRestart()
{
    QFETCH(QString, stops);
    QFETCH(QString, expected);
    const QDateTime start(QDate(2026, 5, 10), QTime(10, 0));
    SurplusGate gate;
    for (int i = 0; i < stops.count(); i++) {
        const QDateTime at = start.addSecs(60 * (i - stops.count()));
        if (stops.at(i) == QLatin1Char('s'))
            gate.stoppedOutside(at);
        else
            gate.yielded(at);
        if (stops.at(i) == QLatin1Char('n'))
            gate.yieldNotRidden();
    }
    // What a group asks before it hands a rider's surplus to this charger.
    QCOMPARE(gate.startsNow(start, minutes(10, 10, 15, 5, 10)), expected.startsWith(QLatin1Char('1')));
    QCOMPARE(follow(gate, QStringLiteral("----------------"), minutes(10, 10, 15, 5, 10), 1, start), expected);
}

QTEST_GUILESS_MAIN(TestSurplusGate)
#include "tst_surplusgate.moc"
