#include <QtTest>

#include "sim/peercontroller.h"

// The peer controller's documented rules, minute by minute in a household
// of its own: start and stop thresholds and delays, the guard between
// switches, phase switching, priority under one fuse (counting what a car
// draws), the cheapest minutes for a target (only where the owner gave it
// the prices), repeating target days, the owner's changes from the minute
// they are made and the level of a car that cannot report it.
class TestPeerController : public QObject
{
    Q_OBJECT

private slots:
    void surplusCharging_data();
    void surplusCharging();
    void phaseSwitchingWithTheSameDelays();
    void chargersServedInOrderUnderOneFuse_data();
    void chargersServedInOrderUnderOneFuse();
    void fullCarLeavesItsShareToTheNext_data();
    void fullCarLeavesItsShareToTheNext();
    void targetInTheCheapestMinutes_data();
    void targetInTheCheapestMinutes();
    void targetNetOfTheForecast_data();
    void targetNetOfTheForecast();
    void repeatingTargetDays_data();
    void repeatingTargetDays();
    void ownerChangesHoldFromTheirMinute();
    void levelOfACarThatCannotReportIt_data();
    void levelOfACarThatCannotReportIt();
};

namespace {

// One or more identical 6–16 A three-phase cars on AC chargers.
Scenario household(int cars, bool phaseSwitching)
{
    Scenario scenario;
    scenario.start = QDateTime(QDate(2026, 1, 5), QTime(0, 0), Qt::UTC);
    scenario.phaseSwitchPauseMinutes = 0;
    for (int j = 0; j < cars; j++) {
        Scenario::Charger charger;
        charger.name = QStringLiteral("Charger %1").arg(j);
        charger.maxCurrent = 16;
        charger.minCurrent = 6;
        charger.phaseSwitching = phaseSwitching;
        scenario.chargers.append(charger);
        Scenario::Car car;
        car.name = QStringLiteral("Car %1").arg(j);
        car.charger = charger.name;
        car.soc = 20;
        car.lossPercent = 0;
        scenario.cars.append(car);
    }
    return scenario;
}

// Drives a household and the peer with the given PV, minute by minute.
class Run
{
public:
    Run(const Scenario &scenario, const QString &mode, double limit = 0)
        : m_scenario(scenario),
          m_household(m_scenario),
          m_owner(m_scenario),
          m_peer(m_scenario, m_household, m_owner),
          m_limit(limit),
          m_commands(scenario.chargers.count())
    {
        for (int j = 0; j < m_scenario.cars.count(); j++) {
            m_household.setPluggedIn(j, true);
            m_owner.setConfiguration(0, j, {{QStringLiteral("chargingMode"), mode}});
            // Normal mode charges as the owner switched it: on.
            m_owner.setManualValue(0, j, QStringLiteral("power"), true);
        }
    }

    PeerController &peer() { return m_peer; }
    OwnerTimeline &owner() { return m_owner; }
    const Household &household() const { return m_household; }

    // One minute with pv and a house load (W, spread over the phases);
    // returns the commands for the next one.
    const QVector<ChargerCommand> &minute(double pv, double house = 0)
    {
        MinuteRecord record;
        record.minute = m_minute++;
        record.pvPower = pv;
        record.houseLoad = house;
        for (int p = 0; p < 3; p++)
            record.housePhasePower[p] = house / 3;
        record.phaseLimit = m_limit;
        m_household.step(m_commands, &record);
        m_last = record;
        PeerController::Reading reading;
        reading.minute = record.minute;
        reading.phaseLimit = m_limit;
        for (int p = 0; p < 3; p++)
            reading.gridPhasePower[p] = m_household.gridPhasePower(p);
        m_commands = m_peer.decide(reading, record);
        return m_commands;
    }
    const MinuteRecord &last() const { return m_last; }

private:
    Scenario m_scenario;
    Household m_household;
    OwnerTimeline m_owner;
    PeerController m_peer;
    double m_limit;
    QVector<ChargerCommand> m_commands;
    MinuteRecord m_last;
    int m_minute = 0;
};

}

