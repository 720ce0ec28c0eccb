#include <QtTest>
#include "settingssandbox.h"

#include "jsonrpctestclient.h"
#include "tavro/jsonrpclinebuffer.h"
#include "tavro/jsonrpcserver.h"

#include <QJsonArray>
#include <QTemporaryDir>

struct Gizmo {
    Q_GADGET
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(Color color MEMBER color)
    Q_PROPERTY(int size MEMBER size USER true)
public:
    enum Color {
        ColorRed,
        ColorGreen,
        ColorBlue
    };
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
                       {{"o:uint", "Uint"},
                        {"o:int", "Int"},
                        {"o:double", "Double"},
                        {"o:bool", "Bool"},
                        {"o:uuid", "Uuid"},
                        {"o:string", "String"},
                        {"o:stringList", "StringList"},
                        {"o:object", "Object"},
                        {"o:time", "Time"},
                        {"o:color", "$ref:Color"},
                        {"o:gizmos", QVariantList{"$ref:Gizmo"}},
                        {"o:numbers", QVariantList{"Int"}}},
                       {{"received", "Object"}}, Types::PermissionScopeControlThings);
        registerMethod("Later", "Answers after delay ms.", {{"delay", "Uint"}}, {{"done", "Bool"}},
                       Types::PermissionScopeControlThings);
        registerMethod("Slow", "Holds the thread 5 ms, as a costly setter would.", {}, {{"count", "Uint"}},
                       Types::PermissionScopeControlThings);
        registerNotification("GizmoChanged", "A gizmo was stored.", {{"gizmo", "$ref:Gizmo"}, {"o:language", "String"}},
                             Types::PermissionScopeControlThings);
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
        return createReply({{"count", breakReplies ? -1 : calls}});
    }
    Q_INVOKABLE JsonReply *Check(const QVariantMap &params)
    {
        calls++;
        return createReply({{"received", params}});
    }
    Q_INVOKABLE JsonReply *Slow(const QVariantMap &)
    {
        QThread::msleep(5);
        return createReply({{"count", ++calls}});
    }
    Q_INVOKABLE JsonReply *Later(const QVariantMap &params)
    {
        JsonReply *reply = createAsyncReply();
        lastAsyncReply = reply;
        QTimer::singleShot(params.value("delay").toInt(), reply, [reply]() { reply->finish({{"done", true}}); });
        return reply;
    }

    int calls = 0;
    // GetCount then answers what its declaration does not allow.
    bool breakReplies = false;
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
    void idsComeBackAsWritten_data();
    void idsComeBackAsWritten();
    void batches_data();
    void batches();
    void halfClosedClientIsAnswered_data();
    void halfClosedClientIsAnswered();
    void lineSplitting_data();
    void lineSplitting();
    void longLineDropsOnlyThatClient_data();
    void longLineDropsOnlyThatClient();
    void clientsVanishingMidRequest();
    void clientNotReadingIsDropped();
    void connectionLimits_data();
    void connectionLimits();
    void failedAuthentications_data();
    void failedAuthentications();
    void ownerGetsInWhileOthersGuess();
    void dawdlersAreClosed_data();
    void dawdlersAreClosed();
    void batchLetsOthersIn();
    void connectionFloodLogsLittle();
    void permissions_data();
    void permissions();
    void removedTokenLosesAccess();
    void introspection();
    void notifications();
    void asyncReplies_data();
    void asyncReplies();
    void selfCheck();

private:
    // A connected client, authenticated with token unless it is empty.
    JsonRpcTestClient *client(const QString &token = QString());

    SettingsSandbox m_dir;
    JsonRpcServer m_server;
    TestHandler m_handler;
};

void TestJsonRpcServer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.apply();
    QVERIFY(m_server.registerHandler(&m_handler, 1, 2));
    QVERIFY(!m_server.registerHandler(&m_handler, 1, 2));
    QVERIFY(m_server.addToken("admin-token", Types::PermissionScopeAdmin));
    QVERIFY(m_server.addToken("user-token", Types::PermissionScopeControlThings));
    QVERIFY(m_server.addToken("scopeless-token", Types::PermissionScopeNone));
    QVERIFY(m_server.listen(0));
    QVERIFY(m_server.serverPort() != 0);
}

