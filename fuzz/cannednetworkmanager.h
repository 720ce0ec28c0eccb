#ifndef CANNEDNETWORKMANAGER_H
#define CANNEDNETWORKMANAGER_H

#include <QNetworkAccessManager>
#include <QNetworkReply>

// A network access manager that never opens a connection: every request is
// answered with the canned status and body, or fails with the canned
// transport error.
class CannedNetworkManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    explicit CannedNetworkManager(QObject *parent = nullptr);

    void setReply(int status, const QByteArray &body);
    void setTransportError(QNetworkReply::NetworkError error);

    int requestCount() const { return m_requestCount; }

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request, QIODevice *outgoingData) override;

private:
    int m_status = 200;
    QByteArray m_body;
    QNetworkReply::NetworkError m_error = QNetworkReply::NoError;
    int m_requestCount = 0;
};

#endif // CANNEDNETWORKMANAGER_H
