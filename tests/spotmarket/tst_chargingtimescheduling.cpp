#include <QtTest>
#include "settingssandbox.h"

#include "spotmarket/spotmarketmanager.h"

namespace {
QDateTime at(const QString &time)
{
    return QDateTime(QDate(2026, 1, 20), QTime::fromString(time, "hh:mm"));
}

// Consecutive slots of slotMinutes from first, one per weighting.
ScoreEntries makeSlots(const QString &first, int slotMinutes, const QString &weightings)
{
    ScoreEntries entries;
    QDateTime start = at(first);
    for (const QString &weighting : weightings.split(' ', Qt::SkipEmptyParts)) {
        ScoreEntry entry;
        entry.setStartDateTime(start);
        entry.setEndDateTime(start.addSecs(slotMinutes * 60));
        entry.setWeighting(weighting.toFloat());
        entries.append(entry);
        start = entry.endDateTime();
    }
    return entries;
}

// "10:00-11:00 12:00-12:30"
QString describe(const QList<TimeFrame> &timeFrames)
{
    QStringList result;
    for (const TimeFrame &frame : timeFrames)
        result.append(frame.startDateTime().toString("hh:mm") + "-" + frame.endDateTime().toString("hh:mm"));
    return result.join(' ');
}
}

class TestChargingTimeScheduling : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void schedule_data();
    void schedule();
    void fuseTimeFrames_data();
    void fuseTimeFrames();

private:
    SettingsSandbox m_dir;
    SpotMarketManager *m_manager = nullptr;
};

void TestChargingTimeScheduling::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.apply();
    m_manager = new SpotMarketManager(nullptr, this); // disabled: no provider, no requests
}

void TestChargingTimeScheduling::schedule_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<int>("slotMinutes");
    QTest::addColumn<QString>("weightings");
    QTest::addColumn<QString>("now");
    QTest::addColumn<uint>("minutes");
    QTest::addColumn<uint>("minimumDuration");
    QTest::addColumn<bool>("charging");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("deadline"); // empty: none

    QTest::newRow("hourly worked example") << "10:00" << 60 << "0.2 0.9 1.0 0.1"
                                           << "10:20" << 100u << 15u << false << "11:20-13:00" << QString();
    QTest::newRow("hourly no slots") << "10:00" << 60 << ""
                                     << "10:20" << 100u << 15u << false << "" << QString();
    QTest::newRow("hourly minutes 0") << "10:00" << 60 << "0.2 0.9 1.0 0.1"
                                      << "10:20" << 0u << 15u << false << "" << QString();
    QTest::newRow("hourly minutes equal total take every slot")
            << "10:00" << 60 << "0.2 0.9 1.0 0.1"
            << "10:20" << 220u << 15u << false << "10:20-14:00" << QString();
    QTest::newRow("hourly one minute below total") << "10:00" << 60 << "0.2 0.9 1.0 0.1"
                                                   << "10:20" << 219u << 15u << false << "10:20-13:59" << QString();
    QTest::newRow("hourly slot ending now is over") << "09:00" << 60 << "1.0 0.5 0.0"
                                                    << "10:00" << 60u << 15u << false << "10:00-11:00" << QString();
    QTest::newRow("two-hour slot taken in part") << "10:00" << 120 << "1.0 0.5"
                                                 << "10:00" << 90u << 15u << false << "10:00-11:30" << QString();
    QTest::newRow("hourly charging pulls frame 9 min ahead")
            << "10:00" << 60 << "0.1 1.0 0.0"
            << "10:51" << 60u << 15u << true << "10:51-11:51" << QString();
    QTest::newRow("hourly charging keeps frame 10 min ahead")
            << "10:00" << 60 << "0.1 1.0 0.0"
            << "10:50" << 60u << 15u << true << "11:00-12:00" << QString();
    QTest::newRow("hourly not charging keeps frame 9 min ahead")
            << "10:00" << 60 << "0.1 1.0 0.0"
            << "10:51" << 60u << 15u << false << "11:00-12:00" << QString();
    // The running hour is the dearest of those planned: charging, it is
    // kept whole and the minutes come off the next dearest; otherwise its
    // part is aligned to the hour after it.
    QTest::newRow("hourly charging keeps its running slot whole")
            << "00:00" << 60 << "0.2 0.6 0.9 1.0 0.8"
            << "00:14" << 276u << 15u << true << "00:14-01:00 01:10-05:00" << QString();
    QTest::newRow("hourly not charging aligns the running slot's part")
            << "00:00" << 60 << "0.2 0.6 0.9 1.0 0.8"
            << "00:14" << 276u << 15u << false << "00:24-05:00" << QString();
    QTest::newRow("hourly charging leaves a running slot not planned")
            << "00:00" << 60 << "0.0 1.0 0.9"
            << "00:14" << 120u << 15u << true << "01:00-03:00" << QString();
    QTest::newRow("hourly lone short frame kept") << "10:00" << 60 << "0.5 1.0 0.2"
                                                  << "10:00" << 10u << 15u << false << "11:00-11:10" << QString();
    QTest::newRow("hourly short frame folded into shortest")
            << "10:00" << 60 << "0 1.0 0 0 0.9 0.8 0 0.7"
            << "10:00" << 190u << 15u << false << "11:00-12:10 14:00-16:00" << QString();
    QTest::newRow("hourly minimum duration 1 folds nothing")
            << "10:00" << 60 << "0 1.0 0 0 0.9 0.8 0 0.7"
            << "10:00" << 190u << 1u << false << "11:00-12:00 14:00-16:00 17:00-17:10" << QString();
    // Growing 02-04 would overlap 04-06 and lose the folded minutes.
    QTest::newRow("hourly fold never overlaps a touching frame")
            << "02:00" << 60 << "1.0 0.7 0.9 0.8 0 0 0.6"
            << "02:00" << 250u << 15u << false << "02:00-04:00 04:00-06:10" << QString();

    QTest::newRow("quarter worked example")
            << "10:00" << 15 << "0.2 0.2 0.2 0.2 0.85 0.87 0.9 0.95 1.0 0.99 0.98 0.97 0.1 0.1 0.1 0.1"
            << "10:20" << 100u << 15u << false << "11:20-13:00" << QString();
    QTest::newRow("quarter minutes equal total take every slot")
            << "10:00" << 15 << "0.2 0.9 1.0 0.1"
            << "10:20" << 40u << 15u << false << "10:20-11:00" << QString();
    // The best quarter whole and 5 minutes of the next best, not 20 minutes into the worse quarter after the best.
    QTest::newRow("quarter slot is never overrun")
            << "10:00" << 15 << "0.3 0.1 1.0 0.2"
            << "10:00" << 20u << 5u << false << "10:00-10:05 10:30-10:45" << QString();
    QTest::newRow("quarter charging pulls frame 9 min ahead")
            << "10:00" << 15 << "0.1 0.1 0.1 1.0 0.0"
            << "10:36" << 15u << 15u << true << "10:36-10:51" << QString();
    QTest::newRow("quarter charging keeps frame 10 min ahead")
            << "10:00" << 15 << "0.1 0.1 0.1 1.0 0.0"
            << "10:35" << 15u << 15u << true << "10:45-11:00" << QString();
    QTest::newRow("quarter lone short frame kept") << "10:00" << 15 << "0.5 1.0 0.2"
                                                   << "10:00" << 10u << 15u << false << "10:15-10:25" << QString();
    QTest::newRow("quarter short frame folded into shortest")
            << "10:00" << 15 << "0 1.0 0 0 0.9 0.8 0 0 0.7 0 0 0"
            << "10:00" << 55u << 15u << false << "10:15-10:40 11:00-11:30" << QString();
    QTest::newRow("quarter fold never overlaps a touching frame")
            << "02:00" << 15 << "1.0 0.7 0.9 0.8 0 0 0.6 0"
            << "02:00" << 70u << 15u << false << "02:00-02:30 02:30-03:10" << QString();

    // The slot running at the deadline counts up to it.
    QTest::newRow("deadline inside a slot") << "10:00" << 60 << "0.2 1.0 0.9"
                                            << "10:00" << 110u << 15u << false << "10:55-12:45"
                                            << "12:45";
    // A short frame is folded into the start of the last frame when its end
    // would pass the deadline.
    QTest::newRow("fold stays before the deadline") << "10:00" << 60 << "0.5 0.0 1.0"
                                                    << "10:00" << 50u << 15u << false << "11:55-12:45"
                                                    << "12:45";
}

