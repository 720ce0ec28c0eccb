#include <QtTest>
#include "settingssandbox.h"

#include "jsonrpctestclient.h"
#include "tavro/jsonrpcserver.h"
#include "tavro/jsonrpcwebsockettransport.h"

#include <QTemporaryDir>
#include <QWebSocket>

// What only the WebSocket transport does: the Origin check, the page's
// files and the request heads before a connection is a client. The JSON-RPC
// behaviour itself is tst_jsonrpcserver's, run over both transports.
class TestJsonRpcWebSocketTransport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void origins_data();
    void origins();
    void pageRequests_data();
    void pageRequests();
    void requestHeadsThatDoNotComeAreClosed();
    void stockClient();

private:
    // Sends raw bytes on a fresh connection and returns what came back
    // until the server closed (or 3 s passed).
    QByteArray exchange(const QByteArray &request);

    SettingsSandbox m_dir;
    QTemporaryDir m_page;
    JsonRpcServer m_server;
    quint16 m_port = 0;
};

void TestJsonRpcWebSocketTransport::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.apply();
    QVERIFY(m_page.isValid());
    const QDir page(m_page.path());
    QVERIFY(page.mkdir("web"));
    const auto write = [](const QString &path, const QByteArray &content) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    };
    QVERIFY(write(page.filePath("web/index.html"), "<!doctype html><title>page</title>"));
    QVERIFY(write(page.filePath("web/app.js"), "'use strict';"));
    QVERIFY(write(page.filePath("web/.hidden.js"), "hidden"));
    QVERIFY(write(page.filePath("web/notes.txt"), "notes"));
    QVERIFY(write(page.filePath("secret.js"), "secret"));
    QVERIFY(QFile::link(page.filePath("secret.js"), page.filePath("web/link.js")));
    QVERIFY(m_server.addToken("user-token", Types::PermissionScopeControlThings));
    m_server.webSocketTransport()->setPageDirectory(page.filePath("web"));
    m_server.webSocketTransport()->setAllowedOrigins({"https://Home.example/"});
    QVERIFY(m_server.listenWebSocket(0));
    m_port = m_server.webSocketPort();
}

QByteArray TestJsonRpcWebSocketTransport::exchange(const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_port);
    if (!socket.waitForConnected(3000))
        return QByteArray();
    socket.write(QByteArray(request).replace("PORT", QByteArray::number(m_port)));
    QByteArray received;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 3000 && socket.state() == QAbstractSocket::ConnectedState) {
        QTest::qWait(10);
        received += socket.readAll();
    }
    return received + socket.readAll();
}

void TestJsonRpcWebSocketTransport::origins_data()
{
    QTest::addColumn<QByteArray>("origin"); // PORT: the server's port; empty: none sent
    QTest::addColumn<bool>("allowed");

    QTest::newRow("none: no browser") << QByteArray() << true;
    QTest::newRow("the page's own") << QByteArray("http://127.0.0.1:PORT") << true;
    QTest::newRow("localhost") << QByteArray("http://localhost:PORT") << true;
    QTest::newRow("IPv6 loopback") << QByteArray("http://[::1]:PORT") << true;
    QTest::newRow("written in capitals") << QByteArray("HTTP://LOCALHOST:PORT") << true;
    QTest::newRow("added one") << QByteArray("https://home.example") << true;
    QTest::newRow("another web site") << QByteArray("https://evil.example") << false;
    QTest::newRow("another name for this machine") << QByteArray("http://evil.example:PORT") << false;
    QTest::newRow("own host, other port") << QByteArray("http://127.0.0.1:1") << false;
    QTest::newRow("added one over http") << QByteArray("http://home.example") << false;
    QTest::newRow("opaque (a file or sandbox)") << QByteArray("null") << false;
}

void TestJsonRpcWebSocketTransport::origins()
{
    QFETCH(QByteArray, origin);
    QFETCH(bool, allowed);

    JsonRpcTestClient client(JsonRpcTestClient::WebSocket);
    QCOMPARE(client.connectTo(m_port, QByteArray(origin).replace("PORT", QByteArray::number(m_port))), allowed);
    if (!allowed) {
        QCOMPARE(client.handshakeStatus, QByteArray("HTTP/1.1 403 Forbidden"));
        QVERIFY(client.waitForDisconnected());
        return;
    }
    QCOMPARE(client.call("JSONRPC.Authenticate", R"({"token":"user-token"})")
                     .value("result")
                     .toObject()
                     .value("authenticated")
                     .toBool(),
             true);
}

