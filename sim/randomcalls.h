#ifndef RANDOMCALLS_H
#define RANDOMCALLS_H

#include "scenario.h"

#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <functional>

// A JSON-RPC call the soak's owner makes.
struct RandomCall {
    QString method;
    QVariantMap params;
    bool invalid = false;
    QStringList resultMembers; // members the result must carry
};

// The owner of a "random" section poking at the API: calls drawn from the
// section's generator, valid ones as an owner makes them (modes and targets
// most often) and ones built to be refused. The draws are the soak's
// behaviour: a seed names the same calls from one version to the next.
// Thing ids are placeholders ("$charger:Name") the simulation resolves. The
// scenario and the generator must outlive the object.
class RandomCalls
{
public:
    // What a valid call may draw on besides the scenario.
    struct Household {
        int estimatedCar = -1;      // the first plugged-in car whose level the plugin estimates; -1 none
        double estimatedCarSoc = 0; // %, that car's true level
        bool spotMarketEnabled = false;
        // The first spot-market provider's id; asked only by a call that
        // enables the spot market.
        std::function<QVariant()> firstProviderId;
    };

    RandomCalls(const Scenario &scenario, QRandomGenerator &random);

    RandomCall valid(const Household &household);
    RandomCall invalid();

private:
    int pick(int count) { return static_cast<int>(m_random.bounded(count)); }
    // A new mode, target and deadline for the charger.
    RandomCall configuration(const Scenario::Charger &charger);
    // One of the phase limits the section lists.
    RandomCall phaseLimit();
    RandomCall setting(const QString &method, const QVariantMap &params) const;
    // Getter number which (0…6) with the members its result carries.
    static RandomCall getter(int which);
    // The owner switches an AC charger on or off or sets its current by hand.
    RandomCall handOperation(const Scenario::Charger &charger);
    // The owner enters the level the dashboard shows.
    RandomCall levelEntry(const Household &household) const;
    // Spot market off, or on again with the first provider.
    RandomCall spotMarket(const Household &household) const;
    // Refused configurations: out-of-range values, an unknown charger (which 0…3).
    RandomCall invalidConfiguration(const QString &chargerId, int which);
    // Refused settings (which 4…7).
    RandomCall invalidSetting(int which);
    // An unknown method, charger or action, a provider missing (which 8…11).
    static RandomCall invalidOther(const QString &chargerId, int which);

    const Scenario &m_scenario;
    QRandomGenerator &m_random;
};

#endif // RANDOMCALLS_H
