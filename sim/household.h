#ifndef HOUSEHOLD_H
#define HOUSEHOLD_H

#include "scenario.h"

#include <QVarLengthArray>
#include <QVector>

// Per charger or per car; up to four of them the values live inside the
// record, so that a long run keeps no heap block per minute.
template<typename T>
using PerDevice = QVarLengthArray<T, 4>;

// What happened in one simulated minute. Powers in W (mean over the
// minute), currents in A, states of charge in %.
struct MinuteRecord {
    int minute = 0;
    double pvPower = 0;   // produced, >= 0
    double houseLoad = 0; // house and extra loads
    double housePhasePower[3] = {0, 0, 0};
    double batteryPower = 0; // > 0 charges the home battery
    double batterySoc = 0;
    double gridPhaseCurrent[3] = {0, 0, 0};
    double gridPower = 0;              // > 0 import
    double price = 0;                  // EUR/MWh
    double phaseLimit = 0;             // A, the plugin's phase power limit during the minute
    PerDevice<double> chargerPower;    // per charger, > 0 into the car
    PerDevice<double> chargerPhases;   // phases in use per charger
    PerDevice<int> chargerEnabled;     // the charger's "power" state (0/1)
    PerDevice<int> chargerPhaseSwitch; // 1 when a switch between 1 and 3 phases interrupted charging this minute
    PerDevice<double> carSoc;          // true state of charge per car at the end of the minute
    PerDevice<double> carSocStart;     // at its start (after a plug-in)
    PerDevice<double> carReportedSoc;  // the car's "batteryLevel" state: reported or the plugin's estimate
    PerDevice<int> carPluggedIn;       // 0/1
};

// What a controller asks of one charger for a minute.
struct ChargerCommand {
    bool enabled = false;
    double current = 0; // A per phase (AC)
    uint phases = 3;    // 1 or 3 (AC); a car may use fewer
    double dcPower = 0; // W (DC), < 0 discharges the car
};

// The physics of one household: chargers deliver what their commands and
// the cars allow, the cars' states of charge follow with the physics' own
// charging loss, a home battery covers import and takes export within its
// limits, and the grid takes the rest. Knows nothing of the plugin: the
// simulator runs one for the plugin and one for the peer controller on the
// same minutes. The scenario must outlive it.
class Household
{
public:
    explicit Household(const Scenario &scenario);

    void setPluggedIn(int car, bool pluggedIn);
    void setCarSoc(int car, double soc);
    bool pluggedIn(int car) const { return m_cars.at(car).pluggedIn; }
    double carSoc(int car) const { return m_cars.at(car).soc; }
    int carAt(int charger) const { return m_chargers.at(charger).car; }
    double batterySoc() const { return m_batterySoc; }
    // AC phases the charger and its car would use with the last command
    // (the charger's own count when no car is plugged in); 3 for DC.
    uint phasesOffered(int charger) const { return m_chargers.at(charger).phasesOffered; }
    // W drawn from the grid on a phase in the last step (< 0 export).
    double gridPhasePower(int phase) const { return m_gridPhasePower[phase]; }

    // The largest power (W) a car can take through its charger.
    static double maxPower(const Scenario &scenario, int car);
    // The charger of a car, -1 for none.
    static int chargerOf(const Scenario &scenario, int car);

    // One minute. The record carries the minute, PV, house load per phase,
    // price and limit; step fills in the chargers, cars, battery and grid.
    void step(const QVector<ChargerCommand> &commands, MinuteRecord *record);

private:
    struct CarState {
        double soc = 0;
        bool pluggedIn = false;
    };
    struct ChargerState {
        int car = -1;
        uint lastPhases = 0; // phases it charged with last minute (or is switching to), 0 when idle
        int pauseUntil = -1; // a phase switch stops charging until this minute
        uint phasesOffered = 3;
    };

    // What a charger gave its car in a minute.
    struct Delivery {
        double power = 0; // W, < 0 out of the car
        uint phases = 0;
        int switched = 0; // 1 when a phase switch interrupted charging
    };
    // step(): one charger's minute; adds its draw to phasePower (W per phase).
    Delivery deliverAc(int charger, const ChargerCommand &command, int minute, double *phasePower);
    Delivery deliverDc(int charger, const ChargerCommand &command, double *phasePower);
    // step(): the home battery's W (> 0 charging) under net W (> 0 import
    // before it); its SoC follows. Only for a household with a battery.
    double runBattery(double net);

    const Scenario &m_scenario;
    QVector<CarState> m_cars;
    QVector<ChargerState> m_chargers;
    double m_batterySoc = 0;
    double m_gridPhasePower[3] = {0, 0, 0};
};

#endif // HOUSEHOLD_H
