// An Energy-Charts "/price" reply body (HTTP status 200) through the provider
// of one bidding zone, selected and enabled by the spot market manager, after
// a good reply of two days: the reply check, the cache it writes, the
// weighting and scheduling of what came in. Whatever the body, slots to come
// must remain, and a body that changed nothing must leave the cache as it
// was. Then a 404 (nothing published) must keep every slot, and a restart
// must find the same slots in the cache. Slots that break what the parser
// promises (time order, slot lengths, finite prices, weightings within 0…1)
// abort.

#include "cannednetworkmanager.h"
#include "fuzzenvironment.h"

#include "spotmarket/spotmarketdataproviderenergycharts.h"
#include "spotmarket/spotmarketmanager.h"

#include "tavro/tavroclock.h"

#include <QFile>
#include <QSettings>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// The Dutch zone's id as stored in the settings.
const char netherlandsId[] = "{a02f657e-e243-4ce6-9561-e6614b57dd7a}";

void fail(const char *what)
{
    std::fprintf(stderr, "energycharts: %s\n", what);
    std::abort();
}

// Quarter hours of today and tomorrow (Central European days), as the
// service sends them.
QByteArray goodReply()
{
    const qint64 midnight = QDateTime(FuzzEnvironment::start().date(), QTime(0, 0), Qt::UTC).toSecsSinceEpoch() - 3600;
    QByteArray seconds;
    QByteArray prices;
    for (int i = 0; i < 192; i++) {
        seconds += (i ? "," : "") + QByteArray::number(midnight + 900 * i);
        prices += (i ? "," : "") + QByteArray::number(60 + (i * 37) % 23);
    }
    return "{\"license_info\":\"CC BY 4.0\",\"unix_seconds\":[" + seconds + "],\"price\":[" + prices
           + "],\"unit\":\"EUR / MWh\",\"deprecated\":false}";
}

QByteArray fileContent(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void checkSlots(const ScoreEntries &entries)
{
    for (int i = 0; i < entries.count(); i++) {
        const ScoreEntry &entry = entries.at(i);
        const qint64 length = entry.startDateTime().secsTo(entry.endDateTime());
        if (length != 900 && length != 1800 && length != 3600)
            fail("a slot of no slot length");
        if (!std::isfinite(entry.value()) || std::abs(entry.value()) > 1e6)
            fail("an unusable price was taken");
        if (i > 0 && entries.at(i - 1).endDateTime() > entry.startDateTime())
            fail("slots out of order or overlapping");
    }
}

void checkWeightings(const ScoreEntries &weighted)
{
    for (const ScoreEntry &entry : weighted) {
        if (!(entry.weighting() >= 0.0f && entry.weighting() <= 1.0f))
            fail("a weighting outside 0...1");
    }
}

void weightAndSchedule(const SpotMarketManager &manager, const ScoreEntries &entries)
{
    const QDateTime now = TavroClock::currentDateTime();
    checkWeightings(manager.weightScoreEntries(entries));
    checkWeightings(manager.weightedScoreEntries(now.date()));
    manager.scheduleCharingTimeForToday(now, 150, 15, false);
    manager.scheduleChargingTime(now, manager.weightScoreEntries(entries), 300, 15, true);
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzEnvironment::initialize();
    FuzzEnvironment::reset();

    CannedNetworkManager network;
    network.setReply(200, goodReply());
    {
        QSettings settings(FuzzEnvironment::settingsFile(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("SpotMarket/enabled"), true);
        settings.setValue(QStringLiteral("SpotMarket/providerId"), QString::fromLatin1(netherlandsId));
    }

    ScoreEntries taken;
    {
        SpotMarketManager manager(&network);
        FuzzEnvironment::processEvents();
        SpotMarketDataProvider *provider = manager.currentProvider();
        if (!provider || provider->providerId() != QUuid(netherlandsId) || !provider->available())
            fail("the stored zone was not selected or got no prices");
        const ScoreEntries good = provider->scoreEntries();
        const QByteArray goodCache = fileContent(FuzzEnvironment::cacheFile());

        network.setReply(200, QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(size)));
        provider->refreshData();
        FuzzEnvironment::processEvents();
        taken = provider->scoreEntries();
        if (taken.availableFutureSchedules(TavroClock::currentDateTime()) == 0)
            fail("the slots to come are gone");
        if (taken == good && fileContent(FuzzEnvironment::cacheFile()) != goodCache)
            fail("a refused reply changed the cache");
        checkSlots(taken);
        weightAndSchedule(manager, taken);

        // Nothing published: not one slot may go.
        network.setReply(404, QByteArrayLiteral("{\"detail\":\"Not Found\"}"));
        provider->refreshData();
        FuzzEnvironment::processEvents();
        if (provider->scoreEntries() != taken)
            fail("a 404 changed the slots");
    }

    // A restart while the service is unreachable: the slots come back from
    // the cache, less those that ended.
    network.setTransportError(QNetworkReply::ConnectionRefusedError);
    SpotMarketDataProviderEnergyCharts provider(&network, QStringLiteral("NL"));
    provider.enable();
    FuzzEnvironment::processEvents();
    int restored = 0;
    for (const ScoreEntry &entry : taken)
        restored += entry.endDateTime() >= TavroClock::currentDateTime() ? 1 : 0;
    if (provider.scoreEntries().count() != restored)
        fail("the cache did not give back the slots");
    checkSlots(provider.scoreEntries());
    provider.disable();
    return 0;
}
