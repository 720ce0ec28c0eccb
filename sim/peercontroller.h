#ifndef PEERCONTROLLER_H
#define PEERCONTROLLER_H

#include "household.h"

#include <QVariantMap>
#include <QVector>

// A second controller to measure the plugin against: the documented rules
// of the most used open-source charge controller, driving a household of
// its own on the same minutes (README.md, "The peer controller").
//
// Eco modes charge from PV: a charger starts once the export covers its
// minimum charging power for enableDelay minutes and stops once the grid
// import at the minimum exceeds stopImport W for disableDelay minutes, with
// at least guardMinutes between its on/off switches; the current follows
// the surplus every minute between the car's minimum and maximum, and a
// charger that can switch phases goes to three once the surplus covers the
// three-phase minimum for enableDelay minutes and back to one once it has
// not for disableDelay minutes. Below the owner's home-battery priority
// level the battery's charging is not surplus. A target time adds the
// cheapest published price slots before the deadline at full power. Normal
// mode charges at full power. Chargers under one fuse are served in their
// order, each up to what the fuse leaves. Powers in W, currents in A.
class PeerController
{
public:
    int enableDelay = 1;  // minutes
    int disableDelay = 3; // minutes
    int guardMinutes = 5;
    double stopImport = 200; // W

    // What the controller reads at the end of a minute.
    struct Reading {
        int minute = 0;
        double gridPhasePower[3] = {0, 0, 0}; // W at the meter, > 0 import
        double phaseLimit = 0;                // A, 0: none
        double batterySoc = -1;               // %, -1 without a home battery
        double batteryPower = 0;              // W, > 0 charging
    };

    // The scenario and the household must outlive the controller.
    // batteryPrioritySoc: % below which the home battery goes first; < 0 never.
    PeerController(const Scenario &scenario, const Household &household, double batteryPrioritySoc);

    // What the owner asked for a car: the TavroEnergy ChargingConfiguration
    // members "chargingMode", "endDateTime" (s since the epoch),
    // "targetPercentage" and "stopOnTargetPercentage"; the same the plugin gets.
    void setConfiguration(int car, const QVariantMap &configuration);

    // The commands for the next minute, from the last minute's reading and record.
    QVector<ChargerCommand> decide(const Reading &reading, const MinuteRecord &record);
    // The state of charge the controller works with (a car that does not
    // report one is counted up from where it was plugged in).
    double carSoc(int car) const;

private:
    struct ChargerState {
        bool enabled = false;
        double current = 0;
        uint phases = 3;
        double dcPower = 0;
        int lastSwitch = -1000; // minute of the last on/off switch
        int startFor = 0;       // minutes the start condition has held
        int stopFor = 0;        // minutes the stop condition has held
        int upFor = 0;          // minutes three phases would have fitted
        int downFor = 0;        // minutes they would not
        int car = -1;           // car plugged in at the last look
        double energy = 0;      // kWh into the car since it was plugged in
        double socAtPlugIn = 0;
    };

    // Full power in this minute for a car with a target time?
    bool plannedNow(int charger, int minute) const;
    // Surplus W for a charger: export plus its own draw.
    void chargeFromSurplus(int charger, double surplus, int minute);

    struct Wish {
        QString mode = QStringLiteral("ChargingModeNormal");
        int deadline = -1;  // minute after the start, -1 none
        double target = 80; // %
        bool stopAtTarget = false;
    };

    const Scenario &m_scenario;
    const Household &m_household;
    double m_batteryPrioritySoc = -1;
    QVector<Wish> m_wishes; // per car
    QVector<ChargerState> m_chargers;
};

#endif // PEERCONTROLLER_H
