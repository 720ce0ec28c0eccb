#ifndef HOMEDEVICES_H
#define HOMEDEVICES_H

#include "scenario.h"

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QRandomGenerator>
#include <QString>

class Household;
class Thing;
class ThingManager;
struct MinuteRecord;

// The household's own devices on the host, as the simulated minutes drive
// them: the PV inverter under the scenario's clouds, the house load with its
// scheduled loads and random appliances, the home battery and the grid meter
// with its reading error. The chargers and cars are the Simulation's.
//
// The scenario must outlive it. The things belong to the host's
// ThingManager; this keeps pointers to them, which a restart of the host
// re-points through thingSlots(). The random draws come from the scenario's
// seed, in the order the minutes ask for them.
class HomeDevices
{
public:
    explicit HomeDevices(const Scenario &scenario);

    // The grid meter, the PV inverter and the home battery, as far as the
    // scenario has them, in that order.
    void addSupply(ThingManager *manager);
    // The scheduled loads (one thing per name) and the appliances. False
    // with errorString for an appliance whose name is taken.
    bool addLoads(ThingManager *manager, QString *errorString);
    // Every pointer to a thing this keeps, for a restart to re-point.
    QList<Thing **> thingSlots();
    // True when the name is one of the scheduled loads' things.
    bool hasLoad(const QString &name) const { return m_loadThings.contains(name); }

    // W the PV produces in the minute that starts at now.
    double pvPower(int minute, const QDateTime &now);
    // W per phase of the house without appliances: base load, evening
    // load and the scheduled loads; loadPower gets the scheduled loads'
    // total by name.
    void addScheduledLoad(int minute, const QDateTime &now, double *phasePower, QMap<QString, double> *loadPower) const;
    // The random appliances (shown on their things) and the house's noise.
    void addHouseholdLoad(int minute, double *phasePower);
    // The scheduled loads' things show their power.
    void showLoads(const QMap<QString, double> &loadPower);
    // Draws this minute's reading error of the meter.
    void drawMeterNoise();
    // W, this minute's reading error on a phase.
    double meterNoise(int phase) const { return m_meterNoise[phase]; }
    // The meter (the truth give or take its error), then the battery and
    // the inverter, show the minute the household stepped through.
    void showReadings(const Household &household, const MinuteRecord &record);

private:
    struct ApplianceState {
        Thing *thing = nullptr;
        int runningUntil = -1; // minute it stops
    };
    void passingCloud(int minute);

    const Scenario &m_scenario;
    QRandomGenerator m_random;          // clouds of ten minutes
    QRandomGenerator m_householdRandom; // passing clouds, noise and appliances
    double m_cloudFactor = 1;
    int m_cloudUntil = 0; // passing clouds: the current one ends
    int m_nextCloud = 0;  // the next one starts
    QList<ApplianceState> m_appliances;
    double m_meterNoise[3] = {0, 0, 0}; // W
    Thing *m_meter = nullptr;
    Thing *m_inverter = nullptr;
    Thing *m_battery = nullptr;
    QMap<QString, Thing *> m_loadThings; // by name: entries with one name are one appliance
};

#endif // HOMEDEVICES_H
