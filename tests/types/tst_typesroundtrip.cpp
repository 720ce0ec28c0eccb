#include <QtTest>

#include "tavro/jsonhandler.h"
#include "types/chargingconfiguration.h"
#include "types/chargingschedule.h"
#include "types/chargingstate.h"
#include "types/typesregistration.h"

// Every record leaves through its meta-object and comes back unchanged,
// also after a trip through JSON text as on the wire.
class TestTypesRoundTrip : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void configurations();
    void states();
    void schedules();
    void queuedSignalArguments();
};

template<typename T>
static T roundTrip(const T &value)
{
    const QVariant packed = JsonHandler::pack(value);
    const QVariant wire = QJsonDocument::fromJson(QJsonDocument::fromVariant(packed).toJson()).toVariant();
    return JsonHandler::unpack<T>(wire);
}

// Whole seconds: the wire carries seconds since the epoch.
static QDateTime at(int day, int hour)
{
    return QDateTime(QDate(2024, 3, day), QTime(hour, 0));
}

void TestTypesRoundTrip::initTestCase()
{
    registerTavroEnergyTypes();
    registerTavroEnergyTypes(); // a second call must be harmless
}

void TestTypesRoundTrip::configurations()
{
    ChargingConfiguration full(QUuid::createUuid());
    full.setAssignedCarId(QUuid::createUuid());
    full.setChargingMode(ChargingConfiguration::ChargingModeEcoWithTargetTime);
    full.setEndDateTime(at(4, 7));
    full.setRepeatDays({1, 3, 5});
    full.setTargetPercentage(95);
    full.setDischargeFloorPercentage(20);
    full.setDailySpotMarketPercentage(40);
    full.setLockOnUnplug(true);
    full.setStopOnTargetPercentage(true);
    const ChargingConfiguration sparse(QUuid::createUuid()); // optional ids and times left out

    QCOMPARE(JsonHandler::pack(full).toMap().value("chargingMode").toString(),
             QString("ChargingModeEcoWithTargetTime"));
    QCOMPARE(roundTrip(full), full);
    QCOMPARE(roundTrip(sparse), sparse);

    const ChargingConfigurations list({full, sparse});
    const ChargingConfigurations back = roundTrip(list);
    QCOMPARE(back.count(), 2);
    QCOMPARE(back.at(0), full);
    QCOMPARE(back.at(1), sparse);
}

void TestTypesRoundTrip::states()
{
    ChargingState state(QUuid::createUuid());
    state.setMode(ChargingState::ModeDischarging);
    state.setOverloadProtectionActive(true);
    state.setOverloadProtectionThrottle(0.375);
    state.setTargetTimeOvershot(-120);
    state.setTargetPercentageReached(true);
    state.setPowerLockSeconds(42);
    state.setPowerLockDuration(600);
    state.setBatteryLevelConsiderationActive(true);
    state.setWaitingReason(ChargingState::WaitingReasonPhasePowerLimit);
    state.setSurplusCoverage(0.8125);

    QCOMPARE(JsonHandler::pack(state).toMap().value("waitingReason").toString(),
             QString("WaitingReasonPhasePowerLimit"));
    QCOMPARE(roundTrip(state), state);
    const ChargingStates back = roundTrip(ChargingStates({state, ChargingState(QUuid::createUuid())}));
    QCOMPARE(back.count(), 2);
    QCOMPARE(back.at(0), state);
    QCOMPARE(back.at(1).surplusCoverage(), -1.0);
}

void TestTypesRoundTrip::schedules()
{
    ChargingSchedule schedule(QUuid::createUuid(), TimeFrame(at(4, 1), at(4, 2)));
    schedule.setAction(ChargingAction(true, 13.5, 1, ChargingAction::ChargingActionIssuerTimeRequirement, true));

    // Schedule equality looks at the frame only, so compare the rest by hand.
    const ChargingSchedule back = roundTrip(schedule);
    QCOMPARE(back, schedule);
    QCOMPARE(back.evChargerId(), schedule.evChargerId());
    QCOMPARE(back.action().chargingEnabled(), true);
    QCOMPARE(back.action().maxChargingCurrent(), 13.5);
    QCOMPARE(back.action().desiredPhaseCount(), 1u);
    QCOMPARE(back.action().issuer(), ChargingAction::ChargingActionIssuerTimeRequirement);
    QCOMPARE(back.action().force(), false); // not a property: never travels

    ChargingSchedule second(QUuid::createUuid(), TimeFrame(at(5, 1), at(5, 2)));
    second.setAction(ChargingAction(false, 6, 3, ChargingAction::ChargingActionIssuerSurplusCharging, false));
    const ChargingSchedules list = roundTrip(ChargingSchedules({schedule, second}));
    QCOMPARE(list.count(), 2);
    QCOMPARE(list.at(1), second);
    QCOMPARE(list.at(1).evChargerId(), second.evChargerId());
    QCOMPARE(list.at(1).action().issuer(), ChargingAction::ChargingActionIssuerSurplusCharging);
}

// Queued connections look the argument types up by name.
class Emitter : public QObject
{
    Q_OBJECT
signals:
    void statesChanged(const ChargingStates &states);
};

void TestTypesRoundTrip::queuedSignalArguments()
{
    for (const char *name : {"ChargingConfiguration", "ChargingConfigurations", "ChargingState", "ChargingStates",
                             "ChargingAction", "ChargingSchedule", "ChargingSchedules"})
        QVERIFY2(QMetaType::type(name) != QMetaType::UnknownType, name);

    Emitter emitter;
    ChargingStates received;
    int calls = 0;
    connect(
            &emitter, &Emitter::statesChanged, this,
            [&](const ChargingStates &states) {
                received = states;
                calls++;
            },
            Qt::QueuedConnection);

    ChargingState state(QUuid::createUuid());
    state.setMode(ChargingState::ModeSurplusCharging);
    emit emitter.statesChanged(ChargingStates({state}));
    QCOMPARE(calls, 0);
    QTRY_COMPARE(calls, 1);
    QCOMPARE(received.count(), 1);
    QCOMPARE(received.at(0), state);
}

QTEST_GUILESS_MAIN(TestTypesRoundTrip)
#include "tst_typesroundtrip.moc"