void TestPeerController::surplusCharging_data()
{
    QTest::addColumn<QList<double>>("pv"); // W per minute
    QTest::addColumn<QString>("enabled");  // the command after each minute, 1 on

    // Three phases at 6 A need 4140 W; the documented thresholds are 0 W.
    QTest::newRow("starts once the export covers the minimum for a minute")
            << QList<double>{3000, 4140, 4140} << QStringLiteral("011");
    QTest::newRow("10 W short of the minimum does not start")
            << QList<double>{4130, 4130, 4130} << QStringLiteral("000");
    QTest::newRow("stops after three minutes of import")
            << QList<double>{5000, 5000, 5000, 5000, 5000, 5000, 3000, 3000, 3000, 3000, 3000, 3000}
            << QStringLiteral("111111110000");
    QTest::newRow("40 W of import at the minimum for three minutes stops")
            << QList<double>{5000, 5000, 5000, 5000, 5000, 5000, 4100, 4100, 4100, 4100}
            << QStringLiteral("1111111100");
    QTest::newRow("two minutes of import in a row are no reason to stop")
            << QList<double>{5000, 5000, 5000, 5000, 5000, 5000, 4100, 4100, 5000, 4100, 4100, 5000}
            << QStringLiteral("111111111111");
    QTest::newRow("five minutes between switches, both ways")
            << QList<double>{5000, 0, 0, 0, 0, 0, 5000, 5000, 5000, 5000, 5000, 5000} << QStringLiteral("111110000011");
}

void TestPeerController::surplusCharging()
{
    QFETCH(QList<double>, pv);
    QFETCH(QString, enabled);
    Run run(household(1, false), QStringLiteral("ChargingModeEco"));
    QString seen;
    for (double power : pv) {
        const ChargerCommand command = run.minute(power).at(0);
        seen += command.enabled ? QLatin1Char('1') : QLatin1Char('0');
        // The current follows the surplus between the car's bounds.
        if (command.enabled)
            QVERIFY(command.current >= 6 && command.current <= 16);
    }
    QCOMPARE(seen, enabled);
}

void TestPeerController::phaseSwitchingWithTheSameDelays()
{
    Run run(household(1, true), QStringLiteral("ChargingModeEco"));
    // 2 kW covers one phase at 6 A (1380 W), not three.
    ChargerCommand command = run.minute(2000).at(0);
    QVERIFY(command.enabled);
    QCOMPARE(command.phases, 1u);
    QCOMPARE(command.current, 8.0); // 2000 W / 230 V, rounded down
    // Three phases once their minimum is covered for a minute.
    command = run.minute(6000).at(0);
    QCOMPARE(command.phases, 3u);
    QCOMPARE(command.current, 8.0); // 6000 W / 690 V
    // Back to one only after three minutes short of it.
    QCOMPARE(run.minute(2000).at(0).phases, 3u);
    QCOMPARE(run.minute(2000).at(0).phases, 3u);
    command = run.minute(2000).at(0);
    QCOMPARE(command.phases, 1u);
    QVERIFY(command.enabled);
}

void TestPeerController::chargersServedInOrderUnderOneFuse_data()
{
    QTest::addColumn<double>("limit");
    QTest::addColumn<QList<double>>("currents"); // per charger, 0 off

    QTest::newRow("the second gets what is left") << 25.0 << QList<double>{16, 9};
    QTest::newRow("what is left is below the minimum") << 20.0 << QList<double>{16, 0};
    QTest::newRow("the first takes less than its maximum") << 12.0 << QList<double>{12, 0};
}

void TestPeerController::chargersServedInOrderUnderOneFuse()
{
    QFETCH(double, limit);
    QFETCH(QList<double>, currents);
    Run run(household(2, false), QStringLiteral("ChargingModeNormal"), limit);
    run.minute(0);
    const QVector<ChargerCommand> commands = run.minute(0);
    for (int i = 0; i < currents.count(); i++) {
        QCOMPARE(commands.at(i).enabled, currents.at(i) > 0);
        if (currents.at(i) > 0)
            QCOMPARE(commands.at(i).current, currents.at(i));
    }
    // The household then stays within the fuse.
    run.minute(0);
    for (int p = 0; p < 3; p++)
        QVERIFY(run.last().gridPhaseCurrent[p] <= limit + 1e-9);
}

