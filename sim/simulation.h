#ifndef SIMULATION_H
#define SIMULATION_H

#include "apiexpectations.h"
#include "homedevices.h"
#include "household.h"
#include "ownertimeline.h"
#include "peercontroller.h"
#include "randomcalls.h"
#include "scenario.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QRandomGenerator>
#include <QSet>
#include <QStringList>
#include <QUuid>
#include <QVarLengthArray>
#include <QVector>

#include <memory>

class EnergyManager;
class EnergyPlugin;
class ForecastServer;
class JsonRpcClient;
class JsonRpcEnergyHandler;
class JsonRpcServer;
class JsonRpcThingsHandler;
class PriceServer;
class Thing;
class ThingManager;

// What a run with a "random" section did and saw.
struct SoakFigures {
    int apiCalls = 0;
    int invalidCalls = 0;       // of apiCalls, the ones built to be refused
    int malformedReplies = 0;   // not JSON-RPC 2.0, or a result without its method's members
    int unexpectedOutcomes = 0; // a valid call refused, an invalid one accepted, a setting lost
    int socOutOfRange = 0;      // car-minutes with a true or reported SoC outside 0…100 %
    int plugEvents = 0;         // plug-ins and plug-outs
    int bursts = 0;             // random appliance runs
    double lowestSoc = 100;     // %, every car, true and reported, every minute
    double highestSoc = 0;
    qint64 heapAfterFirstDay = -1; // bytes in use at the end of day 1; -1 unmeasured
    qint64 heapAtEnd = -1;         // bytes in use at the end of the run
    QStringList problems;          // the first few faults, readable
};

// What a run with a "forecast" section served and what the plugin held.
struct ForecastFigures {
    int requests = 0;       // to the forecast server
    int refused = 0;        // of them, for the rate limit
    int hoursChecked = 0;   // hours at whose start the plugin was asked (GetSolarForecast)
    int hoursAvailable = 0; // of them, the plugin held a forecast to count on
    double forecastKwh = 0; // the served forecast over the run
};

// A push notification the plugin sent to the owner's phone.
struct OwnerNotification {
    int minute = 0;
    QString title;
    QString body;
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
    // Real-time mode: the owner's page from directory and JSON-RPC over
    // WebSocket on 127.0.0.1:port (0: a free one), also after a restart of
    // the host. The port, 0 when it cannot be opened.
    quint16 servePage(const QString &directory, quint16 port);

    const Scenario &scenario() const { return m_scenario; }
    const QVector<MinuteRecord> &records() const { return m_records; }
    // The same minutes in the peer controller's household.
    const QVector<MinuteRecord> &peerRecords() const { return m_peerRecords; }
    // Random for every run, so that no other local process can know it.
    QString adminToken() const;
    // True for a car whose "batteryLevel" the plugin estimates.
    bool carEstimated(int carIndex) const;
    // Minute from which the owner's own entry of the car's level holds; -1 when never entered.
    int carLevelEnteredMinute(int carIndex) const { return m_cars.at(carIndex).levelEnteredMinute; }
    // The home battery's lower limit in force in the plugin (fraction), -1 unknown.
    double batteryLowerLimit() const { return m_batteryLowerLimit; }
    // The home battery's SoC (%) when the first minute starts.
    double initialBatterySoc() const { return m_initialBatterySoc; }
    // User actions that the host or the plugin refused, as readable lines.
    const QStringList &actionFailures() const { return m_actionFailures; }
    // Every notification the plugin pushed, in the order sent.
    const QList<OwnerNotification> &notifications() const { return m_notifications; }
    // Minutes in which the owner plugged a car in or out, operated a device
    // or changed a setting through the API (scripted or random): steps from
    // outside.
    const QSet<int> &ownerActionMinutes() const { return m_ownerActionMinutes; }
    // Of those, the minutes the owner switched a charger himself: a car
    // plugged in or out, the charger's power by hand, a new charging
    // configuration.
    const QSet<int> &ownerSwitchMinutes() const { return m_ownerSwitchMinutes; }
    const SoakFigures &soak() const { return m_soak; }
    // The thing id of a charger of the scenario, by index.
    QUuid chargerThingId(int chargerIndex) const;
    // Every wish of the owner the plugin accepted, from the minute it was
    // sent; the peer got the same at the same minute.
    const OwnerTimeline &owner() const { return m_owner; }
    const ForecastFigures &forecast() const { return m_forecastFigures; }
    // The solar forecast every column plans with; null without a "forecast" section.
    const ForecastServer *forecastServer() const { return m_forecastServer.get(); }
    // The fixed id of a device of the scenario by its kind and name: every
    // run of a scenario sees the same ids.
    static QUuid fixedId(const QString &kind, const QString &name);

private:
    struct CarState {
        Thing *thing = nullptr;
        int chargerIndex = -1;
        bool pluggedIn = false;
        bool onTrip = false;
        int levelEnteredMinute = -1;
    };
    struct ChargerState {
        Thing *thing = nullptr;
    };

