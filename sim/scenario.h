#ifndef SCENARIO_H
#define SCENARIO_H

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QtGlobal>

// One simulated household and what it is expected to achieve, read from a
// JSON file in sim/scenarios/. Powers in W, energies in kWh, currents in A,
// times of day as "hh:mm" on the start date or "d+hh:mm" d days later, all
// local times of the scenario's time zone.
//
// Top level: "name", "description", "timeZone" (an IANA zone such as
// "Europe/Vienna"; without it the TZ the simulator was started with, else
// UTC), "start" (local ISO date-time), "durationMinutes",
// "seed" (clouds), "phasePowerLimit" (A), "acquisitionTolerance" (0…1),
// "pv" {"peakPower", "sunrise", "sunset" (hours), "cloudiness" (0…1),
//   "clouds" ("tenMinute": a random dip of up to cloudiness every ten
//   minutes, the default; "passing": clouds of 1 to 10 minutes that cover
//   the sun for the share "cloudiness" of the daylight minutes and let 20 to
//   50 % through), "cloudSpeed" (passing clouds: 2 makes them twice as short
//   and twice as many)},
// "house" {"baseLoad", "eveningLoad" (17:00–22:00): [W A, W B, W C],
//   "noise" (W per phase, uniform in ±noise every minute),
//   "appliances" [{"name", "phasePower": [W, W, W], "perDay" (starts per
//   day, at random), "minutes": [min, max], "from", "to" ("hh:mm", the
//   hours in which it may start)}]},
// "meter" {"noise" (W per phase: what the grid meter reads is off the
//   truth by up to ±noise; the fuse and the report see the truth)},
// "phaseSwitchPauseMinutes" (a charger switching between 1 and 3 phases
//   while charging stops charging for this long; default 1),
// "battery" {"capacityKwh", "soc", "maxChargePower", "maxDischargePower",
//   "lowerLimit", "upperLimit" (fractions, set through JSON-RPC)},
// "prices" {"spotMarket": bool, "resolutionMinutes": 60 or 15,
//   "hourly": [EUR/MWh per real hour from midnight of the start date,
//   repeated when the run is longer; 24 values are one per hour of the day
//   except on the nights the clocks change],
//   "dayAheadAt": "hh:mm" (the next day's prices appear at this local time,
//   e.g. "13:00"; without it every day's prices are known from the start),
//   "provider": the service the plugin is set to and the price server
//   speaks, "awattar" (the default) or "energy-charts",
//   "zone": its bidding zone, as the provider info names it ("AT", the
//   default, or "DE-LU" for aWATTar; one of Energy-Charts' zones such as
//   "NL" or "SE4"); the server answers no other service or zone},
// "chargers" [{"name", "thingClass" (a host class, e.g. "evChargerAc",
//   "evChargerDc"), "currentRange": [min A, max A], "states": {name: value}}],
// "cars" [{"name", "thingClass" ("electricVehicleConnected" reports its SoC,
//   "electricVehicle" has it estimated), "charger", "capacityKwh", "soc",
//   "phases", "minCurrent", "maxCurrent", "lossPercent" (what the plugin
//   is told), "trueLossPercent": [at full power, at the least power] (the
//   loss the physics applies, linear in the charging power; default
//   "lossPercent"), "dcMaxPower",
//   "plugIn", "plugOut", "trip" {"leave", "back" ("hh:mm"), "useKwh",
//   "weekdays" (bool: Monday to Friday only)} (every day the car leaves and
//   comes back with useKwh less), "configuration" (TavroEnergy ChargingConfiguration
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
// "expectations": the keys read by Report::failedExpectations(),
// "expectationsPending": ["key" or "Car.key", ...] goals the plugin does not
//   meet yet: the report prints them as pending instead of failing.
struct Scenario {
    struct Charger {
        QString name;
        QString thingClass = QStringLiteral("evChargerAc"); // a host thing class
        bool dc = false;
        double minCurrent = 0;       // A, live bounds of "maxChargingCurrent"; 0: the class's
        double maxCurrent = 0;       // (the simulator fills in the class's bounds once the thing exists)
        uint maxPhases = 3;          // AC phases the charger can use (from its class)
        bool phaseSwitching = false; // it can run a three-phase car on one phase
        double dcMaxPower = 0;       // W, a DC charger's "maxChargingPower"; 0: the car's
        QVariantMap states;          // initial state values by name (DC powers, capabilities, ...)
    };

    struct Car {
        QString name;
        QString thingClass = QStringLiteral("electricVehicleConnected");
        QString charger; // the charger it plugs into
        double capacityKwh = 50;
        double soc = 50; // % at start
        uint phases = 3;
        double minCurrent = 6;          // A
        double maxCurrent = 16;         // A
        uint lossPercent = 10;          // % the plugin is told
        double trueLossAtMaxPower = -1; // % the physics applies at full power; -1: lossPercent
        double trueLossAtMinPower = -1; // % at the least power
        double dcMaxPower = 50000;      // W
        int plugInMinute = 0;           // minutes after start
        int plugOutMinute = -1;         // -1: stays plugged in
        int tripLeave = -1;             // minute of the day it leaves on its daily trip, -1 none
        int tripBack = -1;              // minute of the day it comes back
        double tripUseKwh = 0;          // taken out of the battery by the trip
        bool tripWeekdaysOnly = false;
        QVariantMap configuration;   // TavroEnergy ChargingConfiguration members
        int targetMinute = -1;       // minutes after start of the owner's deadline
        double targetPercentage = 0; // what the owner wants by then