void TestPeerController::fullCarLeavesItsShareToTheNext_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<double>("limit");  // A, 0 none
    QTest::addColumn<double>("pv");     // W, with 800 W of house
    QTest::addColumn<double>("second"); // A the second charger must get

    // 10.9 kW of surplus: 15 A on three phases.
    QTest::newRow("PV: the surplus the full car leaves") << QStringLiteral("ChargingModeEco") << 0.0 << 11700.0 << 15.0;
    // The house's 1.2 A per phase leave 23.8 A: all 16 A for the second.
    QTest::newRow("fuse: the headroom the full car leaves")
            << QStringLiteral("ChargingModeNormal") << 25.0 << 0.0 << 16.0;
}

void TestPeerController::fullCarLeavesItsShareToTheNext()
{
    QFETCH(QString, mode);
    QFETCH(double, limit);
    QFETCH(double, pv);
    QFETCH(double, second);
    // The first car in the chargers' order is full and draws nothing,
    // whatever its charger is offered.
    Scenario scenario = household(2, false);
    scenario.cars[0].soc = 100;
    scenario.cars[1].soc = 21.9;
    Run run(scenario, mode, limit);
    QVector<ChargerCommand> commands;
    for (int m = 0; m < 10; m++)
        commands = run.minute(pv, 800);
    QVERIFY(commands.at(1).enabled);
    QCOMPARE(commands.at(1).current, second);
    QVERIFY2(run.last().chargerPower.at(1) >= second * 230 * 3 - 1e-6,
             qPrintable(QString::number(run.last().chargerPower.at(1))));
    QCOMPARE(run.last().chargerPower.at(0), 0.0);
}

void TestPeerController::targetInTheCheapestMinutes_data()
{
    QTest::addColumn<bool>("spotMarket");
    QTest::addColumn<int>("slotEnd"); // the minute the chosen minutes end at
    // The first hour is the cheap one; the deadline is at minute 120.
    QTest::newRow("prices: the last minutes of the cheap hour") << true << 60;
    QTest::newRow("no spot market: no prices, the last minutes") << false << 120;
}

void TestPeerController::targetInTheCheapestMinutes()
{
    QFETCH(bool, spotMarket);
    QFETCH(int, slotEnd);
    // Half an hour at full power (11.04 kWh of 50 kWh: 22.08 %) by minute 120.
    Scenario scenario = household(1, false);
    scenario.hourlyPrices = {50, 200, 300};
    Run run(scenario, QStringLiteral("ChargingModeEcoWithTargetTime"));
    run.owner().setSpotMarket(0, spotMarket);
    run.owner().setConfiguration(0, 0,
                                 {{QStringLiteral("chargingMode"), QStringLiteral("ChargingModeEcoWithTargetTime")},
                                  {QStringLiteral("endDateTime"), scenario.start.addSecs(120 * 60).toSecsSinceEpoch()},
                                  {QStringLiteral("targetPercentage"), 20 + 11.04 / 2 / 50 * 100}});
    QList<int> charging;
    for (int m = 0; m < 120; m++) {
        const ChargerCommand command = run.minute(0).at(0);
        if (command.enabled) {
            charging << m + 1;
            QCOMPARE(command.current, 16.0); // at full power
        }
    }
    // The car reports whole per cent, so the plan may be a minute or two
    // off (a slot once begun is charged through to the target); of equally
    // cheap minutes the last.
    QVERIFY2(charging.count() >= 29 && charging.count() <= 32, qPrintable(QString::number(charging.count())));
    QVERIFY2(charging.first() >= slotEnd - 32 && charging.first() <= slotEnd - 30,
             qPrintable(QString::number(charging.first())));
    QVERIFY2(charging.last() >= slotEnd - 1 && charging.last() <= slotEnd + 1,
             qPrintable(QString::number(charging.last())));
    // In one go: the level's whole per cent do not break the slot up.
    QCOMPARE(charging.count(), charging.last() - charging.first() + 1);
    QVERIFY2(run.household().carSoc(0) >= 20 + 11.04 / 2 / 50 * 100 - 0.5,
             qPrintable(QString::number(run.household().carSoc(0))));
}