void TestJsonRpcWebSocketTransport::pageRequests_data()
{
    QTest::addColumn<QByteArray>("request"); // PORT: the server's port
    QTest::addColumn<QByteArray>("status");  // the status line
    QTest::addColumn<QByteArray>("body");    // what the body is, when answered 200

    const QByteArray host = "Host: 127.0.0.1:PORT\r\n";
    QTest::newRow("/") << "GET / HTTP/1.1\r\n" + host + "\r\n"
                       << QByteArray("HTTP/1.1 200 OK") << QByteArray("<!doctype html><title>page</title>");
    QTest::newRow("a script, with a query") << "GET /app.js?v=2 HTTP/1.1\r\n" + host + "\r\n"
                                            << QByteArray("HTTP/1.1 200 OK") << QByteArray("'use strict';");
    QTest::newRow("localhost") << QByteArray("GET /app.js HTTP/1.1\r\nHost: localhost:PORT\r\n\r\n")
                               << QByteArray("HTTP/1.1 200 OK") << QByteArray("'use strict';");
    QTest::newRow("HEAD") << "HEAD / HTTP/1.1\r\n" + host + "\r\n" << QByteArray("HTTP/1.1 200 OK") << QByteArray();
    QTest::newRow("missing") << "GET /nope.js HTTP/1.1\r\n" + host + "\r\n"
                             << QByteArray("HTTP/1.1 404 Not Found") << QByteArray();
    QTest::newRow("out of the folder") << "GET /../secret.js HTTP/1.1\r\n" + host + "\r\n"
                                       << QByteArray("HTTP/1.1 404 Not Found") << QByteArray();
    QTest::newRow("escaped dots") << "GET /%2e%2e/secret.js HTTP/1.1\r\n" + host + "\r\n"
                                  << QByteArray("HTTP/1.1 404 Not Found") << QByteArray();
    QTest::newRow("a link out of the folder") << "GET /link.js HTTP/1.1\r\n" + host + "\r\n"
                                              << QByteArray("HTTP/1.1 404 Not Found") << QByteArray();
    QTest::newRow("hidden") << "GET /.hidden.js HTTP/1.1\r\n" + host + "\r\n"
                            << QByteArray("HTTP/1.1 404 Not Found") << QByteArray();
    QTest::newRow("a type the page does not use") << "GET /notes.txt HTTP/1.1\r\n" + host + "\r\n"
                                                  << QByteArray("HTTP/1.1 404 Not Found") << QByteArray();
    QTest::newRow("POST") << "POST / HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n"
                          << QByteArray("HTTP/1.1 405 Method Not Allowed") << QByteArray();
    // A foreign name pointed at this machine gets nothing.
    QTest::newRow("another host name") << QByteArray("GET / HTTP/1.1\r\nHost: evil.example:PORT\r\n\r\n")
                                       << QByteArray("HTTP/1.1 403 Forbidden") << QByteArray();
    QTest::newRow("no host") << QByteArray("GET / HTTP/1.1\r\n\r\n") << QByteArray("HTTP/1.1 403 Forbidden")
                             << QByteArray();
    QTest::newRow("host given twice") << "GET / HTTP/1.1\r\n" + host + "Host: evil.example\r\n\r\n"
                                      << QByteArray("HTTP/1.1 400 Bad Request") << QByteArray();
    QTest::newRow("head too long") << "GET / HTTP/1.1\r\n" + host + "X: " + QByteArray(9000, 'x') + "\r\n\r\n"
                                   << QByteArray("HTTP/1.1 431 Request Header Fields Too Large") << QByteArray();
    QTest::newRow("upgrade elsewhere") << "GET /other HTTP/1.1\r\n" + host
                                                  + "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                                    "Sec-WebSocket-Version: 13\r\n\r\n"
                                       << QByteArray("HTTP/1.1 404 Not Found") << QByteArray();
}

void TestJsonRpcWebSocketTransport::pageRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, body);

    const QByteArray response = exchange(request);
    QCOMPARE(response.left(response.indexOf("\r\n")), status);
    const int end = response.indexOf("\r\n\r\n");
    QVERIFY(end > 0);
    const QByteArray head = response.left(end);
    if (status.endsWith("200 OK")) {
        QCOMPARE(response.mid(end + 4), body);
        QVERIFY(head.contains(request.contains(".js") ? "Content-Type: text/javascript" : "Content-Type: text/html"));
        // No other site may frame the page, nor run scripts from elsewhere.
        QVERIFY(head.contains("frame-ancestors 'none'"));
        QVERIFY(head.contains("X-Content-Type-Options: nosniff"));
    }
}

void TestJsonRpcWebSocketTransport::requestHeadsThatDoNotComeAreClosed()
{
    m_server.setAuthenticationTimeout(300);
    QTcpSocket dawdler;
    dawdler.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(dawdler.waitForConnected(3000));
    dawdler.write("GET / HTTP/1.1\r\nHost: 127.0.0.1");
    QElapsedTimer timer;
    timer.start();
    QTRY_COMPARE_WITH_TIMEOUT(dawdler.state(), QAbstractSocket::UnconnectedState, 3000);
    m_server.setAuthenticationTimeout(JsonRpcServer::defaultAuthenticationTimeout);
    QVERIFY2(timer.elapsed() >= 250, qPrintable(QString::number(timer.elapsed())));
    // Closed unanswered; the page is served to others meanwhile.
    QCOMPARE(dawdler.readAll(), QByteArray());
    QVERIFY(exchange("GET / HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n\r\n").startsWith("HTTP/1.1 200 OK"));
}

void TestJsonRpcWebSocketTransport::stockClient()
{
    // Qt's own client, from the page's origin.
    QWebSocket socket(QStringLiteral("http://localhost:%1").arg(m_port));
    QStringList received;
    connect(&socket, &QWebSocket::textMessageReceived, this, [&](const QString &message) { received << message; });
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/jsonrpc").arg(m_port)));
    QTRY_COMPARE(socket.state(), QAbstractSocket::ConnectedState);
    socket.sendTextMessage(
            R"({"jsonrpc":"2.0","id":1,"method":"JSONRPC.Authenticate","params":{"token":"user-token"}})");
    socket.sendTextMessage(R"({"jsonrpc":"2.0","id":2,"method":"JSONRPC.Introspect"})");
    QTRY_COMPARE(received.count(), 2);
    QVERIFY2(received.at(0).contains("\"authenticated\":true"), qPrintable(received.at(0)));
    QVERIFY(QJsonDocument::fromJson(received.at(1).toUtf8())
                    .object()
                    .value("result")
                    .toObject()
                    .value("namespaces")
                    .toObject()
                    .contains("JSONRPC"));
}

QTEST_GUILESS_MAIN(TestJsonRpcWebSocketTransport)
#include "tst_jsonrpcwebsockettransport.moc"
