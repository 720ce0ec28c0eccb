#include <QtTest>

#include "jsonrpc/chargingforecast.h"

#include "tavro/thingmanager.h"

// When a car will be done, read off the plan: every case the owner's page
// shows. A 50 kWh car at 50 %, 10 % charging loss; slots at 16 A on three
// phases put 9.936 kW into the battery. Times are local, on 2026-03-11.
class TestChargingForecast : public QObject
{
    Q_OBJECT

private slots:
    void forecast_data();
    void forecast();
};

namespace {

QDateTime at(const QString &time)
{
    // "-HH:mm" is the evening before.
    const bool before = time.startsWith('-');
    return QDateTime(QDate(2026, 3, before ? 10 : 11), QTime::fromString(time.mid(before ? 1 : 0), "HH:mm:ss"));
}

}

void TestChargingForecast::forecast_data()
{
    QTest::addColumn<QString>("car");      // thing class; empty: none assigned
    QTest::addColumn<QString>("mode");     // charging mode key
    QTest::addColumn<int>("target");       // %
    QTest::addColumn<QString>("deadline"); // end date-time, empty: none
    QTest::addColumn<int>("level");        // the car's battery level, %
    QTest::addColumn<double>("powerNow");  // W at the charger
    // Slots "start-end" (HH:mm:ss, "-" prefix: the evening before), "other:"
    // for one of another charger.
    QTest::addColumn<QStringList>("planned");
    QTest::addColumn<QString>("waitingReason");
    QTest::addColumn<QString>("now");
    QTest::addColumn<QString>("outlook");
    QTest::addColumn<QString>("finish"); // empty: unknown
    QTest::addColumn<double>("remaining");

    const QString target = "ChargingModeEcoWithTargetTime";
    const QString none = "WaitingReasonNone";
    const QString car = "electricVehicleConnected";
    QTest::newRow("no car assigned") << QString() << target << 80 << "07:00:00" << 50 << 0.0 << QStringList{} << none
                                     << "-23:00:00"
                                     << "OutlookNoCar" << QString() << 0.0;
    QTest::newRow("at its target") << car << target << 80 << "07:00:00" << 80 << 0.0 << QStringList{"01:00:00-03:00:00"}
                                   << none << "-23:00:00"
                                   << "OutlookDone" << QString() << 0.0;
    // 15 kWh at 9.936 kW: 1 h 30 min 35 s into the first slot.
    QTest::newRow("the plan covers it") << car << target << 80 << "07:00:00" << 50 << 0.0
                                        << QStringList{"01:00:00-03:00:00"} << none << "-23:00:00"
                                        << "OutlookOnTime"
                                        << "02:30:35" << 15.0;
    QTest::newRow("slots in their order, the second finishes")
            << car << target << 80 << "07:00:00" << 50 << 0.0 << QStringList{"04:00:00-05:00:00", "01:00:00-02:00:00"}
            << none << "-23:00:00"
            << "OutlookOnTime"
            << "04:30:35" << 15.0;
    // A slot running now counts from now (4.968 kWh); one over, and another
    // charger's, not at all; the other 10.032 kWh at the 3.312 kW of now.
    QTest::newRow("from now on, own slots only")
            << car << target << 80 << "07:00:00" << 50 << 3680.0
            << QStringList{"-21:00:00--22:00:00", "-23:00:00-01:00:00", "other:00:00:00-03:00:00"} << none << "00:30:00"
            << "OutlookOnTime"
            << "04:01:44" << 15.0;
    // 9.936 kWh planned, the other 5.064 at the 3.312 kW it charges with now.
    QTest::newRow("beyond the plan at today's power, past the deadline")
            << car << target << 80 << "03:00:00" << 50 << 3680.0 << QStringList{"01:00:00-02:00:00"} << none
            << "-23:00:00"
            << "OutlookLate"
            << "03:31:44" << 15.0;
    QTest::newRow("the plugin says it cannot be met")
            << car << target << 80 << "07:00:00" << 50 << 0.0 << QStringList{"01:00:00-03:00:00"}
            << "WaitingReasonTargetTimeUnreachable"
            << "-23:00:00"
            << "OutlookLate"
            << "02:30:35" << 15.0;
    QTest::newRow("nothing planned, not charging")
            << car << target << 80 << "07:00:00" << 50 << 0.0 << QStringList{} << "WaitingReasonSurplusPower"
            << "-23:00:00"
            << "OutlookUnknown" << QString() << 15.0;
    // Without a target time to a full battery: 25 kWh at 6.624 kW.
    QTest::newRow("solar surplus, charging now")
            << car << "ChargingModeEco" << 80 << QString() << 50 << 7360.0 << QStringList{} << none << "12:00:00"
            << "OutlookExpected"
            << "15:46:27" << 25.0;
    QTest::newRow("a car that cannot report its level") << "electricVehicle" << target << 80 << "07:00:00" << 50 << 0.0
                                                        << QStringList{"01:00:00-03:00:00"} << none << "-23:00:00"
                                                        << "OutlookOnTime"
                                                        << "02:30:35" << 15.0;
}