void TestPeerController::targetNetOfTheForecast_data()
{
    QTest::addColumn<int>("sunFrom"); // forecast at full power from this minute to the deadline (120); -1 none
    QTest::addColumn<double>("houseLoad"); // W
    QTest::addColumn<int>("cheapMinutes"); // charged in the cheap first hour

    // Half an hour is needed; the forecast of the dear second hour takes its
    // part off what the cheap hour buys, less the house's load of the last minute.
    QTest::newRow("no forecast") << -1 << 0.0 << 30;
    QTest::newRow("a quarter hour of sun") << 105 << 0.0 << 15;
    QTest::newRow("the house takes half of it") << 90 << 5520.0 << 15;
    QTest::newRow("the sun promises it all") << 75 << 0.0 << 0;
}

void TestPeerController::targetNetOfTheForecast()
{
    QFETCH(int, sunFrom);
    QFETCH(double, houseLoad);
    QFETCH(int, cheapMinutes);

    Scenario scenario = household(1, false);
    scenario.hourlyPrices = {50, 200};
    Run run(scenario, QStringLiteral("ChargingModeEcoWithTargetTime"));
    run.owner().setSpotMarket(0, true);
    if (sunFrom >= 0)
        run.peer().forecastPower = [sunFrom](int minute) { return minute >= sunFrom ? 11040.0 : 0.0; };
    run.owner().setConfiguration(0, 0,
                                 {{QStringLiteral("chargingMode"), QStringLiteral("ChargingModeEcoWithTargetTime")},
                                  {QStringLiteral("endDateTime"), scenario.start.addSecs(120 * 60).toSecsSinceEpoch()},
                                  {QStringLiteral("targetPercentage"), 20 + 11.04 / 2 / 50 * 100}});
    int charged = 0;
    for (int m = 0; m < 60; m++)
        charged += run.minute(0, houseLoad).at(0).enabled ? 1 : 0;
    QVERIFY2(qAbs(charged - cheapMinutes) <= 2, qPrintable(QString::number(charged)));
}

void TestPeerController::repeatingTargetDays_data()
{
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<QList<int>>("repeatDays");
    QTest::addColumn<int>("deadline"); // minutes after the start, -1 none

    // 07:00 on the start date, the owner's target time; 2026-01-05 is a Monday.
    const QDateTime monday(QDate(2026, 1, 5), QTime(17, 0), Qt::UTC);
    QTest::newRow("once, this morning: passed") << monday << QList<int>() << -1;
    QTest::newRow("once, before the start") << monday.addSecs(-11 * 3600) << QList<int>() << 60;
    QTest::newRow("every day: tomorrow morning") << monday << QList<int>{1, 2, 3, 4, 5, 6, 7} << 14 * 60;
    QTest::newRow("weekdays, on a Friday evening: Monday")
            << monday.addDays(4) << QList<int>{1, 2, 3, 4, 5} << (2 * 24 + 14) * 60;
    QTest::newRow("Sundays only") << monday << QList<int>{7} << (5 * 24 + 14) * 60;
}

void TestPeerController::repeatingTargetDays()
{
    QFETCH(QDateTime, start);
    QFETCH(QList<int>, repeatDays);
    QFETCH(int, deadline);
    Scenario scenario = household(1, false);
    scenario.start = start;
    Run run(scenario, QStringLiteral("ChargingModeEcoWithTargetTime"));
    QVariantList days;
    for (int day : repeatDays)
        days << day;
    // 40 % more of 50 kWh: 110 minutes at 11.04 kW.
    run.owner().setConfiguration(
            0, 0,
            {{QStringLiteral("chargingMode"), QStringLiteral("ChargingModeEcoWithTargetTime")},
             {QStringLiteral("endDateTime"), QDateTime(start.date(), QTime(7, 0), Qt::UTC).toSecsSinceEpoch()},
             {QStringLiteral("repeatDays"), days},
             {QStringLiteral("targetPercentage"), 60}});
    QCOMPARE(run.peer().deadline(0, 0), deadline);

    // The car is charged by then, at one price as late as it can be.
    int first = -1;
    const int end = deadline < 0 ? 24 * 60 : deadline;
    for (int m = 0; m < end; m++) {
        if (run.minute(0).at(0).enabled && first < 0)
            first = m + 1;
    }
    if (deadline < 0) {
        QCOMPARE(first, -1);
    } else if (deadline < 110) {
        QCOMPARE(first, 1); // too late already: at once
    } else {
        QVERIFY2(run.household().carSoc(0) >= 59.5, qPrintable(QString::number(run.household().carSoc(0))));
        QVERIFY2(first >= deadline - 115, qPrintable(QStringLiteral("starts at %1").arg(first)));
    }
}

