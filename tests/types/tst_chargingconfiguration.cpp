#include <QtTest>

#include "types/chargingconfiguration.h"

class TestChargingConfiguration : public QObject
{
    Q_OBJECT

private slots:
    void nextEndTime_data();
    void nextEndTime();
    void equality_data();
    void equality();
    void listAccess();
};

// 2024-03-04 is a Monday.
static QDateTime monday(int hour, int minute = 0)
{
    return QDateTime(QDate(2024, 3, 4), QTime(hour, minute));
}

void TestChargingConfiguration::nextEndTime_data()
{
    QTest::addColumn<QDateTime>("endDateTime");
    QTest::addColumn<QList<int>>("repeatDays");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QDateTime>("expected");

    QTest::newRow("no end time") << QDateTime() << QList<int>() << monday(8) << QDateTime();
    QTest::newRow("no end time, repeating") << QDateTime() << QList<int>{1} << monday(8) << QDateTime();
    QTest::newRow("one-off in the future") << monday(9) << QList<int>() << monday(8) << monday(9);
    QTest::newRow("one-off in the past") << monday(7) << QList<int>() << monday(8) << QDateTime();
    QTest::newRow("one-off equal to now") << monday(8) << QList<int>() << monday(8) << monday(8);
    QTest::newRow("Monday 07:00 seen at Monday 08:00")
            << monday(7) << QList<int>{1} << monday(8) << monday(7).addDays(7);
    QTest::newRow("Monday 07:00 seen at Monday 06:00") << monday(7) << QList<int>{1} << monday(6) << monday(7);
    QTest::newRow("repeating equal to now") << monday(7) << QList<int>{1} << monday(7) << monday(7);
    // Only the time of day of a repeating target counts, not its date.
    QTest::newRow("old date, Wednesday") << QDateTime(QDate(2020, 1, 1), QTime(7, 30)) << QList<int>{3} << monday(8)
                                         << QDateTime(QDate(2024, 3, 6), QTime(7, 30));
    QTest::newRow("nearest of several days") << monday(7) << QList<int>{7, 2, 5} << monday(8) << monday(7).addDays(1);
    QTest::newRow("Sunday from Monday") << monday(7) << QList<int>{7} << monday(8) << monday(7).addDays(6);
    QTest::newRow("no weekday in the list") << monday(7) << QList<int>{0, 8, -1} << monday(8) << QDateTime();
}

void TestChargingConfiguration::nextEndTime()
{
    QFETCH(QDateTime, endDateTime);
    QFETCH(QList<int>, repeatDays);
    QFETCH(QDateTime, now);
    QFETCH(QDateTime, expected);

    ChargingConfiguration configuration(QUuid::createUuid());
    configuration.setEndDateTime(endDateTime);
    configuration.setRepeatDays(repeatDays);

    const QDateTime result = configuration.nextEndTime(now);
    QCOMPARE(result.isValid(), expected.isValid());
    if (expected.isValid())
        QCOMPARE(result, expected);
}

using Mutation = std::function<void(ChargingConfiguration &)>;
Q_DECLARE_METATYPE(Mutation)

void TestChargingConfiguration::equality_data()
{
    QTest::addColumn<Mutation>("mutation");
    QTest::addColumn<bool>("equal");

    QTest::newRow("unchanged copy") << Mutation([](ChargingConfiguration &) {}) << true;
    QTest::newRow("same value set again")
            << Mutation([](ChargingConfiguration &c) { c.setTargetPercentage(80); }) << true;
    QTest::newRow("manual charging power")
            << Mutation([](ChargingConfiguration &c) { c.setManualChargingPower(0.001); }) << false;
    QTest::newRow("manual current by a tiny step")
            << Mutation([](ChargingConfiguration &c) { c.setManualMaxChargingCurrent(6.0000001); }) << false;
    QTest::newRow("locale") << Mutation([](ChargingConfiguration &c) {
        c.setLocale(QLocale(QLocale::German, QLocale::Austria));
    }) << false;
    QTest::newRow("repeat days order") << Mutation([](ChargingConfiguration &c) { c.setRepeatDays({5, 1}); }) << false;
    QTest::newRow("assigned car") << Mutation([](ChargingConfiguration &c) { c.setAssignedCarId(QUuid::createUuid()); })
                                  << false;
    QTest::newRow("discharge floor") << Mutation([](ChargingConfiguration &c) { c.setDischargeFloorPercentage(31); })
                                     << false;
    QTest::newRow("manual phase count") << Mutation([](ChargingConfiguration &c) { c.setManualDesiredPhaseCount(1); })
                                        << false;
}

void TestChargingConfiguration::equality()
{
    QFETCH(Mutation, mutation);
    QFETCH(bool, equal);

    ChargingConfiguration original(QUuid::createUuid());
    original.setLocale(QLocale(QLocale::English, QLocale::UnitedKingdom));
    original.setRepeatDays({1, 5});
    ChargingConfiguration changed = original;
    mutation(changed);

    QCOMPARE(changed == original, equal);
    QCOMPARE(changed != original, !equal);
}

void TestChargingConfiguration::listAccess()
{
    const ThingId first = QUuid::createUuid();
    const ThingId second = QUuid::createUuid();
    ChargingConfigurations list;
    list.put(QVariant::fromValue(ChargingConfiguration(first)));
    list.put(QVariant::fromValue(ChargingConfiguration(second)));
    list.put(QVariant(42)); // not a configuration: a default one is appended

    QCOMPARE(list.count(), 3);
    QCOMPARE(list.get(0).value<ChargingConfiguration>().evChargerId(), first);
    QCOMPARE(list.get(1).value<ChargingConfiguration>().evChargerId(), second);
    QVERIFY(list.get(2).value<ChargingConfiguration>().evChargerId().isNull());
    QVERIFY(!list.get(3).isValid());
    QVERIFY(!list.get(-1).isValid());
}

QTEST_GUILESS_MAIN(TestChargingConfiguration)
#include "tst_chargingconfiguration.moc"
