#ifndef FORECASTREFRESHHOOK_H
#define FORECASTREFRESHHOOK_H

#include <QObject>

// Implemented by the plugin object for a host that drives the time itself
// (the household simulator): the solar forecast otherwise refreshes on a
// timer of its own, in real time. Reached with
// qobject_cast<ForecastRefreshHook *>(plugin).
class ForecastRefreshHook
{
public:
    virtual ~ForecastRefreshHook() = default;

    // Asks for what is due at the host's current time; the first call turns
    // the forecast's own timer off for good. Returns whether a request is
    // under way: its answer arrives asynchronously, and solarForecastBusy()
    // tells when it is in. Does nothing before init().
    virtual bool tickSolarForecast() = 0;
    virtual bool solarForecastBusy() const = 0;
};

Q_DECLARE_INTERFACE(ForecastRefreshHook, "io.tavro.energy.ForecastRefreshHook")

#endif // FORECASTREFRESHHOOK_H
