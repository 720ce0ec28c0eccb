#ifndef FORECASTSERVER_H
#define FORECASTSERVER_H

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QHash>
#include <QTcpServer>

struct Scenario;

// Serves a solar forecast on 127.0.0.1 in the shape of the Forecast.Solar
// estimate service (GET [/KEY]/estimate/LAT/LON/DEC/AZ/KWP), made from the
// scenario's own PV with the error its "forecast" section sets: the honest
// forecast is the clear-sky PV of the day's weather ("pv.dayFactors") times
// the mean the clouds leave; "bias" scales it, "noise" moves each hour by up
// to ±noise (the same hour always the same way), "lateByDays" shows the
// weather of that many days before, and the cloudy afternoons of
// "missedCloudyAfternoon" are not in it. A plane gets its kWp's share of the
// total. Today and tomorrow are served, in the scenario's local time, each
// day from sunrise to sunset with the whole hours between; the service's
// public rate limit (12 calls in an hour of simulated time) answers HTTP 429
// beyond it. The scenario must outlive the server.
class ForecastServer : public QTcpServer
{
    Q_OBJECT
public:
    static constexpr int callsPerHour = 12;

    explicit ForecastServer(const Scenario &scenario, QObject *parent = nullptr);

    bool start();
    QString baseUrl() const;
    int requestCount() const { return m_requestCount; }
    // Of requestCount(), the ones refused for the rate limit.
    int refusedCount() const { return m_refusedCount; }

    // W the forecast expects at a local time, all planes together: what
    // every column plans with.
    double forecastPower(const QDateTime &time) const;
    // The reply body for a plane of kwp, as served at now.
    QByteArray estimate(double kwp, const QDateTime &now) const;

private:
    void answer(QTcpSocket *socket, const QByteArray &request);
    double noiseFactor(const QDateTime &time) const;

    const Scenario &m_scenario;
    QList<QDateTime> m_calls; // within the last hour of simulated time
    int m_requestCount = 0;
    int m_refusedCount = 0;
    // The noise of each hour (Julian day × 24 + hour), drawn once: the peer
    // asks for every minute of the rest of the day on every cycle.
    mutable QHash<quint64, double> m_noiseByHour;
};

#endif // FORECASTSERVER_H