void TestChargingForecast::forecast()
{
    QFETCH(QString, car);
    QFETCH(QString, mode);
    QFETCH(int, target);
    QFETCH(QString, deadline);
    QFETCH(int, level);
    QFETCH(double, powerNow);
    QFETCH(QStringList, planned);
    QFETCH(QString, waitingReason);
    QFETCH(QString, now);
    QFETCH(QString, outlook);
    QFETCH(QString, finish);
    QFETCH(double, remaining);

    ThingManager things;
    Thing *charger = things.addConfiguredThing(QStringLiteral("evChargerAc"), QStringLiteral("Garage"));
    QVERIFY(charger);
    charger->setStateValue(QStringLiteral("currentPower"), powerNow);
    Thing *vehicle = car.isEmpty() ? nullptr : things.addConfiguredThing(car, QStringLiteral("Hatchback"));
    ChargingConfiguration configuration(charger->id());
    configuration.setChargingMode(static_cast<ChargingConfiguration::ChargingMode>(
            QMetaEnum::fromType<ChargingConfiguration::ChargingMode>().keyToValue(qPrintable(mode))));
    configuration.setTargetPercentage(static_cast<uint>(target));
    if (!deadline.isEmpty())
        configuration.setEndDateTime(at(deadline));
    if (vehicle) {
        vehicle->setStateValue(QStringLiteral("batteryLevel"), level);
        vehicle->setStateValue(QStringLiteral("capacity"), 50);
        vehicle->setSettingValue(QStringLiteral("chargingEnergyLoss"), 10);
        configuration.setAssignedCarId(vehicle->id());
    }
    ChargingState state(charger->id());
    state.setWaitingReason(static_cast<ChargingState::WaitingReason>(
            QMetaEnum::fromType<ChargingState::WaitingReason>().keyToValue(qPrintable(waitingReason))));
    ChargingSchedules schedules;
    for (QString slot : planned) {
        const bool other = slot.startsWith("other:");
        slot.remove("other:");
        const int split = slot.indexOf('-', 1);
        ChargingSchedule schedule(other ? ThingId::createUuid() : charger->id(),
                                  TimeFrame(at(slot.left(split)), at(slot.mid(split + 1))));
        schedule.setAction(ChargingAction(true, 16, 3, ChargingAction::ChargingActionIssuerSpotMarketCharging, false));
        schedules.append(schedule);
    }

    const ChargingForecast forecast =
            ChargingForecast::forecast(configuration, state, schedules, vehicle, charger, at(now));
    QCOMPARE(QString::fromLatin1(QMetaEnum::fromType<ChargingForecast::Outlook>().valueToKey(forecast.outlook)),
             outlook);
    QCOMPARE(forecast.expectedFinish, finish.isEmpty() ? QDateTime() : at(finish));
    QVERIFY2(qAbs(forecast.remainingEnergy - remaining) < 1e-9, qPrintable(QString::number(forecast.remainingEnergy)));
    QCOMPARE(forecast.batteryLevelEstimated, car == "electricVehicle");
    // As the API carries it: the finish only when known.
    const QVariantMap map = forecast.toMap();
    QCOMPARE(map.contains("expectedFinish"), !finish.isEmpty());
    QCOMPARE(map.value("outlook").toString(), outlook);
}

QTEST_GUILESS_MAIN(TestChargingForecast)
#include "tst_chargingforecast.moc"
