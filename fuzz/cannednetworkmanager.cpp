#include "cannednetworkmanager.h"
#include "cannedreply.h"

CannedNetworkManager::CannedNetworkManager(QObject *parent)
    : QNetworkAccessManager(parent)
{
}

void CannedNetworkManager::setReply(int status, const QByteArray &body)
{
    m_status = status;
    m_body = body;
    m_error = QNetworkReply::NoError;
}

void CannedNetworkManager::setTransportError(QNetworkReply::NetworkError error)
{
    m_error = error;
}

QNetworkReply *CannedNetworkManager::createRequest(Operation operation, const QNetworkRequest &request,
                                                   QIODevice *outgoingData)
{
    Q_UNUSED(outgoingData)
    m_requestCount++;
    return new CannedReply(request, operation, m_status, m_body, m_error, this);
}
