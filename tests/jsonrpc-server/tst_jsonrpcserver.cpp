#include <QtTest>

#include "jsonrpctestclient.h"
#include "tavro/jsonrpcserver.h"

#include <QJsonArray>
#include <QTemporaryDir>

struct Gizmo
{
    Q_GADGET
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(Color color MEMBER color)
    Q_PROPERTY(int size MEMBER size USER true)
public:
    enum Color { ColorRed, ColorGreen, ColorBlue };
    Q_ENUM(Color)

    QString name;
    Color color = ColorRed;
    int size = 0;
};

// Namespace "Test": one admin method, scope-1 methods, a notification and an
// asynchronous method.
class TestHandler : public JsonHandler
{
    Q_OBJECT
public:
    TestHandler()
    {
        registerEnum<Gizmo::Color>();
        registerObject<Gizmo>();
        registerMethod("SetGizmo", "Stores a gizmo.", {{"gizmo", "$ref:Gizmo"}, {"o:count", "Uint"}},
                       {{"accepted", "Bool"}}, Types::PermissionScopeAdmin);
        registerMethod("GetCount", "Counts calls.", {}, {{"count", "Uint"}}, Types::PermissionScopeControlThings);
        registerMethod("Check", "Takes one of each type.",
                       {{"o:uint", "Uint"}, {"o:int", "Int"}, {"o:double", "Double"}, {"o:bool", "Bool"},
                        {"o:uuid", "Uuid"}, {"o:string", "String"}, {"o:stringList", "StringList"},
                        {"o:object", "Object"}, {"o:time", "Time"}, {"o:color", "$ref:Color"},
                        {"o:gizmos", QVariantList{"$ref:Gizmo"}}, {"o:numbers", QVariantList{"Int"}}},
                       {{"received", "Object"}}, Types::PermissionScopeControlThings);
        registerMethod("Later", "Answers after delay ms.", {{"delay", "Uint"}}, {{"done", "Bool"}},
                       Types::PermissionScopeControlThings);
        registerNotification("GizmoChanged", "A gizmo was stored.", {{"gizmo", "$ref:Gizmo"}, {"o:language", "String"}});
    }

    QString name() const override { return "Test"; }

    QVariantMap translateNotification(const QString &notification, const QVariantMap &params,
                                      const QLocale &locale) override
    {
        QVariantMap translated = params;
        if (notification == "GizmoChanged")
            translated.insert("language", locale.name());
        return translated;
    }

    Q_INVOKABLE JsonReply *SetGizmo(const QVariantMap &params)
    {
        calls++;
        emit GizmoChanged({{"gizmo", pack(unpack<Gizmo>(params.value("gizmo")))}});
        return createReply({{"accepted", true}});
    }
    Q_INVOKABLE JsonReply *GetCount(const QVariantMap &, const JsonContext &context)
    {
        calls++;
        lastScopes = context.permissionScopes();
        return createReply({{"count", calls}});
    }
    Q_INVOKABLE JsonReply *Check(const QVariantMap &params)
    {
        calls++;
        return createReply({{"received", params}});
    }
    Q_INVOKABLE JsonReply *Later(const QVariantMap &params)
    {
        JsonReply *reply = createAsyncReply();
        lastAsyncReply = reply;
        QTimer::singleShot(params.value("delay").toInt(), reply, [reply]() { reply->finish({{"done", true}}); });
        return reply;
    }

    int calls = 0;
    Types::PermissionScopes lastScopes;
    QPointer<JsonReply> lastAsyncReply;

signals:
    void GizmoChanged(const QVariantMap &params);
};

class TestJsonRpcServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void validation_data();
    void validation();
    void malformedRequests_data();
    void malformedRequests();
    void hugeLineDropsOnlyThatClient();
    void clientsVanishingMidRequest();
    void clientNotReadingIsDropped();
    void permissions_data();
    void permissions();
    void removedTokenLosesAccess();
    void introspection();
    void notifications();
    void asyncReplies_data();
    void asyncReplies();

private:
    // A connected client, authenticated with token unless it is empty.
    JsonRpcTestClient *client(const QString &token = QString());

    QTemporaryDir m_dir;
    JsonRpcServer m_server;
    TestHandler m_handler;
};