void TestJsonRpcServer::cleanup()
{
    qDeleteAll(findChildren<JsonRpcTestClient *>());
    QTRY_COMPARE(m_server.clientCount(), 0);
    m_server.setConnectionLimits(JsonRpcConnectionPolicy::Limits());
    m_handler.breakReplies = false;
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
    QTest::newRow("optional member given")
            << "Test.SetGizmo" << QByteArray(R"({"gizmo":{"name":"a","color":"ColorRed","size":3},"count":2})") << 0;
    QTest::newRow("missing required param") << "Test.SetGizmo" << QByteArray("{}") << -32602;
    QTest::newRow("missing required member") << "Test.SetGizmo" << QByteArray(R"({"gizmo":{"name":"a"}})") << -32602;
    QTest::newRow("required param null") << "Test.SetGizmo" << QByteArray(R"({"gizmo":null})") << -32602;
    QTest::newRow("unknown nested key") << "Test.SetGizmo"
                                        << QByteArray(R"({"gizmo":{"name":"a","color":"ColorRed","weight":1}})")
                                        << -32602;
    QTest::newRow("bad enum key") << "Test.Check" << QByteArray(R"({"color":"ColorPurple"})") << -32602;
    QTest::newRow("enum as its number") << "Test.Check" << QByteArray(R"({"color":0})") << -32602;
    QTest::newRow("enum key") << "Test.Check" << QByteArray(R"({"color":"ColorGreen"})") << 0;
    QTest::newRow("uint zero") << "Test.Check" << QByteArray(R"({"uint":0})") << 0;
    QTest::newRow("uint negative") << "Test.Check" << QByteArray(R"({"uint":-1})") << -32602;
    QTest::newRow("uint fraction") << "Test.Check" << QByteArray(R"({"uint":1.5})") << -32602;
    QTest::newRow("uint 2^31") << "Test.Check" << QByteArray(R"({"uint":2147483648})") << 0;
    QTest::newRow("uint 2^32-1") << "Test.Check" << QByteArray(R"({"uint":4294967295})") << 0;
    QTest::newRow("uint 2^32") << "Test.Check" << QByteArray(R"({"uint":4294967296})") << -32602;
    QTest::newRow("uint 2^53") << "Test.Check" << QByteArray(R"({"uint":9007199254740992})") << -32602;
    QTest::newRow("int -2^31") << "Test.Check" << QByteArray(R"({"int":-2147483648})") << 0;
    QTest::newRow("int 2^31") << "Test.Check" << QByteArray(R"({"int":2147483648})") << -32602;
    QTest::newRow("int list item 2^32+1") << "Test.Check" << QByteArray(R"({"numbers":[1,4294967297]})") << -32602;
    // Unix seconds, from 1 to the end of the year 9999.
    QTest::newRow("time 1") << "Test.Check" << QByteArray(R"({"time":1})") << 0;
    QTest::newRow("time 0") << "Test.Check" << QByteArray(R"({"time":0})") << -32602;
    QTest::newRow("time -1") << "Test.Check" << QByteArray(R"({"time":-1})") << -32602;
    QTest::newRow("time end of 9999") << "Test.Check" << QByteArray(R"({"time":253402300799})") << 0;
    QTest::newRow("time year 10000") << "Test.Check" << QByteArray(R"({"time":253402300800})") << -32602;
    QTest::newRow("time year 8 million") << "Test.Check" << QByteArray(R"({"time":252423993600000})") << -32602;
    QTest::newRow("int beyond exact range") << "Test.Check" << QByteArray(R"({"int":1e300})") << -32602;
    QTest::newRow("int as text") << "Test.Check" << QByteArray(R"({"int":"5"})") << -32602;
    QTest::newRow("double from integer") << "Test.Check" << QByteArray(R"({"double":5})") << 0;
    QTest::newRow("bool as number") << "Test.Check" << QByteArray(R"({"bool":1})") << -32602;
    QTest::newRow("uuid braced") << "Test.Check"
                                 << "{\"uuid\":" + uuid + "}" << 0;
    QTest::newRow("uuid unbraced") << "Test.Check" << QByteArray(R"({"uuid":"3085adf4-ab01-5e64-8afb-667de228df41"})")
                                   << 0;
    QTest::newRow("uuid trailing garbage")
            << "Test.Check" << QByteArray(R"({"uuid":"{3085adf4-ab01-5e64-8afb-667de228df41}x"})") << -32602;
    QTest::newRow("string list with number") << "Test.Check" << QByteArray(R"({"stringList":["a",1]})") << -32602;
    QTest::newRow("object as array") << "Test.Check" << QByteArray(R"({"object":[]})") << -32602;
    QTest::newRow("time fraction") << "Test.Check" << QByteArray(R"({"time":1.5})") << -32602;
    QTest::newRow("list item of wrong type") << "Test.Check" << QByteArray(R"({"numbers":[1,"2"]})") << -32602;
    QTest::newRow("enum inside listed object")
            << "Test.Check" << QByteArray(R"({"gizmos":[{"name":"a","color":"ColorNope"}]})") << -32602;
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
    // A parameter error names the parameter.
    const QStringList given = QJsonDocument::fromJson(params).object().keys();
    const QString message = response.value("error").toObject().value("message").toString();
    if (code == -32602 && !given.isEmpty())
        QVERIFY2(message.contains(given.first()), qPrintable(message));
    if (QTest::currentDataTag() == QLatin1String("optional null is absent"))
        QCOMPARE(response.value("result").toObject().value("received").toObject(), QJsonObject());
}

