#include <QtTest>
#include "settingssandbox.h"

#include "devices/evchargerac.h"
#include "tavro/tavroclock.h"
#include "tavro/thingmanager.h"

// Chargers the built-in classes lack: one with nothing but on/off and an
// unbounded current, one metering power per phase without phase currents.
static const char testClasses[] = R"([
 {"id": "{6a0e5c1e-1d7c-4b0e-9a51-0c7f3b1f0001}", "name": "acMinimal", "interfaces": ["evchargerac"], "stateTypes": [
  {"id": "{6a0e5c1e-1d7c-4b0e-9a51-0c7f3b1f0011}", "name": "power", "type": "bool", "writable": true},
  {"id": "{6a0e5c1e-1d7c-4b0e-9a51-0c7f3b1f0012}", "name": "maxChargingCurrent", "type": "double", "defaultValue": 6, "writable": true}]},
 {"id": "{6a0e5c1e-1d7c-4b0e-9a51-0c7f3b1f0002}", "name": "acPhasePowers", "interfaces": ["evchargerac"], "stateTypes": [
  {"id": "{6a0e5c1e-1d7c-4b0e-9a51-0c7f3b1f0023}", "name": "currentPower", "type": "double"},
  {"id": "{6a0e5c1e-1d7c-4b0e-9a51-0c7f3b1f0026}", "name": "currentPowerPhaseC", "type": "double"}]}
])";
static const char lockedMessage[] = "EV charger \"Garage\" power is now locked for 300 seconds";

struct SwitchCase {
    bool poweredBefore, enable, applyLock, fail, locks;
};
// A command at t0 + 5 s while both locks run since t0: "off", "on" or "current".
struct LockedCase {
    QString command;
    bool force, applyLock, sent;
    int remaining;
};
struct CurrentCase {
    QString className;
    double requested;
    bool fail;
    double sent;
    bool locks;
};
struct ReadingCase {
    QString className;
    QVariantMap states;
    int phases;
    double power;
};
Q_DECLARE_METATYPE(SwitchCase)
Q_DECLARE_METATYPE(LockedCase)
Q_DECLARE_METATYPE(CurrentCase)
Q_DECLARE_METATYPE(ReadingCase)

class TestEvChargerAc : public QObject
{
    Q_OBJECT

    SettingsSandbox m_dir;
    ThingManager *m_manager = nullptr;
    const QDateTime m_t0 = QDateTime(QDate(2024, 5, 6), QTime(12, 0));

    EvChargerAc *addCharger(const QString &className, const QVariantMap &states = QVariantMap(), bool failing = false)
    {
        Thing *thing = m_manager->addConfiguredThing(className, QStringLiteral("Garage"));
        for (auto it = states.constBegin(); it != states.constEnd(); ++it)
            thing->setStateValue(it.key(), it.value());
        if (failing)
            m_manager->setActionHandler(thing->id(),
                                        [](Thing *, const Action &) { return Thing::ThingErrorHardwareFailure; });
        return new EvChargerAc(m_manager, thing);
    }
    static bool finished(ThingActionInfo *info)
    {
        QSignalSpy spy(info, &ThingActionInfo::finished);
        return spy.wait(2000);
    }
    // The values the host received; invalid for an action not of origin 1.
    QVariantList sent() const
    {
        QVariantList values;
        for (const ThingManager::ActionLogEntry &entry : m_manager->actionLog())
            values << (entry.triggeredBy == Action::TriggeredByRule ? entry.params.first().value() : QVariant());
        return values;
    }

private slots:
    void initTestCase()
    {
        m_dir.apply();
        QLoggingCategory::setFilterRules(QStringLiteral("TavroEnergy.debug=true"));
        m_manager = new ThingManager(this);
        for (const QJsonValue &value : QJsonDocument::fromJson(testClasses).array())
            QVERIFY(m_manager->registerThingClass(ThingClass::fromJson(value.toObject())));
    }
    void init() { TavroClock::setCurrentDateTime(m_t0); }
    void cleanup()
    {
        TavroClock::reset();
        m_manager->clearActionLog();
        for (Thing *thing : m_manager->configuredThings())
            m_manager->removeConfiguredThing(thing->id());
    }