void TestPeerController::ownerChangesHoldFromTheirMinute()
{
    // No PV: in eco mode the charger stays off, also when the owner switches
    // it on by hand at minute 2 (the plugin owns it then). He asks for normal
    // mode at minute 5: off still, as he left it by hand; on from his hand
    // at minute 6, at the 10 A he sets at minute 7; off again when he asks it
    // to stop at 20 % (the car's level when it started) at minute 9.
    Run run(household(1, false), QStringLiteral("ChargingModeEco"));
    run.owner().setManualValue(2, 0, QStringLiteral("power"), true);
    run.owner().setConfiguration(5, 0, {{QStringLiteral("chargingMode"), QStringLiteral("ChargingModeNormal")}});
    run.owner().setManualValue(6, 0, QStringLiteral("power"), true);
    run.owner().setManualValue(7, 0, QStringLiteral("maxChargingCurrent"), 10);
    run.owner().setConfiguration(
            9, 0, {{QStringLiteral("targetPercentage"), 20}, {QStringLiteral("stopOnTargetPercentage"), true}});
    QString seen;
    QList<double> currents;
    for (int m = 0; m < 12; m++) {
        const ChargerCommand command = run.minute(0).at(0);
        seen += command.enabled ? QLatin1Char('1') : QLatin1Char('0');
        if (command.enabled)
            currents.append(command.current);
    }
    QCOMPARE(seen, QStringLiteral("000000111000"));
    QCOMPARE(currents, (QList<double>{16, 10, 10}));
}

void TestPeerController::levelOfACarThatCannotReportIt_data()
{
    QTest::addColumn<QString>("thingClass");
    QTest::addColumn<int>("enteredAt"); // minute the owner types 40 %, -1 never
    QTest::addColumn<int>("chargedMinutes");
    // 10 % of 50 kWh at 11.04 kW: 27 minutes from 20 %.
    QTest::newRow("never entered: from 20 %, as the plugin") << QStringLiteral("electricVehicle") << -1 << 27;
    QTest::newRow("entered at plug-in: at its target") << QStringLiteral("electricVehicle") << 0 << 0;
    QTest::newRow("entered while charging: stops there") << QStringLiteral("electricVehicle") << 5 << 5;
    QTest::newRow("a car that reports it: its own level") << QStringLiteral("electricVehicleConnected") << -1 << 0;
}

void TestPeerController::levelOfACarThatCannotReportIt()
{
    QFETCH(QString, thingClass);
    QFETCH(int, enteredAt);
    QFETCH(int, chargedMinutes);
    // Truly at 40 %, switched on by hand to stop at 30 %: no controller sees
    // the true level of a car that cannot report it, only what the owner typed.
    Scenario scenario = household(1, false);
    scenario.cars[0].thingClass = thingClass;
    scenario.cars[0].soc = 40;
    Run run(scenario, QStringLiteral("ChargingModeNormal"));
    run.owner().setConfiguration(
            0, 0, {{QStringLiteral("targetPercentage"), 30}, {QStringLiteral("stopOnTargetPercentage"), true}});
    if (enteredAt >= 0)
        run.owner().setLevelEntered(enteredAt, 0, 40);
    int charged = 0;
    for (int m = 0; m < 40; m++)
        charged += run.minute(0).at(0).enabled ? 1 : 0;
    QVERIFY2(qAbs(charged - chargedMinutes) <= 1, qPrintable(QString::number(charged)));
}

QTEST_GUILESS_MAIN(TestPeerController)
#include "tst_peercontroller.moc"
