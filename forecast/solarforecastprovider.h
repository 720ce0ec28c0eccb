#ifndef SOLARFORECASTPROVIDER_H
#define SOLARFORECASTPROVIDER_H

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include "types/solarforecastconfiguration.h"
#include "types/solarforecastslots.h"

class ForecastSolarReply;
class QNetworkAccessManager;
class QNetworkReply;

// Fetches the Forecast.Solar estimate of every configured plane and adds the
// planes up on a 15-minute grid. One request at a time, never waiting for
// it: the answer arrives in the event loop.
//
// Refresh: a plane is asked again an hour after its last good answer. The
// public plan allows 12 calls an hour per address; on HTTP 429 nothing is
// asked before the "Retry-After" header, or the reply's rate-limit period,
// or an hour has passed; a good answer saying that no call remains waits its
// period. Any other failure (no answer, an HTTP error, a refused reply,
// see ForecastSolarReply) keeps the last good forecast of that plane and is
// retried after 5 minutes, then 10, 20, 40 and 60 at most.
//
// Each plane's last good forecast is kept in the cache file
// "tavro-energy-solarforecast.cache" (JSON, replaced atomically), so that a
// restart neither loses it nor spends a call before it is an hour old.
//
// The base address of the service, "https://api.forecast.solar", can be moved
// with the environment variable "TAVRO_FORECAST_SOLAR_URL" (e.g.
// http://127.0.0.1:8080); "[/KEY]/estimate/LAT/LON/DEC/AZ/KWP[?horizon=…]" is
// appended.
class SolarForecastProvider : public QObject
{
    Q_OBJECT

public:
    // Seconds after a plane's good answer before it is asked again.
    static constexpr int refreshInterval = 3600;
    // Seconds after which a forecast no longer counts.
    static constexpr int staleAfter = 24 * 3600;

    // The network access manager is shared and not owned.
    explicit SolarForecastProvider(QNetworkAccessManager *networkManager, QObject *parent = nullptr);

    // Planes, key and whether to fetch. Enabling starts the refresh at once;
    // disabling stops it and drops a request under way. Forecasts of planes
    // that stay are kept (from memory or the cache); a changed plane starts
    // without one. A changed set of planes or key ends a back-off after
    // failures (not a rate-limit wait, unless the key changed).
    void setConfiguration(const SolarForecastConfiguration &configuration);
    bool enabled() const { return m_configuration.enabled(); }

    // Enabled, every plane answered within staleAfter, and a slot of the
    // forecast ends after now.
    bool available() const { return m_available; }
    // The planes added up; empty until every plane has a forecast.
    SolarForecastSlots forecast() const { return m_forecast; }
    // The oldest good answer among the planes; invalid until every plane has one.
    QDateTime updated() const;
    // A request is under way.
    bool busy() const { return !m_reply.isNull(); }
    // Nothing is asked before this time (back-off or rate limit); invalid: no wait.
    QDateTime notBefore() const { return m_notBefore; }

    // The address asked for the plane. Logs show it without the key.
    QUrl estimateUrl(const SolarPlane &plane, bool withKey = true) const;

    // ms a request may take (default 30000): a service that never answers
    // is given up on before the next try. 0 disables the timeout.
    int transferTimeout() const { return m_transferTimeout; }
    void setTransferTimeout(int transferTimeout);

    // Ticks every 60 s on a timer of its own while enabled (default); a
    // host that drives the time itself turns that off and calls tick().
    bool selfTimed() const { return m_selfTimed; }
    void setSelfTimed(bool selfTimed);

public slots:
    // Asks for the next plane that is due, unless a request is under way or
    // a back-off or rate-limit wait runs; re-evaluates the availability.
    void tick();

signals:
    void forecastChanged(const SolarForecastSlots &forecast);
    void availableChanged(bool available);

private:
    struct PlaneForecast {
        SolarPlane plane;
        QString key; // the request path without the API key
        SolarForecastSlots periods;
        QDateTime fetched; // of the last good answer
    };

    static QString planeKey(const SolarPlane &plane);
    void request(int index);
    void onReplyFinished(QNetworkReply *reply, const QString &key);
    void accept(int index, const ForecastSolarReply &reply);
    void fail(int index, const QString &reason);
    void waitForRateLimit(int seconds, const QString &reason);
    void combine();
    void evaluateAvailable();
    void writeCache() const;
    void restoreFromCache();
    QString cacheFileName() const;

    QNetworkAccessManager *m_networkManager = nullptr;
    SolarForecastConfiguration m_configuration;
    QVector<PlaneForecast> m_planes;
    SolarForecastSlots m_forecast;
    bool m_available = false;
    QPointer<QNetworkReply> m_reply;
    QDateTime m_notBefore;
    bool m_rateLimited = false; // the wait is the service's, not a back-off
    int m_failures = 0;         // in a row, for the back-off
    int m_transferTimeout = 30000;
    bool m_selfTimed = true;
    QTimer m_timer;
};

#endif // SOLARFORECASTPROVIDER_H
