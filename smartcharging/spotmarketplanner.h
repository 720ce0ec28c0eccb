#ifndef SPOTMARKETPLANNER_H
#define SPOTMARKETPLANNER_H

#include "smartcharging/chargingprocessinfo.h"
#include "types/chargingconfiguration.h"
#include "types/chargingschedule.h"
#include "types/scoreentries.h"

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QList>

class EvChargerAc;
class ProcessPreparation;
class SurplusPlanner;
struct ChargingContext;

using EvChargerAcs = QList<EvChargerAc *>;

// Plans the AC chargers that charge on prices: the cheapest slots before a
// target time, or a daily share of the battery from the cheapest hours, and
// hands the slot running now to the charger's actions. Collaborators are not
// owned.
class SpotMarketPlanner
{
public:
    SpotMarketPlanner(ChargingContext &context, ProcessPreparation &preparation, const SurplusPlanner &surplus)
        : m_context(context),
          m_preparation(preparation),
          m_surplus(surplus)
    {
    }

    void planSpotMarketCharging(const QDateTime &currentDateTime);

    // The local day the chargers' daily shares count for: it moves on with
    // the local date and never back, so a clock stepped back across
    // midnight does not start the day twice. Invalid before the first plan.
    QDate day() const { return m_day; }
    // kWh each charger got today towards its daily share, as the next
    // restart needs it (also what was restored and not yet taken up).
    QHash<ThingId, double> dailyEnergy() const;
    // What an earlier run counted for day: taken up by each charger's next
    // plan, dropped when the day is over.
    void restoreDailyEnergy(const QDate &day, const QHash<ThingId, double> &energy);

private:
    // A new local day starts the chargers' energy counters afresh; what an
    // earlier run counted today is added once.
    void rollDailyEnergy(const QDateTime &currentDateTime);
    struct SpotMarketRound;
    // Removes every spot-market schedule while the prices are unavailable.
    void dropSpotMarketSchedules();
    // The chargers that plan on prices (a target time or a daily share);
    // clears the planning state of the others.
    EvChargerAcs selectSpotMarketChargers(const QHash<ThingId, EvChargerAc *> &adapters, SpotMarketRound &round);
    // Stores a newly planned list when it differs from the charger's current
    // spot-market schedules; schedules of other issuers stay.
    void storeSpotMarketSchedules(EvChargerAc *charger, const ChargingSchedules &planned, SpotMarketRound &round);
    void planSpotMarketCharger(EvChargerAc *charger, SpotMarketRound &round, const QDateTime &currentDateTime);
    // The cheapest slots before the target for the planned charging time.
    ChargingSchedules planSpotMarketUntilTarget(EvChargerAc *charger, ChargingProcessInfo &info,
                                                const QDateTime &target, bool charging, const SpotMarketRound &round,
                                                const QDateTime &currentDateTime);
    // The cheapest frames for *minutes at full power, grown by the sun the
    // plan counted on that falls into them (*minutes then the grown count).
    QList<TimeFrame> scheduleGridMinutes(const ChargingProcessInfo &info, const ScoreEntries &weighted, uint *minutes,
                                         bool charging, const QDateTime &target, const SpotMarketRound &round,
                                         const QDateTime &currentDateTime) const;
    // Prices do not reach the target yet, but the day before covers what
    // is missing: plans the whole charging time as if the missing slots
    // cost what the same slots cost a day earlier and keeps the slots
    // planned among the known ones (the rest waits for its prices). False,
    // planning nothing, when the day before does not cover the gap.
    bool planKnownSlotsTowardsTarget(EvChargerAc *charger, ChargingProcessInfo &info, const QDateTime &target,
                                     bool charging, SpotMarketRound &round, const QDateTime &currentDateTime);
    // Prices do not reach the target yet: plans a share of the energy for today.
    void shareSpotMarketEnergyTowardsTarget(ChargingProcessInfo &info, const ChargingConfiguration &configuration,
                                            const QDateTime &target, const SpotMarketRound &round,
                                            const QDateTime &currentDateTime);
    void planSpotMarketDailyShare(EvChargerAc *charger, ChargingProcessInfo &info, bool charging,
                                  SpotMarketRound &round, const QDateTime &currentDateTime);
    // Minutes of charging at the charger's full power the expected sun
    // gives it before until (its part when several cars can take power);
    // 0 without a forecast.
    uint sunMinutes(const ChargingProcessInfo &info, const QDateTime &currentDateTime, const QDateTime &until) const;
    // Hands the slot running now to the charger's actions, or says it waits for one.
    void applyRunningSpotMarketSchedule(EvChargerAc *charger, const QDateTime &currentDateTime);

    ChargingContext &m_context;
    ProcessPreparation &m_preparation;
    const SurplusPlanner &m_surplus;

    QDate m_day;
    QHash<ThingId, double> m_restoredEnergy; // kWh by charger, not taken up yet
};

#endif // SPOTMARKETPLANNER_H
