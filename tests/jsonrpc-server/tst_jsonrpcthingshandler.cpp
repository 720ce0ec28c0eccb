#include <QtTest>
#include "settingssandbox.h"

#include "jsonrpctestclient.h"
#include "tavro/jsonrpcserver.h"
#include "tavro/jsonrpcthingshandler.h"
#include "tavro/tavroclock.h"
#include "tavro/thingmanager.h"

#include <QJsonArray>
#include <QTemporaryDir>

// The host namespace "Things" used by a client over the wire, on a real
// thing of the built-in class "evChargerAc".
class TestJsonRpcThingsHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void executeAction_data();
    void executeAction();
    void actionRunsAfterClientLeft();
    void thingsAndStates();
    void ownerNotifications_data();
    void ownerNotifications();

private:
    SettingsSandbox m_dir;
    ThingManager m_thingManager;
    JsonRpcServer m_server;
    JsonRpcThingsHandler *m_handler = nullptr;
    Thing *m_charger = nullptr;
    JsonRpcTestClient *m_client = nullptr;
    quint16 m_port = 0;
};

void TestJsonRpcThingsHandler::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.apply();
    m_handler = new JsonRpcThingsHandler(&m_thingManager, this);
    QVERIFY(m_server.registerHandler(m_handler, 1, 0));
    // Added after the handler: its states must be followed too.
    m_charger = m_thingManager.addConfiguredThing(QStringLiteral("evChargerAc"), QStringLiteral("Garage"));
    QVERIFY(m_charger);
    QVERIFY(m_server.addToken("user-token", Types::PermissionScopeControlThings));
    m_port = JsonRpcTestClient::listen(&m_server);
    QVERIFY(m_port != 0);
    m_client = new JsonRpcTestClient;
    m_client->setParent(this);
    QVERIFY(m_client->connectTo(m_port));
    QVERIFY(m_client->call("JSONRPC.Authenticate", R"({"token":"user-token"})").contains("result"));
}

void TestJsonRpcThingsHandler::init()
{
    m_charger->setStateValue(QStringLiteral("maxChargingCurrent"), 6);
    // A round trip brings in the notification of the reset before it is
    // forgotten.
    QVERIFY(m_client->call("Things.GetThings").contains("result"));
    m_client->notifications.clear();
}

void TestJsonRpcThingsHandler::executeAction_data()
{
    QTest::addColumn<QString>("thingId"); // empty: the charger
    QTest::addColumn<QJsonObject>("action");
    QTest::addColumn<QString>("thingError");
    QTest::addColumn<double>("current"); // A, afterwards

    const QString stateId = "{4c3e4d08-de4b-5ddf-89d3-14e55d42f1e1}";
    auto byName = [](const QJsonValue &value) {
        return QJsonObject{{"actionTypeName", "maxChargingCurrent"},
                           {"params", QJsonArray{QJsonObject{{"paramName", "maxChargingCurrent"}, {"value", value}}}}};
    };
    QTest::newRow("by names") << "" << byName(10) << "ThingErrorNoError" << 10.0;
    QTest::newRow("by ids") << ""
                            << QJsonObject{{"actionTypeId", stateId},
                                           {"params", QJsonArray{QJsonObject{{"paramTypeId", stateId}, {"value", 16}}}}}
                            << "ThingErrorNoError" << 16.0;
    QTest::newRow("above the state maximum") << "" << byName(40) << "ThingErrorNoError" << 32.0;
    QTest::newRow("value not a number") << "" << byName("ten") << "ThingErrorInvalidParameter" << 6.0;
    QTest::newRow("unknown action") << "" << QJsonObject{{"actionTypeName", "fly"}} << "ThingErrorActionTypeNotFound"
                                    << 6.0;
    QTest::newRow("unknown param") << ""
                                   << QJsonObject{{"actionTypeName", "maxChargingCurrent"},
                                                  {"params",
                                                   QJsonArray{QJsonObject{{"paramName", "speed"}, {"value", 8}}}}}
                                   << "ThingErrorInvalidParameter" << 6.0;
    QTest::newRow("unknown thing") << QUuid::createUuid().toString() << byName(10) << "ThingErrorThingNotFound" << 6.0;
}

