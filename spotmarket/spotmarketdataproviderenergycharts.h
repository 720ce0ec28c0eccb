#ifndef SPOTMARKETDATAPROVIDERENERGYCHARTS_H
#define SPOTMARKETDATAPROVIDERENERGYCHARTS_H

#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include "spotmarket/spotmarketdataprovider.h"

// Day-ahead prices of one bidding zone from the public Energy-Charts service
// (EUR/MWh, hourly or 15-minute slots, both may come in one reply). One
// instance per zone; its cache array is named after the zone.
//
// While enabled it checks every 60 s and downloads at most once an hour after
// a successful download; it is available while at least 10 slots end in the
// future. It asks for the local days from yesterday to the day after
// tomorrow (dates only): the service cuts its days in its own zone, so a
// local day needs the neighbouring ones.
//
// What a failed download does (the slots and the cache stay in every case):
// - HTTP 404, no prices for the whole range yet: not a fault (info only); the
//   next try in 15 minutes;
// - HTTP 429, the service's rate limit: the next try after its "Retry-After"
//   (60 s to 1 h), else after the current back-off;
// - anything else (transport error, other status, a refused reply, see
//   EnergyChartsReply): a warning; the next try after a back-off that starts
//   at 60 s and doubles up to 30 minutes. A success resets it.
// A reply whose slots all ended already does not replace slots to come.
//
// The base address can be moved with "TAVRO_ENERGY_CHARTS_URL" (e.g.
// http://127.0.0.1:8080); the path "/price" is appended.
class SpotMarketDataProviderEnergyCharts : public SpotMarketDataProvider
{
    Q_OBJECT

public:
    // The bidding zones of the service, in the order the manager lists them.
    static QStringList zones();

    // An unknown zone gives a provider with a null id that asks for nothing.
    explicit SpotMarketDataProviderEnergyCharts(QNetworkAccessManager *networkManager, const QString &zone,
                                                QObject *parent = nullptr);

    QUuid providerId() const override;
    QString zone() const;

    // The address refreshData() asks for the given local day.
    QUrl priceUrl(const QDate &today) const;

    // Transfer timeout of a request in ms (default 30000); 0 disables it.
    int transferTimeout() const;
    void setTransferTimeout(int transferTimeout);

    // Not before this time does a tick ask again after a failure; null when
    // the last attempt succeeded.
    QDateTime nextAttempt() const;

public slots:
    void enable() override;
    void disable() override;
    void refreshData() override;
    // One tick of the refresh timer (every minute while enabled).
    void onRefreshTimout();

private:
    void processReply(int httpStatus, const QByteArray &retryAfter, const QByteArray &payload, const QDate &today);
    // A failed attempt: the next one waits delaySecs (the back-off when < 0).
    void failed(qint64 delaySecs = -1);

    QTimer m_refreshTimer;
    QDateTime m_lastRefresh;
    QDateTime m_nextAttempt;
    qint64 m_backoffSecs = 60;
    QUuid m_providerId;
    int m_transferTimeout = 30000;
};

#endif // SPOTMARKETDATAPROVIDERENERGYCHARTS_H
