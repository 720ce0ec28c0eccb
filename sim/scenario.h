#ifndef SCENARIO_H
#define SCENARIO_H

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariantMap>

// One simulated household and what it is expected to achieve, read from a
// JSON file in sim/scenarios/. Powers in W, energies in kWh, currents in A,
// times of day as "hh:mm" on the start date or "d+hh:mm" d days later, all
// local times of the scenario's time zone.
//
// Top level: "name", "description", "timeZone" (an IANA zone such as
// "Europe/Vienna"; without it the TZ the simulator was started with, else
// UTC), "start" (local ISO date-time), "durationMinutes",
// "seed" (clouds), "phasePowerLimit" (A), "acquisitionTolerance" (0…1),
// "pv" {"peakPower", "sunrise", "sunset" (hours), "cloudiness" (0…1)},
// "house" {"baseLoad", "eveningLoad" (17:00–22:00): [W A, W B, W C]},
// "battery" {"capacityKwh", "soc", "maxChargePower", "maxDischargePower",
//   "lowerLimit", "upperLimit" (fractions, set through JSON-RPC)},
// "prices" {"spotMarket": bool, "resolutionMinutes": 60 or 15,
//   "hourly": [EUR/MWh per real hour from midnight of the start date,
//   repeated when the run is longer; 24 values are one per hour of the day
//   except on the nights the clocks change]},
// "chargers" [{"name", "thingClass" (a host class, e.g. "evChargerAc",
//   "evChargerDc"), "currentRange": [min A, max A], "states": {name: value}}],
// "cars" [{"name", "thingClass" ("electricVehicleConnected" reports its SoC,
//   "electricVehicle" has it estimated), "charger", "capacityKwh", "soc",
//   "phases", "minCurrent", "maxCurrent", "lossPercent", "dcMaxPower",
//   "plugIn", "plugOut", "configuration" (TavroEnergy ChargingConfiguration
//   members, enums as key strings, "$time:hh:mm" for a date-time),
//   "target" {"at", "percentage"} (what the report checks)}],
// "loads" [{"name", "phasePower": [W, W, W], "from", "to"}] (entries with one
//   name are one appliance),
// "actions" [{"at", "method" ("Namespace.Method"), "params"}] sent through
//   JSON-RPC; "$charger:Name" and "$car:Name" become thing ids,
// "random" (optional; a soak of many days): {"seed", "plugEventsPerDay"
//   (per car, plug-ins and plug-outs together), "arrivalSoc": [min %, max %],
//   "apiCallsPerDay", "invalidCallShare" (0…1), "meterNoise" (W per phase, ±),
//   "pvNoise" (fraction of PV, ±), "phaseLimits": [A, ...] (what random limit
//   changes choose from), "burst" {"name", "phasePower": [W, W, W],
//   "perDay", "minutes": [min, max]} (an appliance switching on at random),
//   "notifications" (bool: the client also takes the plugin's notifications)};
//   the cars' "plugIn"/"plugOut" are then ignored,
// "expectations": the keys read by Report::failedExpectations().
struct Scenario
{
    struct Charger {
        QString name;
        QString thingClass = QStringLiteral("evChargerAc"); // a host thing class
        bool dc = false;
        double minCurrent = 0;           // A, live bounds of "maxChargingCurrent"; 0: the class's
        double maxCurrent = 0;
        QVariantMap states;              // initial state values by name (DC powers, capabilities, ...)
    };

    struct Car {
        QString name;
        QString thingClass = QStringLiteral("electricVehicleConnected");
        QString charger;                 // the charger it plugs into
        double capacityKwh = 50;
        double soc = 50;                 // % at start
        uint phases = 3;
        double minCurrent = 6;           // A
        double maxCurrent = 16;          // A
        uint lossPercent = 10;
        double dcMaxPower = 50000;       // W
        int plugInMinute = 0;            // minutes after start
        int plugOutMinute = -1;          // -1: stays plugged in
        QVariantMap configuration;       // TavroEnergy ChargingConfiguration members
        int targetMinute = -1;           // minutes after start of the owner's deadline
        double targetPercentage = 0;     // what the owner wants by then
    };

    struct Load {
        QString name;
        double phasePower[3] = {0, 0, 0};
        int fromMinute = 0;
        int toMinute = 0;
    };

    struct UserAction {
        int minute = 0;
        QString method;                  // "Namespace.Method"
        QVariantMap params;              // "$charger:<name>" / "$car:<name>" are replaced by ids
    };

    // Random household life from its own seed, so that the clouds of the
    // scenario's "seed" stay as they are.
    struct Random {
        bool enabled = false;
        quint32 seed = 1;
        double plugEventsPerDay = 4;
        double minArrivalSoc = 10;       // %
        double maxArrivalSoc = 80;
        double apiCallsPerDay = 100;
        double invalidCallShare = 0.2;
        double meterNoise = 0;           // W per phase, uniform in ±meterNoise
        double pvNoise = 0;              // fraction, uniform in ±pvNoise
        QList<uint> phaseLimits;         // A
        QString burstName;               // empty: no random appliance
        double burstPhasePower[3] = {0, 0, 0};
        double burstsPerDay = 0;
        int burstMinMinutes = 10;
        int burstMaxMinutes = 60;
        bool notifications = false;
    };

    QString name;
    QString description;
    QByteArray timeZone;                 // the TZ value the run uses, e.g. "Europe/Vienna" or "UTC0"
    QDateTime start;
    int durationMinutes = 1440;
    quint32 seed = 1;
    uint phasePowerLimit = 25;
    double acquisitionTolerance = 0.5;

    double pvPeakPower = 0;              // W at noon on a clear day
    double sunrise = 6.0;                // hours
    double sunset = 20.0;
    double cloudiness = 0;               // 0 clear … 1 overcast (random dips)
    double houseBaseLoad[3] = {150, 150, 150};
    double houseEveningLoad[3] = {300, 300, 300}; // added 17:00–22:00

    bool hasBattery = false;
    double batteryCapacityKwh = 10;
    double batteryMaxChargePower = 4000;
    double batteryMaxDischargePower = 4000;
    double batterySoc = 50;
    double batteryLowerLimit = -1;       // fraction; -1 leaves the plugin's setting as it is
    double batteryUpperLimit = -1;

    int priceResolutionMinutes = 60;     // 60 or 15
    QList<double> hourlyPrices;          // EUR/MWh, one per hour of each simulated day
    bool spotMarket = false;

    QList<Charger> chargers;
    QList<Car> cars;
    QList<Load> loads;
    QList<UserAction> actions;
    Random random;
    QJsonObject expectations;

    // An empty error string on success. The scenario's time zone (or
    // defaultTimeZone, a TZ value, when it names none) becomes the process's
    // local zone before its times are read: the host and the plugin work in
    // local time, so they see the household's clock, clock changes included.
    static Scenario fromJson(const QJsonObject &json, const QByteArray &defaultTimeZone, QString *errorString);
    static Scenario load(const QString &fileName, const QByteArray &defaultTimeZone, QString *errorString);

    // Local midnight of the start date; real minutes from there to the start.
    QDateTime firstMidnight() const { return QDateTime(start.date(), QTime(0, 0)); }
    int startOffsetMinutes() const { return static_cast<int>(firstMidnight().secsTo(start) / 60); }
    // The local wall-clock time of a minute after the start, as "hh:mm".
    QString clockText(int minute) const;
    // EUR/MWh at minute (minutes after start), with the scenario's resolution.
    double priceAt(int minute) const;
    // EUR/MWh at a real minute after the first midnight.
    double priceAtOffset(int minuteOfRun) const;
};

#endif // SCENARIO_H
