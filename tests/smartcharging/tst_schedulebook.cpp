#include <QtTest>
#include "settingssandbox.h"

#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "smartcharging/schedulebook.h"
#include "tavro/thingmanager.h"

namespace {

using Issuer = ChargingAction::ChargingActionIssuer;

enum class Edit {
    ClearAc,
    TakeAc,
    RemoveSpotMarket,
    SetDcSame,
    SetDcOther,
    SetDcNone,
    ClearDc,
    TakeDc
};

const QDateTime start(QDate(2026, 5, 10), QTime(2, 0));

TimeFrame hour(int offset)
{
    return TimeFrame(start.addSecs(3600 * offset), start.addSecs(3600 * (offset + 1)));
}

}

Q_DECLARE_METATYPE(Edit)

// Before each edit the AC charger holds acIssuers' schedules (an empty
// list: an empty entry; "none": no entry) and the DC charger dcFrames
// hours (-1: no entry). changed: what the edit returns; left: the
// published schedules after it.
class TestScheduleBook : public QObject
{
    Q_OBJECT

    SettingsSandbox m_dir;
    ThingManager *m_manager = nullptr;
    EvChargerAc *m_ac = nullptr;
    EvChargerDc *m_dc = nullptr;

private slots:
    void initTestCase()
    {
        m_dir.apply();
        m_manager = new ThingManager(this);
        m_ac = new EvChargerAc(m_manager,
                               m_manager->addConfiguredThing(QStringLiteral("evChargerAc"), QStringLiteral("AC")));
        m_dc = new EvChargerDc(m_manager,
                               m_manager->addConfiguredThing(QStringLiteral("evChargerDc"), QStringLiteral("DC")));
    }

    void edits_data()
    {
        QTest::addColumn<bool>("acEntry");
        QTest::addColumn<QList<int>>("acIssuers");
        QTest::addColumn<int>("dcFrames");
        QTest::addColumn<Edit>("edit");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<int>("left");
        const QList<int> both{Issuer::ChargingActionIssuerSurplusCharging,
                              Issuer::ChargingActionIssuerSpotMarketCharging};
        QTest::newRow("clearing a charger without an entry")
                << false << QList<int>() << -1 << Edit::ClearAc << false << 0;
        QTest::newRow("clearing an empty entry") << true << QList<int>() << -1 << Edit::ClearAc << false << 0;
        QTest::newRow("clearing schedules") << true << both << 2 << Edit::ClearAc << true << 2;
        QTest::newRow("taking an empty entry") << true << QList<int>() << -1 << Edit::TakeAc << false << 0;
        QTest::newRow("taking schedules") << true << both << -1 << Edit::TakeAc << true << 0;
        QTest::newRow("removing an issuer that has none")
                << true << QList<int>{Issuer::ChargingActionIssuerSurplusCharging} << -1 << Edit::RemoveSpotMarket
                << false << 1;
        QTest::newRow("removing one issuer keeps the other")
                << true << both << -1 << Edit::RemoveSpotMarket << true << 1;
        QTest::newRow("the same frames again") << false << QList<int>() << 2 << Edit::SetDcSame << false << 2;
        QTest::newRow("other frames") << false << QList<int>() << 2 << Edit::SetDcOther << true << 1;
        QTest::newRow("no frames for a charger without an entry")
                << false << QList<int>() << -1 << Edit::SetDcNone << false << 0;
        QTest::newRow("no frames where there were some") << false << QList<int>() << 2 << Edit::SetDcNone << true << 0;
        QTest::newRow("clearing frames") << false << QList<int>() << 2 << Edit::ClearDc << true << 0;
        QTest::newRow("clearing a DC charger without an entry")
                << false << QList<int>() << -1 << Edit::ClearDc << false << 0;
        QTest::newRow("taking frames") << false << QList<int>() << 2 << Edit::TakeDc << true << 0;
    }
    void edits()
    {
        QFETCH(bool, acEntry);
        QFETCH(QList<int>, acIssuers);
        QFETCH(int, dcFrames);
        QFETCH(Edit, edit);
        QFETCH(bool, changed);
        QFETCH(int, left);
        ScheduleBook book;
        QSignalSpy announced(&book, &ScheduleBook::chargingSchedulesChanged);
        if (acEntry) {
            ChargingSchedules &schedules = book.acEntry(m_ac);
            for (int i = 0; i < acIssuers.count(); i++) {
                ChargingSchedule schedule(m_ac->id(), hour(i));
                schedule.setAction(ChargingAction(true, 16, 3, static_cast<Issuer>(acIssuers.at(i)), false));
                schedules << schedule;
            }
        }
        const QList<TimeFrame> frames = {hour(0), hour(3)};
        if (dcFrames >= 0)
            QCOMPARE(book.setDcFrames(m_dc, frames.mid(0, dcFrames)), dcFrames > 0);

        bool result = false;
        switch (edit) {
        case Edit::ClearAc:
            result = book.clearAc(m_ac);
            break;
        case Edit::TakeAc:
            result = book.takeAc(m_ac);
            QVERIFY(!book.acSchedules().contains(m_ac));
            break;
        case Edit::RemoveSpotMarket:
            result = book.removeIssuer(m_ac, Issuer::ChargingActionIssuerSpotMarketCharging);
            QVERIFY(book.acSchedules()
                            .value(m_ac)
                            .filterByIssuer(Issuer::ChargingActionIssuerSpotMarketCharging)
                            .isEmpty());
            break;
        case Edit::SetDcSame:
            result = book.setDcFrames(m_dc, frames);
            break;
        case Edit::SetDcOther:
            result = book.setDcFrames(m_dc, {hour(5)});
            break;
        case Edit::SetDcNone:
            result = book.setDcFrames(m_dc, {});
            break;
        case Edit::ClearDc:
            result = book.clearDc(m_dc);
            break;
        case Edit::TakeDc:
            result = book.takeDc(m_dc);
            break;
        }
        QCOMPARE(result, changed);
        QCOMPARE(book.schedules().count(), left);
        // Editing never announces: the step that edits does, once.
        QCOMPARE(announced.count(), 0);
    }

