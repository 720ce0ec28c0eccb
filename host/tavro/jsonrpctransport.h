#ifndef JSONRPCTRANSPORT_H
#define JSONRPCTRANSPORT_H

#include <QObject>
#include <QString>
#include <QUuid>

// What the JSON-RPC server needs of a transport: connections with client
// ids, whole JSON texts ("lines") in and out. The limits (slots, line
// lengths, time limits, token checks) are the server's, through its
// JsonRpcConnectionPolicy, the same for every transport; a transport only
// carries them out.
//
// clientDisconnected() is always emitted from the event loop, never from
// inside a call into the transport.
class JsonRpcTransport : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // "address:port" of the client's end, empty for an unknown client.
    virtual QString peer(const QUuid &clientId) const = 0;
    // The client's line limit in bytes, from its next line on (the one it
    // is sending included).
    virtual void setMaxLineLength(const QUuid &clientId, int bytes) = 0;
    // Holds back (false) or hands out again (true) the client's lines; what
    // it sends meanwhile waits, in the kernel where it can.
    virtual void setReceiving(const QUuid &clientId, bool receiving) = 0;
    // Milliseconds the client's unfinished line has been arriving; -1 when
    // there is none (or its lines are held back).
    virtual qint64 unfinishedLineAge(const QUuid &clientId) const = 0;
    // Queues line for the client. False for an unknown or closing client,
    // and for one that is dropped now because it does not read.
    virtual bool sendLine(const QUuid &clientId, const QByteArray &line) = 0;
    // Sends what is queued, then closes; nothing more is read from it.
    virtual void disconnectClient(const QUuid &clientId) = 0;
    // Closes at once; what is queued is dropped.
    virtual void abortClient(const QUuid &clientId) = 0;
    // Takes new connections (true), or leaves them waiting where they wait
    // in turn (the kernel's backlog) until it is told to take them again.
    virtual void setAccepting(bool accepting) = 0;

signals:
    void clientConnected(const QUuid &clientId);
    void clientDisconnected(const QUuid &clientId);
    void lineReceived(const QUuid &clientId, const QByteArray &line);
    void lineTooLong(const QUuid &clientId);
    // The client finished sending; it can still be answered until
    // disconnectClient().
    void inputClosed(const QUuid &clientId);
};

#endif // JSONRPCTRANSPORT_H
