#ifndef JSONREPLY_H
#define JSONREPLY_H

#include <QObject>
#include <QVariantMap>

// The result of a handler method. The server that invoked the method owns
// the reply and deletes it once answered.
//
// A reply made with the data constructor is finished at once. A reply made
// with createAsyncReply() is answered only when the handler calls finish()
// later, from the event loop. The server may delete an unfinished reply
// (the client went away, or it waited too long): a handler that finishes it
// later must watch it, e.g. connect with the reply as context object or keep
// a QPointer.
//
// A reply may also carry a JSON-RPC error (code and message) instead of
// data; the client then gets an error object and no result.
class JsonReply : public QObject
{
    Q_OBJECT
public:
    explicit JsonReply(const QVariantMap &data, QObject *parent = nullptr)
        : QObject(parent),
          m_data(data),
          m_finished(true)
    {
    }

    static JsonReply *createAsyncReply(QObject *parent = nullptr) { return new JsonReply(parent); }
    // A finished reply answering with an error; code is nonzero.
    static JsonReply *createErrorReply(int code, const QString &message, QObject *parent = nullptr)
    {
        JsonReply *reply = new JsonReply(QVariantMap(), parent);
        reply->m_errorCode = code;
        reply->m_errorMessage = message;
        return reply;
    }

    QVariantMap data() const { return m_data; }
    // True for replies made unfinished by createAsyncReply().
    bool isAsync() const { return m_async; }
    bool isFinished() const { return m_finished; }
    bool isError() const { return m_errorCode != 0; }
    int errorCode() const { return m_errorCode; }
    QString errorMessage() const { return m_errorMessage; }

    // Stores the data and emits finished(). Only the first call counts; a
    // finished reply (also a synchronous one) ignores it.
    void finish(const QVariantMap &data)
    {
        if (m_finished)
            return;
        m_data = data;
        m_finished = true;
        emit finished();
    }
    // Like finish(), answering with an error; code is nonzero.
    void finishWithError(int code, const QString &message)
    {
        if (m_finished)
            return;
        m_errorCode = code;
        m_errorMessage = message;
        m_finished = true;
        emit finished();
    }

signals:
    void finished();

private:
    explicit JsonReply(QObject *parent)
        : QObject(parent),
          m_async(true)
    {
    }

    QVariantMap m_data;
    bool m_async = false;
    bool m_finished = false;
    int m_errorCode = 0;
    QString m_errorMessage;
};

#endif // JSONREPLY_H