    static void settle();
    // Collects the owner's notifications sent through the phone thing.
    void captureNotifications(Thing *phone);
    // A hard stop and a fresh start of the host (simulationrestart.cpp):
    // the settings, storage and cache folders as they are on disk now are
    // what a kill leaves; the host objects and the plugin are torn down, the
    // folders put back as they were (nothing written on the way down
    // counts), and a fresh host loads the plugin again on the same devices
    // (same ids, names, states and settings). False with errorString.
    bool restartHost(QString *errorString);
    // The host objects around the things, the plugin and the client.
    bool startHost(const QString &pluginDirectory, QString *errorString);
    // The steps of setUp, in its order; each false with errorString.
    // The price server, and the forecast server for a "forecast" section.
    bool startServers(QString *errorString);
    // The host's things of the household, the chargers and the cars.
    bool addDevices(QString *errorString);
    bool addCharger(int chargerIndex, QString *errorString);
    // The scenario's charger takes the bounds its thing has.
    void takeChargerBounds(int chargerIndex, Thing *thing);
    bool addCar(const Scenario::Car &car, QString *errorString);
    // The phase limit, tolerance and battery limits, set and read back.
    bool configureLimits(QString *errorString);
    void startPeer();
    bool configureSpotMarket(QString *errorString);
    bool configureForecast(QString *errorString);
    // Every car's charging configuration, also as the owner's first wish.
    bool configureCars(QString *errorString);
    void applyEvents(int minute);
    // At the end of the run: the scenario's targets the owner took back.
    void withdrawAbandonedTargets();
    void runUserAction(const Scenario::UserAction &action);
    QVariant resolvePlaceholders(const QVariant &value) const;
    // The household's own minute: PV, house load, price and limit.
    void householdMinute(int minute, MinuteRecord *record);
    void simulatePhysics(int minute, MinuteRecord *record);
    // The peer controller's household on the same minute.
    void simulatePeer(const MinuteRecord &household);
    // What the plugin asks of the chargers, read off their states.
    QVector<ChargerCommand> pluginCommands() const;
    // The wall-clock time of a simulated minute; converting a local
    // date-time costs a call into the C library's time zone code, so the
    // last one is kept.
    QDateTime minuteDateTime(int minute);
    void setPluggedIn(int carIndex, bool pluggedIn);
    void refreshPrices();
    // Lets the plugin's solar forecast ask for what is due now and waits for the answers.
    void tickForecast();
    QVariantMap configurationFor(const Scenario::Car &car, int carIndex) const;

    // The "random" section (simulationrandom.cpp).
    void applyRandomEvents(int minute);
    // What a random call may refer to now.
    RandomCalls::Household randomHousehold();
    void runRandomCall(const RandomCall &call);
    void checkRandomState(const QString &method, const QVariantMap &result);
    void addRandomLoad(double *phasePower);
    double noise(double amplitude);
    void checkSoc(const MinuteRecord &record);
    void measureHeap();
    void soakProblem(const QString &text);
    Scenario m_scenario;
    const QString m_adminToken = QUuid::createUuid().toString(QUuid::Id128);
    std::unique_ptr<ThingManager> m_thingManager;
    std::unique_ptr<EnergyManager> m_energyManager;
    std::unique_ptr<JsonRpcServer> m_jsonRpcServer;
    std::unique_ptr<JsonRpcThingsHandler> m_thingsHandler;
    std::unique_ptr<JsonRpcEnergyHandler> m_energyHandler;
    std::unique_ptr<PriceServer> m_priceServer;
    std::unique_ptr<ForecastServer> m_forecastServer;
    ForecastFigures m_forecastFigures;
    std::unique_ptr<JsonRpcClient> m_client;
    EnergyPlugin *m_plugin = nullptr;
    QString m_pluginDirectory;
    QString m_pageDirectory; // empty: no page
    quint16 m_pagePort = 0;

    HomeDevices m_home; // PV, house load, home battery and meter
    QList<ChargerState> m_chargers;
    QList<CarState> m_cars;
    Household m_household;
    Household m_peerHousehold;
    std::unique_ptr<PeerController> m_peer;
    QVector<ChargerCommand> m_peerCommands;
    QVector<MinuteRecord> m_peerRecords;
    int m_cachedMinute = -1;
    QDateTime m_cachedMinuteDateTime;
    int m_minute = 0;
    QVector<MinuteRecord> m_records; // reserved for the whole run
    QStringList m_actionFailures;
    QList<OwnerNotification> m_notifications;
    QSet<int> m_ownerActionMinutes;
    QSet<int> m_ownerSwitchMinutes;
    void noteOwnerAction(const QString &method, const QVariantMap &params);
    // After the plugin accepted an owner's call: the peer, the owner's
    // timeline (and with it the limit) and what the API must answer from
    // now on follow at the same minute.
    void followOwner(const QString &method, const QVariantMap &params);
    OwnerTimeline m_owner;
    double m_batteryLowerLimit = -1;
    double m_initialBatterySoc = 0;
    double m_phaseLimit = 0;

    QRandomGenerator m_soakRandom;
    RandomCalls m_randomCalls{m_scenario, m_soakRandom};
    SoakFigures m_soak;
    Thing *m_burstThing = nullptr;
    int m_burstUntil = -1;      // minute the running appliance stops
    ApiExpectations m_expected; // what the API must answer after the accepted calls
    bool m_spotMarketEnabled = false;
};

#endif // SIMULATION_H
