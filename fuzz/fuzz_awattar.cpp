// A market-data reply body (HTTP status 200) through the aWATTar provider's
// reply handling, the cache it writes, a second provider that restores that
// cache, and the spot market manager's weighting and scheduling of what came
// in. The reply arrives through a canned network access manager.

#include "cannednetworkmanager.h"
#include "fuzzenvironment.h"

#include "spotmarket/spotmarketdataproviderawattar.h"
#include "spotmarket/spotmarketmanager.h"

#include "tavro/tavroclock.h"

#include <QSettings>

#include <cstddef>
#include <cstdint>

namespace {

void weightAndSchedule(const SpotMarketManager &manager, const ScoreEntries &entries)
{
    const QDateTime now = TavroClock::currentDateTime();
    manager.weightScoreEntries(entries);
    manager.weightedScoreEntries(now.date());
    manager.scheduleCharingTimeForToday(now, 150, 15, false);
    manager.scheduleChargingTime(now, manager.weightScoreEntries(entries), 300, 15, true);
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzEnvironment::initialize();
    FuzzEnvironment::reset();

    CannedNetworkManager network;
    network.setReply(200, QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(size)));

    {
        // The manager selects and enables the Austrian provider, which asks
        // for prices at once.
        QSettings settings(FuzzEnvironment::settingsFile(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("SpotMarket/enabled"), true);
    }
    {
        SpotMarketManager manager(&network);
        FuzzEnvironment::processEvents();
        if (manager.currentProvider())
            weightAndSchedule(manager, manager.currentProvider()->scoreEntries());
    }

    // A restart: the prices come back from the cache the reply left, and the
    // download fails this time.
    network.setTransportError(QNetworkReply::ConnectionRefusedError);
    SpotMarketDataProviderAwattar provider(&network, SpotMarketDataProviderAwattar::AwattarCountryAustria);
    provider.enable();
    FuzzEnvironment::processEvents();
    SpotMarketManager manager(&network);
    FuzzEnvironment::processEvents();
    weightAndSchedule(manager, provider.scoreEntries());
    provider.disable();
    return 0;
}
