#ifndef DCCONTROLLER_H
#define DCCONTROLLER_H

#include "smartcharging/chargingprocessinfo.h"
#include "smartcharging/chargingsharecalculator.h"
#include "smartcharging/householdbalance.h"
#include "smartcharging/surplusgate.h"
#include "types/chargingconfiguration.h"
#include "types/chargingstate.h"

#include "tavro/thing.h"

#include <QDate>
#include <QDateTime>
#include <QHash>

#include <functional>

class EvChargerDc;
class ProcessPreparation;
class ShareRounds;
class SpotMarketDataProvider;
class SurplusPlanner;
struct ChargingContext;

// Runs the bidirectional DC chargers once per cycle: a baseline of the
// household, per charger an intent (grid, schedule, target time, surplus,
// discharge), then the discharge share and the charge share, each fitted
// to what the fuse and the surplus leave after the AC chargers.
// Collaborators are not owned.
class DcController
{
public:
    DcController(ChargingContext &context, const HouseholdBalance &balance, SurplusPlanner &surplus,
                 ShareRounds &shares, ProcessPreparation &preparation)
        : m_context(context),
          m_balance(balance),
          m_surplus(surplus),
          m_shares(shares),
          m_preparation(preparation)
    {
    }

    void updateDcChargers(const QDateTime &currentDateTime);
    // Back to normal mode: the manual power and on/off the user had set.
    void restoreManualDcCharger(EvChargerDc *charger, const ChargingConfiguration &chargingConfiguration);
    // Switches the charger off and leaves it alone with the waiting reason.
    void stopManagingDcCharger(EvChargerDc *charger, ChargingState::WaitingReason waitingReason);
    // The charger went away.
    void forget(const ThingId &evChargerId)
    {
        m_dischargeGates.remove(evChargerId);
        m_cycleDecisions.remove(evChargerId);
        m_sentCommands.remove(evChargerId);
    }

