#include "smartcharging/surplusgate.h"

#include <QtTest>

// One letter per minute of surplus: "1" or "3" the phase count the surplus
// of that minute calls for, "x" too little for any. The charger follows the
// gate: one letter per minute of what it then does, "-" for off.
struct GateCase {
    uint up, down, hold, start, stop; // minutes
    QString surplus;
    QString expected;
};
Q_DECLARE_METATYPE(GateCase)

class TestSurplusGate : public QObject
{
    Q_OBJECT

private slots:
    void sequence_data();
    void sequence();
};

void TestSurplusGate::sequence_data()
{
    QTest::addColumn<GateCase>("c");
    QTest::newRow("all delays 0: the minute decides") << GateCase{0, 0, 0, 0, 0, "331x13x3", "331-13-3"};
    QTest::newRow("clouds shorter than the delays are ridden out on three phases")
            << GateCase{10, 5, 15, 0, 10, "3311133xx3331111", "3333333333333333"};
    QTest::newRow("down after five short minutes, up only after the hold")
            << GateCase{2, 5, 15, 0, 10, "3111111333333333333333", "3333331111111111111113"};
    QTest::newRow("nothing covered: bridged, stopped, restarted after the start delay")
            << GateCase{10, 10, 15, 3, 4, "33xxxxxx1x11111", "333333-------11"};
}

void TestSurplusGate::sequence()
{
    QFETCH(GateCase, c);
    SurplusGate::Delays delays;
    delays.phaseUp = c.up * 60;
    delays.phaseDown = c.down * 60;
    delays.phaseHold = c.hold * 60;
    delays.start = c.start * 60;
    delays.stop = c.stop * 60;

    SurplusGate gate;
    const QDateTime start(QDate(2026, 5, 10), QTime(10, 0));
    uint present = 0;
    bool running = false;
    QString done;
    for (int minute = 0; minute < c.surplus.count(); minute++) {
        const QDateTime now = start.addSecs(minute * 60);
        const bool covered = c.surplus.at(minute) != QLatin1Char('x');
        const uint best = covered ? uint(c.surplus.at(minute).digitValue()) : qMax(1u, present);
        const uint phases = gate.phaseCount(best, present, running, now, delays);
        running = gate.chargingEnabled(covered, running, now, delays);
        if (running)
            present = phases;
        done += running ? QString::number(phases) : QStringLiteral("-");
    }
    QCOMPARE(done, c.expected);
}

QTEST_GUILESS_MAIN(TestSurplusGate)
#include "tst_surplusgate.moc"
