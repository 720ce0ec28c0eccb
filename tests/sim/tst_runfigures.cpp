#include <QtTest>

#include "sim/report.h"

// What the report counts from a run's minutes: minutes over the fuse split
// by whether an outside load step caused them, switches per charger and
// local day, and energy past the owner's ceiling.
class TestRunFigures : public QObject
{
    Q_OBJECT

private slots:
    void minutesOverTheFuse_data();
    void minutesOverTheFuse();
    void switchesPerChargerAndDay();
    void energyPastTheCeilingIsNoUse();
    void gridBeyondTheTolerance_data();
    void gridBeyondTheTolerance();
};

namespace {

Scenario oneCar()
{
    Scenario scenario;
    scenario.start = QDateTime(QDate(2026, 1, 5), QTime(23, 0), Qt::UTC);
    Scenario::Charger charger;
    charger.name = QStringLiteral("Wallbox");
    scenario.chargers.append(charger);
    Scenario::Car car;
    car.name = QStringLiteral("Car");
    car.charger = charger.name;
    car.capacityKwh = 50;
    scenario.cars.append(car);
    return scenario;
}

// A minute on a 25 A fuse: the house draws house A per phase, the charger
// charger A on three phases.
MinuteRecord minute(int m, double house, double charger, int enabled = 1, int phaseSwitch = 0)
{
    MinuteRecord record;
    record.minute = m;
    record.phaseLimit = 25;
    for (int p = 0; p < 3; p++)
        record.gridPhaseCurrent[p] = house + charger;
    record.chargerPower.append(charger * 230 * 3);
    record.chargerPhases.append(charger > 0 ? 3 : 0);
    record.chargerEnabled.append(enabled);
    record.chargerPhaseSwitch.append(phaseSwitch);
    record.carPluggedIn.append(1);
    record.carSocStart.append(20);
    record.carSoc.append(20);
    return record;
}

}

void TestRunFigures::minutesOverTheFuse_data()
{
    QTest::addColumn<QList<double>>("house");   // A per phase, per minute
    QTest::addColumn<QList<double>>("charger"); // A per phase, per minute
    QTest::addColumn<int>("over");
    QTest::addColumn<int>("afterOutsideStep");
    QTest::addColumn<int>("houseAlone");

    QTest::newRow("the house steps up: one minute excused")
            << QList<double>{5, 15, 15} << QList<double>{16, 16, 8} << 1 << 1 << 0;
    QTest::newRow("the controller does not react: the rest counts")
            << QList<double>{5, 15, 15, 15} << QList<double>{16, 16, 16, 16} << 3 << 1 << 0;
    QTest::newRow("the controller steps up itself")
            << QList<double>{5, 5, 5} << QList<double>{16, 22, 16} << 1 << 0 << 0;
    QTest::newRow("the controller's own step fits the old load: excused")
            << QList<double>{5, 10, 5} << QList<double>{16, 18, 10} << 1 << 1 << 0;
    QTest::newRow("the controller's own step would not have fitted")
            << QList<double>{5, 10, 5} << QList<double>{16, 22, 10} << 1 << 0 << 0;
    QTest::newRow("the house alone over the fuse, the charger off: not the controller's")
            << QList<double>{5, 27, 27, 27} << QList<double>{16, 6, 0, 0} << 3 << 1 << 2;
}

void TestRunFigures::minutesOverTheFuse()
{
    QFETCH(QList<double>, house);
    QFETCH(QList<double>, charger);
    QFETCH(int, over);
    QFETCH(int, afterOutsideStep);
    QFETCH(int, houseAlone);
    QVector<MinuteRecord> records;
    for (int m = 0; m < house.count(); m++)
        records << minute(m, house.at(m), charger.at(m));
    const Report::Figures figures = Report::figuresOf(oneCar(), records, QVector<double>(records.count(), 0.0));
    for (int p = 0; p < 3; p++) {
        QCOMPARE(figures.minutesOverLimit[p], over);
        QCOMPARE(figures.minutesOverAfterOutsideStep[p], afterOutsideStep);
        QCOMPARE(figures.minutesOverByHouseAlone[p], houseAlone);
    }
    QCOMPARE(figures.minutesOverLimitByController(), over - afterOutsideStep - houseAlone);
}

void TestRunFigures::switchesPerChargerAndDay()
{
    // From 23:00: on, off, on, off, off, on, then on until midnight (four
    // switches), off at 00:00 and on again at 00:02 (two); two phase
    // switches after midnight. The owner stepped in at 23:01 and 00:01: the
    // switches in those minutes and the ones after are his, not those two
    // minutes before or later.
    QVector<MinuteRecord> records;
    const QList<int> enabled = {1, 0, 1, 0, 0, 1};
    for (int m = 0; m < 120; m++)
        records << minute(m, 0, 10, m < 60 ? enabled.at(qMin(m, 5)) : (m < 62 ? 0 : 1), m == 70 || m == 90 ? 1 : 0);
    const Report::Figures figures =
            Report::figuresOf(oneCar(), records, QVector<double>(records.count(), 0.0), {}, nullptr, {1, 61});
    QCOMPARE(figures.switchesPerDay.value(0), (QVector<int>{4, 2}));
    QCOMPARE(figures.ownerSwitchesPerDay.value(0), (QVector<int>{2, 1}));
    QCOMPARE(figures.phaseSwitchesPerDay.value(0), (QVector<int>{0, 2}));
    QCOMPARE(figures.worstSwitchesPerChargerDay(), 4);
    QCOMPARE(figures.worstPhaseSwitchesPerChargerDay(), 2);
    QCOMPARE(figures.switches, 6);
}