void TestJsonRpcServer::malformedRequests_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("code");
    QTest::addColumn<QJsonValue>("id");
    QTest::addColumn<QString>("mentions"); // in the error message

    const QJsonValue null(QJsonValue::Null);
    // Qt would keep the last of each; neither is run.
    QTest::newRow("method twice") << QByteArray(
            R"({"jsonrpc":"2.0","id":7,"method":"Test.Nope","method":"JSONRPC.Hello"})")
                                  << -32600 << QJsonValue(7) << "\"method\" given twice";
    QTest::newRow("method twice, once escaped")
            << QByteArray(R"({"jsonrpc":"2.0","id":7,"\u006dethod":"Test.Nope","method":"JSONRPC.Hello"})") << -32600
            << QJsonValue(7) << "\"method\" given twice";
    QTest::newRow("id twice") << QByteArray(R"({"jsonrpc":"2.0","id":1,"id":2,"method":"JSONRPC.Hello"})") << -32600
                              << null << "\"id\" given twice";
    QTest::newRow("param twice") << QByteArray(
            R"({"jsonrpc":"2.0","id":8,"method":"Test.Check","params":{"uint":1,"uint":2}})")
                                 << -32602 << QJsonValue(8) << "uint: given twice";
    QTest::newRow("member of a listed object twice") << QByteArray(
            R"({"jsonrpc":"2.0","id":9,"method":"Test.Check","params":{"gizmos":[{"name":"a"},{"name":"a","name":"b"}]}})")
                                                     << -32602 << QJsonValue(9) << "gizmos[1].name: given twice";
    QTest::newRow("same key in two objects") << QByteArray(
            R"({"jsonrpc":"2.0","id":10,"method":"JSONRPC.Hello","params":{"locale":"de_AT"},"data":{"locale":1}})")
                                             << 0 << QJsonValue(10) << "";
    QTest::newRow("cut off json") << QByteArray(R"({"jsonrpc":"2.0","id":)") << -32700 << null << "";
    QTest::newRow("bare number") << QByteArray("42") << -32600 << null << "";
    QTest::newRow("bare string") << QByteArray(R"("JSONRPC.Hello")") << -32600 << null << "";
    QTest::newRow("two bare numbers") << QByteArray("4 2") << -32700 << null << "";
    QTest::newRow("invalid utf-8") << QByteArray("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xff\"}") << -32700 << null
                                   << "";
    QTest::newRow("method without namespace")
            << QByteArray(R"({"jsonrpc":"2.0","id":3,"method":"Hello"})") << -32601 << QJsonValue(3) << "";
    QTest::newRow("no jsonrpc member") << QByteArray(R"({"id":4,"method":"JSONRPC.Hello"})") << -32600 << QJsonValue(4)
                                       << "";
    QTest::newRow("old version") << QByteArray(R"({"jsonrpc":"1.0","id":"five","method":"JSONRPC.Hello"})") << -32600
                                 << QJsonValue("five") << "";
    QTest::newRow("method not a string") << QByteArray(R"({"jsonrpc":"2.0","id":6,"method":6})") << -32600
                                         << QJsonValue(6) << "";
    QTest::newRow("id an object") << QByteArray(R"({"jsonrpc":"2.0","id":{},"method":"JSONRPC.Hello"})") << -32600
                                  << null << "";
    QTest::newRow("no id nor jsonrpc") << QByteArray(R"({"method":"JSONRPC.Hello"})") << -32600 << null << "";
}

void TestJsonRpcServer::malformedRequests()
{
    QFETCH(QByteArray, line);
    QFETCH(int, code);
    QFETCH(QJsonValue, id);
    QFETCH(QString, mentions);

    JsonRpcTestClient *garbage = client();
    QVERIFY(garbage);
    const int callsBefore = m_handler.calls;
    garbage->sendLine(line);
    const QJsonObject response = garbage->waitForResponse(id);
    QCOMPARE(JsonRpcTestClient::errorCode(response), code);
    QCOMPARE(m_handler.calls, callsBefore);
    const QString message = response.value("error").toObject().value("message").toString();
    QVERIFY2(message.contains(mentions), qPrintable(message));
    QCOMPARE(response.value("jsonrpc").toString(), QString("2.0"));
    // A method that is not found is named as it was sent.
    const QString method = QJsonDocument::fromJson(line).object().value("method").toString();
    if (code == -32601)
        QVERIFY2(response.value("error").toObject().value("message").toString().contains('"' + method + '"'),
                 qPrintable(response.value("error").toObject().value("message").toString()));
    // The connection stays usable.
    QVERIFY(garbage->call("JSONRPC.Hello").contains("result"));
}

