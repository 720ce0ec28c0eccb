#ifndef PROCESSPREPARATION_H
#define PROCESSPREPARATION_H

#include "smartcharging/chargingprocessinfo.h"
#include "types/chargingconfiguration.h"

#include "tavro/thing.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QVector>

#include <array>
#include <limits>

class AcChargerAdjuster;
class ConfigurationStore;
class EvChargerAc;
class EvChargerDc;
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
    // Stops the charger whose car reached its target (the AC charger
    // forced through the charging-enabled lock; a DC charger only when no
    // AC charger charges under its id).
    void stopOnTargetReached(EvChargerAc *acCharger, EvChargerDc *dcCharger, const QDateTime &currentDateTime);
    // Drops the chargers' schedules and spot-market plans and disables
    // their actions; true when a schedule went.
    bool dropPlansOnTargetReached(EvChargerAc *acCharger, EvChargerDc *dcCharger);
    EvChargerAcs preparedAcChargers(const QDateTime &currentDateTime);
    // Turns a stored target-time configuration whose target has run out into
    // eco mode for good; true when it did.
    bool normalizeAcTargetTimeConfiguration(EvChargerAc *charger, const QDateTime &currentDateTime);
    // What the car and the charger offer and what the configuration asks
    // for, without the charging time.
    ChargingProcessInfo acCarFacts(EvChargerAc *charger, Thing *car, const ChargingConfiguration &chargingConfiguration,
                                   const QDateTime &currentDateTime);
    // Phase counts and phases the car can charge with on this charger;
    // the phases the charger meters win.
    static void setAcPhaseInfo(ChargingProcessInfo *info, EvChargerAc *charger);
    // Phase limit power (W), full and remaining charging time and projected
    // end. fuseShare: A per phase the fuse leaves the charger when it charges
    // from the grid (infinite without a limit); caps the power the charging
    // time is estimated with.
    void estimateAcChargingTime(ChargingProcessInfo *info, EvChargerAc *charger, const QDateTime &currentDateTime,
                                double fuseShare) const;

    // A charger that charges from the grid for a deadline or a daily share,
    // as the fuse serves them: the earliest deadline first, those without
    // one last.
    // A the fuse leaves on phases A, B and C.
    using PhaseAmps = std::array<double, 3>;
    struct GridDemand {
        EvChargerAc *acCharger = nullptr; // null for a DC charger
        EvChargerDc *dcCharger = nullptr; // null for an AC charger
        QString idText;
        QDateTime deadline; // invalid: none
        Electricity::Phases phases = Electricity::PhaseAll;
        double energy = 0;  // Ah per phase still to charge
        // Ah per phase of it the sun at hand gives before the deadline, as
        // the deadline check counts on it (ChargingContext::sunAtHand).
        double sunEnergy = 0;
        // Ah per phase of the points a deadline may come short by before
        // it counts as out of reach (the owner is told).
        double shortfall = 0;
        double maximum = 0; // A per phase the charger can take
        // A per phase an AC charger is told at least, and its current step
        // (0: any current, as for a DC charger's power).
        double minimum = 0;
        double step = 0;
        // Place in the fuse's order: demands with the same place share
        // alike, a lower place is served first.
        int place = 0;
        // Moved ahead of earlier deadlines missed anyway, until it is safe.
        bool ahead = false;
    };
    // The demands in the order the fuse serves them, equal deadlines on
    // one place.
    static void sortByDeadline(QList<GridDemand> *demands);
    // Equal deadlines share the fuse alike only while that meets each of
    // them with the deadline reserve; otherwise they are served in turn, the
    // least energy first, so that as many as can be met are.
    static void serveAtRiskInTurn(QList<GridDemand> *demands, const PhaseAmps &available,
                                  const QDateTime &currentDateTime);
    // How the fuse, leaving available (A on each phase) from now on, serves
    // the demands (in that order): each in turn takes what its phases have
    // left up to its maximum, demands on the same place share alike, and
    // what one leaves when it is done goes to the next.
    struct FuseSchedule {
        QVector<double> hours;    // h until each demand has its energy (infinite: never)
        QVector<double> atTarget; // Ah per phase each has by its deadline (0 without one)
    };
    static FuseSchedule scheduleByDeadline(const QList<GridDemand> &demands, const PhaseAmps &available,
                                           const QDateTime &currentDateTime);
    // A later deadline at risk goes before earlier ones when that meets it
    // and none of them is met in the deadline order even with the fuse as
    // the promise counts on it at best (atBest): a deadline missed anyway
    // does not make a reachable one miss too.
    // Returns the ids of the demands that go first whenever they fall behind.
    QSet<QString> serveReachableFirst(QList<GridDemand> *demands, const PhaseAmps &available, const PhaseAmps &atBest,
                                      const QDateTime &currentDateTime);
    // Whether each demand's deadline counts as out of reach at best in the
    // deadline order (as the owner is told): it has been for a while, and
    // has not been met since for as long.
    QVector<bool> settledMisses(const QList<GridDemand> &demands, const PhaseAmps &atBest,
                                const QDateTime &currentDateTime);
    // Whether each demand with a deadline comes short of it with the
    // reserve (a share of the charging time), served as the schedule says.
    static QVector<bool> atRisk(const QList<GridDemand> &demands, const FuseSchedule &schedule,
                                const QDateTime &currentDateTime, double reserve);
    // Ah per phase each demand has by its deadline (as FuseSchedule::atTarget).
    // A demand ahead of missed deadlines takes the fuse before them only for
    // what the fuse after them would not leave it in time, with the reserve:
    // they are promised what they get by then on top.
    // leads: ids of the demands that go first whenever they fall behind.
    static QVector<double> deliverableByDeadline(const QList<GridDemand> &demands, const PhaseAmps &available,
                                                 const QDateTime &currentDateTime, const QSet<QString> &leads);
    // What of an offer (A) the demand can use on top of its rate: an AC
    // charger's rate stays on its current steps once at its minimum.
    static double onStep(const GridDemand &demand, double rate, double offer);
    // A per phase each demand with energy left takes while the fuse leaves
    // available on each phase: a place's demands an equal part first.
    static QVector<double> fuseRates(const QList<GridDemand> &demands, const QVector<double> &remaining,
                                     const PhaseAmps &available);
    // Runs the rates from now (h) to the next demand done or deadline
    // passed: notes what the deadlines passed have and when a demand is
    // done. Returns the hours run; infinite when nothing ends (nothing run).
    static double advanceSchedule(const QList<GridDemand> &demands, const QVector<double> &rates,
                                  const QVector<double> &deadlineHours, double now, QVector<double> *remaining,
                                  FuseSchedule *schedule);
    // A per phase each demand can count on: its energy over the hours until
    // it has it, waiting for the deadlines before it included.
    static QVector<double> deadlineOrderShares(const QList<GridDemand> &demands, const PhaseAmps &available,
                                               const QDateTime &currentDateTime);
    // When each demand must charge at the latest so that it and every later
    // deadline, counting on the fuse shares (A per phase), are met with the
    // deadline reserve; invalid for none.
    static QVector<QDateTime> latestStarts(const QList<GridDemand> &demands, const QVector<double> &shares,
                                           const QDateTime &currentDateTime);
    // A per phase the fuse leaves the chargers now (*availableNow), at most
    // during the planning look-back with what a discharging home battery
    // covered taken back (returned), and for a promise to the owner the
    // house at its lightest of the look-back with the battery and the sun as
    // they cover now (*bestForPromise); infinite without a limit.
    // batteryCover and sunCover: A per phase a discharging home battery and
    // the PV cover now. Adds what the fuse leaves now less batteryCover, and
    // less both, to the history; returns the most of the former in the
    // look-back, the most of the latter plus both covers in *bestForPromise
    // (the sun's the most of the last minutes).
    PhaseAmps rememberFuseLeft(const PhaseAmps &availableNow, double batteryCover, double sunCover,
                               const QDateTime &currentDateTime, PhaseAmps *bestForPromise);
    // *nowWithoutBattery: *availableNow less what a discharging home battery
    // covers now beyond the house's own draw, i.e. for the cars (spread on
    // all phases).
    PhaseAmps fuseLeftForChargers(const EvChargerAcs &chargers, const QDateTime &currentDateTime,
                                  PhaseAmps *availableNow, PhaseAmps *bestForPromise, PhaseAmps *nowWithoutBattery);
    QList<GridDemand> gridDemands(const EvChargerAcs &chargers, const QHash<EvChargerAc *, ChargingProcessInfo> &infos,
                                  const QDateTime &currentDateTime) const;
    // The fuse share of every AC charger (infinite without a limit); sets
    // the deadline promises in infos.
    QHash<EvChargerAc *, double> gridChargingFuseShares(const EvChargerAcs &chargers,
                                                        QHash<EvChargerAc *, ChargingProcessInfo> *infos,
                                                        const QDateTime &currentDateTime);
    // Clears what the last plan wrote into the DC records (a DC charger
    // no longer planned, or no phase limit, keeps none of it).
    void forgetDcFusePlans();
    // Writes a DC demand's place, fuse share (A per phase) and the levels
    // its deadline can reach (deliverable at best and now, Ah per phase)
    // into the charger's record.
    void planDcFromFuse(EvChargerDc *charger, const GridDemand &demand, double share, double deliverable,
                        double deliverableNow);
    void resetChargingActions(const EvChargerAcs &chargers);

    ChargingContext &m_context;
    AcChargerAdjuster &m_adjuster;
    ConfigurationStore &m_store;

    // A per phase the house left the managed chargers, once a minute, for
    // the last hours (oldest first), without what a discharging home
    // battery covered.
    struct FuseSample {
        QDateTime at;
        PhaseAmps leftWithoutBattery;
        PhaseAmps leftToHouseAlone; // without the battery's and the sun's cover as well
        double sunCover = 0;        // A per phase the PV covered
    };
    QList<FuseSample> m_fuseHistory;
    uint m_fuseHistoryLimit = 0; // A per phase the history was taken under
    // Whether each demand (by charger id) counts as missing its deadline at
    // best, and since when the reading says otherwise (invalid: it agrees).
    struct MissedDeadline {
        bool missed = false;
        QDateTime changingSince;
    };
    QHash<QString, MissedDeadline> m_missedSince;
    // Ids of the demands that went before earlier deadlines last cycle.
    QSet<QString> m_leading;
};

#endif // PROCESSPREPARATION_H
