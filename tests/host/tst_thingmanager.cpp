#include "tavro/thingmanager.h"

#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(Thing::ThingError)

class TestThingManager : public QObject
{
    Q_OBJECT

private slots:
    void actionRoundTrip_data();
    void actionRoundTrip();
    void invalidActions_data();
    void invalidActions();
    void removedThingFinishesWithError();
    void thingClassesDescribeWritableStates();
};

void TestThingManager::actionRoundTrip_data()
{
    QTest::addColumn<QString>("stateName");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<int>("origin");

    QTest::newRow("user sets current") << "maxChargingCurrent" << QVariant(10.0) << QVariant(10.0) << 0;
    QTest::newRow("plugin switches on") << "power" << QVariant(true) << QVariant(true) << 1;
    QTest::newRow("clamped to maximum") << "maxChargingCurrent" << QVariant(40.0) << QVariant(32.0) << 1;
    QTest::newRow("clamped to minimum") << "maxChargingCurrent" << QVariant(2.0) << QVariant(6.0) << 1;
    QTest::newRow("rounded to step") << "maxChargingCurrent" << QVariant(13.4) << QVariant(13.0) << 1;
    QTest::newRow("phase count") << "desiredPhaseCount" << QVariant(1) << QVariant(1) << 1;
}

void TestThingManager::actionRoundTrip()
{
    QFETCH(QString, stateName);
    QFETCH(QVariant, value);
    QFETCH(QVariant, expected);
    QFETCH(int, origin);

    ThingManager thingManager;
    Thing *charger = thingManager.addConfiguredThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger"));
    QVERIFY(charger);
    // Start away from every expected value so each action changes the state.
    charger->setStateValue(QStringLiteral("maxChargingCurrent"), 16.0);
    const StateType stateType = charger->thingClass().stateTypes().findByName(stateName);
    QVERIFY(stateType.writable());

    Action action(stateType.id(), charger->id(), static_cast<Action::TriggeredBy>(origin));
    action.setParams(ParamList({Param(stateType.id(), value)}));
    QSignalSpy executedSpy(&thingManager, &ThingManager::actionExecuted);
    QSignalSpy stateSpy(charger, &Thing::stateValueChanged);
    ThingActionInfo *info = thingManager.executeAction(action);
    QSignalSpy finishedSpy(info, &ThingActionInfo::finished);

    // Nothing happens synchronously.
    QCOMPARE(executedSpy.count(), 0);
    QVERIFY(executedSpy.wait(1000));
    QCOMPARE(finishedSpy.count(), 1);
    QCOMPARE(executedSpy.count(), 1);
    const Action executed = executedSpy.at(0).at(0).value<Action>();
    QCOMPARE(int(executed.triggeredBy()), origin);
    QCOMPARE(executedSpy.at(0).at(1).value<Thing::ThingError>(), Thing::ThingErrorNoError);
    QCOMPARE(charger->stateValue(stateName), expected);
    QCOMPARE(stateSpy.count(), 1);
    QCOMPARE(thingManager.actionLog().count(), 1);
    QCOMPARE(thingManager.actionLog().first().actionTypeName, stateName);
}

void TestThingManager::invalidActions_data()
{
    QTest::addColumn<bool>("knownThing");
    QTest::addColumn<bool>("knownActionType");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<Thing::ThingError>("error");

    QTest::newRow("unknown thing") << false << true << QVariant(10) << Thing::ThingErrorThingNotFound;
    QTest::newRow("unknown action type") << true << false << QVariant(10) << Thing::ThingErrorActionTypeNotFound;
    QTest::newRow("phase count not offered") << true << true << QVariant(2) << Thing::ThingErrorInvalidParameter;
    QTest::newRow("missing parameter") << true << true << QVariant() << Thing::ThingErrorMissingParameter;
}

void TestThingManager::invalidActions()
{
    QFETCH(bool, knownThing);
    QFETCH(bool, knownActionType);
    QFETCH(QVariant, value);
    QFETCH(Thing::ThingError, error);

    ThingManager thingManager;
    Thing *charger = thingManager.addConfiguredThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger"));
    const StateType stateType = charger->thingClass().stateTypes().findByName(QStringLiteral("desiredPhaseCount"));
    Action action(knownActionType ? stateType.id() : QUuid::createUuid(),
                  knownThing ? charger->id() : QUuid::createUuid());
    if (value.isValid())
        action.setParams(ParamList({Param(stateType.id(), value)}));

    QSignalSpy executedSpy(&thingManager, &ThingManager::actionExecuted);
    ThingActionInfo *info = thingManager.executeAction(action);
    // The info deletes itself once finished: read its status from the signal.
    Thing::ThingError status = Thing::ThingErrorNoError;
    connect(info, &ThingActionInfo::finished, this, [info, &status]() { status = info->status(); });
    QSignalSpy finishedSpy(info, &ThingActionInfo::finished);
    QVERIFY(finishedSpy.wait(1000));
    QCOMPARE(status, error);
    QCOMPARE(executedSpy.count(), 1);
    QCOMPARE(executedSpy.at(0).at(1).value<Thing::ThingError>(), error);
    QCOMPARE(charger->stateValue(QStringLiteral("desiredPhaseCount")).toInt(), 3);
}

void TestThingManager::removedThingFinishesWithError()
{
    ThingManager thingManager;
    Thing *charger = thingManager.addConfiguredThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger"));
    const StateType power = charger->thingClass().stateTypes().findByName(QStringLiteral("power"));
    Action action(power.id(), charger->id(), Action::TriggeredByRule);
    action.setParams(ParamList({Param(power.id(), true)}));
    QSignalSpy removedSpy(&thingManager, &ThingManager::thingRemoved);
    ThingActionInfo *info = thingManager.executeAction(action);
    Thing::ThingError status = Thing::ThingErrorNoError;
    connect(info, &ThingActionInfo::finished, this, [info, &status]() { status = info->status(); });
    QSignalSpy finishedSpy(info, &ThingActionInfo::finished);
    // The removed thing is deleted later, too.
    const ThingId chargerId = charger->id();
    QVERIFY(thingManager.removeConfiguredThing(chargerId));
    QCOMPARE(removedSpy.count(), 1);
    QVERIFY(finishedSpy.wait(1000));
    QCOMPARE(status, Thing::ThingErrorThingNotFound);
    QVERIFY(!thingManager.findConfiguredThing(chargerId));
}

void TestThingManager::thingClassesDescribeWritableStates()
{
    // Every writable state has an action of the same id whose one parameter
    // has that id too; read-only states have none.
    ThingManager thingManager;
    QVERIFY(thingManager.supportedThingClasses().count() >= 10);
    for (const ThingClass &thingClass : thingManager.supportedThingClasses()) {
        for (const StateType &stateType : thingClass.stateTypes()) {
            const ActionType actionType = thingClass.actionTypes().findById(stateType.id());
            QCOMPARE(actionType.isValid(), stateType.writable());
            if (actionType.isValid()) {
                QCOMPARE(actionType.name(), stateType.name());
                QCOMPARE(actionType.paramTypes().count(), 1);
                QCOMPARE(actionType.paramTypes().first().id(), stateType.id());
            }
        }
    }
}

QTEST_GUILESS_MAIN(TestThingManager)
#include "tst_thingmanager.moc"