void TestJsonRpcServer::idsComeBackAsWritten_data()
{
    QTest::addColumn<QByteArray>("id");

    QTest::newRow("2^53+1") << QByteArray("9007199254740993");
    QTest::newRow("-(2^63)-1") << QByteArray("-9223372036854775809");
    QTest::newRow("fraction") << QByteArray("0.30000000000000004");
    QTest::newRow("exponent") << QByteArray("1E+300");
    QTest::newRow("escaped text") << QByteArray(R"("a\u00e9\"b")");
}

void TestJsonRpcServer::idsComeBackAsWritten()
{
    QFETCH(QByteArray, id);

    JsonRpcTestClient *caller = client();
    QVERIFY(caller);
    // Spaces around the id are not part of it; an answered and a refused
    // request both echo it.
    caller->sendLine(R"({"jsonrpc":"2.0", "id" : )" + id + R"( ,"method":"JSONRPC.Hello"})");
    caller->sendLine(R"({"method":"JSONRPC.Hello","id":)" + id + "}");
    QTRY_COMPARE(caller->lines.count(), 2);
    QVERIFY2(caller->lines.at(0).startsWith("{\"id\":" + id + ",\"jsonrpc\":\"2.0\",\"result\":"), caller->lines.at(0));
    QVERIFY2(caller->lines.at(1).startsWith("{\"id\":" + id + ",\"error\":{\"code\":-32600"), caller->lines.at(1));
}

void TestJsonRpcServer::batches_data()
{
    QTest::addColumn<QByteArray>("line");
    // What comes back: "object" or "array", then "id:code" per response
    // (sorted; code 0 for a result); "none" when nothing does.
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("calls"); // requests that reached the handler

    const QByteArray count = R"({"jsonrpc":"2.0","id":1,"method":"Test.GetCount"})";
    const QByteArray countNotification = R"({"jsonrpc":"2.0","method":"Test.GetCount"})";
    const QByteArray later = R"({"jsonrpc":"2.0","id":"later","method":"Test.Later","params":{"delay":50}})";
    QByteArray tooMany = "[" + count;
    for (int i = 0; i < JsonRpcServer::maxBatchSize; i++)
        tooMany += "," + count;
    QTest::newRow("two requests") << "[" + count + "," + R"({"jsonrpc":"2.0","id":2,"method":"Test.Nope"})" + "]"
                                  << "array 1:0 2:-32601" << 1;
    QTest::newRow("request and notification") << "[" + count + "," + countNotification + "]"
                                              << "array 1:0" << 2;
    QTest::newRow("notifications only") << "[" + countNotification + "," + countNotification + "]"
                                        << "none" << 2;
    QTest::newRow("empty") << QByteArray("[]") << "object null:-32600" << 0;
    QTest::newRow("not a request") << QByteArray("[1]") << "array null:-32600" << 0;
    QTest::newRow("waits for an asynchronous reply") << "[" + later + "," + count + "]"
                                                     << "array 1:0 later:0" << 1;
    QTest::newRow("one request more than allowed") << tooMany + "]"
                                                   << "object null:-32600" << 0;
}

void TestJsonRpcServer::batches()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, answer);
    QFETCH(int, calls);

    JsonRpcTestClient *caller = client("user-token");
    QVERIFY(caller);
    const int callsBefore = m_handler.calls;
    caller->sendLine(line);
    // Anything the batch causes comes before this reply.
    QTRY_VERIFY(m_handler.calls >= callsBefore + calls);
    QTRY_VERIFY(!m_handler.lastAsyncReply);
    QVERIFY(caller->call("JSONRPC.Hello").contains("result"));
    QCOMPARE(m_handler.calls, callsBefore + calls);

    QStringList answers;
    for (const QByteArray &received : caller->lines.mid(1, caller->lines.count() - 2)) {
        const QJsonDocument document = QJsonDocument::fromJson(received);
        const QJsonArray responses = document.isArray() ? document.array() : QJsonArray{document.object()};
        QStringList entries;
        for (const QJsonValue &response : responses) {
            const QJsonValue id = response.toObject().value("id");
            entries << (id.isNull()     ? QString("null")
                        : id.isString() ? id.toString()
                                        : QString::number(id.toInt()))
                               + ':' + QString::number(JsonRpcTestClient::errorCode(response.toObject()));
        }
        entries.sort();
        answers << QString(document.isArray() ? "array " : "object ") + entries.join(' ');
    }
    QCOMPARE(answers.isEmpty() ? QString("none") : answers.join(" | "), answer);
}

void TestJsonRpcServer::halfClosedClientIsAnswered_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("expected"); // in the last response

    QTest::newRow("request") << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"Test.GetCount"})"
                                           "\n")
                             << "\"count\":";
    QTest::newRow("last line without its end")
            << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"Test.GetCount"})") << "\"count\":";
    // More short lines than one read takes.
    QTest::newRow("request after 100,000 blank lines")
            << QByteArray(" \n").repeated(100000)
                       + R"({"jsonrpc":"2.0","id":1,"method":"Test.GetCount"})"
                         "\n"
            << "\"count\":";
    QTest::newRow("asynchronous request")
            << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"Test.Later","params":{"delay":200}})"
                          "\n")
            << "\"done\":true";
}

