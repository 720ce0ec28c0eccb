// A Forecast.Solar reply body through the reply parser, the provider that
// receives it for an east and a west plane (through a canned network access
// manager), the cache it writes and a second provider that restores that
// cache after a restart; then the same bytes as a damaged cache file.
//
// The restart must bring back exactly the forecast the reply gave: a
// difference aborts the run.

#include "cannednetworkmanager.h"
#include "fuzzenvironment.h"

#include "forecast/forecastsolarreply.h"
#include "forecast/solarforecastprovider.h"

#include "tavro/tavroclock.h"
#include "tavro/tavrosettings.h"

#include <QFile>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

SolarForecastConfiguration eastAndWest()
{
    SolarForecastConfiguration configuration;
    configuration.setEnabled(true);
    SolarPlane east(48.2, 16.37, 30, -90, 4.5);
    SolarPlane west(48.2, 16.37, 30, 90, 4.5);
    west.setHorizon({0, 10, 20, 10});
    configuration.setPlanes({east, west});
    return configuration;
}

void askFor(const SolarForecastSlots &forecast)
{
    const QDateTime now = TavroClock::currentDateTime();
    forecast.energyBetween(now, now.addDays(1));
    forecast.energyBetween(forecast.firstStart(), forecast.lastEnd());
    forecast.powerAt(now.addSecs(3600));
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzEnvironment::initialize();
    FuzzEnvironment::reset();
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<int>(size));

    const ForecastSolarReply reply = ForecastSolarReply::parse(body, 4.5);
    askFor(SolarForecastSlots::onGrid({reply.periods()}));

    CannedNetworkManager network;
    network.setReply(200, body);
    SolarForecastSlots fetched;
    {
        SolarForecastProvider provider(&network);
        provider.setSelfTimed(false);
        provider.setConfiguration(eastAndWest());
        FuzzEnvironment::processEvents();
        fetched = provider.forecast();
        askFor(fetched);
    }

    // A restart within the hour: the forecast comes back from the cache and
    // no request is made.
    network.setTransportError(QNetworkReply::ConnectionRefusedError);
    TavroClock::setCurrentDateTime(FuzzEnvironment::start().addSecs(600));
    {
        const int requests = network.requestCount();
        SolarForecastProvider provider(&network);
        provider.setSelfTimed(false);
        provider.setConfiguration(eastAndWest());
        FuzzEnvironment::processEvents();
        if (provider.forecast() != fetched || (!fetched.isEmpty() && network.requestCount() != requests)) {
            std::fprintf(stderr, "The cache did not restore the forecast: %d slots before, %d after\n", fetched.count(),
                         provider.forecast().count());
            std::abort();
        }
    }

    // The same bytes as the cache file.
    {
        QFile cache(TavroSettings::cachePath() + QStringLiteral("/tavro-energy-solarforecast.cache"));
        if (cache.open(QIODevice::WriteOnly | QIODevice::Truncate))
            cache.write(body);
    }
    SolarForecastProvider provider(&network);
    provider.setSelfTimed(false);
    provider.setConfiguration(eastAndWest());
    FuzzEnvironment::processEvents();
    askFor(provider.forecast());
    return 0;
}