        // The loss in % the physics applies at power (W) of maxPower.
        double physicsLossPercent(double power, double maxPower) const;
        // The least and the largest loss the physics may apply, %.
        double leastLossPercent() const
        {
            return trueLossAtMaxPower < 0 ? lossPercent : qMin(trueLossAtMaxPower, trueLossAtMinPower);
        }
        double largestLossPercent() const
        {
            return trueLossAtMaxPower < 0 ? lossPercent : qMax(trueLossAtMaxPower, trueLossAtMinPower);
        }
    };

    struct Load {
        QString name;
        double phasePower[3] = {0, 0, 0};
        int fromMinute = 0;
        int toMinute = 0;
    };

    // A household appliance switching on at random.
    struct Appliance {
        QString name;
        double phasePower[3] = {0, 0, 0};
        double perDay = 0;
        int minMinutes = 10;
        int maxMinutes = 60;
        int fromMinuteOfDay = 0; // local time window for the starts
        int toMinuteOfDay = 1440;
    };

    struct UserAction {
        int minute = 0;
        QString method;     // "Namespace.Method"
        QVariantMap params; // "$charger:<name>" / "$car:<name>" are replaced by ids
    };

    // Random household life from its own seed, so that the clouds of the
    // scenario's "seed" stay as they are.
    struct Random {
        bool enabled = false;
        quint32 seed = 1;
        double plugEventsPerDay = 4;
        double minArrivalSoc = 10; // %
        double maxArrivalSoc = 80;
        double apiCallsPerDay = 100;
        double invalidCallShare = 0.2;
        double meterNoise = 0;   // W per phase, uniform in ±meterNoise
        double pvNoise = 0;      // fraction, uniform in ±pvNoise
        QList<uint> phaseLimits; // A
        QString burstName;       // empty: no random appliance
        double burstPhasePower[3] = {0, 0, 0};
        double burstsPerDay = 0;
        int burstMinMinutes = 10;
        int burstMaxMinutes = 60;
        bool notifications = false;
    };

    QString name;
    QString description;
    QByteArray timeZone; // the TZ value the run uses, e.g. "Europe/Vienna" or "UTC0"
    QDateTime start;
    int durationMinutes = 1440;
    quint32 seed = 1;
    uint phasePowerLimit = 25;
    double acquisitionTolerance = 0.5;

    double pvPeakPower = 0; // W at noon on a clear day
    double sunrise = 6.0;   // hours
    double sunset = 20.0;
    double cloudiness = 0;      // 0 clear … 1 overcast (random dips)
    bool passingClouds = false; // minute-resolution clouds instead of ten-minute dips
    double cloudSpeed = 1;
    double houseNoise = 0; // W per phase, ±
    QList<Appliance> appliances;
    double meterNoise = 0; // W per phase, ±, in the meter's reading only
    int phaseSwitchPauseMinutes = 1;
    double houseBaseLoad[3] = {150, 150, 150};
    double houseEveningLoad[3] = {300, 300, 300}; // added 17:00–22:00

    bool hasBattery = false;
    double batteryCapacityKwh = 10;
    double batteryMaxChargePower = 4000;
    double batteryMaxDischargePower = 4000;
    double batterySoc = 50;
    double batteryLowerLimit = -1; // fraction; -1 leaves the plugin's setting as it is
    double batteryUpperLimit = -1;

    int priceResolutionMinutes = 60; // 60 or 15
    QList<double> hourlyPrices;      // EUR/MWh, one per hour of each simulated day
    bool spotMarket = false;
    int dayAheadMinuteOfDay = -1;                      // the next day's prices appear then; -1 all known
    QString priceProvider = QStringLiteral("awattar"); // or "energy-charts"
    QString priceZone = QStringLiteral("AT");          // bidding zone of the provider

    QList<Charger> chargers;
    QList<Car> cars;
    QList<Load> loads;
    QList<UserAction> actions;
    Random random;
    QJsonObject expectations;
    QStringList expectationsPending;

    // A household with any of the random keys above needs its own random
    // numbers; one without draws none, so its run stays as it was.
    bool hasHouseholdRandom() const
    {
        return passingClouds || houseNoise > 0 || meterNoise > 0 || !appliances.isEmpty();
    }

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
    // Real minutes after the first midnight up to which prices are
    // published at the given minute after the start: the end of tomorrow
    // once the day-ahead prices are out, the end of today before; INT_MAX
    // without "dayAheadAt".
    int pricesKnownUntilOffset(int minute) const;
    // Minutes after the local midnight of a minute after the start.
    int minuteOfDay(int minute) const;
};

#endif // SCENARIO_H
