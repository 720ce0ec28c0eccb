#include "jsonrpcconnectionpolicy.h"

#include <QtGlobal>

#include <tuple>

void JsonRpcConnectionPolicy::setLimits(const Limits &limits)
{
    m_limits = limits;
    m_limits.maxConnections = qMax(1, limits.maxConnections);
    m_limits.maxFailedAuthentications = qMax(1, limits.maxFailedAuthentications);
    m_limits.maxUnknownTokensPerSecond = qMax(1, limits.maxUnknownTokensPerSecond);
}

bool JsonRpcConnectionPolicy::hasRoom(qint64 now) const
{
    return m_connections.count() < m_limits.maxConnections || !unauthenticatedVictim(QUuid(), now).isNull();
}

QUuid JsonRpcConnectionPolicy::admit(const QUuid &id, qint64 now)
{
    Connection connection;
    connection.sequence = m_nextSequence++;
    connection.connectedAt = now;
    connection.lastRequestAt = now;
    m_connections.insert(id, connection);
    if (m_connections.count() <= m_limits.maxConnections)
        return QUuid();
    const QUuid victim = unauthenticatedVictim(id, now);
    return victim.isNull() ? id : victim;
}

QUuid JsonRpcConnectionPolicy::unauthenticatedVictim(const QUuid &newcomer, qint64 now) const
{
    // Who goes first: the one with the most unknown tokens; then one that
    // has not offered a token within the grace period (the oldest). One
    // waiting for its check, or one that just came, is never pushed out: it
    // may be the owner's.
    const auto rank = [now](const Connection &connection) -> std::tuple<int, int, qint64> {
        if (connection.unknownTokens > 0)
            return {3, connection.unknownTokens, -qint64(connection.sequence)};
        if (connection.queuedAs == 0 && now - connection.connectedAt >= admissionGrace)
            return {2, 0, -qint64(connection.sequence)};
        return {0, 0, 0};
    };
    QUuid victim;
    std::tuple<int, int, qint64> worst{0, 0, 0};
    for (auto it = m_connections.constBegin(); it != m_connections.constEnd(); ++it) {
        if (it.key() == newcomer || it->authenticated)
            continue;
        const auto candidate = rank(*it);
        if (std::get<0>(candidate) > 0 && (victim.isNull() || candidate > worst)) {
            worst = candidate;
            victim = it.key();
        }
    }
    return victim;
}

void JsonRpcConnectionPolicy::remove(const QUuid &id)
{
    if (m_connections.remove(id))
        m_queue.removeAll(id);
}

int JsonRpcConnectionPolicy::maxLineLength(const QUuid &id) const
{
    return isAuthenticated(id) ? m_limits.maxLineLength : m_limits.unauthenticatedMaxLineLength;
}

void JsonRpcConnectionPolicy::noteRequest(const QUuid &id, qint64 now)
{
    auto it = m_connections.find(id);
    if (it != m_connections.end())
        it->lastRequestAt = now;
}

void JsonRpcConnectionPolicy::rollWindow(qint64 now)
{
    if (m_windowStart < 0 || now - m_windowStart >= 1000) {
        m_windowStart = now;
        m_unknownInWindow = 0;
    }
}

bool JsonRpcConnectionPolicy::roomForUnknownToken(qint64 now)
{
    rollWindow(now);
    return m_unknownInWindow < m_limits.maxUnknownTokensPerSecond;
}

JsonRpcConnectionPolicy::Verdict JsonRpcConnectionPolicy::requestTokenCheck(const QUuid &id, qint64 now, bool mayWait)
{
    auto it = m_connections.find(id);
    if (it == m_connections.end())
        return Verdict::CheckNow;
    // Nobody overtakes the queue: its order is what bounds the owner's wait.
    if (m_queue.isEmpty() && roomForUnknownToken(now))
        return Verdict::CheckNow;
    if (!mayWait)
        return Verdict::Refused;
    if (it->queuedAs == 0) {
        it->queuedAs = m_nextQueuePosition++;
        m_queue.append(id);
    }
    return Verdict::Queued;
}

QUuid JsonRpcConnectionPolicy::nextReleasedCheck(qint64 now)
{
    if (m_queue.isEmpty() || !roomForUnknownToken(now))
        return QUuid();
    const QUuid id = m_queue.takeFirst();
    m_connections[id].queuedAs = 0;
    return id;
}

qint64 JsonRpcConnectionPolicy::msUntilNextWindow(qint64 now) const
{
    if (m_windowStart < 0)
        return 0;
    return qMax<qint64>(0, m_windowStart + 1000 - now);
}

QUuid JsonRpcConnectionPolicy::tokenAccepted(const QUuid &id, qint64 now)
{
    auto it = m_connections.find(id);
    if (it == m_connections.end() || it->authenticated)
        return QUuid();
    it->authenticated = true;
    it->lastRequestAt = now;
    const int share = qMax(1, m_limits.maxConnections - 1);
    int authenticated = 0;
    QUuid idlest;
    const Connection *idlestConnection = nullptr;
    for (auto other = m_connections.constBegin(); other != m_connections.constEnd(); ++other) {
        if (!other->authenticated)
            continue;
        authenticated++;
        if (other.key() == id)
            continue;
        if (!idlestConnection || other->lastRequestAt < idlestConnection->lastRequestAt
            || (other->lastRequestAt == idlestConnection->lastRequestAt
                && other->sequence < idlestConnection->sequence)) {
            idlestConnection = &other.value();
            idlest = other.key();
        }
    }
    return authenticated > share ? idlest : QUuid();
}

void JsonRpcConnectionPolicy::tokenRefused(const QUuid &id, qint64 now, bool *close)
{
    rollWindow(now);
    m_unknownInWindow++;
    auto it = m_connections.find(id);
    *close = it != m_connections.end() && ++it->unknownTokens >= m_limits.maxFailedAuthentications;
}

QList<JsonRpcConnectionPolicy::Expired>
JsonRpcConnectionPolicy::expired(qint64 now, const std::function<qint64(const QUuid &)> &unfinishedLineAge) const
{
    QList<Expired> result;
    for (auto it = m_connections.constBegin(); it != m_connections.constEnd(); ++it) {
        if (!it->authenticated && now - it->connectedAt >= m_limits.authenticationTimeout) {
            result.append({it.key(), Expiry::NotAuthenticated});
            continue;
        }
        if (m_limits.unfinishedLineTimeout > 0 && unfinishedLineAge) {
            const qint64 age = unfinishedLineAge(it.key());
            if (age >= m_limits.unfinishedLineTimeout) {
                result.append({it.key(), Expiry::UnfinishedLine});
                continue;
            }
        }
        if (it->authenticated && m_limits.idleTimeout > 0 && now - it->lastRequestAt >= m_limits.idleTimeout)
            result.append({it.key(), Expiry::Idle});
    }
    return result;
}
