#ifndef SPOTMARKETMANAGER_H
#define SPOTMARKETMANAGER_H

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QUuid>

#include "types/scoreentries.h"
#include "types/timeframe.h"
#include "spotmarket/spotmarketproviderinfos.h"

class QNetworkAccessManager;
class SpotMarketDataProvider;

// The one entry point to day-ahead prices: owns the providers, remembers the
// selected provider and whether spot market use is on (settings group
// "SpotMarket" of "energy.conf"), weights the current provider's slots per
// calendar day (0.0 most expensive ... 1.0 cheapest) and picks the cheapest
// charging time frames. Works with hourly and 15-minute slots alike.
class SpotMarketManager : public QObject
{
    Q_OBJECT

public:
    // Registers the Austrian and the German aWATTar provider and one
    // Energy-Charts provider per bidding zone (children of the manager), and
    // restores the stored selection. The network access manager is not owned.
    explicit SpotMarketManager(QNetworkAccessManager *networkManager, QObject *parent = nullptr);

    bool enabled() const;
    // The current provider's availability; false without a provider.
    bool available() const;

    // May be null.
    SpotMarketDataProvider *currentProvider() const;
    // Null without a current provider.
    QUuid currentProviderId() const;

    // Infos of all registered providers, in registration order, as they are
    // now (a provider's license line may change with its replies).
    SpotMarketProviderInfos availableProviders() const;

    // Takes ownership. False for null or an id already registered.
    bool registerProvider(SpotMarketDataProvider *provider);
    // Asks every enabled provider (the current one, if any) to fetch its
    // prices now instead of on its own timer: for a host that drives the time
    // itself. Disabled providers are not asked: seventeen requests for one
    // provider's prices would only load the service and the cache.
    void refreshAllProviders();
    // Disables the old provider, clears the weighted days and stores the new
    // id. Does not enable the new provider. False (nothing changed) for an
    // unknown or null id.
    bool changeProvider(const QUuid &providerId);

    // Enabling (re)selects the stored provider, or the first registered one
    // when none is stored, and enables it. Disabling keeps the provider
    // selected. The flag is persisted and announced only when it changes.
    void setEnabled(bool enabled);

    // Weights the given slots among themselves: (value - max) / (min - max),
    // i.e. 1.0 for the cheapest, 0.0 for the most expensive; all 1.0 when all
    // prices are equal. The result is sorted by start.
    ScoreEntries weightScoreEntries(const ScoreEntries &entries) const;

    // The current provider's slots of that calendar day weighted within the
    // day, sorted by start; empty when the day has no data. A null date
    // weights the provider's whole list at once.
    ScoreEntries weightedScoreEntries(const QDate &date) const;

    // Picks the best weighted slots for the given minutes and returns the
    // fused frames sorted by start. Slots that ended are ignored; the running
    // slot counts from currentDateTime. minimumScheduleDuration (minutes,
    // below 2 = off) folds a shorter frame into another one; with charging
    // true a frame starting within the next 10 minutes is pulled to
    // currentDateTime so charging does not pause briefly. A valid deadline
    // cuts the slot running at it there (the minutes before it still count)
    // and drops later slots; no frame, folded or not, ends after it or after
    // the last slot.
    QList<TimeFrame> scheduleChargingTime(const QDateTime &currentDateTime, ScoreEntries scoreEntries, uint minutes,
                                          uint minimumScheduleDuration, bool charging,
                                          const QDateTime &deadline = QDateTime()) const;
    // The same with the weighted slots of the calendar day of currentDateTime.
    QList<TimeFrame> scheduleCharingTimeForToday(const QDateTime &currentDateTime, uint minutes,
                                                 uint minimumScheduleDuration, bool charging) const;

    // Joins touching frames. Frames of at least slotMinutes are whole; a
    // shorter (partial) frame may be moved later within its slot, to the next
    // multiple of slotMinutes within the hour, to touch a neighbour. Each frame
    // is joined with one neighbour only, so touching results can remain.
    // Returned sorted by start (fewer than 2 frames come back unchanged).
    QList<TimeFrame> fuseTimeFrames(const QList<TimeFrame> &frames, uint slotMinutes = 60) const;
    // Pairs partial frames with each other (see fuseTimeFrames), in input order.
    QList<TimeFrame> fusePartialTimeFrames(const QList<TimeFrame> &frames, uint slotMinutes = 60) const;

signals:
    void currentProviderChanged(SpotMarketDataProvider *provider);
    void availableChanged(bool available);
    void enabledChanged(bool enabled);
    void availableProvidersChanged();
    void scoreEntriesUpdated();

private slots:
    void onProviderScoreEntriesChanged(const ScoreEntries &scoreEntries);

private:
    QNetworkAccessManager *m_networkManager = nullptr;
    SpotMarketDataProvider *m_currentProvider = nullptr;
    SpotMarketProviderInfos m_availableProviders;
    QHash<QUuid, SpotMarketDataProvider *> m_providers;
    bool m_enabled = false;
    QHash<QDate, ScoreEntries> m_weightedScoreEntries;
};

#endif // SPOTMARKETMANAGER_H
