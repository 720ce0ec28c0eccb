// The spot-market cache file "tavro-energy-spotmarket-data.cache" as a
// restart finds it: both aWATTar providers restore their slots from it while
// the service is unreachable, and the spot market manager weights and
// schedules them. Then a successful download replaces this provider's array,
// which must leave the rest of the file readable.

#include "cannednetworkmanager.h"
#include "fuzzenvironment.h"
#include "fuzzhousehold.h"

#include "spotmarket/spotmarketdataproviderawattar.h"
#include "spotmarket/spotmarketmanager.h"

#include "tavro/tavroclock.h"

#include <QSettings>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Slot by slot; a price that did not parse as a number may be NaN, which
// equals itself here.
bool sameSlots(const ScoreEntries &first, const ScoreEntries &second)
{
    if (first.count() != second.count())
        return false;
    for (int i = 0; i < first.count(); i++) {
        const ScoreEntry &a = first.at(i);
        const ScoreEntry &b = second.at(i);
        const bool sameValue = a.value() == b.value() || (std::isnan(a.value()) && std::isnan(b.value()));
        if (a.startDateTime() != b.startDateTime() || a.endDateTime() != b.endDateTime() || !sameValue)
            return false;
    }
    return true;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzEnvironment::initialize();
    FuzzEnvironment::reset();
    FuzzEnvironment::writeFile(FuzzEnvironment::cacheFile(),
                               QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(size)));

    CannedNetworkManager network;
    network.setTransportError(QNetworkReply::ConnectionRefusedError);
    {
        QSettings settings(FuzzEnvironment::settingsFile(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("SpotMarket/enabled"), true);
    }

    const QDateTime now = TavroClock::currentDateTime();
    {
        SpotMarketManager manager(&network);
        FuzzEnvironment::processEvents();
        if (SpotMarketDataProvider *provider = manager.currentProvider()) {
            const ScoreEntries weighted = manager.weightScoreEntries(provider->scoreEntries());
            manager.weightedScoreEntries(now.date());
            manager.weightedScoreEntries(QDate());
            manager.scheduleCharingTimeForToday(now, 150, 15, false);
            manager.scheduleChargingTime(now, weighted, 300, 15, true);
        }
    }

    SpotMarketDataProviderAwattar germany(&network, SpotMarketDataProviderAwattar::AwattarCountryGermany);
    germany.enable();
    FuzzEnvironment::processEvents();
    germany.disable();
    const ScoreEntries germanSlots = germany.scoreEntries();

    network.setReply(200, FuzzHousehold::priceReply(now, 24));
    SpotMarketDataProviderAwattar austria(&network, SpotMarketDataProviderAwattar::AwattarCountryAustria);
    austria.enable();
    FuzzEnvironment::processEvents();
    austria.disable();
    // The download replaced the Austrian array only.
    network.setTransportError(QNetworkReply::ConnectionRefusedError);
    germany.enable();
    FuzzEnvironment::processEvents();
    if (!sameSlots(germany.scoreEntries(), germanSlots)) {
        std::fprintf(stderr, "Writing one provider's cache changed another provider's slots: %d -> %d\n",
                     germanSlots.count(), germany.scoreEntries().count());
        std::abort();
    }
    return 0;
}
