#include <QtTest>

#include "types/scoreentries.h"

namespace {
QDateTime at(const QString &time)
{
    return QDateTime(QDate(2026, 1, 20), QTime::fromString(time, "hh:mm:ss.zzz"));
}

// Hourly slots 10-11 (price 30), 11-12 (10), 12-13 (20).
ScoreEntries threeSlots()
{
    ScoreEntries entries;
    const QList<double> values{30, 10, 20};
    for (int i = 0; i < values.count(); i++) {
        ScoreEntry entry;
        entry.setStartDateTime(at("10:00:00.000").addSecs(i * 3600));
        entry.setEndDateTime(entry.startDateTime().addSecs(3600));
        entry.setValue(values.at(i));
        entries.append(entry);
    }
    return entries;
}
}

class TestTimeFrames : public QObject
{
    Q_OBJECT

private slots:
    void timeFrame_data();
    void timeFrame();
    void isActive_data();
    void isActive();
    void lookups_data();
    void lookups();
    void sortAndNull();
};

void TestTimeFrames::timeFrame_data()
{
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<QDateTime>("end");
    QTest::addColumn<qint64>("minutes");
    QTest::addColumn<bool>("valid");

    QTest::newRow("one hour") << at("10:00:00.000") << at("11:00:00.000") << qint64(60) << true;
    QTest::newRow("59 s truncate to 0") << at("10:00:00.000") << at("10:00:59.000") << qint64(0) << true;
    QTest::newRow("59:59.999 truncates to 59") << at("10:00:00.000") << at("10:59:59.999") << qint64(59) << true;
    QTest::newRow("zero length is valid") << at("10:00:00.000") << at("10:00:00.000") << qint64(0) << true;
    QTest::newRow("end before start") << at("11:00:00.000") << at("10:29:30.000") << qint64(-30) << false;
}

void TestTimeFrames::timeFrame()
{
    QFETCH(QDateTime, start);
    QFETCH(QDateTime, end);
    QFETCH(qint64, minutes);
    QFETCH(bool, valid);
    QCOMPARE(TimeFrame(start, end).durationMinutes(), minutes);
    QCOMPARE(TimeFrame(start, end).isValid(), valid);

    // A frame keeps its ends' instants: an end set anew counts, not the old one.
    TimeFrame movedStart(end, end);
    QCOMPARE(movedStart.durationMinutes(), qint64(0));
    movedStart.setStartDateTime(start);
    QCOMPARE(movedStart.durationMinutes(), minutes);
    TimeFrame movedEnd(start, start);
    QCOMPARE(movedEnd.durationMinutes(), qint64(0));
    movedEnd.setEndDateTime(end);
    QCOMPARE(movedEnd.durationMinutes(), minutes);
    QCOMPARE(movedEnd.endMSecsSinceEpoch(), end.toMSecsSinceEpoch());
}

void TestTimeFrames::isActive_data()
{
    QTest::addColumn<QDateTime>("dateTime");
    QTest::addColumn<bool>("active");

    QTest::newRow("1 ms before start") << at("09:59:59.999") << false;
    QTest::newRow("at start") << at("10:00:00.000") << true;
    QTest::newRow("1 ms before end") << at("10:59:59.999") << true;
    QTest::newRow("at end") << at("11:00:00.000") << false;
}

void TestTimeFrames::isActive()
{
    QFETCH(QDateTime, dateTime);
    QFETCH(bool, active);
    QCOMPARE(TimeFrame(at("10:00:00.000"), at("11:00:00.000")).isActive(dateTime), active);
}

void TestTimeFrames::lookups_data()
{
    QTest::addColumn<QDateTime>("dateTime");
    QTest::addColumn<bool>("upTo");
    QTest::addColumn<double>("value"); // of the entry found, -1 for a null entry
    QTest::addColumn<int>("future");

    QTest::newRow("1 ms before first start") << at("09:59:59.999") << false << -1.0 << 3;
    QTest::newRow("at first start") << at("10:00:00.000") << true << 30.0 << 3;
    QTest::newRow("boundary belongs to the later slot") << at("11:00:00.000") << true << 10.0 << 2;
    QTest::newRow("1 ms before last end") << at("12:59:59.999") << true << 20.0 << 1;
    QTest::newRow("at last end") << at("13:00:00.000") << true << -1.0 << 0;
    QTest::newRow("1 ms after last end") << at("13:00:00.001") << false << -1.0 << 0;
}

void TestTimeFrames::lookups()
{
    QFETCH(QDateTime, dateTime);
    QFETCH(bool, upTo);
    QFETCH(double, value);
    QFETCH(int, future);

    const ScoreEntries entries = threeSlots();
    QCOMPARE(entries.availableUpTo(dateTime), upTo);
    QCOMPARE(entries.availableFutureSchedules(dateTime), future);
    const ScoreEntry found = entries.getScoreEntry(dateTime);
    QCOMPARE(found.isNull(), value < 0);
    if (value >= 0)
        QCOMPARE(found.value(), value);
}

void TestTimeFrames::sortAndNull()
{
    ScoreEntries entries = threeSlots();
    const QList<float> weightings{0.2f, 1.0f, 0.0f};
    for (int i = 0; i < entries.count(); i++)
        entries[i].setWeighting(weightings.at(i));

    entries.sortByWeighting();
    QCOMPARE(entries.at(0).weighting(), 1.0f);
    QCOMPARE(entries.at(1).weighting(), 0.2f);
    QCOMPARE(entries.at(2).weighting(), 0.0f);
    entries.sortByStartDateTime();
    QCOMPARE(entries.at(0).startDateTime(), at("10:00:00.000"));
    QCOMPARE(entries.at(2).startDateTime(), at("12:00:00.000"));

    QVERIFY(!TimeFrame(QDateTime(), at("11:00:00.000")).isValid());
    QVERIFY(!TimeFrame(at("10:00:00.000"), QDateTime()).isValid());

    ScoreEntry entry;
    QVERIFY(entry.isNull());
    entry.setWeighting(0.5f);
    QVERIFY(!entry.isNull());

    // A variant without an entry appends a null one.
    entries.put(QVariant(QStringLiteral("no entry")));
    QVERIFY(entries.last().isNull());
}

QTEST_GUILESS_MAIN(TestTimeFrames)
#include "tst_timeframes.moc"