void TestRunFigures::energyPastTheCeilingIsNoUse()
{
    // A car that stops at 80 % goes from 79 % to 81 % in one minute on PV:
    // half of that minute's energy was wanted.
    Scenario scenario = oneCar();
    scenario.cars[0].configuration.insert(QStringLiteral("stopOnTargetPercentage"), true);
    scenario.cars[0].configuration.insert(QStringLiteral("targetPercentage"), 80);
    MinuteRecord record = minute(0, 0, 10);
    record.carSocStart[0] = 79;
    record.carSoc[0] = 81;
    const Report::Figures figures = Report::figuresOf(scenario, {record}, {1e9});
    const double energy = 10 * 230.0 * 3 / 60000.0;
    QCOMPARE(figures.cars.at(0).energy, energy);
    QCOMPARE(figures.cars.at(0).pvEnergy, energy);
    QCOMPARE(figures.cars.at(0).usefulEnergy, energy / 2);
    QCOMPARE(figures.cars.at(0).usefulPvEnergy, energy / 2);
}

void TestRunFigures::gridBeyondTheTolerance_data()
{
    QTest::addColumn<QString>("mode");      // the car's charging mode at the start
    QTest::addColumn<int>("dailyShare");    // %
    QTest::addColumn<QString>("laterMode"); // set by the owner at minute 1, empty: none
    QTest::addColumn<double>("tolerance");  // acquisition tolerance
    QTest::addColumn<double>("pv");         // W the car may take, every minute
    QTest::addColumn<double>("beyond");     // W per minute counted, summed over both minutes
    QTest::addColumn<double>("current");    // A the charger draws on its one phase
    QTest::addColumn<double>("above");      // of beyond, what the minutes above the minimum counted

    // 6 A on one phase: 1380 W, of which the grid may cover (1 - tolerance).
    QTest::newRow("eco, the grid within the tolerance")
            << "ChargingModeEco" << 0 << QString() << 0.5 << 700.0 << 0.0 << 6.0 << 0.0;
    QTest::newRow("eco, the grid beyond it")
            << "ChargingModeEco" << 0 << QString() << 0.5 << 200.0 << 2 * 490.0 << 6.0 << 0.0;
    QTest::newRow("eco, tolerance 0.25: three quarters tolerated")
            << "ChargingModeEco" << 0 << QString() << 0.25 << 200.0 << 2 * 145.0 << 6.0 << 0.0;
    QTest::newRow("eco, tolerance 1: no grid tolerated")
            << "ChargingModeEco" << 0 << QString() << 1.0 << 200.0 << 2 * 1180.0 << 6.0 << 0.0;
    // 10 A (2300 W) as a cloud comes: the tolerance is of the minimum.
    QTest::newRow("eco, above the minimum as the surplus goes")
            << "ChargingModeEco" << 0 << QString() << 0.5 << 200.0 << 2 * 1410.0 << 10.0 << 2 * 1410.0;
    QTest::newRow("target time: the grid is wanted")
            << "ChargingModeEcoWithTargetTime" << 0 << QString() << 0.5 << 0.0 << 0.0 << 6.0 << 0.0;
    QTest::newRow("daily share from the cheapest hours")
            << "ChargingModeEco" << 30 << QString() << 0.5 << 0.0 << 0.0 << 6.0 << 0.0;
    QTest::newRow("the owner switches to eco after a minute")
            << "ChargingModeNormal" << 0 << "ChargingModeEco" << 0.5 << 200.0 << 490.0 << 6.0 << 0.0;
}

void TestRunFigures::gridBeyondTheTolerance()
{
    QFETCH(QString, mode);
    QFETCH(int, dailyShare);
    QFETCH(QString, laterMode);
    QFETCH(double, tolerance);
    QFETCH(double, pv);
    QFETCH(double, beyond);
    QFETCH(double, current);
    QFETCH(double, above);

    Scenario scenario = oneCar();
    scenario.durationMinutes = 2;
    scenario.acquisitionTolerance = tolerance;
    scenario.cars[0].phases = 1;
    scenario.cars[0].configuration.insert(QStringLiteral("chargingMode"), mode);
    scenario.cars[0].configuration.insert(QStringLiteral("dailySpotMarketPercentage"), dailyShare);
    if (!laterMode.isEmpty()) {
        Scenario::UserAction action;
        action.minute = 1;
        action.method = QStringLiteral("TavroEnergy.SetChargingConfiguration");
        action.params.insert(QStringLiteral("chargingConfiguration"),
                             QVariantMap{{QStringLiteral("evChargerId"), QStringLiteral("$charger:Wallbox")},
                                         {QStringLiteral("chargingMode"), laterMode}});
        scenario.actions << action;
    }
    QVector<MinuteRecord> records;
    for (int m = 0; m < 2; m++) {
        MinuteRecord record = minute(m, 0, 0);
        record.chargerPower[0] = current * 230.0;
        record.chargerPhases[0] = 1;
        records << record;
    }
    const Report::Figures figures = Report::figuresOf(scenario, records, QVector<double>(2, pv));
    QCOMPARE(qRound(figures.cars.at(0).gridBeyondTolerance * 60000), qRound(beyond));
    QCOMPARE(qRound(figures.cars.at(0).gridBeyondToleranceAboveMinimum * 60000), qRound(above));
    const int surplusMinutes = mode == QLatin1String("ChargingModeEco") && dailyShare == 0 ? 2
                               : laterMode.isEmpty()                                       ? 0
                                                                                           : 1;
    QCOMPARE(figures.cars.at(0).surplusOnlyEnergy, surplusMinutes * current * 230.0 / 60000.0);
}

QTEST_GUILESS_MAIN(TestRunFigures)
#include "tst_runfigures.moc"