void TestJsonRpcServer::halfClosedClientIsAnswered()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, expected);

    JsonRpcTestClient *caller = client("user-token");
    QVERIFY(caller);
    caller->sendRaw(data);
    caller->halfClose();
    // Answered, then closed by the server.
    QVERIFY(caller->waitForDisconnected());
    QCOMPARE(caller->lines.count(), 2);
    QVERIFY2(caller->lines.last().contains(expected.toUtf8()), caller->lines.last());
    QTRY_COMPARE(m_server.clientCount(), 0);
}

void TestJsonRpcServer::lineSplitting_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("limit");
    // The lines handed out, "|" after each; "TOO LONG" when refused; then
    // "rest:" and the unfinished rest at the end of the stream.
    QTest::addColumn<QString>("expected");

    QTest::newRow("lines, blank lines, CR LF") << QByteArray("a\n\n \t\r\nb\r\nc") << 10 << "a|b|rest:c";
    QTest::newRow("line of exactly the limit") << QByteArray("abcd\nx") << 4 << "abcd|rest:x";
    QTest::newRow("line one over the limit") << QByteArray("abcde\nx") << 4 << "TOO LONG";
    QTest::newRow("unfinished line over the limit") << QByteArray("abcde") << 4 << "TOO LONG";
    QTest::newRow("CR not counted") << QByteArray("abcd\r\n") << 4 << "abcd|rest:";
    QTest::newRow("blank rest") << QByteArray("a\n  ") << 4 << "a|rest:";
}

void TestJsonRpcServer::lineSplitting()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, limit);
    QFETCH(QString, expected);

    // Every way to cut the stream in two reads gives the same lines.
    for (int cut = 0; cut <= stream.size(); cut++) {
        JsonRpcLineBuffer buffer(limit);
        QString result;
        bool tooLong = false;
        for (const QByteArray &read : {stream.left(cut), stream.mid(cut)}) {
            buffer.append(read.constData(), read.size());
            QByteArray line;
            JsonRpcLineBuffer::Status status;
            while (!tooLong && (status = buffer.takeLine(&line)) != JsonRpcLineBuffer::NeedMore) {
                tooLong = status == JsonRpcLineBuffer::LineTooLong;
                result += tooLong ? QString("TOO LONG") : QString::fromLatin1(line + '|');
            }
        }
        if (!tooLong)
            result += "rest:" + QString::fromLatin1(buffer.takeRest());
        QCOMPARE(result, expected);
    }
}

void TestJsonRpcServer::longLineDropsOnlyThatClient_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("dropped");

    const int unauthenticated = JsonRpcServer::unauthenticatedMaxLineLength;
    QTest::newRow("no token, at the limit") << QString() << unauthenticated << false;
    QTest::newRow("no token, one over") << QString() << unauthenticated + 1 << true;
    QTest::newRow("token, one over the unauthenticated limit") << "user-token" << unauthenticated + 1 << false;
    QTest::newRow("token, 1 MiB + 64 KiB") << "user-token" << 17 * 64 * 1024 << true;
}

void TestJsonRpcServer::longLineDropsOnlyThatClient()
{
    QFETCH(QString, token);
    QFETCH(int, size);
    QFETCH(bool, dropped);

    JsonRpcTestClient *flooder = client(token);
    JsonRpcTestClient *bystander = client("admin-token");
    QVERIFY(flooder && bystander);
    const int clientsBefore = m_server.clientCount();
    for (int sent = 0; sent < size; sent += 64 * 1024)
        flooder->sendRaw(QByteArray(qMin(64 * 1024, size - sent), 'x'));
    if (!dropped)
        flooder->sendRaw("\n");

    QCOMPARE(JsonRpcTestClient::errorCode(flooder->waitForResponse(QJsonValue(QJsonValue::Null))), -32700);
    if (dropped) {
        QVERIFY(flooder->waitForDisconnected());
        QTRY_COMPARE(m_server.clientCount(), clientsBefore - 1);
    } else {
        QVERIFY(flooder->call("JSONRPC.Hello").contains("result"));
    }
    QVERIFY(bystander->call("Test.GetCount").contains("result"));
}