void TestJsonRpcServer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    for (const char *name : {"TAVRO_SETTINGS_PATH", "TAVRO_STORAGE_PATH", "TAVRO_CACHE_PATH"})
        qputenv(name, m_dir.filePath(QString::fromLatin1(name)).toUtf8());
    QVERIFY(m_server.registerHandler(&m_handler, 1, 2));
    QVERIFY(!m_server.registerHandler(&m_handler, 1, 2));
    QVERIFY(m_server.addToken("admin-token", Types::PermissionScopeAdmin));
    QVERIFY(m_server.addToken("user-token", Types::PermissionScopeControlThings));
    QVERIFY(m_server.listen(0));
    QVERIFY(m_server.serverPort() != 0);
}

void TestJsonRpcServer::cleanup()
{
    qDeleteAll(findChildren<JsonRpcTestClient *>());
    QTRY_COMPARE(m_server.clientCount(), 0);
}

JsonRpcTestClient *TestJsonRpcServer::client(const QString &token)
{
    auto *client = new JsonRpcTestClient;
    client->setParent(this);
    if (!client->connectTo(m_server.serverPort()))
        return nullptr;
    if (!token.isEmpty())
        client->call("JSONRPC.Authenticate", QJsonDocument(QJsonObject{{"token", token}}).toJson());
    return client;
}

void TestJsonRpcServer::validation_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<int>("code"); // 0: answered with a result

    const QByteArray uuid = "\"{3085adf4-ab01-5e64-8afb-667de228df41}\"";
    QTest::newRow("valid call") << "Test.SetGizmo" << QByteArray(R"({"gizmo":{"name":"a","color":"ColorBlue"}})") << 0;
    QTest::newRow("optional member given") << "Test.SetGizmo" << QByteArray(R"({"gizmo":{"name":"a","color":"ColorRed","size":3},"count":2})") << 0;
    QTest::newRow("missing required param") << "Test.SetGizmo" << QByteArray("{}") << -32602;
    QTest::newRow("missing required member") << "Test.SetGizmo" << QByteArray(R"({"gizmo":{"name":"a"}})") << -32602;
    QTest::newRow("required param null") << "Test.SetGizmo" << QByteArray(R"({"gizmo":null})") << -32602;
    QTest::newRow("unknown nested key") << "Test.SetGizmo" << QByteArray(R"({"gizmo":{"name":"a","color":"ColorRed","weight":1}})") << -32602;
    QTest::newRow("bad enum key") << "Test.Check" << QByteArray(R"({"color":"ColorPurple"})") << -32602;
    QTest::newRow("enum as its number") << "Test.Check" << QByteArray(R"({"color":0})") << -32602;
    QTest::newRow("enum key") << "Test.Check" << QByteArray(R"({"color":"ColorGreen"})") << 0;
    QTest::newRow("uint zero") << "Test.Check" << QByteArray(R"({"uint":0})") << 0;
    QTest::newRow("uint negative") << "Test.Check" << QByteArray(R"({"uint":-1})") << -32602;
    QTest::newRow("uint fraction") << "Test.Check" << QByteArray(R"({"uint":1.5})") << -32602;
    QTest::newRow("int negative") << "Test.Check" << QByteArray(R"({"int":-7})") << 0;
    QTest::newRow("int beyond exact range") << "Test.Check" << QByteArray(R"({"int":1e300})") << -32602;
    QTest::newRow("int as text") << "Test.Check" << QByteArray(R"({"int":"5"})") << -32602;
    QTest::newRow("double from integer") << "Test.Check" << QByteArray(R"({"double":5})") << 0;
    QTest::newRow("bool as number") << "Test.Check" << QByteArray(R"({"bool":1})") << -32602;
    QTest::newRow("uuid braced") << "Test.Check" << "{\"uuid\":" + uuid + "}" << 0;
    QTest::newRow("uuid unbraced") << "Test.Check" << QByteArray(R"({"uuid":"3085adf4-ab01-5e64-8afb-667de228df41"})") << 0;
    QTest::newRow("uuid trailing garbage") << "Test.Check" << QByteArray(R"({"uuid":"{3085adf4-ab01-5e64-8afb-667de228df41}x"})") << -32602;
    QTest::newRow("string list with number") << "Test.Check" << QByteArray(R"({"stringList":["a",1]})") << -32602;
    QTest::newRow("object as array") << "Test.Check" << QByteArray(R"({"object":[]})") << -32602;
    QTest::newRow("time fraction") << "Test.Check" << QByteArray(R"({"time":1.5})") << -32602;
    QTest::newRow("list item of wrong type") << "Test.Check" << QByteArray(R"({"numbers":[1,"2"]})") << -32602;
    QTest::newRow("enum inside listed object") << "Test.Check" << QByteArray(R"({"gizmos":[{"name":"a","color":"ColorNope"}]})") << -32602;
    QTest::newRow("optional null is absent") << "Test.Check" << QByteArray(R"({"uint":null})") << 0;
    QTest::newRow("params not an object") << "Test.Check" << QByteArray("[1]") << -32602;
    QTest::newRow("unknown namespace") << "Nope.Check" << QByteArray("{}") << -32601;
    QTest::newRow("no namespace") << "Check" << QByteArray("{}") << -32601;
}

