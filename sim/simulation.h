#ifndef SIMULATION_H
#define SIMULATION_H

#include "scenario.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QRandomGenerator>
#include <QStringList>
#include <QUuid>
#include <QVarLengthArray>
#include <QVector>

#include <memory>

class EnergyManager;
class EnergyPlugin;
class JsonRpcClient;
class JsonRpcServer;
class JsonRpcThingsHandler;
class PriceServer;
class Thing;
class ThingManager;

// Per charger or per car; up to four of them the values live inside the
// record, so that a long run keeps no heap block per minute.
template<typename T>
using PerDevice = QVarLengthArray<T, 4>;

// What happened in one simulated minute. Powers in W (mean over the
// minute), currents in A, states of charge in %.
struct MinuteRecord
{
    int minute = 0;
    double pvPower = 0;            // produced, >= 0
    double houseLoad = 0;          // house and extra loads
    double housePhasePower[3] = {0, 0, 0};
    double batteryPower = 0;       // > 0 charges the home battery
    double batterySoc = 0;
    double gridPhaseCurrent[3] = {0, 0, 0};
    double gridPower = 0;          // > 0 import
    double price = 0;              // EUR/MWh
    double phaseLimit = 0;         // A, the plugin's phase power limit during the minute
    PerDevice<double> chargerPower;   // per charger, > 0 into the car
    PerDevice<double> chargerPhases;  // phases in use per charger
    PerDevice<int> chargerEnabled;    // the charger's "power" state (0/1)
    PerDevice<double> carSoc;         // true state of charge per car
    PerDevice<double> carReportedSoc; // the car's "batteryLevel" state: reported or the plugin's estimate
    PerDevice<int> carPluggedIn;      // 0/1
};

// What a run with a "random" section did and saw.
struct SoakFigures
{
    int apiCalls = 0;
    int invalidCalls = 0;        // of apiCalls, the ones built to be refused
    int malformedReplies = 0;    // not JSON-RPC 2.0, or a result without its method's members
    int unexpectedOutcomes = 0;  // a valid call refused, an invalid one accepted, a setting lost
    int socOutOfRange = 0;       // car-minutes with a true or reported SoC outside 0…100 %
    int plugEvents = 0;          // plug-ins and plug-outs
    int bursts = 0;              // random appliance runs
    double lowestSoc = 100;      // %, every car, true and reported, every minute
    double highestSoc = 0;
    qint64 heapAfterFirstDay = -1; // bytes in use at the end of day 1; -1 unmeasured
    qint64 heapAtEnd = -1;         // bytes in use at the end of the run
    QStringList problems;        // the first few faults, readable
};

// Runs a scenario against the real plugin on the stand-in host: the
// household's physics follow the plugin's commands minute by minute.
class Simulation
{
public:
    explicit Simulation(const Scenario &scenario);
    ~Simulation();

    // Loads the plugin from pluginDirectory, builds the household and
    // configures it through JSON-RPC. False with errorString on failure.
    bool setUp(const QString &pluginDirectory, QString *errorString);
    // Runs every minute of the scenario.
    void run();
    // One minute; returns false once the scenario is over.
    bool step();
    // Real-time mode: the JSON-RPC server is reachable for other clients.
    quint16 jsonRpcPort() const;

    const Scenario &scenario() const { return m_scenario; }
    const QVector<MinuteRecord> &records() const { return m_records; }
    // Random for every run, so that no other local process can know it.
    QString adminToken() const;
    // True for a car whose "batteryLevel" the plugin estimates.
    bool carEstimated(int carIndex) const;
    // Minute from which the owner's own entry of the car's level holds; -1 when never entered.
    int carLevelEnteredMinute(int carIndex) const { return m_cars.at(carIndex).levelEnteredMinute; }
    // The home battery's lower limit in force in the plugin (fraction), -1 unknown.
    double batteryLowerLimit() const { return m_batteryLowerLimit; }
    // User actions that the host or the plugin refused, as readable lines.
    const QStringList &actionFailures() const { return m_actionFailures; }
    const SoakFigures &soak() const { return m_soak; }

private:
    struct CarState {
        Thing *thing = nullptr;
        int chargerIndex = -1;
        double soc = 0;
        bool pluggedIn = false;
        int levelEnteredMinute = -1;
    };
    struct ChargerState {
        Thing *thing = nullptr;
        int carIndex = -1; // the car plugged in, -1 when none
    };

    static void settle();
    void applyEvents(int minute);
    void runUserAction(const Scenario::UserAction &action);
    QVariant resolvePlaceholders(const QVariant &value) const;
    void simulatePhysics(int minute, MinuteRecord *record);
    double pvPower(int minute);
    // The wall-clock time of a simulated minute; converting a local
    // date-time costs a call into the C library's time zone code, so the
    // last one is kept.
    QDateTime minuteDateTime(int minute);
    void setPluggedIn(int carIndex, bool pluggedIn);
    void refreshPrices();
    QVariantMap configurationFor(const Scenario::Car &car, int carIndex) const;

    // The "random" section (simulationrandom.cpp).
    struct RandomCall {
        QString method;
        QVariantMap params;
        bool invalid = false;
        QStringList resultMembers;   // members the result must carry
    };
    void applyRandomEvents(int minute);
    RandomCall randomValidCall();
    RandomCall randomInvalidCall();
    void runRandomCall(const RandomCall &call);
    void checkRandomState(const QString &method, const QVariantMap &result);
    void addRandomLoad(double *phasePower);
    double noise(double amplitude);
    void checkSoc(const MinuteRecord &record);
    void measureHeap();
    void soakProblem(const QString &text);
    Scenario m_scenario;
    const QString m_adminToken = QUuid::createUuid().toString(QUuid::Id128);
    QRandomGenerator m_random;
    std::unique_ptr<ThingManager> m_thingManager;
    std::unique_ptr<EnergyManager> m_energyManager;
    std::unique_ptr<JsonRpcServer> m_jsonRpcServer;
    std::unique_ptr<JsonRpcThingsHandler> m_thingsHandler;
    std::unique_ptr<PriceServer> m_priceServer;
    std::unique_ptr<JsonRpcClient> m_client;
    EnergyPlugin *m_plugin = nullptr;

    Thing *m_meter = nullptr;
    Thing *m_inverter = nullptr;
    Thing *m_battery = nullptr;
    QMap<QString, Thing *> m_loadThings; // by name: entries with one name are one appliance
    QList<ChargerState> m_chargers;
    QList<CarState> m_cars;
    double m_batterySoc = 0;
    double m_cloudFactor = 1;
    int m_cachedMinute = -1;
    QDateTime m_cachedMinuteDateTime;
    int m_minute = 0;
    QVector<MinuteRecord> m_records; // reserved for the whole run
    QStringList m_actionFailures;
    double m_batteryLowerLimit = -1;
    double m_phaseLimit = 0;

    QRandomGenerator m_soakRandom;
    SoakFigures m_soak;
    Thing *m_burstThing = nullptr;
    int m_burstUntil = -1;             // minute the running appliance stops
    double m_expectedTolerance = -1;   // as last set through the API
    uint m_expectedLimit = 0;
    bool m_spotMarketEnabled = false;
    struct ExpectedMode {
        QString mode;                  // "chargingMode" last set
        qint64 endDateTime = 0;        // s since the epoch, last set
    };
    QHash<QString, ExpectedMode> m_expectedModes; // by charger id
};

#endif // SIMULATION_H
