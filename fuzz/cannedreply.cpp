#include "cannedreply.h"

#include <QTimer>

#include <cstring>

CannedReply::CannedReply(const QNetworkRequest &request, QNetworkAccessManager::Operation operation, int status,
                         const QByteArray &body, QNetworkReply::NetworkError error, QObject *parent)
    : QNetworkReply(parent),
      m_body(body)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(operation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    if (error != QNetworkReply::NoError) {
        // A transport failure carries no status and no body.
        m_body.clear();
        setError(error, QStringLiteral("Canned transport error"));
    } else {
        if (status == 0)
            status = 200;
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
        setHeader(QNetworkRequest::ContentLengthHeader, m_body.size());
        if (status < 200 || status >= 300)
            setError(QNetworkReply::ProtocolInvalidOperationError, QStringLiteral("Canned HTTP status %1").arg(status));
    }
    QTimer::singleShot(0, this, &CannedReply::deliver);
}

void CannedReply::abort()
{
    if (isFinished())
        return;
    m_body.clear();
    setError(QNetworkReply::OperationCanceledError, QStringLiteral("Aborted"));
    setFinished(true);
    emit errorOccurred(QNetworkReply::OperationCanceledError);
    emit finished();
}

qint64 CannedReply::bytesAvailable() const
{
    return m_body.size() - m_position + QNetworkReply::bytesAvailable();
}

qint64 CannedReply::readData(char *data, qint64 maxSize)
{
    const qint64 count = qMin(maxSize, m_body.size() - m_position);
    if (count <= 0)
        return isFinished() ? -1 : 0;
    std::memcpy(data, m_body.constData() + m_position, static_cast<size_t>(count));
    m_position += count;
    return count;
}

void CannedReply::deliver()
{
    if (isFinished())
        return;
    emit metaDataChanged();
    if (error() != QNetworkReply::NoError)
        emit errorOccurred(error());
    if (!m_body.isEmpty())
        emit readyRead();
    setFinished(true);
    emit finished();
}
