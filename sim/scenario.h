#ifndef SCENARIO_H
#define SCENARIO_H

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariantMap>

// One simulated household and what it is expected to achieve, read from a
// JSON file in sim/scenarios/. Powers in W, energies in kWh, currents in A,
// times of day as "hh:mm" relative to the start date.
struct Scenario
{
    struct Charger {
        QString name;
        QString thingClass = QStringLiteral("evChargerAc"); // a host thing class
        bool dc = false;
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

    QString name;
    QString description;
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

    int priceResolutionMinutes = 60;     // 60 or 15
    QList<double> hourlyPrices;          // EUR/MWh, one per hour of each simulated day
    bool spotMarket = false;

    QList<Charger> chargers;
    QList<Car> cars;
    QList<Load> loads;
    QList<UserAction> actions;
    QJsonObject expectations;

    // An empty error string on success.
    static Scenario fromJson(const QJsonObject &json, QString *errorString);
    static Scenario load(const QString &fileName, QString *errorString);

    // EUR/MWh at minute (minutes after start), with the scenario's resolution.
    double priceAt(int minute) const;
};

#endif // SCENARIO_H