    void publishedSchedules()
    {
        ScheduleBook book;
        QSignalSpy announced(&book, &ScheduleBook::chargingSchedulesChanged);
        ChargingSchedule surplus(m_ac->id(), hour(1));
        surplus.setAction(ChargingAction(true, 10, 1, Issuer::ChargingActionIssuerSurplusCharging, false));
        book.acEntry(m_ac) << surplus;
        QVERIFY(book.setDcFrames(m_dc, {hour(0), hour(4)}));
        book.announce();
        QCOMPARE(announced.count(), 1);

        // The AC chargers' own first, then each DC frame as spot-market
        // charging: on, 0 A, 0 phases.
        const ChargingSchedules schedules = book.schedules();
        QCOMPARE(schedules.count(), 3);
        QCOMPARE(schedules.at(0), surplus);
        for (int i = 1; i < 3; i++) {
            QCOMPARE(schedules.at(i).evChargerId(), m_dc->id());
            QCOMPARE(schedules.at(i).startDateTime(), hour(i == 1 ? 0 : 4).startDateTime());
            QCOMPARE(schedules.at(i).endDateTime(), hour(i == 1 ? 0 : 4).endDateTime());
            const ChargingAction action = schedules.at(i).action();
            QVERIFY(action.chargingEnabled());
            QCOMPARE(action.maxChargingCurrent(), 0.0);
            QCOMPARE(action.desiredPhaseCount(), 0u);
            QCOMPARE(action.issuer(), Issuer::ChargingActionIssuerSpotMarketCharging);
        }
        QCOMPARE(book.dcFrames(m_dc), QList<TimeFrame>({hour(0), hour(4)}));
    }
};

QTEST_GUILESS_MAIN(TestScheduleBook)
#include "tst_schedulebook.moc"