    // The local day the daily shares count for (see SpotMarketPlanner::day()).
    QDate day() const { return m_lastDcDailyReset; }
    // kWh each charger got today towards its daily share, restored ones not
    // yet taken up included.
    QHash<ThingId, double> dailyEnergy() const;
    // What an earlier run counted for day, taken up by each charger's next plan.
    void restoreDailyEnergy(const QDate &day, const QHash<ThingId, double> &energy);

private:
    Thing *resolveDcVehicle(const ThingId &evChargerId) const;
    // % of the grid energy the car loses charging (its "chargingEnergyLoss"
    // setting, else the assigned car's; 0 when neither has one).
    uint dcChargingEnergyLoss(Thing *vehicle, const ChargingConfiguration &configuration) const;
    // Writes mode, battery flag and waiting reason in one change (one signal at most).
    void setDcChargingState(const ThingId &evChargerId, ChargingState::Mode mode, bool batteryLevelConsiderationActive,
                            ChargingState::WaitingReason waitingReason);
    // Sends power (W, below 0 a discharge) and on/off only where they differ
    // from the charger's present values; now: when, for the commanded draws.
    void commandDcCharger(EvChargerDc *charger, double power, bool enabled, const QString &reason,
                          const QDateTime &now);
    // Keeps the commanded draws true to a command about to go out.
    void noteDcCommand(EvChargerDc *charger, double power, bool enabled, const QDateTime &now);
    // W the charger draws now and was told to draw this minute beyond that;
    // 0 while it feeds in.
    double ownDcDraw(EvChargerDc *charger) const;
    // W all DC chargers were told to draw beyond what the meter shows.
    double pendingDcPower() const;
    // The cycle's chapters, in order: baseline, per charger (process info,
    // grid decision, schedule decision, final intent), then the discharge
    // share and the charge share.
    struct DcCycle;
    struct DcIntent;
    struct DcChargerPlan;
    struct DcShareRound;
    using ShareResult = ChargingShareCalculator::Result;
    DcCycle measureDcBaseline() const;
    // The home battery's part of the baseline (acCommandedIncrease: W this
    // cycle's AC commands take beyond what the meter shows).
    void measureHomeBattery(DcCycle &cycle, const HouseholdBalance::HomeBattery &battery,
                            double acCommandedIncrease) const;
    // Clears the energy charged today when the day changed.
    void resetDcDailyEnergy(const QDate &today);
    void planDcCharger(EvChargerDc *charger, DcCycle &cycle, const QDateTime &currentDateTime);
    // The vehicle to plan for; null (and the charger left alone or stopped)
    // when the charger is in normal mode, unplugged, unavailable or without a car.
    Thing *dcVehicleToManage(EvChargerDc *charger, ChargingConfiguration::ChargingMode mode);
    void prepareDcProcessInfo(DcChargerPlan &plan, ChargingProcessInfo &info, Thing *vehicle, const DcCycle &cycle,
                              const QDateTime &currentDateTime) const;
    void decideDcGridTarget(DcChargerPlan &plan, DcCycle &cycle, const QDateTime &currentDateTime);
    // Whether a charge on surplus may go on or start (covered: the surplus
    // budget covers the charger's minimum; ample: twice over, see
    // SurplusGate::chargingEnabled(); batteryFirst: the home battery is
    // below its lower limit, a restart waits for the surplus to last, as it
    // does where the owner allows no grid for the surplus and it is not
    // ample); only a cycle starts or stops one: between two cycles it stays
    // as the last cycle switched it.
    bool calmSurplusCharge(const DcChargerPlan &plan, bool covered, const QDateTime &currentDateTime, bool ample,
                           bool batteryFirst);
    // The raw target (W) after the surplus gate and the home battery's
    // turn; surplusBudget: W of surplus this charger may count on.
    double calmSurplusTarget(const DcChargerPlan &plan, DcCycle &cycle, double rawTarget, double surplusBudget,
                             const QDateTime &currentDateTime);
    // W a charge running on surplus keeps on a surplus short of the
    // minimum: the minimum where the surplus covers the owner's share of it
    // (the acquisition tolerance; all of it where a home battery would pay
    // for the rest), else 0. A start needs the whole minimum.
    double toleratedMinimum(const DcChargerPlan &plan, double surplusBudget) const;
    // Whether the charger gave way to the home battery (down to its minimum
    // or off) and it is not yet two points above its lower limit (a cycle
    // ends the wait): until then the battery goes first for it as below the
    // limit, running or not.
    bool waitsForHomeBattery(const DcChargerPlan &plan, const DcCycle &cycle);
    // The same where a home battery below its lower limit would pay for the
    // charge: one on surplus drops to its minimum for a cycle, then stops
    // (the restart waits as after a stop for lack of surplus); an idle one
    // stays off.
    bool giveWayToHomeBattery(const DcChargerPlan &plan, const QDateTime &currentDateTime);
    // The raw target after the discharge gate: a running discharge bridges a
    // short dip of the house draw below its minimum. Only a cycle starts a
    // discharge.
    double calmDischarge(const DcChargerPlan &plan, DcCycle &cycle, double rawTarget, const QDateTime &currentDateTime);
    double calmDischargeTarget(const DcChargerPlan &plan, DcCycle &cycle, double rawTarget,
                               const QDateTime &currentDateTime);
    void decideDcSchedule(DcChargerPlan &plan, ChargingProcessInfo &info, DcCycle &cycle,
                          const QDateTime &currentDateTime);
    void decideDcTargetTime(DcChargerPlan &plan, const ChargingProcessInfo &info, DcCycle &cycle,
                            const QDateTime &currentDateTime);
    void planDcSpotMarketFrames(DcChargerPlan &plan, ChargingProcessInfo &info, SpotMarketDataProvider *provider,
                                bool charging, const QDateTime &currentDateTime);
    // Minutes at the charger's full power the expected sun gives it before until.
    uint dcSunMinutes(const ChargingProcessInfo &info, const QDateTime &currentDateTime, const QDateTime &until) const;
    // Hands the intent to a share round or idles the charger.
    void settleDcIntent(const DcChargerPlan &plan, const ChargingProcessInfo &info, DcCycle &cycle,
                        const QDateTime &currentDateTime);
    // What an idle charger waits for; sets *batteryFlag when the home battery holds it back.
    ChargingState::WaitingReason dcIdleWaitingReason(const DcChargerPlan &plan, const ChargingProcessInfo &info,
                                                     const DcCycle &cycle, bool *batteryFlag);
    quint32 dcFairnessCounter(EvChargerDc *charger) const;
    ChargingState::WaitingReason dcShareIdleReason(const ThingId &chargerId) const;
    // Rotates the group's fairness, shares the budget and hands each result
    // with its intent to apply, which tells whether the charger was served.
    void runDcShareRound(const DcShareRound &round, const QDateTime &currentDateTime,
                         const std::function<bool(const DcIntent &, const ShareResult &)> &apply);
    void shareDcDischarging(const DcCycle &cycle, const QDateTime &currentDateTime);
    bool applyDcDischargingShare(const DcIntent &intent, const ShareResult &result, const QDateTime &now);
    // Takes what the commands so far add to the meter off the phase limit
    // budget of the charges still to come.
    void spendCommandedLoad(DcCycle &cycle);
    // The intent's request to the DC charging share (logged).
    ChargingShareCalculator::Request dcChargingRequest(const DcIntent &intent) const;
    void shareDcCharging(const DcCycle &cycle, const QDateTime &currentDateTime);
    // W the charging share keeps for the charges running on surplus
    // (surplus: W the surplus gives them): their minimums together while a
    // dip leaves one of them short of its own, for as long as one alone
    // rides a dip out on the owner's tolerance; else 0.
    double heldSurplusMinimums(const DcCycle &cycle, double surplus, const QDateTime &now);
    bool applyDcChargingShare(const DcIntent &intent, const ShareResult &result, bool unreachable,
                              const QDateTime &now);

    ChargingContext &m_context;
    const HouseholdBalance &m_balance;
    SurplusPlanner &m_surplus;
    ShareRounds &m_shares;
    ProcessPreparation &m_preparation;

    QDate m_lastDcDailyReset;
    // Calm discharging: a house drawing a little less than the minimum
    // discharge for a minute does not stop the car.
    QHash<ThingId, SurplusGate> m_dischargeGates;
    // What the gate let each charger do on its own: charge on surplus,
    // discharge (as the last cycle decided). Between two cycles the
    // readings come one by one: they start and stop no charge and start no
    // discharge.
    struct CycleDecision {
        bool charge = false;
        bool discharge = false;
        bool givingWay = false;       // the last cycle held a charge at its minimum for the home battery
        bool waitsForBattery = false; // gave way to the home battery, see waitsForHomeBattery()
    };
    QHash<ThingId, CycleDecision> m_cycleDecisions;
    // Since when the surplus has left the running surplus charges short of
    // their minimums together, and whether the last cycle still held them.
    QDateTime m_heldSince;
    bool m_held = false;
    QHash<ThingId, double> m_restoredEnergy; // kWh by charger, not taken up yet
    // The last set-point (W) and switch sent to each charger: its states
    // show them only once the action has run, and a command that differs
    // from one still under way must go out although the states agree.
    struct SentCommand {
        double power = 0;
        bool enabled = false;
    };
    QHash<ThingId, SentCommand> m_sentCommands;
};

#endif // DCCONTROLLER_H
