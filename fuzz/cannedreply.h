#ifndef CANNEDREPLY_H
#define CANNEDREPLY_H

#include <QNetworkReply>

// A finished network reply made up on the spot: an HTTP status and a body,
// or a transport error. It announces itself from the event loop, one turn
// after it was created, as a real reply would.
class CannedReply : public QNetworkReply
{
    Q_OBJECT
public:
    // error NoError with status 0 is taken as status 200.
    CannedReply(const QNetworkRequest &request, QNetworkAccessManager::Operation operation, int status,
                const QByteArray &body, QNetworkReply::NetworkError error, QObject *parent = nullptr);

    void abort() override;
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    void deliver();

    QByteArray m_body;
    qint64 m_position = 0;
};

#endif // CANNEDREPLY_H