    void switchLock_data()
    {
        QTest::addColumn<SwitchCase>("c");
        QTest::newRow("switch on succeeds") << SwitchCase{false, true, true, false, true};
        QTest::newRow("switch off succeeds") << SwitchCase{true, false, true, false, true};
        QTest::newRow("switch fails") << SwitchCase{false, true, true, true, false};
        QTest::newRow("value unchanged") << SwitchCase{true, true, true, false, false};
        QTest::newRow("manual switch applies no lock") << SwitchCase{false, true, false, false, false};
    }
    void switchLock()
    {
        QFETCH(SwitchCase, c);
        EvChargerAc *charger = addCharger("evChargerAc", {{"power", c.poweredBefore}}, c.fail);
        QSignalSpy lockedSpy(charger, &EvChargerAc::chargingEnabledLockedChanged);
        QSignalSpy remainingSpy(charger, &EvChargerAc::remainingChargingEnabledLockDurationChanged);
        if (c.locks)
            QTest::ignoreMessage(QtWarningMsg, lockedMessage);
        ThingActionInfo *info = charger->setChargingEnabled(c.enable, m_t0, false, c.applyLock);
        // The value the charger reports already is not sent again.
        const bool changes = c.poweredBefore != c.enable;
        QCOMPARE(info != nullptr, changes);
        QVERIFY(!info || finished(info));
        QCOMPARE(sent(), changes ? QVariantList({c.enable}) : QVariantList());
        QCOMPARE(charger->chargingEnabledLocked(), c.locks);
        QCOMPARE(lockedSpy.count(), c.locks ? 1 : 0);
        QCOMPARE(remainingSpy.count(), c.locks ? 1 : 0);
        if (!c.locks)
            return;
        QCOMPARE(remainingSpy.first().first().toInt(), 300);

        // Still locked at exactly the duration, released one second later.
        charger->evaluateChargingEnabledLock(m_t0.addSecs(300));
        QCOMPARE(charger->remainingChargingEnabledLockDuration(), 0);
        QVERIFY(!charger->setChargingEnabled(!c.enable, m_t0.addSecs(300), false, true));
        QTest::ignoreMessage(QtWarningMsg, "EV charger \"Garage\" power is now unlocked");
        charger->evaluateChargingEnabledLock(m_t0.addSecs(301));
        QVERIFY(!charger->chargingEnabledLocked());
        QCOMPARE(charger->remainingChargingEnabledLockDuration(), -1);
        QCOMPARE(lockedSpy.count(), 2);
    }

    void lockTimerFollowsHostClock()
    {
        EvChargerAc *charger = addCharger("evChargerAc");
        charger->setChargingEnabledLockDuration(2);
        QTest::ignoreMessage(QtWarningMsg, "EV charger \"Garage\" power is now locked for 2 seconds");
        QVERIFY(finished(charger->setChargingEnabled(true, m_t0, false, true)));
        QSignalSpy lockedSpy(charger, &EvChargerAc::chargingEnabledLockedChanged);
        QSignalSpy remainingSpy(charger, &EvChargerAc::remainingChargingEnabledLockDurationChanged);
        TavroClock::setCurrentDateTime(m_t0.addSecs(1));
        QVERIFY(remainingSpy.wait(2500));
        QCOMPARE(remainingSpy.takeFirst().first().toInt(), 1);
        TavroClock::setCurrentDateTime(m_t0.addSecs(3));
        QVERIFY(lockedSpy.wait(2500));
        QCOMPARE(remainingSpy.takeFirst().first().toInt(), -1);
    }

    void switchInFlightHoldsTheLock()
    {
        // Overload protection switches off and the plan switches on again in
        // the same cycle, before the first action has finished.
        EvChargerAc *charger = addCharger("evChargerAc", {{"power", true}});
        ThingActionInfo *off = charger->setChargingEnabled(false, m_t0, true, true);
        QVERIFY(off);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Charging enabled is locked since"));
        QVERIFY(!charger->setChargingEnabled(true, m_t0, false, true));
        ThingActionInfo *forced = charger->setChargingEnabled(true, m_t0, true, true);
        QVERIFY(forced);
        QTest::ignoreMessage(QtWarningMsg, lockedMessage);
        QVERIFY(finished(forced));
        QCOMPARE(sent(), QVariantList({false, true}));
    }

    void currentChangeInFlight_data()
    {
        // Overload protection lowered the current to 14 A; before that
        // reduction has finished the plan sends its own current.
        QTest::addColumn<double>("next");
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("passes");
        QTest::addColumn<double>("settled");
        QTest::newRow("higher than the one on its way: refused") << 16.0 << false << false << 14.0;
        QTest::newRow("the same as the one on its way: sent again") << 14.0 << false << true << 14.0;
        QTest::newRow("lower than the one on its way: sent") << 10.0 << false << true << 10.0;
        QTest::newRow("forced higher: sent") << 16.0 << true << true << 16.0;
    }
    void currentChangeInFlight()
    {
        QFETCH(double, next);
        QFETCH(bool, force);
        QFETCH(bool, passes);
        QFETCH(double, settled);
        EvChargerAc *charger = addCharger("evChargerAc", {{"maxChargingCurrent", 16}});
        ThingActionInfo *reduction = charger->setMaxChargingCurrent(14, m_t0, false);
        QVERIFY(reduction);
        if (!passes)
            QTest::ignoreMessage(QtDebugMsg, "Adjust the charging current is locked: a change to 14 [A] is on its way.");
        ThingActionInfo *second = charger->setMaxChargingCurrent(next, m_t0, force);
        QCOMPARE(second != nullptr, passes);
        QVERIFY(finished(second ? second : reduction));
        QCOMPARE(sent(), passes ? QVariantList({14.0, next}) : QVariantList({14.0}));
        QCOMPARE(charger->maxChargingCurrent(), settled);
        // Settled: the time lock of the last change holds, then nothing does.
        QVERIFY(!charger->setMaxChargingCurrent(settled == 16 ? 12 : 16, m_t0.addSecs(5), false));
        QVERIFY(finished(charger->setMaxChargingCurrent(settled == 16 ? 12 : 16, m_t0.addSecs(10), false)));
    }