void TestJsonRpcThingsHandler::executeAction()
{
    QFETCH(QString, thingId);
    QFETCH(QJsonObject, action);
    QFETCH(QString, thingError);
    QFETCH(double, current);

    action.insert("thingId", thingId.isEmpty() ? m_charger->id().toString() : thingId);
    QSignalSpy executed(&m_thingManager, &ThingManager::actionExecuted);
    const QJsonObject response = m_client->call("Things.ExecuteAction", QJsonDocument(action).toJson());
    QCOMPARE(response.value("result").toObject().value("thingError").toString(), thingError);
    // The answer waits for the action: its effect is there already.
    QCOMPARE(m_charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble(), current);

    const bool ran = thingError == "ThingErrorNoError";
    QCOMPARE(executed.count(), ran ? 1 : 0);
    if (ran) {
        const Action executedAction = executed.first().at(0).value<Action>();
        QCOMPARE(executedAction.triggeredBy(), Action::TriggeredByUser);
        QCOMPARE(executedAction.thingId(), m_charger->id());
        QCOMPARE(executed.first().at(1).value<Thing::ThingError>(), Thing::ThingErrorNoError);
        QCOMPARE(m_client->notifications.count(), 1);
        const QJsonObject notification = m_client->notifications.first();
        QCOMPARE(notification.value("method").toString(), QString("Things.StateChanged"));
        QCOMPARE(notification.value("params").toObject().value("stateName").toString(), QString("maxChargingCurrent"));
        QCOMPARE(notification.value("params").toObject().value("value").toDouble(), current);
    }
}

void TestJsonRpcThingsHandler::actionRunsAfterClientLeft()
{
    JsonRpcTestClient leaving;
    QVERIFY(leaving.connectTo(m_port));
    QVERIFY(leaving.call("JSONRPC.Authenticate", R"({"token":"user-token"})").contains("result"));
    QSignalSpy executed(&m_thingManager, &ThingManager::actionExecuted);
    QJsonObject action{{"thingId", m_charger->id().toString()},
                       {"actionTypeName", "maxChargingCurrent"},
                       {"params", QJsonArray{QJsonObject{{"paramName", "maxChargingCurrent"}, {"value", 20}}}}};
    leaving.sendLine(R"({"jsonrpc":"2.0","id":1,"method":"Things.ExecuteAction","params":)"
                     + QJsonDocument(action).toJson(QJsonDocument::Compact) + "}");
    leaving.disconnectAfterWrite();
    QTRY_COMPARE(executed.count(), 1);
    QTRY_COMPARE(m_server.clientCount(), 1);
    QCOMPARE(m_charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble(), 20.0);
    QVERIFY(m_client->call("Things.GetThings").contains("result"));
}

void TestJsonRpcThingsHandler::thingsAndStates()
{
    const QJsonArray things = m_client->call("Things.GetThings").value("result").toObject().value("things").toArray();
    QCOMPARE(things.count(), 1);
    const QJsonObject thing = things.first().toObject();
    QCOMPARE(thing.value("id").toString(), m_charger->id().toString());
    QCOMPARE(thing.value("name").toString(), QString("Garage"));
    QCOMPARE(thing.value("thingClassName").toString(), QString("evChargerAc"));
    QVERIFY(thing.value("interfaces").toArray().contains("evchargerac"));

    const QByteArray id = m_charger->id().toString().toUtf8();
    QJsonObject value =
            m_client->call("Things.GetStateValue", R"({"thingId":")" + id + R"(","stateName":"maxChargingCurrent"})")
                    .value("result")
                    .toObject();
    QCOMPARE(value, QJsonObject({{"thingError", "ThingErrorNoError"}, {"value", 6}}));
    value = m_client->call("Things.GetStateValue", R"({"thingId":")" + id + R"(","stateName":"warpFactor"})")
                    .value("result")
                    .toObject();
    QCOMPARE(value, QJsonObject({{"thingError", "ThingErrorStateTypeNotFound"}}));

    const QJsonArray states = m_client->call("Things.GetStateValues", R"({"thingId":")" + id + R"("})")
                                      .value("result")
                                      .toObject()
                                      .value("states")
                                      .toArray();
    QCOMPARE(states.count(), m_charger->thingClass().stateTypes().count());
    QJsonObject current;
    for (const QJsonValue &state : states) {
        if (state.toObject().value("name") == "maxChargingCurrent")
            current = state.toObject();
    }
    QCOMPARE(current.value("unit").toString(), QString("A"));
    QCOMPARE(current.value("minValue").toDouble(), 6.0);
    QCOMPARE(current.value("maxValue").toDouble(), 32.0);
}

