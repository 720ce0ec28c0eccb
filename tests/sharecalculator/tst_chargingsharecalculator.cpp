#include <QtTest>

#include "smartcharging/chargingsharecalculator.h"

using Request = ChargingShareCalculator::Request;
using Requests = QList<Request>;
using Allocation = QList<double>; // per request, in request order; 0 = disabled

Q_DECLARE_METATYPE(Request)

class TestChargingShareCalculator : public QObject
{
    Q_OBJECT

private slots:
    void calculate_data();
    void calculate();
    void strategyText_data();
    void strategyText();
};

static Request request(const QString &id, double minimum, double maximum, quint32 counter = 0, qint32 priority = 0,
                       double room = 0)
{
    Request r;
    r.roomEnergy = room;
    r.thingId = id;
    r.minimumPower = minimum;
    r.maximumPower = maximum;
    r.phaseCount = 3;
    r.priority = priority;
    r.fairnessCounter = counter;
    return r;
}

// One the budget admits on part of its minimum (W); the grid buys the rest.
static Request onPart(Request r, double admission)
{
    r.admissionPower = admission;
    return r;
}

// A start that waits while those admitted before it can take the budget.
static Request joining(Request r)
{
    r.joinsOnlyBeyondRoom = true;
    return r;
}

void TestChargingShareCalculator::calculate_data()
{
    QTest::addColumn<Requests>("requests");
    QTest::addColumn<double>("budget");
    QTest::addColumn<Allocation>("expected");

    const Requests example{request("A", 4140, 11040, 0), request("B", 4140, 5000, 1), request("C", 4140, 11040, 2)};
    QTest::newRow("worked example") << example << 10000.0 << Allocation{5000, 5000, 0};
    QTest::newRow("budget 0") << example << 0.0 << Allocation{0, 0, 0};
    QTest::newRow("budget negative") << example << -500.0 << Allocation{0, 0, 0};
    QTest::newRow("no requests") << Requests() << 10000.0 << Allocation();
    QTest::newRow("budget covers every maximum, surplus unallocated")
            << Requests{request("A", 1000, 3000), request("B", 0, 2000)} << 100000.0 << Allocation{3000, 2000};
    QTest::newRow("minimum above maximum, ample budget")
            << Requests{request("A", 6000, 5000), request("B", 1000, 2000)} << 100000.0 << Allocation{0, 2000};
    QTest::newRow("maximum zero or negative")
            << Requests{request("A", 0, 0), request("B", 0, -100), request("C", 0, 1000)} << 5000.0
            << Allocation{0, 0, 1000};
    QTest::newRow("negative minimum gets its equal share")
            << Requests{request("A", -300, 10000), request("B", 0, 10000)} << 3000.0 << Allocation{1500, 1500};
    QTest::newRow("equal counters, smaller id text first")
            << Requests{request("b", 4000, 11000), request("a", 4000, 11000)} << 5000.0 << Allocation{0, 5000};
    QTest::newRow("lower counter first despite id")
            << Requests{request("b", 4000, 11000, 0), request("a", 4000, 11000, 1)} << 5000.0 << Allocation{5000, 0};
    QTest::newRow("skipped minimum lets a smaller one in")
            << Requests{request("A", 4000, 11000, 0), request("B", 3000, 11000, 1), request("C", 1000, 11000, 2)}
            << 5000.0 << Allocation{4000, 0, 1000};
    QTest::newRow("nothing fits its minimum")
            << Requests{request("A", 4140, 11040), request("B", 4140, 11040, 1)} << 4000.0 << Allocation{0, 0};
    QTest::newRow("zero minimum without a share stays disabled")
            << Requests{request("A", 3000, 11000, 0), request("B", 0, 11000, 1)} << 3000.0 << Allocation{3000, 0};
    QTest::newRow("two groups, lower number first")
            << Requests{request("low", 1000, 8000, 0, 1), request("high", 1000, 3000, 5, 0)} << 5000.0
            << Allocation{2000, 3000};
    QTest::newRow("two groups, first uses everything")
            << Requests{request("low", 0, 8000, 0, 1), request("high", 1000, 6000, 0, 0)} << 5000.0
            << Allocation{0, 5000};
    QTest::newRow("negative priority before zero")
            << Requests{request("zero", 0, 8000, 0, 0), request("minus", 0, 4000, 0, -1)} << 6000.0
            << Allocation{2000, 4000};
    QTest::newRow("second group minimum no longer fits")
            << Requests{request("high", 0, 4000, 0, 0), request("low", 1500, 8000, 0, 1)} << 5000.0
            << Allocation{4000, 0};
    QTest::newRow("water filling in several passes")
            << Requests{request("A", 0, 1000), request("B", 0, 2500), request("C", 0, 9000)} << 9000.0
            << Allocation{1000, 2500, 5500};
    // Known rooms: what the minimums leave goes in proportion to them, so
    // that the cars fill up together.
    QTest::newRow("rooms: the emptier car at its maximum, the fuller takes the rest")
            << Requests{request("big", 1840, 7360, 0, 0, 80000), request("small", 2760, 5980, 0, 0, 12000)} << 11200.0
            << Allocation{7360, 3840};
    QTest::newRow("rooms: three to one above the minimums")
            << Requests{request("A", 1000, 10000, 0, 0, 30000), request("B", 2000, 10000, 0, 0, 10000)} << 7000.0
            << Allocation{4000, 3000};
    // A minimum on part of itself only where those admitted before it
    // cannot take the rest: else the grid buys what they would have taken.
    QTest::newRow("on part: the first at its maximum leaves the rest")
            << Requests{request("A", 1380, 1500, 0), onPart(request("B", 1380, 3680, 1), 690)} << 2100.0
            << Allocation{1380, 1380};
    QTest::newRow("on part: not where the first takes the rest")
            << Requests{request("A", 1380, 3680, 0), onPart(request("B", 1380, 3680, 1), 690)} << 2100.0
            << Allocation{2100, 0};
    QTest::newRow("on part: not where the first two take the rest together")
            << Requests{request("A", 1380, 1800, 0), request("B", 1380, 1800, 1),
                        onPart(request("C", 1380, 3680, 2), 690)}
            << 3500.0 << Allocation{1750, 1750, 0};
    QTest::newRow("on part: a whole minimum still fits beside one that could take the rest")
            << Requests{request("A", 1380, 3680, 0), onPart(request("B", 1380, 3680, 1), 690)} << 2800.0
            << Allocation{1400, 1400};
    // A start beside one that can take the whole budget would split it
    // into two minimums: it waits until the first is at its maximum.
    QTest::newRow("joining: waits while the first takes it all")
            << Requests{request("A", 1000, 5150, 0), joining(request("B", 1000, 5050, 0))} << 4100.0
            << Allocation{4100, 0};
    QTest::newRow("joining: starts beyond the first's maximum, both share")
            << Requests{request("A", 1000, 5150, 0), joining(request("B", 1000, 5050, 0))} << 5500.0
            << Allocation{2750, 2750};
    QTest::newRow("joining: first in line, the other running still joins")
            << Requests{joining(request("A", 1000, 5150, 0)), request("B", 1000, 5050, 1)} << 4100.0
            << Allocation{2050, 2050};
    QTest::newRow("rooms: one unknown, equal above the minimums")
            << Requests{request("A", 1000, 10000, 0, 0, 30000), request("B", 0, 10000, 0, 0, 0)} << 8000.0
            << Allocation{4500, 3500};
}