void TestJsonRpcServer::validation()
{
    QFETCH(QString, method);
    QFETCH(QByteArray, params);
    QFETCH(int, code);

    JsonRpcTestClient *admin = client("admin-token");
    QVERIFY(admin);
    const int callsBefore = m_handler.calls;
    const QJsonObject response = admin->call(method, params);
    QVERIFY(!response.isEmpty());
    QCOMPARE(JsonRpcTestClient::errorCode(response), code);
    QCOMPARE(response.contains("result"), code == 0);
    // A refused request never reaches the handler.
    QCOMPARE(m_handler.calls, callsBefore + (code == 0 ? 1 : 0));
    if (QTest::currentDataTag() == QLatin1String("optional null is absent"))
        QCOMPARE(response.value("result").toObject().value("received").toObject(), QJsonObject());
}

void TestJsonRpcServer::malformedRequests_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("code");
    QTest::addColumn<QJsonValue>("id");

    const QJsonValue null(QJsonValue::Null);
    QTest::newRow("cut off json") << QByteArray(R"({"jsonrpc":"2.0","id":)") << -32700 << null;
    QTest::newRow("bare number") << QByteArray("42") << -32700 << null;
    QTest::newRow("invalid utf-8") << QByteArray("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xff\"}") << -32700 << null;
    QTest::newRow("batch") << QByteArray(R"([{"jsonrpc":"2.0","id":3,"method":"JSONRPC.Hello"}])") << -32600 << null;
    QTest::newRow("no jsonrpc member") << QByteArray(R"({"id":4,"method":"JSONRPC.Hello"})") << -32600 << QJsonValue(4);
    QTest::newRow("old version") << QByteArray(R"({"jsonrpc":"1.0","id":"five","method":"JSONRPC.Hello"})") << -32600 << QJsonValue("five");
    QTest::newRow("method not a string") << QByteArray(R"({"jsonrpc":"2.0","id":6,"method":6})") << -32600 << QJsonValue(6);
    QTest::newRow("id an object") << QByteArray(R"({"jsonrpc":"2.0","id":{},"method":"JSONRPC.Hello"})") << -32600 << null;
    QTest::newRow("no id nor jsonrpc") << QByteArray(R"({"method":"JSONRPC.Hello"})") << -32600 << null;
}

void TestJsonRpcServer::malformedRequests()
{
    QFETCH(QByteArray, line);
    QFETCH(int, code);
    QFETCH(QJsonValue, id);

    JsonRpcTestClient *garbage = client();
    QVERIFY(garbage);
    garbage->sendLine(line);
    const QJsonObject response = garbage->waitForResponse(id);
    QCOMPARE(JsonRpcTestClient::errorCode(response), code);
    QCOMPARE(response.value("jsonrpc").toString(), QString("2.0"));
    // The connection stays usable.
    QVERIFY(garbage->call("JSONRPC.Hello").contains("result"));
}

void TestJsonRpcServer::hugeLineDropsOnlyThatClient()
{
    JsonRpcTestClient *flooder = client("admin-token");
    JsonRpcTestClient *bystander = client("admin-token");
    QVERIFY(flooder && bystander);
    const int clientsBefore = m_server.clientCount();
    const QByteArray chunk(64 * 1024, 'x');
    for (int i = 0; i <= 16; i++) // 1 MiB + 64 KiB without a newline
        flooder->sendRaw(chunk);

    QCOMPARE(JsonRpcTestClient::errorCode(flooder->waitForResponse(QJsonValue(QJsonValue::Null))), -32700);
    QVERIFY(flooder->waitForDisconnected());
    QTRY_COMPARE(m_server.clientCount(), clientsBefore - 1);
    QVERIFY(bystander->call("Test.GetCount").contains("result"));
}

