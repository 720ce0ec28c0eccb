#ifndef SPOTMARKETDATAPROVIDER_H
#define SPOTMARKETDATAPROVIDER_H

#include <QDebug>
#include <QObject>
#include <QUuid>

#include "types/scoreentries.h"
#include "spotmarket/spotmarketproviderinfo.h"

class QNetworkAccessManager;

// Abstract source of day-ahead price slots. A provider is enabled and
// disabled by the spot market manager, fetches its slots on its own schedule
// and keeps the last ones in the shared cache file
// "tavro-energy-spotmarket-data.cache" (INI, one array per provider name) so
// that a restart does not lose the prices of the running day.
class SpotMarketDataProvider : public QObject
{
    Q_OBJECT

public:
    // The network access manager is shared and not owned.
    explicit SpotMarketDataProvider(QNetworkAccessManager *networkManager, QObject *parent = nullptr);
    virtual ~SpotMarketDataProvider() = default;

    virtual QUuid providerId() const = 0;

    SpotMarketProviderInfo info() const;

    bool enabled() const;
    // Enabled and holding enough future slots (the subclass decides how many).
    bool available() const;

    // The slots as the source delivered them, weighting 0.
    ScoreEntries scoreEntries() const;

    // Removes the whole cache file, including the data of other providers.
    bool clearCache();

public slots:
    virtual void enable() = 0;
    virtual void disable() = 0;
    virtual void refreshData() = 0;

signals:
    void enabledChanged(bool enabled);
    void availableChanged(bool available);
    void scoreEntriesChanged(const ScoreEntries &scoreEntries);
    // The info changed (e.g. the license line the source states).
    void infoChanged();

protected:
    // Replaces this provider's array in the cache file; other providers'
    // arrays stay untouched. A non-empty license line is kept beside it.
    // Best effort: write failures are not reported.
    void cacheDataEntries(const ScoreEntries &entries, const QString &license = QString());
    // This provider's cached slots in file order, weighting 0. A missing file
    // or array gives an empty list; damaged slots (no valid start or end, a
    // price that is no finite number) are left out with a warning.
    ScoreEntries loadCachedDataEntries();
    // The license line cached with the slots; empty when there is none.
    QString loadCachedLicense();

    // The cached slots that have not ended replace the current ones; announced.
    void restoreCachedEntries();
    // Available: enabled with at least 10 slots ending in the future.
    // Announced only when it changes.
    void evaluateAvailable();
    // Compares, stores, announces.
    void setLicense(const QString &license);

    QNetworkAccessManager *m_networkManager = nullptr;
    SpotMarketProviderInfo m_info;
    bool m_enabled = false;
    bool m_available = false;
    QString m_cacheFile;
    ScoreEntries m_scoreEntries;
};

QDebug operator<<(QDebug debug, const SpotMarketDataProvider *provider);

#endif // SPOTMARKETDATAPROVIDER_H