void TestJsonRpcServer::clientsVanishingMidRequest()
{
    JsonRpcTestClient *halfLine = client("admin-token");
    JsonRpcTestClient *impatient = client("admin-token");
    JsonRpcTestClient *bystander = client("admin-token");
    QVERIFY(halfLine && impatient && bystander);

    halfLine->sendRaw(R"({"jsonrpc":"2.0","id":1,"method":"Test.Get)");
    impatient->sendLine(R"({"jsonrpc":"2.0","id":1,"method":"Test.Later","params":{"delay":300}})");
    QTRY_VERIFY(m_handler.lastAsyncReply);
    halfLine->disconnectNow();
    impatient->disconnectNow();

    // A close looks like a half-close: the pending reply is still answered,
    // then the connection goes, and nobody else is disturbed.
    QTRY_VERIFY(!m_handler.lastAsyncReply);
    QTRY_COMPARE(m_server.clientCount(), 1);
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

void TestJsonRpcServer::connectionLimits_data()
{
    QTest::addColumn<int>("maxConnections");
    QTest::addColumn<int>("authenticationTimeout");
    // One letter per client, in the order they connect: A authenticated,
    // U unauthenticated.
    QTest::addColumn<QString>("clients");
    // Then, per client: o still open, x closed, r refused (told so).
    QTest::addColumn<QString>("expected");

    QTest::newRow("within the limit") << 3 << 5000 << "AUA"
                                      << "ooo";
    QTest::newRow("one over: the oldest unauthenticated goes") << 3 << 5000 << "UAUU"
                                                               << "xooo";
    // The last slot is kept for a newcomer to authenticate in: one more
    // authenticated client pushes out the one idle longest (told so).
    QTest::newRow("authenticated beyond their share: the idlest goes") << 3 << 5000 << "AAAU"
                                                                       << "rooo";
    QTest::newRow("unauthenticated past the timeout") << 32 << 200 << "UA"
                                                      << "xo";
}

void TestJsonRpcServer::connectionLimits()
{
    QFETCH(int, maxConnections);
    QFETCH(int, authenticationTimeout);
    QFETCH(QString, clients);
    QFETCH(QString, expected);

    m_server.setMaxConnections(maxConnections);
    m_server.setAuthenticationTimeout(authenticationTimeout);
    QList<JsonRpcTestClient *> connected;
    for (int i = 0; i < clients.size(); i++) {
        connected << client(clients.at(i) == 'A' ? QStringLiteral("user-token") : QString());
        QVERIFY(connected.last());
        // Answered before the next one connects: counted in this order.
        if (expected.at(i) != 'r')
            QVERIFY(connected.last()->call("JSONRPC.Hello").contains("result"));
    }
    QString states;
    const auto read = [&]() {
        states.clear();
        for (JsonRpcTestClient *each : connected) {
            const bool refused = !each->lines.isEmpty() && each->lines.last().contains("-32004");
            states += each->isConnected() ? 'o' : refused ? 'r' : 'x';
        }
        return states;
    };
    QTRY_COMPARE(read(), expected);
    // And it stays so.
    QTest::qWait(authenticationTimeout < 1000 ? 300 : 100);
    QCOMPARE(read(), expected);
}

void TestJsonRpcServer::failedAuthentications_data()
{
    QTest::addColumn<QStringList>("tokens");
    QTest::addColumn<int>("answered");
    QTest::addColumn<bool>("open");

    QTest::newRow("two unknown, then a known one") << QStringList{"a", "b", "user-token"} << 3 << true;
    QTest::newRow("three unknown") << QStringList{"a", "b", "c", "user-token", "d"} << 3 << false;
}

void TestJsonRpcServer::failedAuthentications()
{
    QFETCH(QStringList, tokens);
    QFETCH(int, answered);
    QFETCH(bool, open);

    JsonRpcTestClient *guesser = client();
    QVERIFY(guesser);
    if (!open)
        QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression("Closing the connection from \"127\\.0\\.0\\.1:\\d+\" after 3 unknown tokens"));
    // All in one write: what follows the third unknown token is not looked at.
    QByteArray lines;
    for (const QString &token : tokens)
        lines += R"({"jsonrpc":"2.0","id":")" + token.toUtf8()
                 + R"(","method":"JSONRPC.Authenticate","params":{"token":")" + token.toUtf8() + "\"}}\n";
    guesser->sendRaw(lines);
    if (open) {
        QVERIFY(guesser->call("Test.GetCount").contains("result"));
        QCOMPARE(guesser->lines.count(), answered + 1);
    } else {
        QVERIFY(guesser->waitForDisconnected());
        QCOMPARE(guesser->lines.count(), answered);
    }
}