void TestJsonRpcThingsHandler::ownerNotifications_data()
{
    QTest::addColumn<bool>("toPhone"); // else an action of the charger
    QTest::addColumn<bool>("refused"); // the phone refuses it
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("kept");
    QTest::addColumn<QString>("oldest"); // the first title kept

    QTest::newRow("one to the phone") << true << false << 1 << 1 << "title 1";
    QTest::newRow("refused by the phone") << true << true << 1 << 0 << "";
    QTest::newRow("an action of a charger") << false << false << 1 << 0 << "";
    QTest::newRow("more than are kept") << true << false << JsonRpcThingsHandler::maxNotifications + 2
                                        << JsonRpcThingsHandler::maxNotifications << "title 3";
}

void TestJsonRpcThingsHandler::ownerNotifications()
{
    QFETCH(bool, toPhone);
    QFETCH(bool, refused);
    QFETCH(int, sent);
    QFETCH(int, kept);
    QFETCH(QString, oldest);

    const QDateTime now(QDate(2026, 3, 10), QTime(21, 15));
    TavroClock::setCurrentDateTime(now);
    Thing *phone = m_thingManager.addConfiguredThing(QStringLiteral("pushNotifications"), QStringLiteral("Phone"));
    QVERIFY(phone);
    m_thingManager.setActionHandler(phone->id(), [refused](Thing *, const Action &) {
        return refused ? Thing::ThingErrorHardwareFailure : Thing::ThingErrorNoError;
    });
    m_client->notifications.clear();
    const ActionType notify = phone->thingClass().actionTypes().findByName(QStringLiteral("notify"));
    const ActionType current = m_charger->thingClass().actionTypes().findByName(QStringLiteral("maxChargingCurrent"));
    QSignalSpy executed(&m_thingManager, &ThingManager::actionExecuted);
    for (int i = 1; i <= sent; i++) {
        Action action(toPhone ? notify.id() : current.id(), toPhone ? phone->id() : m_charger->id(),
                      Action::TriggeredByRule);
        ParamList params;
        const ParamTypes types = (toPhone ? notify : current).paramTypes();
        if (toPhone) {
            params.setParamValue(types.findByName(QStringLiteral("title")).id(), QStringLiteral("title %1").arg(i));
            params.setParamValue(types.findByName(QStringLiteral("body")).id(), QStringLiteral("body %1").arg(i));
        } else {
            params.setParamValue(types.findByName(QStringLiteral("maxChargingCurrent")).id(), 10);
        }
        action.setParams(params);
        m_thingManager.executeAction(action);
    }
    QTRY_COMPARE(executed.count(), sent);
    // This row's own: the phone is new for each.
    const QString phoneId = phone->id().toString();
    QJsonArray list;
    for (const QJsonValue &notification :
         m_client->call("Things.GetNotifications").value("result").toObject().value("notifications").toArray()) {
        if (notification.toObject().value("thingId").toString() == phoneId)
            list.append(notification);
    }
    m_thingManager.removeConfiguredThing(phone->id());
    TavroClock::reset();
    QCOMPARE(list.count(), kept);
    // Every one sent was told at once, also those no longer kept.
    int told = 0;
    for (const QJsonObject &notification : qAsConst(m_client->notifications))
        told += notification.value("method").toString() == "Things.NotificationSent" ? 1 : 0;
    QCOMPARE(told, toPhone && !refused ? sent : 0);
    if (kept == 0)
        return;
    const QJsonObject first = list.first().toObject();
    QCOMPARE(first.value("title").toString(), oldest);
    QCOMPARE(first.value("body").toString(), QString(oldest).replace("title", "body"));
    QCOMPARE(first.value("thingId").toString(), phoneId);
    QCOMPARE(first.value("time").toVariant().toLongLong(), now.toSecsSinceEpoch());
    QCOMPARE(list.last().toObject().value("title").toString(), QStringLiteral("title %1").arg(sent));
}

QTEST_GUILESS_MAIN(TestJsonRpcThingsHandler)
#include "tst_jsonrpcthingshandler.moc"
