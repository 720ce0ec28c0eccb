#include "spotmarketdataprovider.h"

#include "plugin/tavroenergylogging.h"
#include "tavro/tavrosettings.h"

#include <QFile>
#include <QMetaEnum>
#include <QSettings>

SpotMarketDataProvider::SpotMarketDataProvider(QNetworkAccessManager *networkManager, QObject *parent) :
    QObject(parent),
    m_networkManager(networkManager),
    m_cacheFile(TavroSettings::cachePath() + "/tavro-energy-spotmarket-data.cache")
{
    qRegisterMetaType<ScoreEntries>();
}

SpotMarketProviderInfo SpotMarketDataProvider::info() const
{
    return m_info;
}

bool SpotMarketDataProvider::enabled() const
{
    return m_enabled;
}

bool SpotMarketDataProvider::available() const
{
    return m_available;
}

ScoreEntries SpotMarketDataProvider::scoreEntries() const
{
    return m_scoreEntries;
}

bool SpotMarketDataProvider::clearCache()
{
    return QFile::remove(m_cacheFile);
}

void SpotMarketDataProvider::cacheDataEntries(const ScoreEntries &entries)
{
    QSettings cache(m_cacheFile, QSettings::IniFormat);
    qCDebug(dcTavroEnergy()) << this << "update cache" << m_cacheFile;
    // Drop the old array first so a shorter list leaves no stale elements behind.
    cache.remove(m_info.name);
    cache.beginWriteArray(m_info.name, entries.count());
    for (int i = 0; i < entries.count(); i++) {
        const ScoreEntry &entry = entries.at(i);
        cache.setArrayIndex(i);
        cache.setValue("startDateTime", entry.startDateTime());
        cache.setValue("endDateTime", entry.endDateTime());
        cache.setValue("value", entry.value());
    }
    cache.endArray();
}

ScoreEntries SpotMarketDataProvider::loadCachedDataEntries()
{
    ScoreEntries entries;
    QSettings cache(m_cacheFile, QSettings::IniFormat);
    qCDebug(dcTavroEnergy()) << this << "loading data from cache" << m_cacheFile;
    const int size = cache.beginReadArray(m_info.name);
    for (int i = 0; i < size; i++) {
        cache.setArrayIndex(i);
        ScoreEntry entry;
        entry.setStartDateTime(cache.value("startDateTime").toDateTime());
        entry.setEndDateTime(cache.value("endDateTime").toDateTime());
        entry.setValue(cache.value("value").toDouble());
        entries.append(entry);
    }
    cache.endArray();
    return entries;
}

QDebug operator<<(QDebug debug, const SpotMarketDataProvider *provider)
{
    QDebugStateSaver saver(debug);
    if (!provider) {
        debug.nospace() << "SpotMarktDataProvider(null)";
        return debug;
    }

    const SpotMarketProviderInfo info = provider->info();
    const QMetaEnum countryEnum = QMetaEnum::fromType<QLocale::Country>();
    debug.nospace().noquote() << "SpotMarktDataProvider(" << info.name << ", "
                              << countryEnum.valueToKey(info.country) << ")";
    return debug;
}
