#include "spotmarketdataprovider.h"

#include "config/settingsfilecheck.h"
#include "common/tavroenergylogging.h"
#include "tavro/tavroclock.h"
#include "tavro/tavrosettings.h"

#include <QFile>
#include <QMetaEnum>
#include <QSaveFile>
#include <QSettings>

#include <cmath>

namespace {

// Two weeks of quarter-hour slots; a larger count in the file is damage.
const int maximumCachedEntries = 14 * 24 * 4;

// Values Qt cannot decode safely are dropped before QSettings sees the file
// (other providers' slots stay). False when the damaged file could neither
// be repaired nor removed: then it must not be opened at all.
bool repairCacheFile(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return true;
    const SettingsFileCheck check(file.readAll());
    file.close();
    if (!check.damaged())
        return true;

    qCWarning(dcTavroEnergy()) << "The spot market cache" << fileName
                               << "holds damaged values, dropping them:" << check.damagedKeys();
    QSaveFile repaired(fileName);
    if (repaired.open(QIODevice::WriteOnly) && repaired.write(check.repairedContent()) == check.repairedContent().size()
        && repaired.commit())
        return true;
    if (QFile::remove(fileName))
        return true;
    qCWarning(dcTavroEnergy()) << "Cannot repair or remove the spot market cache" << fileName << "- not using it.";
    return false;
}

}

SpotMarketDataProvider::SpotMarketDataProvider(QNetworkAccessManager *networkManager, QObject *parent)
    : QObject(parent),
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
    // The instants are taken once, here, for every plan that copies the
    // entries (the copies keep them): a plan needs them many times a cycle.
    for (const ScoreEntry &entry : m_scoreEntries) {
        entry.startMSecsSinceEpoch();
        entry.endMSecsSinceEpoch();
    }
    return m_scoreEntries;
}

bool SpotMarketDataProvider::clearCache()
{
    return QFile::remove(m_cacheFile);
}

void SpotMarketDataProvider::cacheDataEntries(const ScoreEntries &entries, const QString &license)
{
    // Writing decodes the other providers' arrays too.
    if (!repairCacheFile(m_cacheFile))
        return;
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
    if (!license.isEmpty())
        cache.setValue(m_info.name + "/license", license);
}

QString SpotMarketDataProvider::loadCachedLicense()
{
    if (!repairCacheFile(m_cacheFile))
        return QString();
    QSettings cache(m_cacheFile, QSettings::IniFormat);
    const QVariant license = cache.value(m_info.name + "/license");
    // Only a text of one line is a license line.
    return license.type() == QVariant::String ? license.toString().simplified().left(300) : QString();
}

void SpotMarketDataProvider::restoreCachedEntries()
{
    // Slots that already ended are of no use any more.
    const QDateTime now = TavroClock::currentDateTime();
    ScoreEntries entries;
    const ScoreEntries cachedEntries = loadCachedDataEntries();
    for (const ScoreEntry &entry : cachedEntries) {
        if (entry.endDateTime() >= now)
            entries.append(entry);
    }

    m_scoreEntries = entries;
    qCDebug(dcTavroEnergy()) << this << "having" << m_scoreEntries.count() << "scores available from cache.";
    emit scoreEntriesChanged(m_scoreEntries);
}

void SpotMarketDataProvider::evaluateAvailable()
{
    const int futureSchedules = m_scoreEntries.availableFutureSchedules(TavroClock::currentDateTime());
    const bool available = futureSchedules > 9 && m_enabled;
    if (available == m_available)
        return;

    if (available) {
        qCDebug(dcTavroEnergy()) << this << "is now available and has" << futureSchedules
                                 << "schedules into the future until"
                                 << m_scoreEntries.last().endDateTime().toString("dd.MM.yyyy hh:mm");
    } else {
        qCDebug(dcTavroEnergy()) << this << "is not available any more.";
    }

    m_available = available;
    emit availableChanged(m_available);
}

void SpotMarketDataProvider::setLicense(const QString &license)
{
    if (m_info.license == license)
        return;
    m_info.license = license;
    emit infoChanged();
}

ScoreEntries SpotMarketDataProvider::loadCachedDataEntries()
{
    ScoreEntries entries;
    if (!repairCacheFile(m_cacheFile))
        return entries;
    QSettings cache(m_cacheFile, QSettings::IniFormat);
    qCDebug(dcTavroEnergy()) << this << "loading data from cache" << m_cacheFile;
    // QSettings parses the sections of a file lazily, per group asked for; a
    // damaged section header can hide a provider's array from that look-up
    // until the next write parses the whole file. Parsing everything now
    // gives the same slots before and after another provider's write.
    cache.allKeys();
    // The stored size is only a claim: at most the elements really present.
    const int size = qMax(0, cache.beginReadArray(m_info.name));
    const int count = qMin(qMin(size, maximumCachedEntries), cache.childGroups().count());
    int skipped = 0;
    for (int i = 0; i < count; i++) {
        cache.setArrayIndex(i);
        bool valueOk = false;
        ScoreEntry entry;
        entry.setStartDateTime(cache.value("startDateTime").toDateTime());
        entry.setEndDateTime(cache.value("endDateTime").toDateTime());
        entry.setValue(cache.value("value").toDouble(&valueOk));
        if (!entry.startDateTime().isValid() || !entry.endDateTime().isValid() || !valueOk
            || !std::isfinite(entry.value())) {
            skipped++;
            continue;
        }
        entries.append(entry);
    }
    cache.endArray();
    if (skipped > 0 || count < size)
        qCWarning(dcTavroEnergy()) << this << "Skipped" << skipped + (size - count) << "damaged slots in the cache.";
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
    debug.nospace().noquote() << "SpotMarktDataProvider(" << info.name << ", " << countryEnum.valueToKey(info.country)
                              << ")";
    return debug;
}
