#ifndef PRICESERVER_H
#define PRICESERVER_H

#include <QByteArray>
#include <QTcpServer>

class Scenario;

// Serves the scenario's day-ahead prices on 127.0.0.1 in the market-data
// service's JSON format ("data" array of start/end timestamps in ms,
// "marketprice" in Eur/MWh), whatever the request asks for.
class PriceServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit PriceServer(const Scenario &scenario, QObject *parent = nullptr);

    bool start();
    QString baseUrl() const;
    int requestCount() const { return m_requestCount; }

private:
    void answer(QTcpSocket *socket);

    QByteArray m_body;
    int m_requestCount = 0;
};

#endif // PRICESERVER_H