void TestJsonRpcServer::clientsVanishingMidRequest()
{
    JsonRpcTestClient *halfLine = client("admin-token");
    JsonRpcTestClient *impatient = client("admin-token");
    JsonRpcTestClient *bystander = client("admin-token");
    QVERIFY(halfLine && impatient && bystander);

    halfLine->sendRaw(R"({"jsonrpc":"2.0","id":1,"method":"Test.Get)");
    impatient->sendLine(R"({"jsonrpc":"2.0","id":1,"method":"Test.Later","params":{"delay":3000}})");
    QTRY_VERIFY(m_handler.lastAsyncReply);
    halfLine->disconnectNow();
    impatient->disconnectNow();

    // The pending reply of the vanished client is dropped long before its
    // timer fires, and nobody else is disturbed.
    QTRY_VERIFY_WITH_TIMEOUT(!m_handler.lastAsyncReply, 1000);
    QVERIFY(bystander->call("Test.GetCount").contains("result"));
}

void TestJsonRpcServer::clientNotReadingIsDropped()
{
    JsonRpcTestClient *stalled = client("user-token");
    JsonRpcTestClient *bystander = client("user-token");
    QVERIFY(stalled && bystander);
    QVERIFY(bystander->call("JSONRPC.SetNotificationStatus", R"({"namespaces":[]})").contains("result"));
    stalled->stopReading();

    // 64 KiB each, up to 38 MiB: more than the kernel buffers and the
    // server's limit together.
    const QVariantMap gizmo{{"name", QString(64 * 1024, 'g')}, {"color", "ColorRed"}};
    for (int i = 0; i < 600 && m_server.clientCount() == 2; i++) {
        emit m_handler.GizmoChanged({{"gizmo", gizmo}});
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE(m_server.clientCount(), 1);
    QVERIFY(bystander->call("Test.GetCount").contains("result"));
}

void TestJsonRpcServer::permissions_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("method");
    QTest::addColumn<int>("code");

    QTest::newRow("no token: Hello") << "" << "JSONRPC.Hello" << 0;
    QTest::newRow("no token: Introspect") << "" << "JSONRPC.Introspect" << -32001;
    QTest::newRow("no token: scope 1 method") << "" << "Test.GetCount" << -32001;
    QTest::newRow("no token: unknown method") << "" << "Test.Nope" << -32001;
    QTest::newRow("unknown token: scope 1 method") << "guessed" << "Test.GetCount" << -32001;
    QTest::newRow("user token: scope 1 method") << "user-token" << "Test.GetCount" << 0;
    QTest::newRow("user token: admin method") << "user-token" << "Test.SetGizmo" << -32002;
    QTest::newRow("admin token: scope 1 method") << "admin-token" << "Test.GetCount" << 0;
    QTest::newRow("admin token: admin method") << "admin-token" << "Test.SetGizmo" << 0;
}

void TestJsonRpcServer::permissions()
{
    QFETCH(QString, token);
    QFETCH(QString, method);
    QFETCH(int, code);

    JsonRpcTestClient *caller = client();
    QVERIFY(caller);
    if (!token.isEmpty()) {
        const QJsonObject auth = caller->call("JSONRPC.Authenticate", QJsonDocument(QJsonObject{{"token", token}}).toJson());
        const bool known = token != "guessed";
        QCOMPARE(JsonRpcTestClient::errorCode(auth), known ? 0 : -32001);
        QCOMPARE(auth.value("result").toObject().value("authenticated").toBool(), known);
    }
    const int callsBefore = m_handler.calls;
    const QByteArray params = method == "Test.SetGizmo" ? R"({"gizmo":{"name":"a","color":"ColorRed"}})" : "{}";
    const QJsonObject response = caller->call(method, params);
    QVERIFY(!response.isEmpty());
    QCOMPARE(JsonRpcTestClient::errorCode(response), code);
    if (method.startsWith("Test."))
        QCOMPARE(m_handler.calls, callsBefore + (code == 0 ? 1 : 0));
}

void TestJsonRpcServer::removedTokenLosesAccess()
{
    QVERIFY(m_server.addToken("temporary", Types::PermissionScopeControlThings));
    JsonRpcTestClient *caller = client("temporary");
    QVERIFY(caller);
    QVERIFY(caller->call("Test.GetCount").contains("result"));
    QCOMPARE(m_handler.lastScopes, Types::PermissionScopes(Types::PermissionScopeControlThings));
    QVERIFY(m_server.removeToken("temporary"));
    QCOMPARE(JsonRpcTestClient::errorCode(caller->call("Test.GetCount")), -32001);
}

