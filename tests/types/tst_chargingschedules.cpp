#include <QtTest>

#include "types/chargingschedule.h"

using Issuer = ChargingAction::ChargingActionIssuer;

class TestChargingSchedules : public QObject
{
    Q_OBJECT

private slots:
    void removeAllIssuer_data();
    void removeAllIssuer();
    void getChargingSchedule_data();
    void getChargingSchedule();
    void issuerText_data();
    void issuerText();
    void clearKeepsCharger();
};

static QDateTime at(int hour)
{
    return QDateTime(QDate(2024, 3, 4), QTime(hour, 0));
}

// A schedule from startHour to endHour; the current marks it in the checks.
static ChargingSchedule schedule(int startHour, int endHour, Issuer issuer, double current)
{
    ChargingSchedule result(QUuid::createUuid(), TimeFrame(at(startHour), at(endHour)));
    result.setAction(ChargingAction(true, current, 3, issuer, false));
    return result;
}

void TestChargingSchedules::removeAllIssuer_data()
{
    QTest::addColumn<ChargingSchedules>("schedules");
    QTest::addColumn<int>("removed");
    QTest::addColumn<QList<double>>("remaining");

    const Issuer spot = ChargingAction::ChargingActionIssuerSpotMarketCharging;
    const Issuer surplus = ChargingAction::ChargingActionIssuerSurplusCharging;

    QTest::newRow("separate surplus stays")
            << ChargingSchedules({schedule(1, 2, spot, 1), schedule(2, 3, surplus, 2), schedule(3, 4, spot, 3)}) << 2
            << QList<double>{2};
    QTest::newRow("coinciding surplus goes too")
            << ChargingSchedules({schedule(1, 2, spot, 1), schedule(3, 4, surplus, 2), schedule(3, 4, spot, 3)}) << 2
            << QList<double>{};
    QTest::newRow("same frame only at start")
            << ChargingSchedules({schedule(1, 2, spot, 1), schedule(1, 3, surplus, 2)}) << 1 << QList<double>{2};
    // The second spot-market schedule is gone with the first, but still counts.
    QTest::newRow("duplicate frames of the issuer")
            << ChargingSchedules({schedule(1, 2, spot, 1), schedule(1, 2, spot, 2), schedule(5, 6, surplus, 3)}) << 2
            << QList<double>{3};
    QTest::newRow("issuer absent") << ChargingSchedules({schedule(1, 2, surplus, 1)}) << 0 << QList<double>{1};
    QTest::newRow("empty") << ChargingSchedules() << 0 << QList<double>{};
}

void TestChargingSchedules::removeAllIssuer()
{
    QFETCH(ChargingSchedules, schedules);
    QFETCH(int, removed);
    QFETCH(QList<double>, remaining);

    const ChargingSchedules spotBefore =
            schedules.filterByIssuer(ChargingAction::ChargingActionIssuerSpotMarketCharging);
    QCOMPARE(schedules.removeAllIssuer(ChargingAction::ChargingActionIssuerSpotMarketCharging), removed);
    QCOMPARE(spotBefore.count(), removed);

    QList<double> currents;
    for (const ChargingSchedule &s : qAsConst(schedules))
        currents.append(s.action().maxChargingCurrent());
    QCOMPARE(currents, remaining);
    QVERIFY(schedules.filterByIssuer(ChargingAction::ChargingActionIssuerSpotMarketCharging).isEmpty());
}

void TestChargingSchedules::getChargingSchedule_data()
{
    QTest::addColumn<ChargingSchedules>("schedules");
    QTest::addColumn<QDateTime>("dateTime");
    QTest::addColumn<double>("current"); // 0: the default schedule

    const Issuer spot = ChargingAction::ChargingActionIssuerSpotMarketCharging;
    const ChargingSchedules adjoining({schedule(1, 2, spot, 1), schedule(2, 3, spot, 2)});
    const ChargingSchedules overlapping({schedule(1, 4, spot, 1), schedule(2, 3, spot, 2)});

    QTest::newRow("at the first start") << adjoining << at(1) << 1.0;
    QTest::newRow("one ms before the first end") << adjoining << at(2).addMSecs(-1) << 1.0;
    QTest::newRow("at the first end, next starts") << adjoining << at(2) << 2.0;
    QTest::newRow("at the last end") << adjoining << at(3) << 0.0;
    QTest::newRow("before all") << adjoining << at(0) << 0.0;
    QTest::newRow("overlap takes the first in list order") << overlapping << at(2) << 1.0;
    QTest::newRow("empty list") << ChargingSchedules() << at(1) << 0.0;
}

void TestChargingSchedules::getChargingSchedule()
{
    QFETCH(ChargingSchedules, schedules);
    QFETCH(QDateTime, dateTime);
    QFETCH(double, current);

    const ChargingSchedule result = schedules.getChargingSchedule(dateTime);
    QCOMPARE(result.action().maxChargingCurrent(), current);
    if (current == 0.0) {
        QVERIFY(!result.action().chargingEnabled());
        QVERIFY(result.evChargerId().isNull());
        QVERIFY(result.startDateTime().isNull());
        QVERIFY(result.endDateTime().isNull());
    } else {
        QVERIFY(result.isActive(dateTime));
    }
}

void TestChargingSchedules::issuerText_data()
{
    QTest::addColumn<int>("issuer");
    QTest::addColumn<QString>("text");

    QTest::newRow("unknown") << 0 << "Unknown";
    QTest::newRow("spot market") << 2 << "Spot market";
    QTest::newRow("overload protection") << 4 << "Overload protection";
    QTest::newRow("above range") << 5 << "";
    QTest::newRow("negative") << -1 << "";
}

void TestChargingSchedules::issuerText()
{
    QFETCH(int, issuer);
    QFETCH(QString, text);
    QCOMPARE(ChargingAction::issuerToString(static_cast<Issuer>(issuer)), text);
}

void TestChargingSchedules::clearKeepsCharger()
{
    ChargingSchedule s = schedule(1, 2, ChargingAction::ChargingActionIssuerSurplusCharging, 16);
    const ThingId charger = s.evChargerId();
    s.clear();
    QCOMPARE(s.evChargerId(), charger);
    QVERIFY(s.startDateTime().isNull());
    QVERIFY(s.endDateTime().isNull());
    QCOMPARE(s.action().issuer(), ChargingAction::ChargingActionIssuerUnknown);
    QVERIFY(!s.action().chargingEnabled());
}

QTEST_GUILESS_MAIN(TestChargingSchedules)
#include "tst_chargingschedules.moc"
