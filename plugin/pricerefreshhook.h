#ifndef PRICEREFRESHHOOK_H
#define PRICEREFRESHHOOK_H

#include <QObject>

// Implemented by the plugin object for a host that drives the time itself
// (the household simulator): the price providers otherwise poll on timers
// of their own. Reached with qobject_cast<PriceRefreshHook *>(plugin).
class PriceRefreshHook
{
public:
    virtual ~PriceRefreshHook() = default;

    // Asks the enabled price provider to fetch its prices now; the answers arrive
    // asynchronously. Does nothing before init().
    virtual void refreshPrices() = 0;
};

Q_DECLARE_INTERFACE(PriceRefreshHook, "io.tavro.energy.PriceRefreshHook")

#endif // PRICEREFRESHHOOK_H