    void lockedCommands_data()
    {
        QTest::addColumn<LockedCase>("c");
        QTest::newRow("switch refused") << LockedCase{"off", false, true, false, 295};
        QTest::newRow("forced switch restarts the lock") << LockedCase{"off", true, true, true, 300};
        QTest::newRow("forced manual switch clears the lock") << LockedCase{"off", true, false, true, -1};
        QTest::newRow("unchanged switch: nothing to send") << LockedCase{"on", false, true, false, 295};
        QTest::newRow("current refused") << LockedCase{"current", false, true, false, 300};
        QTest::newRow("forced current passes") << LockedCase{"current", true, true, true, 300};
    }
    void lockedCommands()
    {
        QFETCH(LockedCase, c);
        EvChargerAc *charger = addCharger("evChargerAc");
        QTest::ignoreMessage(QtWarningMsg, lockedMessage);
        QVERIFY(finished(charger->setChargingEnabled(true, m_t0, false, true)));
        QVERIFY(finished(charger->setMaxChargingCurrent(16, m_t0, false)));
        m_manager->clearActionLog();
        if (!c.sent && c.command != "on")
            QTest::ignoreMessage(
                    QtDebugMsg,
                    QRegularExpression(
                            (c.command == "current" ? "^Adjust the charging current" : "^Charging enabled")
                            + QString(
                                    " is locked since 5 seconds. Lock duration is \\d+ seconds. Last action: \"06.05.2024 12:00:00\" now: \"06.05.2024 12:00:05\"$")));
        const QDateTime now = m_t0.addSecs(5);
        ThingActionInfo *info = c.command == "current"
                                        ? charger->setMaxChargingCurrent(20, now, c.force)
                                        : charger->setChargingEnabled(c.command == "on", now, c.force, c.applyLock);
        QCOMPARE(info != nullptr, c.sent);
        QVERIFY(!info || finished(info));
        QCOMPARE(sent().count(), c.sent ? 1 : 0);
        QCOMPARE(charger->remainingChargingEnabledLockDuration(), c.remaining);
    }

    void maxChargingCurrent_data()
    {
        // Every charger starts at 6 A.
        QTest::addColumn<CurrentCase>("c");
        QTest::newRow("above 32 A") << CurrentCase{"evChargerAc", 40, false, 32, true};
        QTest::newRow("below 6 A, onto the present value") << CurrentCase{"evChargerAc", 2, false, 6, false};
        QTest::newRow("unchanged") << CurrentCase{"evChargerAc", 6, false, 6, false};
        QTest::newRow("failed change") << CurrentCase{"evChargerAc", 16, true, 16, false};
        QTest::newRow("above a 16 A class") << CurrentCase{"evChargerAcBasic", 20, false, 16, true};
        QTest::newRow("unbounded class") << CurrentCase{"acMinimal", 40, false, 40, true};
    }
    void maxChargingCurrent()
    {
        QFETCH(CurrentCase, c);
        EvChargerAc *charger = addCharger(c.className, QVariantMap(), c.fail);
        // A narrowed live range does not narrow what is sent.
        charger->thing()->setStateMinMaxValues("maxChargingCurrent", 6, 12);
        ThingActionInfo *info = charger->setMaxChargingCurrent(c.requested, m_t0, false);
        // The 6 A the charger reports already are not sent again.
        const bool changes = c.sent != 6;
        QCOMPARE(info != nullptr, changes);
        QVERIFY(!info || finished(info));
        QCOMPARE(sent(), changes ? QVariantList({c.sent}) : QVariantList());
        QCOMPARE(charger->chargingCurrentLocked(m_t0.addSecs(9)), c.locks);
        QVERIFY(!charger->chargingCurrentLocked(m_t0.addSecs(10)));
    }

