#include <QtTest>

#include "types/chargingstate.h"

class TestChargingState : public QObject
{
    Q_OBJECT

private slots:
    void equality_data();
    void equality();
    void modeText_data();
    void modeText();
};

using Mutation = std::function<void(ChargingState &)>;
Q_DECLARE_METATYPE(Mutation)

void TestChargingState::equality_data()
{
    QTest::addColumn<Mutation>("mutation");
    QTest::addColumn<bool>("equal");

    // Base values: throttle 0.5, coverage 0.25.
    QTest::newRow("coverage +5e-7") << Mutation([](ChargingState &s) { s.setSurplusCoverage(0.25 + 0.0000005); })
                                    << true;
    QTest::newRow("coverage -5e-7") << Mutation([](ChargingState &s) { s.setSurplusCoverage(0.25 - 0.0000005); })
                                    << true;
    QTest::newRow("coverage +1e-5") << Mutation([](ChargingState &s) { s.setSurplusCoverage(0.25 + 0.00001); })
                                    << false;
    QTest::newRow("coverage -1e-5") << Mutation([](ChargingState &s) { s.setSurplusCoverage(0.25 - 0.00001); })
                                    << false;
    QTest::newRow("throttle +5e-7") << Mutation([](ChargingState &s) {
        s.setOverloadProtectionThrottle(0.5 + 0.0000005);
    }) << true;
    QTest::newRow("throttle +1e-5") << Mutation([](ChargingState &s) {
        s.setOverloadProtectionThrottle(0.5 + 0.00001);
    }) << false;
    QTest::newRow("power lock seconds") << Mutation([](ChargingState &s) { s.setPowerLockSeconds(299); }) << false;
    QTest::newRow("power lock duration") << Mutation([](ChargingState &s) { s.setPowerLockDuration(10); }) << false;
    QTest::newRow("waiting reason") << Mutation([](ChargingState &s) {
        s.setWaitingReason(ChargingState::WaitingReasonHomeBattery);
    }) << false;
    QTest::newRow("target overshot") << Mutation([](ChargingState &s) { s.setTargetTimeOvershot(1); }) << false;
    QTest::newRow("charger id") << Mutation([](ChargingState &s) { s.setEvChargerId(QUuid::createUuid()); }) << false;
}

void TestChargingState::equality()
{
    QFETCH(Mutation, mutation);
    QFETCH(bool, equal);

    ChargingState original(QUuid::createUuid());
    original.setOverloadProtectionThrottle(0.5);
    original.setSurplusCoverage(0.25);
    ChargingState changed = original;
    mutation(changed);

    QCOMPARE(changed == original, equal);
    QCOMPARE(original == changed, equal);
    QCOMPARE(changed != original, !equal);
}

void TestChargingState::modeText_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("text");

    QTest::newRow("idle") << 0 << "idle";
    QTest::newRow("spot market") << 2 << "spot market charging";
    QTest::newRow("discharging") << 4 << "discharging";
    QTest::newRow("above range") << 5 << "idle";
    QTest::newRow("negative") << -1 << "idle";
}

void TestChargingState::modeText()
{
    QFETCH(int, mode);
    QFETCH(QString, text);
    QCOMPARE(ChargingState::modeToString(static_cast<ChargingState::Mode>(mode)), text);
}

QTEST_GUILESS_MAIN(TestChargingState)
#include "tst_chargingstate.moc"
