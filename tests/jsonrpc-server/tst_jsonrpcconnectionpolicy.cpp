#include <QtTest>

#include "tavro/jsonrpcconnectionpolicy.h"

// Who keeps a slot when all are taken, with the clock in the test's hand.
class TestJsonRpcConnectionPolicy : public QObject
{
    Q_OBJECT

private slots:
    void whoMakesRoom_data();
    void whoMakesRoom();
    void ownerGetsInDuringAFlood();
};

void TestJsonRpcConnectionPolicy::whoMakesRoom_data()
{
    // The connections that hold every slot, oldest first: "a" authenticated,
    // "g" guessed once (an unknown token), "q" waiting for its token check,
    // "i" sent no token within the grace period, "n" just came.
    QTest::addColumn<QString>("connections");
    // What a newcomer finds: the index of the one pushed out, or -1 when it
    // has to wait.
    QTest::addColumn<int>("pushedOut");

    QTest::newRow("the one that guessed goes") << "qigq" << 2;
    QTest::newRow("then the oldest idle one") << "qiqi" << 1;
    QTest::newRow("a waiting check stays") << "aqqa" << -1;
    QTest::newRow("one that just came stays") << "anq" << -1;
    QTest::newRow("authenticated ones stay") << "aaa" << -1;
}

void TestJsonRpcConnectionPolicy::whoMakesRoom()
{
    QFETCH(QString, connections);
    QFETCH(int, pushedOut);

    JsonRpcConnectionPolicy::Limits limits;
    limits.maxConnections = connections.size();
    limits.maxUnknownTokensPerSecond = 1;
    JsonRpcConnectionPolicy policy;
    policy.setLimits(limits);
    // "n" came now, the others long before (in the order given).
    const qint64 now = 100 * JsonRpcConnectionPolicy::admissionGrace;
    QList<QUuid> ids;
    for (int i = 0; i < connections.size(); i++) {
        ids << QUuid::createUuid();
        QVERIFY(policy.admit(ids.last(), connections.at(i) == 'n' ? now : i).isNull());
    }
    // The second's one unknown token is used up: checks wait in the queue.
    bool close = false;
    policy.tokenRefused(QUuid(), now, &close);
    for (int i = 0; i < connections.size(); i++) {
        if (connections.at(i) == 'a')
            policy.tokenAccepted(ids.at(i), now);
        if (connections.at(i) == 'g')
            policy.tokenRefused(ids.at(i), now, &close);
        if (connections.at(i) == 'q')
            QCOMPARE(policy.requestTokenCheck(ids.at(i), now), JsonRpcConnectionPolicy::Verdict::Queued);
    }
    QCOMPARE(policy.hasRoom(now), pushedOut >= 0);
    const QUuid newcomer = QUuid::createUuid();
    const QUuid victim = policy.admit(newcomer, now);
    QCOMPARE(victim == newcomer ? -1 : ids.indexOf(victim), pushedOut);
}

void TestJsonRpcConnectionPolicy::ownerGetsInDuringAFlood()
{
    // 50 guessers reconnect the moment they are closed or pushed out and
    // offer an unknown token whenever they may; new connections wait in
    // their order while there is no room. The owner joins after 3 s.
    JsonRpcConnectionPolicy policy;
    const int perSecond = policy.limits().maxUnknownTokensPerSecond;
    QList<QUuid> waiting;
    QSet<QUuid> guessers;
    const QUuid owner = QUuid::createUuid();
    for (int i = 0; i < 50; i++)
        waiting << QUuid::createUuid();
    qint64 ownerIn = -1;
    QMap<qint64, int> unknownPerSecond;
    for (qint64 now = 0; now < 20000 && ownerIn < 0; now += 10) {
        if (now == 3000)
            waiting << owner;
        // Each comes back at once, but one reconnect per guesser and tick.
        for (int admitted = 0; admitted < 50 && !waiting.isEmpty() && policy.hasRoom(now); admitted++) {
            const QUuid id = waiting.takeFirst();
            const QUuid victim = policy.admit(id, now);
            QVERIFY(victim != owner && victim != id);
            if (!victim.isNull()) {
                policy.remove(victim);
                guessers.remove(victim);
                waiting << QUuid::createUuid();
            }
            if (id != owner)
                guessers << id;
            if (policy.requestTokenCheck(id, now) == JsonRpcConnectionPolicy::Verdict::CheckNow) {
                if (id == owner) {
                    QVERIFY(policy.tokenAccepted(owner, now).isNull());
                    ownerIn = now;
                } else {
                    bool close = false;
                    policy.tokenRefused(id, now, &close);
                    unknownPerSecond[now / 1000]++;
                }
            }
        }
        for (QUuid id = policy.nextReleasedCheck(now); !id.isNull(); id = policy.nextReleasedCheck(now)) {
            if (id == owner) {
                QVERIFY(policy.tokenAccepted(owner, now).isNull());
                ownerIn = now;
                continue;
            }
            bool close = false;
            policy.tokenRefused(id, now, &close);
            unknownPerSecond[now / 1000]++;
            if (close) {
                policy.remove(id);
                guessers.remove(id);
                waiting << QUuid::createUuid();
            } else {
                QCOMPARE(policy.requestTokenCheck(id, now), JsonRpcConnectionPolicy::Verdict::Queued);
            }
        }
    }
    QVERIFY2(ownerIn >= 3000 && ownerIn < 3000 + policy.limits().authenticationTimeout,
             qPrintable(QString::number(ownerIn)));
    for (auto it = unknownPerSecond.constBegin(); it != unknownPerSecond.constEnd(); ++it)
        QVERIFY2(it.value() <= perSecond, qPrintable(QStringLiteral("second %1: %2").arg(it.key()).arg(it.value())));
}

QTEST_GUILESS_MAIN(TestJsonRpcConnectionPolicy)
#include "tst_jsonrpcconnectionpolicy.moc"
