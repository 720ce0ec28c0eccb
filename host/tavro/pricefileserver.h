#ifndef PRICEFILESERVER_H
#define PRICEFILESERVER_H

#include <QString>
#include <QTcpServer>

// Serves a local price file on 127.0.0.1 as the market-data service would,
// so that the spot market works without the internet: every GET is answered
// with the file as it is then (the owner may rewrite it while the host
// runs), 503 while it cannot be read. One request per connection.
class PriceFileServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit PriceFileServer(const QString &fileName, QObject *parent = nullptr);

    // On a free port; false when none can be had.
    bool start();
    // "http://127.0.0.1:<port>"
    QString baseUrl() const;

private:
    void answer(QTcpSocket *socket);

    QString m_fileName;
};

#endif // PRICEFILESERVER_H
