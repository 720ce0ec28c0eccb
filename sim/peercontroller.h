#ifndef PEERCONTROLLER_H
#define PEERCONTROLLER_H

#include "household.h"
#include "ownertimeline.h"

#include <QVariantMap>
#include <QVector>

#include <functional>

#include <vector>

// A second controller to measure the plugin against: the documented rules
// of the most used open-source charge controller, driving a household of
// its own on the same minutes (README.md, "The peer controller").
//
// Eco modes charge from PV: a charger starts once the export covers its
// minimum charging power by enableThreshold W for enableDelay minutes and
// stops once the grid import at the minimum exceeds disableThreshold W for
// disableDelay minutes, with at least guardMinutes between its on/off
// switches; the current follows the surplus every minute between the car's
// minimum and maximum, and a charger that can switch phases goes to three
// once the surplus covers the three-phase minimum for enableDelay minutes
// and back to one once it has not for disableDelay minutes. Below the
// owner's home-battery priority level the battery's charging is not
// surplus. A target time (once, or on repeating weekdays) adds the cheapest
// published price slots before the deadline at full power, the latest of
// equally cheap ones first. Normal mode charges at full power. Chargers
// under one fuse are served in their order, each up to what the fuse
// leaves; a charger counts with what its car draws, not with what it was
// offered. Powers in W, currents in A.
class PeerController
{
public:
    // The defaults the controller's documentation publishes for its
    // charging points: "enable" threshold 0 W with a delay of 1 minute,
    // "disable" threshold 0 W with a delay of 3 minutes, a guard time of
    // 5 minutes between switching a charger on and off; phase switching
    // waits for the same enable and disable delays.
    int enableDelay = 1;  // minutes
    int disableDelay = 3; // minutes
    int guardMinutes = 5;
    double enableThreshold = 0;  // W of export beyond the minimum power needed to start
    double disableThreshold = 0; // W of import at the minimum power tolerated before stopping

    // What the controller reads at the end of a minute.
    struct Reading {
        int minute = 0;
        double gridPhasePower[3] = {0, 0, 0}; // W at the meter, > 0 import
        double phaseLimit = 0;                // A, 0: none
        double batterySoc = -1;               // %, -1 without a home battery
        double batteryPower = 0;              // W, > 0 charging
    };

    // The scenario, the household and the owner's timeline must outlive the
    // controller. The owner's wishes are read from the timeline minute by
    // minute, as the plugin got them: per car the ChargingConfiguration
    // members "chargingMode", "endDateTime", "repeatDays",
    // "targetPercentage" and "stopOnTargetPercentage"; the home battery's
    // lower limit, below which the battery goes first.
    PeerController(const Scenario &scenario, const Household &household, const OwnerTimeline &owner);

    // W the solar forecast expects in a minute (after the start), all
    // planes together; unset without a forecast. With it, target charging
    // plans only the energy the forecast PV, less the house's load of the
    // last minute and at most the car's full power, will not give before
    // the deadline.
    std::function<double(int minute)> forecastPower;

    // The minute (after the start) of the car's next deadline at or after
    // minute, as the owner's wish of that minute has it; -1 without one.
    // With repeat days the next listed weekday at the target's time of day,
    // the plugin's own rule.
    int deadline(int car, int minute) const;

    // The commands for the next minute, from the last minute's reading and record.
    QVector<ChargerCommand> decide(const Reading &reading, const MinuteRecord &record);
    // The state of charge the controller works with (a car that does not
    // report one is counted up from the level the owner entered, as the
    // plugin's estimate is: neither sees the true one).
    double carSoc(int car) const;

private:
    struct ChargerState {
        bool enabled = false;
        double current = 0;
        uint phases = 3;
        double dcPower = 0;
        int lastSwitch = -1000;  // minute of the last on/off switch
        int startFor = 0;        // minutes the start condition has held
        int stopFor = 0;         // minutes the stop condition has held
        int upFor = 0;           // minutes three phases would have fitted
        int downFor = 0;         // minutes they would not
        int car = -1;            // car plugged in at the last look
        double energy = 0;       // kWh into the car since it was plugged in
        double socAtPlugIn = 0;  // % at plug-in; of a car that cannot report it, as entered
        int levelMinute = -1;    // minute of the entered level it counts from
        double offered = 0;      // W the last command asked for, 0 when off
        double drawn = 0;        // W the car took in the last minute
        bool carLimited = false; // it took less than offered (full, or its own limit)
        bool planned = false;    // charging in a slot of its target plan
    };

    // A car that cannot report its level counts from what the owner entered
    // (at plug-in the last entry, else the level never entered), and from
    // an entry made while it is plugged in on.
    void countFromEnteredLevel(ChargerState *charger, int minute, bool pluggedIn) const;
    // Full power in this minute for a car with a target time?
    bool plannedNow(int charger, int minute) const;
    // kWh the forecast PV less the house gives in minutes [from, to), at
    // most maxPower W; 0 without a forecast.
    double sunBefore(int from, int to, double maxPower) const;
    // Surplus W for a charger: export plus its own draw.
    void chargeFromSurplus(int charger, double surplus, int minute);
    // decide(): each charger's car and what it drew in the last minute; W
    // all chargers drew, ownPhase (A per phase, added to) likewise.
    double followChargers(const MinuteRecord &record, double *ownPhase);
    // decide(): what the charger would like by the owner's wish (off,
    // by hand, a planned slot or the surplus, W).
    void choose(int charger, int minute, double surplus);
    // decide(): the command, fitted to what the fuse leaves (A per phase);
    // takes what it draws off surplus (W) and headroom.
    void fitToFuse(int charger, ChargerCommand *command, double *surplus, double *headroom);

    const Scenario &m_scenario;
    const Household &m_household;
    const OwnerTimeline &m_owner;
    std::vector<ChargerState> m_chargers; // per charger
    double m_houseLoad = 0;               // W in the last minute
    int chargerCount() const { return static_cast<int>(m_chargers.size()); }
};

#endif // PEERCONTROLLER_H