void TestJsonRpcServer::ownerGetsInWhileOthersGuess()
{
    // Guessers from many connections use up every second's unknown tokens,
    // over and over; the owner's token is still checked, within the time a
    // connection has to authenticate.
    QList<JsonRpcTestClient *> guessers;
    const QByteArray guesses =
            QByteArray(R"({"jsonrpc":"2.0","id":"g","method":"JSONRPC.Authenticate","params":{"token":"guess"}})"
                       "\n")
                    .repeated(JsonRpcServer::maxFailedAuthentications);
    const auto guess = [&]() {
        for (JsonRpcTestClient *&guesser : guessers) {
            if (!guesser->isConnected()) {
                delete guesser;
                guesser = client();
            }
            if (guesser)
                guesser->sendRaw(guesses);
        }
    };
    for (int i = 0; i < 12; i++)
        guessers << client();
    int admitted = 0;
    for (int attempt = 0; attempt < 3; attempt++) {
        guess();
        QTest::qWait(50);
        JsonRpcTestClient *owner = client();
        QVERIFY(owner);
        owner->sendLine(
                R"({"jsonrpc":"2.0","id":"owner","method":"JSONRPC.Authenticate","params":{"token":"user-token"}})");
        // Pipelined: runs once the token check is done, authenticated.
        owner->sendLine(R"({"jsonrpc":"2.0","id":"after","method":"Test.GetCount"})");
        guess();
        const QJsonObject answer = owner->waitForResponse("owner");
        admitted += answer.value("result").toObject().value("authenticated").toBool() ? 1 : 0;
        QCOMPARE(JsonRpcTestClient::errorCode(owner->waitForResponse("after")), 0);
        delete owner;
    }
    QCOMPARE(admitted, 3);
}

void TestJsonRpcServer::dawdlersAreClosed_data()
{
    QTest::addColumn<int>("unfinishedLineTimeout");
    QTest::addColumn<int>("idleTimeout");
    // What the authenticated client does for 1.5 s, every 60 ms: "line" a
    // request, "trickle" one byte of a line that never ends, "nothing".
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<bool>("closed");

    QTest::newRow("requests, both limits on") << 500 << 500 << "line" << false;
    QTest::newRow("trickling an endless line") << 500 << 0 << "trickle" << true;
    QTest::newRow("trickling, that limit off") << 0 << 0 << "trickle" << false;
    QTest::newRow("idle past the limit") << 500 << 500 << "nothing" << true;
    QTest::newRow("idle, no idle limit") << 500 << 0 << "nothing" << false;
    // A trickled line is no request: the idle limit catches it too.
    QTest::newRow("trickling, only the idle limit") << 0 << 500 << "trickle" << true;
}

void TestJsonRpcServer::dawdlersAreClosed()
{
    QFETCH(int, unfinishedLineTimeout);
    QFETCH(int, idleTimeout);
    QFETCH(QString, behaviour);
    QFETCH(bool, closed);

    JsonRpcConnectionPolicy::Limits limits;
    limits.unfinishedLineTimeout = unfinishedLineTimeout;
    limits.idleTimeout = idleTimeout;
    m_server.setConnectionLimits(limits);
    JsonRpcTestClient *dawdler = client("user-token");
    JsonRpcTestClient *bystander = client("user-token");
    QVERIFY(dawdler && bystander);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 1500 && dawdler->isConnected()) {
        if (behaviour == "line")
            dawdler->sendLine(R"({"jsonrpc":"2.0","method":"Test.GetCount"})");
        else if (behaviour == "trickle")
            dawdler->sendRaw("x");
        // The bystander asks as well: nothing is idle but the dawdler.
        bystander->sendLine(R"({"jsonrpc":"2.0","method":"JSONRPC.Hello"})");
        QTest::qWait(60);
    }
    QCOMPARE(!dawdler->isConnected(), closed);
    QVERIFY(bystander->call("Test.GetCount").contains("result"));
}

void TestJsonRpcServer::batchLetsOthersIn()
{
    JsonRpcTestClient *batcher = client("user-token");
    JsonRpcTestClient *other = client("user-token");
    QVERIFY(batcher && other);
    QByteArray batch = "[";
    for (int i = 0; i < 60; i++)
        batch += QByteArray(i ? "," : "") + R"({"jsonrpc":"2.0","id":)" + QByteArray::number(i)
                 + R"(,"method":"Test.Slow"})";
    const int before = m_handler.calls;
    batcher->sendLine(batch + "]");
    // Its next line waits for the batch: it may count on what the batch did.
    batcher->sendLine(R"({"jsonrpc":"2.0","id":"next","method":"Test.GetCount"})");
    QTRY_VERIFY(m_handler.calls > before);
    // The batch has begun; another client is served before it ends.
    const QJsonObject count = other->call("Test.GetCount");
    QVERIFY2(count.value("result").toObject().value("count").toInt() < before + 60 + 1,
             "the other client waited for the whole batch");
    QCOMPARE(batcher->waitForResponse("next").value("result").toObject().value("count").toInt(), before + 62);
    QCOMPARE(QJsonDocument::fromJson(batcher->lines.value(1)).array().count(), 60);
}