void TestChargingShareCalculator::calculate()
{
    QFETCH(Requests, requests);
    QFETCH(double, budget);
    QFETCH(Allocation, expected);

    const ChargingShareCalculator calculator;
    const ChargingShareCalculator::Strategy strategies[] = {
            ChargingShareCalculator::StrategyEqualPower, ChargingShareCalculator::StrategyPriority,
            ChargingShareCalculator::StrategyRoundRobin, ChargingShareCalculator::StrategyWeightedPower};
    for (ChargingShareCalculator::Strategy strategy : strategies) {
        const QList<ChargingShareCalculator::Result> results = calculator.calculate(requests, budget, strategy);
        QCOMPARE(results.count(), requests.count());
        double total = 0;
        double bought = 0; // W the grid may buy for minimums admitted on part of themselves
        for (int i = 0; i < results.count(); i++) {
            if (requests.at(i).admissionPower >= 0)
                bought += requests.at(i).minimumPower - requests.at(i).admissionPower;
            const QByteArray where = ChargingShareCalculator::strategyToString(strategy).toLatin1() + " "
                                     + requests.at(i).thingId.toLatin1();
            QVERIFY2(results.at(i).thingId == requests.at(i).thingId, where);
            QVERIFY2(qAbs(results.at(i).allocatedPower - expected.at(i)) < 1e-9,
                     where + ": " + QByteArray::number(results.at(i).allocatedPower));
            QVERIFY2(results.at(i).enabled == (expected.at(i) > 0), where);
            total += results.at(i).allocatedPower;
        }
        QVERIFY(total <= qMax(budget, 0.0) + bought + 1e-9);
    }
}

void TestChargingShareCalculator::strategyText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("defaultStrategy");
    QTest::addColumn<int>("strategy");

    QTest::newRow("exact") << "WeightedPower" << 0 << 3;
    QTest::newRow("lower case") << "roundrobin" << 0 << 2;
    QTest::newRow("upper case") << "ROUNDROBIN" << 1 << 2;
    QTest::newRow("unknown keeps default") << "Greedy" << 1 << 1;
    QTest::newRow("empty keeps default") << "" << 3 << 3;
    QTest::newRow("padded is not a match") << " Priority" << 0 << 0;
}

void TestChargingShareCalculator::strategyText()
{
    QFETCH(QString, text);
    QFETCH(int, defaultStrategy);
    QFETCH(int, strategy);

    const auto result =
            ChargingShareCalculator::strategyFromString(text, ChargingShareCalculator::Strategy(defaultStrategy));
    QCOMPARE(int(result), strategy);
    // The text form reads back as the same strategy; out of range it is "EqualPower".
    QCOMPARE(ChargingShareCalculator::strategyFromString(ChargingShareCalculator::strategyToString(result),
                                                         ChargingShareCalculator::StrategyPriority),
             result);
    QCOMPARE(ChargingShareCalculator::strategyToString(ChargingShareCalculator::Strategy(7)), QString("EqualPower"));
}

QTEST_GUILESS_MAIN(TestChargingShareCalculator)
#include "tst_chargingsharecalculator.moc"
