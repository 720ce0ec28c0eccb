#ifndef PROCESSPREPARATION_H
#define PROCESSPREPARATION_H

#include "smartcharging/chargingprocessinfo.h"
#include "types/chargingconfiguration.h"

#include "tavro/thing.h"

#include <QDateTime>
#include <QList>
#include <QPair>

#include <limits>

class AcChargerAdjuster;
class ConfigurationStore;
class EvChargerAc;
struct ChargingContext;

using EvChargerAcs = QList<EvChargerAc *>;

// The first planning step of a cycle: one process info per AC and DC
// charger (car, phases, current range, battery level, charging time) and
// fresh, empty charging actions for the planners; target-time
// configurations whose target has run out become eco for good. Also keeps
// the target-reached flag of each charger. Context, adjuster and store are
// not owned.
class ProcessPreparation
{
public:
    ProcessPreparation(ChargingContext &context, AcChargerAdjuster &adjuster, ConfigurationStore &store)
        : m_context(context),
          m_adjuster(adjuster),
          m_store(store)
    {
    }

    void prepareInformation(const QDateTime &currentDateTime);
    // Sets or clears the charger's target-reached flag for the car's battery
    // level (%), and stops a charger that stops on its target.
    void evaluateTargetPercentageReached(const ThingId &evChargerId, double batteryLevel,
                                         const QDateTime &currentDateTime);
    // Drops the charger's process info, actions and schedules; true when
    // there were any.
    bool clearAcPlanningState(EvChargerAc *charger);

private:
    EvChargerAcs preparedAcChargers(const QDateTime &currentDateTime);
    // Turns a stored target-time configuration whose target has run out into
    // eco mode for good; true when it did.
    bool normalizeAcTargetTimeConfiguration(EvChargerAc *charger, const QDateTime &currentDateTime);
    // fuseShare: A per phase the fuse leaves each charger that charges from
    // the grid (infinite without a limit); caps the power the charging time
    // is estimated with.
    ChargingProcessInfo buildAcProcessInfo(EvChargerAc *charger, Thing *car,
                                           const ChargingConfiguration &chargingConfiguration,
                                           const QDateTime &currentDateTime,
                                           double fuseShare = std::numeric_limits<double>::infinity());
    // Phase counts and phases the car can charge with on this charger;
    // the phases the charger meters win.
    static void setAcPhaseInfo(ChargingProcessInfo *info, EvChargerAc *charger);
    // Phase limit power (W), full and remaining charging time and projected
    // end; fuseShare as for buildAcProcessInfo.
    void estimateAcChargingTime(ChargingProcessInfo *info, EvChargerAc *charger,
                                const ChargingConfiguration &chargingConfiguration, const QDateTime &currentDateTime,
                                double fuseShare) const;
    double gridChargingFuseShare(const EvChargerAcs &chargers, const QDateTime &currentDateTime);
    void resetChargingActions(const EvChargerAcs &chargers);

    ChargingContext &m_context;
    AcChargerAdjuster &m_adjuster;
    ConfigurationStore &m_store;

    // A per phase the house left the managed chargers, once per cycle, for
    // the last hours (oldest first).
    QList<QPair<QDateTime, double>> m_fuseHistory;
};

#endif // PROCESSPREPARATION_H
