#ifndef PRICESERVER_H
#define PRICESERVER_H

#include <QByteArray>
#include <QTcpServer>

struct Scenario;

// Serves the scenario's day-ahead prices on 127.0.0.1 as the service its
// "prices.provider" names does, and only that one:
// - aWATTar, "GET /v1/marketdata": a "data" array of start/end timestamps in
//   ms and "marketprice" in Eur/MWh, every published slot whatever the
//   request asks for;
// - Energy-Charts, "GET /price?bzn=ZONE&start=yyyy-MM-dd&end=yyyy-MM-dd":
//   "unix_seconds" and "price" (EUR/MWh) arrays of the published slots on the
//   service's days (Central European) from start to end, both included; 404
//   when there are none or the zone is not the scenario's, 400 for dates
//   that are no dates.
// Any other request gets 404. The scenario must outlive the server.
class PriceServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit PriceServer(const Scenario &scenario, QObject *parent = nullptr);

    bool start();
    QString baseUrl() const;
    int requestCount() const { return m_requestCount; }

    // The status and body of the answer to a request target (path and query).
    QByteArray respond(const QByteArray &target, int *status);

private:
    void answer(QTcpSocket *socket);
    // The published prices at this moment, in real minutes after the first
    // midnight: [*fromMinute, *toMinute).
    void publishedRange(int *fromMinute, int *toMinute) const;
    // The prices from fromMinute to toMinute after midnight of the first day.
    QByteArray body(int fromMinute, int toMinute) const;
    QByteArray energyChartsBody(const QByteArray &query, int fromMinute, int toMinute, int *status) const;

    const Scenario &m_scenario;

    int m_requestCount = 0;
};

#endif // PRICESERVER_H
