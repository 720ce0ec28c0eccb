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
// JSON file in sim/scenarios/. The format is the JSON Schema
// sim/scenario.schema.json (installed beside the scenarios, so that editors
// check with it too): every key with its type, range and meaning. Powers in
// W, energies in kWh, currents in A, times of day as "HH:MM" on the start
// date or "d+HH:MM" d days later, all local times of the scenario's time
// zone.
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

    // What the forecast server serves and the plugin is told.
    struct ForecastPlane {
        double latitude = 48.21;
        double longitude = 16.37;
        double declination = 30;
        double azimuth = 0;
        double kwp = 0;
        QList<int> horizon;
    };
    struct Forecast {
        bool enabled = false;
        double bias = 1;  // factor on the honest forecast
        double noise = 0; // fraction, ± per hour
        quint32 seed = 1;
        int lateByDays = 0;
        bool everyAfternoonMissed = false;
        QList<int> missedAfternoons; // days after the start date
        QList<ForecastPlane> planes;
        QString apiKey;
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
    QList<double> pvDayFactors; // the weather of each day after the start date
    double houseNoise = 0;      // W per phase, ±
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
    int restartMinute = -1; // minute after start the host restarts at; -1 never
    Random random;
    Forecast forecast;
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
    //
    // A scenario is checked against the schema, then for what a schema
    // cannot say (a local time the clocks skip, a plug-out before the
    // plug-in, a time outside the run, a name that names nothing); the
    // error string has one line per problem, "key.path: what is wrong",
    // and load() puts the file name before each, or names the line and
    // column of a syntax error.
    static Scenario fromJson(const QJsonObject &json, const QByteArray &defaultTimeZone, QString *errorString);
    static Scenario load(const QString &fileName, const QByteArray &defaultTimeZone, QString *errorString);
    // The schema, as built into the simulator.
    static QByteArray schemaText();

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

    // A cloudy afternoon lets this share of the sun through, from 13:00.
    static constexpr double cloudyAfternoonShare = 0.3;
    static constexpr int cloudyAfternoonHour = 13;
    // W of the PV under a clear sky at a local time: the day's arc.
    double clearSkyPower(const QDateTime &time) const;
    // The share of the clear-sky PV the weather of a day (days after the
    // start date) lets through; 1 for days the scenario does not name.
    double pvDayFactor(int day) const;
    // The afternoon of that day is cloudy, unforeseen by the forecast.
    bool missedCloudyAfternoon(int day) const;
    // The mean share of the sun the scenario's clouds let through.
    double meanCloudFactor() const;
};

#endif // SCENARIO_H