void TestChargingTimeScheduling::schedule()
{
    QFETCH(QString, first);
    QFETCH(int, slotMinutes);
    QFETCH(QString, weightings);
    QFETCH(QString, now);
    QFETCH(uint, minutes);
    QFETCH(uint, minimumDuration);
    QFETCH(bool, charging);
    QFETCH(QString, expected);
    QFETCH(QString, deadline);
    const QDateTime deadlineTime = deadline.isEmpty() ? QDateTime() : at(deadline);

    const ScoreEntries entries = makeSlots(first, slotMinutes, weightings);
    QCOMPARE(describe(m_manager->scheduleChargingTime(at(now), entries, minutes, minimumDuration, charging,
                                                      deadlineTime)),
             expected);

    // The same slots delivered in reverse order give the same plan.
    ScoreEntries reversed;
    for (const ScoreEntry &entry : entries)
        reversed.prepend(entry);
    QCOMPARE(describe(m_manager->scheduleChargingTime(at(now), reversed, minutes, minimumDuration, charging,
                                                      deadlineTime)),
             expected);
}

void TestChargingTimeScheduling::fuseTimeFrames_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<uint>("slotMinutes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("hourly touching frames stay separate")
            << "02:00-03:00 04:00-05:00 03:00-04:00" << 60u << "02:00-04:00 04:00-05:00";
    QTest::newRow("quarter touching frames stay separate")
            << "02:00-02:15 02:30-02:45 02:15-02:30" << 15u << "02:00-02:30 02:30-02:45";
    QTest::newRow("hourly partial aligned to the next hour") << "12:00-13:00 11:00-11:40" << 60u << "11:20-13:00";
    QTest::newRow("quarter partial aligned to its quarter") << "12:00-12:15 11:45-11:50" << 15u << "11:55-12:15";
    QTest::newRow("quarter partial not pulled out of its quarter")
            << "12:00-12:15 11:30-11:35" << 15u << "11:30-11:35 12:00-12:15";
    QTest::newRow("partials pair up once each")
            << "10:00-10:10 10:10-10:20 10:20-10:30" << 60u << "10:00-10:20 10:20-10:30";
    QTest::newRow("quarter partials pair aligned") << "10:00-10:10 10:15-10:20" << 15u << "10:05-10:20";
}

void TestChargingTimeScheduling::fuseTimeFrames()
{
    QFETCH(QString, input);
    QFETCH(uint, slotMinutes);
    QFETCH(QString, expected);

    QList<TimeFrame> frames;
    for (const QString &frame : input.split(' '))
        frames.append(TimeFrame(at(frame.section('-', 0, 0)), at(frame.section('-', 1, 1))));
    QCOMPARE(describe(m_manager->fuseTimeFrames(frames, slotMinutes)), expected);
}

QTEST_GUILESS_MAIN(TestChargingTimeScheduling)
#include "tst_chargingtimescheduling.moc"