void TestJsonRpcServer::connectionFloodLogsLittle()
{
    static int lines = 0;
    lines = 0;
    QLoggingCategory::setFilterRules("JsonRpc.debug=true");
    const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext &context, const QString &) {
                if (qstrcmp(context.category, "JsonRpc") == 0)
                    lines++;
            });
    // 200 connections that come and go (and 50 that never authenticate):
    // a line or two each, unless rate-limited.
    m_server.setAuthenticationTimeout(100);
    for (int i = 0; i < 250; i++) {
        JsonRpcTestClient *flooder = client();
        QVERIFY(flooder);
        if (i < 200)
            delete flooder;
    }
    QTRY_COMPARE(m_server.clientCount(), 0);
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());
    // Connected, disconnected, closed for the time limit: 10 each per 10 s,
    // and a line saying how many were held back.
    QVERIFY2(lines <= 3 * 11, qPrintable(QString::number(lines)));
}

void TestJsonRpcServer::permissions_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("method");
    QTest::addColumn<int>("code");

    QTest::newRow("no token: Hello") << ""
                                     << "JSONRPC.Hello" << 0;
    QTest::newRow("no token: Introspect") << ""
                                          << "JSONRPC.Introspect" << -32001;
    QTest::newRow("no token: scope 1 method") << ""
                                              << "Test.GetCount" << -32001;
    QTest::newRow("no token: unknown method") << ""
                                              << "Test.Nope" << -32001;
    QTest::newRow("unknown token: scope 1 method") << "guessed"
                                                   << "Test.GetCount" << -32001;
    QTest::newRow("user token: scope 1 method") << "user-token"
                                                << "Test.GetCount" << 0;
    QTest::newRow("user token: admin method") << "user-token"
                                              << "Test.SetGizmo" << -32002;
    QTest::newRow("admin token: scope 1 method") << "admin-token"
                                                 << "Test.GetCount" << 0;
    QTest::newRow("admin token: admin method") << "admin-token"
                                               << "Test.SetGizmo" << 0;
}

void TestJsonRpcServer::permissions()
{
    QFETCH(QString, token);
    QFETCH(QString, method);
    QFETCH(int, code);

    JsonRpcTestClient *caller = client();
    QVERIFY(caller);
    if (!token.isEmpty()) {
        const QJsonObject auth =
                caller->call("JSONRPC.Authenticate", QJsonDocument(QJsonObject{{"token", token}}).toJson());
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
    QCOMPARE(methods.keys(), QStringList({"Check", "GetCount", "Later", "SetGizmo", "Slow"}));
    const QJsonObject setGizmo = methods.value("SetGizmo").toObject();
    QCOMPARE(setGizmo.value("permissionScope").toString(), QString("PermissionScopeAdmin"));
    QCOMPARE(setGizmo.value("description").toString(), QString("Stores a gizmo."));
    QCOMPARE(setGizmo.value("params").toObject(), QJsonObject({{"gizmo", "$ref:Gizmo"}, {"o:count", "Uint"}}));
    QCOMPARE(setGizmo.value("returns").toObject(), QJsonObject({{"accepted", "Bool"}}));
    QCOMPARE(methods.value("GetCount").toObject().value("permissionScope").toString(),
             QString("PermissionScopeControlThings"));
    QCOMPARE(test.value("notifications").toObject().keys(), QStringList({"GizmoChanged"}));
    QCOMPARE(
            test.value("notifications").toObject().value("GizmoChanged").toObject().value("permissionScope").toString(),
            QString("PermissionScopeControlThings"));
}

void TestJsonRpcServer::notifications()
{
    JsonRpcTestClient *admin = client("admin-token");
    JsonRpcTestClient *german = client("user-token");
    JsonRpcTestClient *anonymous = client();
    JsonRpcTestClient *unsubscribed = client("user-token");
    JsonRpcTestClient *scopeless = client("scopeless-token");
    QVERIFY(admin && german && anonymous && unsubscribed && scopeless);
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
    QVERIFY(scopeless->call("JSONRPC.Hello").contains("result"));
    QCOMPARE(anonymous->notifications.count(), 0);
    QCOMPARE(unsubscribed->notifications.count(), 0);
    // Authenticated, but without the scope that reading a gizmo needs.
    QCOMPARE(scopeless->notifications.count(), 0);
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

void TestJsonRpcServer::selfCheck()
{
    JsonRpcTestClient *caller = client("user-token");
    QVERIFY(caller);
    const JsonRpcServer::SelfCheck before = m_server.selfCheck();
    const int failures = m_server.selfCheckFailures();
    m_server.setSelfCheck(JsonRpcServer::SelfCheckWarn);
    m_handler.breakReplies = true;
    QTest::ignoreMessage(
            QtWarningMsg,
            "Reply of Test.GetCount does not match its declaration: count: expected Uint, got the number -1");
    const QJsonObject response = caller->call("Test.GetCount");
    m_server.setSelfCheck(before);
    // Only reported: the client still gets what the handler answered.
    QCOMPARE(response.value("result").toObject().value("count").toInt(), -1);
    QCOMPARE(m_server.selfCheckFailures(), failures + 1);
}

QTEST_GUILESS_MAIN(TestJsonRpcServer)
#include "tst_jsonrpcserver.moc"
