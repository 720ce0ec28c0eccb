#ifndef SPOTMARKETDATAPROVIDERAWATTAR_H
#define SPOTMARKETDATAPROVIDERAWATTAR_H

#include <QDateTime>
#include <QLocale>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include "spotmarket/spotmarketdataprovider.h"

// Day-ahead prices of the aWATTar market-data service for Austria or Germany.
// While enabled it checks every 60 s, downloads at most once an hour after a
// successful download (failures retry on the next tick) and is available while
// at least 10 slots end in the future. The service may deliver hourly or
// 15-minute slots; both are taken as they come.
//
// The base address of the service can be moved with the environment variables
// "TAVRO_AWATTAR_AT_URL" and "TAVRO_AWATTAR_DE_URL" (e.g. http://127.0.0.1:8080);
// the path "/v1/marketdata" is appended.
class SpotMarketDataProviderAwattar : public SpotMarketDataProvider
{
    Q_OBJECT

public:
    enum AwattarCountry {
        AwattarCountryAustria = 0,
        AwattarCountryGermany = 1
    };
    Q_ENUM(AwattarCountry)

    explicit SpotMarketDataProviderAwattar(QNetworkAccessManager *networkManager, AwattarCountry country,
                                           QObject *parent = nullptr);

    QUuid providerId() const override;
    QLocale::Country country() const;

    // The address requested by refreshData(); empty for a country the
    // service does not cover.
    QUrl marketDataUrl() const;

    // Transfer timeout of a request in ms (default 30000). A service that
    // never answers is given up on before the next refresh tick, so requests
    // do not pile up. 0 disables the timeout.
    int transferTimeout() const;
    void setTransferTimeout(int transferTimeout);

public slots:
    void enable() override;
    void disable() override;
    void refreshData() override;
    // One tick of the refresh timer (every minute while enabled): refreshes
    // when the prices are due or the last attempt failed.
    void onRefreshTimout();

private:
    void processReply(int httpStatus, const QByteArray &payload);

    QTimer m_refreshTimer;
    QDateTime m_lastRefresh;
    QLocale::Country m_country = QLocale::Austria;
    int m_transferTimeout = 30000;
};

#endif // SPOTMARKETDATAPROVIDERAWATTAR_H
