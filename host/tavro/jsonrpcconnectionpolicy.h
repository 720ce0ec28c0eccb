#ifndef JSONRPCCONNECTIONPOLICY_H
#define JSONRPCCONNECTIONPOLICY_H

#include <QHash>
#include <QList>
#include <QString>
#include <QUuid>

#include <functional>

// The limits every JSON-RPC transport of a server shares, and the decisions
// that follow from them: who gets a slot, whose token is checked when, and
// which connection has to go. It knows no sockets: the server tells it what
// happens (with a monotonic time in milliseconds) and carries out what it
// decides, whatever transport the connection came in on.
//
// Slots. At most maxConnections connections are kept. Authenticated ones
// hold at most maxConnections - 1 of them: the last slot is kept for a new
// client to authenticate in. A client that authenticates while the
// authenticated ones are at their share pushes out the authenticated one
// that has sent no request for the longest time. A new connection beyond
// maxConnections pushes out an unauthenticated one: the one with the most
// unknown tokens, else one that has offered no token within admissionGrace
// (the oldest). One waiting for its token check, or younger than
// admissionGrace, is never pushed out (it may be the owner's). While there
// is neither a free slot nor one to push out, new connections wait in the
// order they came (see hasRoom()): a slot opens with every unknown token
// checked, so the owner's turn comes however fast others reconnect.
//
// Tokens. At most maxUnknownTokensPerSecond unknown tokens are looked at per
// second over all connections; once that many came in, further checks wait
// (one per connection, in the order they came) until the next second has
// room. A known token never uses up the room, so it always gets in: after
// at most one check of every connection queued before it. A connection is
// closed after maxFailedAuthentications unknown tokens.
//
// Time limits. A connection that has not authenticated within
// authenticationTimeout is closed; so is one whose unfinished line has been
// arriving for unfinishedLineTimeout, and an authenticated one that has sent
// no request for idleTimeout (0 switches the latter two off).
class JsonRpcConnectionPolicy
{
public:
    // Milliseconds a new connection has to offer its token before a
    // newcomer may push it out.
    static constexpr qint64 admissionGrace = 1000;

    struct Limits {
        int maxConnections = 32;
        // Milliseconds.
        int authenticationTimeout = 5000;
        int unfinishedLineTimeout = 10000;
        int idleTimeout = 0;
        // Bytes per line before and after authenticating.
        int unauthenticatedMaxLineLength = 4096;
        int maxLineLength = 1024 * 1024;
        int maxFailedAuthentications = 3;
        int maxUnknownTokensPerSecond = 20;
    };

    enum class Verdict {
        // Check the token now.
        CheckNow,
        // Queued: nextReleasedCheck() hands it out when there is room.
        Queued,
        // It would have to wait, and may not.
        Refused
    };

    // Why expired() closes a connection.
    enum class Expiry {
        NotAuthenticated,
        UnfinishedLine,
        Idle
    };

    struct Expired {
        QUuid id;
        Expiry reason;
    };

    Limits limits() const { return m_limits; }
    void setLimits(const Limits &limits);

    // Whether a new connection would find a slot (free, or one it may push
    // out). While not, transports leave new connections waiting in turn
    // rather than refusing them: the owner's connection is taken in its
    // order, however fast others reconnect.
    bool hasRoom(qint64 now) const;
    // A new connection. Returns the one to close to make room for it: null
    // when there was room; the new one itself when it is refused.
    QUuid admit(const QUuid &id, qint64 now);
    // Gone (for whatever reason): forgotten, its queued check dropped.
    void remove(const QUuid &id);
    bool contains(const QUuid &id) const { return m_connections.contains(id); }
    int count() const { return m_connections.count(); }
    bool isAuthenticated(const QUuid &id) const { return m_connections.value(id).authenticated; }
    // The connection's line limit in bytes.
    int maxLineLength(const QUuid &id) const;

    // A complete request came in: the connection is not idle.
    void noteRequest(const QUuid &id, qint64 now);

    // A client offers a token: check it now, or wait in the queue (or,
    // when it may not wait, be refused unchecked).
    Verdict requestTokenCheck(const QUuid &id, qint64 now, bool mayWait = true);
    // The outcome of a check made now. For a known token, returns the
    // authenticated connection to push out (null when there is room). For
    // an unknown one, *close tells whether the connection has had its last
    // try.
    QUuid tokenAccepted(const QUuid &id, qint64 now);
    void tokenRefused(const QUuid &id, qint64 now, bool *close);
    // Queued connections whose check may run now, in their order; each is
    // taken off the queue. Call tokenAccepted()/tokenRefused() for each, in
    // this order, before asking again.
    QUuid nextReleasedCheck(qint64 now);
    bool hasQueuedChecks() const { return !m_queue.isEmpty(); }
    // Milliseconds until the next second of token checks begins.
    qint64 msUntilNextWindow(qint64 now) const;

    // Connections past a time limit. unfinishedLineAge gives the
    // milliseconds a connection's unfinished line has been arriving (-1 for
    // none).
    QList<Expired> expired(qint64 now, const std::function<qint64(const QUuid &)> &unfinishedLineAge) const;

private:
    struct Connection {
        quint64 sequence = 0;
        qint64 connectedAt = 0;
        qint64 lastRequestAt = 0;
        bool authenticated = false;
        int unknownTokens = 0;
        // Position in the check queue; 0 when not queued.
        quint64 queuedAs = 0;
    };

    // Starts a new second of checks when the last one is over.
    void rollWindow(qint64 now);
    bool roomForUnknownToken(qint64 now);
    // The unauthenticated connection to push out for a newcomer, null when
    // there is none.
    QUuid unauthenticatedVictim(const QUuid &newcomer, qint64 now) const;

    Limits m_limits;
    QHash<QUuid, Connection> m_connections;
    QList<QUuid> m_queue;
    quint64 m_nextSequence = 1;
    quint64 m_nextQueuePosition = 1;
    qint64 m_windowStart = -1;
    int m_unknownInWindow = 0;
};

#endif // JSONRPCCONNECTIONPOLICY_H
