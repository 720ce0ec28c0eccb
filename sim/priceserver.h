#ifndef PRICESERVER_H
#define PRICESERVER_H

#include <QByteArray>
#include <QTcpServer>

struct Scenario;

// Serves the scenario's day-ahead prices on 127.0.0.1 in the market-data
// service's JSON format ("data" array of start/end timestamps in ms,
// "marketprice" in Eur/MWh), whatever the request asks for. The scenario
// must outlive the server.
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
    // The prices from fromMinute to toMinute after midnight of the first day.
    QByteArray body(int fromMinute, int toMinute) const;

    const Scenario &m_scenario;

    QByteArray m_body;
    int m_requestCount = 0;
};

#endif // PRICESERVER_H