void TestJsonRpcServer::introspection()
{
    JsonRpcTestClient *caller = client("user-token");
    QVERIFY(caller);
    const QJsonObject namespaces =
        caller->call("JSONRPC.Introspect").value("result").toObject().value("namespaces").toObject();
    QVERIFY(namespaces.contains("JSONRPC"));
    const QJsonObject test = namespaces.value("Test").toObject();
    QCOMPARE(test.value("majorVersion").toInt(), 1);
    QCOMPARE(test.value("minorVersion").toInt(), 2);
    QCOMPARE(test.value("enums").toObject().value("Color").toArray(),
             QJsonArray({"ColorRed", "ColorGreen", "ColorBlue"}));
    QCOMPARE(test.value("objects").toObject().value("Gizmo").toObject(),
             QJsonObject({{"name", "String"}, {"color", "$ref:Color"}, {"o:size", "Int"}}));
    const QJsonObject methods = test.value("methods").toObject();
    QCOMPARE(methods.keys(), QStringList({"Check", "GetCount", "Later", "SetGizmo"}));
    const QJsonObject setGizmo = methods.value("SetGizmo").toObject();
    QCOMPARE(setGizmo.value("permissionScope").toString(), QString("PermissionScopeAdmin"));
    QCOMPARE(setGizmo.value("description").toString(), QString("Stores a gizmo."));
    QCOMPARE(setGizmo.value("params").toObject(), QJsonObject({{"gizmo", "$ref:Gizmo"}, {"o:count", "Uint"}}));
    QCOMPARE(setGizmo.value("returns").toObject(), QJsonObject({{"accepted", "Bool"}}));
    QCOMPARE(methods.value("GetCount").toObject().value("permissionScope").toString(),
             QString("PermissionScopeControlThings"));
    QCOMPARE(test.value("notifications").toObject().keys(), QStringList({"GizmoChanged"}));
}

void TestJsonRpcServer::notifications()
{
    JsonRpcTestClient *admin = client("admin-token");
    JsonRpcTestClient *german = client("user-token");
    JsonRpcTestClient *anonymous = client();
    JsonRpcTestClient *unsubscribed = client("user-token");
    QVERIFY(admin && german && anonymous && unsubscribed);
    QVERIFY(german->call("JSONRPC.Hello", R"({"locale":"de_DE"})").contains("result"));
    const QJsonObject status = unsubscribed->call("JSONRPC.SetNotificationStatus", R"({"namespaces":["Things"]})");
    QCOMPARE(status.value("result").toObject().value("namespaces").toArray(), QJsonArray({"Things"}));

    QVERIFY(admin->call("Test.SetGizmo", R"({"gizmo":{"name":"g","color":"ColorGreen"}})").contains("result"));
    // Sent before the reply, so the caller has it already.
    QCOMPARE(admin->notifications.count(), 1);
    const QJsonObject notification = admin->notifications.first();
    QCOMPARE(notification.value("jsonrpc").toString(), QString("2.0"));
    QCOMPARE(notification.value("method").toString(), QString("Test.GizmoChanged"));
    QCOMPARE(notification.value("params").toObject().value("gizmo").toObject(),
             QJsonObject({{"name", "g"}, {"color", "ColorGreen"}, {"size", 0}}));

    QTRY_COMPARE(german->notifications.count(), 1);
    QCOMPARE(german->notifications.first().value("params").toObject().value("language").toString(), QString("de_DE"));
    // What either would have got was written before these replies.
    QVERIFY(anonymous->call("JSONRPC.Hello").contains("result"));
    QVERIFY(unsubscribed->call("JSONRPC.Hello").contains("result"));
    QCOMPARE(anonymous->notifications.count(), 0);
    QCOMPARE(unsubscribed->notifications.count(), 0);
}

void TestJsonRpcServer::asyncReplies_data()
{
    QTest::addColumn<int>("delay");
    QTest::addColumn<int>("code");

    QTest::newRow("finishes in time") << 20 << 0;
    QTest::newRow("times out") << 5000 << -32003;
}

void TestJsonRpcServer::asyncReplies()
{
    QFETCH(int, delay);
    QFETCH(int, code);

    m_server.setReplyTimeout(300);
    JsonRpcTestClient *caller = client("user-token");
    QVERIFY(caller);
    const QJsonObject response = caller->call("Test.Later", QStringLiteral("{\"delay\":%1}").arg(delay).toUtf8());
    m_server.setReplyTimeout(30000);
    QCOMPARE(JsonRpcTestClient::errorCode(response), code);
    QCOMPARE(response.value("result").toObject().value("done").toBool(), code == 0);
    // Answered replies are deleted; a timed-out one as well, which cancels
    // the handler's timer with it.
    QTRY_VERIFY_WITH_TIMEOUT(!m_handler.lastAsyncReply, 1000);
}

QTEST_GUILESS_MAIN(TestJsonRpcServer)
#include "tst_jsonrpcserver.moc"