    void readings_data()
    {
        QTest::addColumn<ReadingCase>("c");
        QTest::newRow("exactly 0 W with phase currents")
                << ReadingCase{"evChargerAc", {{"currentPower", 0}, {"currentPhaseA", 10}, {"charging", true}}, 0, 0};
        QTest::newRow("currents on A and C") << ReadingCase{
                "evChargerAc", {{"currentPower", 4600}, {"currentPhaseA", 10}, {"currentPhaseC", 10}}, 5, 4600};
        QTest::newRow("negative current counts")
                << ReadingCase{"evChargerAc", {{"currentPower", -100}, {"currentPhaseB", -0.5}}, 2, -100};
        QTest::newRow("current decides over phase power") << ReadingCase{
                "evChargerAc", {{"currentPower", 2300}, {"currentPowerPhaseA", 2300}, {"currentPhaseB", 10}}, 2, 2300};
        QTest::newRow("phase power without currents")
                << ReadingCase{"acPhasePowers", {{"currentPower", 2300}, {"currentPowerPhaseC", 2300}}, 4, 2300};
        // Without "currentPower" the power is estimated at 230 V per phase.
        QTest::newRow("charging, 3 phases")
                << ReadingCase{"evChargerAcBasic", {{"charging", true}, {"maxChargingCurrent", 10}}, 0, 6900};
        QTest::newRow("enabled, not charging")
                << ReadingCase{"evChargerAcBasic", {{"power", true}, {"maxChargingCurrent", 10}}, 0, 0};
        QTest::newRow("no charging state, 1 phase")
                << ReadingCase{"acMinimal", {{"power", true}, {"maxChargingCurrent", 16}}, 0, 3680};
        QTest::newRow("no charging state, disabled") << ReadingCase{"acMinimal", {{"maxChargingCurrent", 16}}, 0, 0};
    }
    void readings()
    {
        QFETCH(ReadingCase, c);
        EvChargerAc *charger = addCharger(c.className, c.states);
        QCOMPARE(int(charger->meteredPhases()), c.phases);
        QCOMPARE(charger->currentPower(), c.power);
    }

    void chargeRefusal_data()
    {
        QTest::addColumn<QString>("className");
        QTest::addColumn<bool>("pluggedIn");
        QTest::addColumn<bool>("latches");
        QTest::newRow("metered charger") << "evChargerAc" << true << true;
        QTest::newRow("charger without meter") << "evChargerAcBasic" << true << false;
        QTest::newRow("no car plugged in") << "evChargerAc" << false << false;
    }
    void chargeRefusal()
    {
        QFETCH(QString, className);
        QFETCH(bool, pluggedIn);
        QFETCH(bool, latches);
        EvChargerAc *charger = addCharger(className, {{"power", true}, {"pluggedIn", pluggedIn}});
        charger->setChargingEnabledLockDuration(60);
        charger->evaluateChargeRefusal(m_t0);
        charger->evaluateChargeRefusal(m_t0.addSecs(59));
        QVERIFY(!charger->chargeRefusalLatched());
        charger->evaluateChargeRefusal(m_t0.addSecs(60));
        QCOMPARE(charger->chargeRefusalLatched(), latches);
        // The latch outlasts unplugging; a reset or measured power clears it.
        charger->thing()->setStateValue(QStringLiteral("pluggedIn"), false);
        charger->evaluateChargeRefusal(m_t0.addSecs(61));
        QCOMPARE(charger->chargeRefusalLatched(), latches);
        charger->resetLocks();
        QVERIFY(!charger->chargeRefusalLatched());
        charger->thing()->setStateValue(QStringLiteral("pluggedIn"), pluggedIn);
        charger->evaluateChargeRefusal(m_t0.addSecs(62));
        charger->evaluateChargeRefusal(m_t0.addSecs(122));
        QCOMPARE(charger->chargeRefusalLatched(), latches);
        charger->thing()->setStateValue(QStringLiteral("currentPower"), 500);
        charger->evaluateChargeRefusal(m_t0.addSecs(123));
        QVERIFY(!charger->chargeRefusalLatched());
    }
    // Two phase switches in a row pause the charge for longer than the
    // refusal window; each switch starts the window again.
    void phaseSwitchPausesAreNoRefusal()
    {
        EvChargerAc *charger = addCharger("evChargerAc", {{"power", true}, {"pluggedIn", true}});
        charger->setChargingEnabledLockDuration(300);
        charger->evaluateChargeRefusal(m_t0);
        QVERIFY(charger->setDesiredPhaseCount(1));
        charger->evaluateChargeRefusal(m_t0.addSecs(180));
        QVERIFY(charger->setDesiredPhaseCount(3));
        charger->evaluateChargeRefusal(m_t0.addSecs(360));
        charger->evaluateChargeRefusal(m_t0.addSecs(659));
        QVERIFY(!charger->chargeRefusalLatched());
        charger->evaluateChargeRefusal(m_t0.addSecs(660));
        QVERIFY(charger->chargeRefusalLatched());
    }
};

QTEST_GUILESS_MAIN(TestEvChargerAc)
#include "tst_evchargerac.moc"
