#include "householdgenerator.h"

#include <QDate>
#include <QJsonArray>
#include <QRandomGenerator>

namespace {

class Dice
{
public:
    explicit Dice(quint32 seed)
        : m_random(seed)
    {
    }
    double real(double from, double to) { return from + (to - from) * m_random.generateDouble(); }
    int integer(int from, int to) { return static_cast<int>(m_random.bounded(from, to + 1)); } // both included
    bool chance(double probability) { return m_random.generateDouble() < probability; }
    template<typename T>
    T pick(std::initializer_list<T> values)
    {
        return *(values.begin() + m_random.bounded(static_cast<int>(values.size())));
    }
    // Watts, rounded to tens so that a kept scenario reads well.
    double watts(double from, double to) { return qRound(real(from, to) / 10.0) * 10.0; }

private:
    QRandomGenerator m_random;
};

// Local "hh:mm" on the start date or "d+hh:mm" d days later.
QString clock(int startMinuteOfDay, int minute)
{
    const int total = startMinuteOfDay + minute;
    const int day = total / 1440;
    const QString time = QStringLiteral("%1:%2")
                                 .arg((total % 1440) / 60, 2, 10, QLatin1Char('0'))
                                 .arg(total % 60, 2, 10, QLatin1Char('0'));
    return day > 0 ? QStringLiteral("%1+%2").arg(day).arg(time) : time;
}

QJsonArray phasePower(Dice &dice, double from, double to)
{
    return {dice.watts(from, to), dice.watts(from, to), dice.watts(from, to)};
}

// When the household runs: the start's local minute of the day and the length.
struct Span {
    int startMinuteOfDay = 0;
    int duration = 0; // minutes
};

// Every draw below comes in the order the generator has always made it:
// a seed names the same household from one version to the next.

QJsonObject pvSection(Dice &dice)
{
    QJsonObject pv{{QStringLiteral("peakPower"), dice.chance(0.85) ? dice.watts(2000, 15000) : 0.0},
                   {QStringLiteral("sunrise"), dice.real(4.5, 7.5)},
                   {QStringLiteral("sunset"), dice.real(17.5, 21.5)},
                   {QStringLiteral("cloudiness"), dice.chance(0.3) ? 0.0 : dice.real(0.05, 0.7)}};
    if (dice.chance(0.5)) {
        pv.insert(QStringLiteral("clouds"), QStringLiteral("passing"));
        pv.insert(QStringLiteral("cloudSpeed"), dice.real(0.5, 2.0));
    }
    return pv;
}

QJsonObject houseSection(Dice &dice)
{
    QJsonObject house{{QStringLiteral("baseLoad"), phasePower(dice, 50, 700)},
                      {QStringLiteral("eveningLoad"), phasePower(dice, 0, 900)}};
    if (dice.chance(0.4))
        house.insert(QStringLiteral("noise"), dice.watts(10, 150));
    QJsonArray appliances;
    for (int a = 0, count = dice.integer(0, 2); a < count; a++) {
        QJsonArray power{0.0, 0.0, 0.0};
        if (dice.chance(0.3)) {
            power = phasePower(dice, 300, 1500);
        } else {
            power[dice.integer(0, 2)] = dice.watts(800, 3000);
        }
        const int shortest = dice.integer(2, 30);
        appliances.append(QJsonObject{{QStringLiteral("name"), QStringLiteral("Appliance %1").arg(a + 1)},
                                      {QStringLiteral("phasePower"), power},
                                      {QStringLiteral("perDay"), dice.real(1, 8)},
                                      {QStringLiteral("minutes"), QJsonArray{shortest, shortest + dice.integer(0, 60)}},
                                      {QStringLiteral("from"), QStringLiteral("00:00")},
                                      {QStringLiteral("to"), QStringLiteral("23:59")}});
    }
    if (!appliances.isEmpty())
        house.insert(QStringLiteral("appliances"), appliances);
    return house;
}

QJsonObject batterySection(Dice &dice)
{
    QJsonObject battery{{QStringLiteral("capacityKwh"), dice.real(3, 15)},
                        {QStringLiteral("soc"), dice.real(5, 95)},
                        {QStringLiteral("maxChargePower"), dice.watts(1500, 5000)},
                        {QStringLiteral("maxDischargePower"), dice.watts(1500, 5000)}};
    if (dice.chance(0.6)) {
        battery.insert(QStringLiteral("lowerLimit"), dice.real(0.1, 0.6));
        battery.insert(QStringLiteral("upperLimit"), dice.real(0.7, 1.0));
    }
    return battery;
}

QJsonObject pricesSection(Dice &dice)
{
    QJsonArray hourly;
    for (int h = 0; h < 24; h++)
        hourly.append(qRound(dice.real(dice.chance(0.05) ? -50 : 20, 320)));
    QJsonObject prices{{QStringLiteral("spotMarket"), dice.chance(0.7)},
                       {QStringLiteral("resolutionMinutes"), dice.pick({60, 15})},
                       {QStringLiteral("hourly"), hourly}};
    if (dice.chance(0.2))
        prices.insert(QStringLiteral("dayAheadAt"), QStringLiteral("13:00"));
    return prices;
}

// A bidirectional DC charger, with its car's power and discharge floor.
void makeDc(Dice &dice, QJsonObject *charger, QJsonObject *car, QJsonObject *configuration)
{
    charger->insert(QStringLiteral("thingClass"), QStringLiteral("evChargerDc"));
    const double maxPower = dice.watts(5000, 22000);
    charger->insert(QStringLiteral("states"),
                    QJsonObject{{QStringLiteral("chargingCapabilities"), QStringLiteral("bidirectional")},
                                {QStringLiteral("minChargingPower"), 1000},
                                {QStringLiteral("maxChargingPower"), maxPower},
                                {QStringLiteral("minDischargingPower"), 500},
                                {QStringLiteral("maxDischargingPower"), dice.watts(3000, 11000)}});
    car->insert(QStringLiteral("dcMaxPower"), dice.watts(5000, 50000));
    // Below every target the generator sets (the plugin refuses a floor at or above it).
    configuration->insert(QStringLiteral("dischargeFloorPercentage"), dice.integer(10, 45));
}

// An AC charger of one of the classes, with its car's phases and currents.
void makeAc(Dice &dice, QJsonObject *charger, QJsonObject *car)
{
    const QString thingClass =
            dice.pick({QStringLiteral("evChargerAc"), QStringLiteral("evChargerAc"), QStringLiteral("evChargerAcBasic"),
                       QStringLiteral("evChargerAcSinglePhase")});
    charger->insert(QStringLiteral("thingClass"), thingClass);
    if (thingClass != QLatin1String("evChargerAcBasic"))
        charger->insert(QStringLiteral("currentRange"), QJsonArray{6, dice.pick({16, 20, 32})});
    car->insert(QStringLiteral("phases"), dice.pick({1, 3, 3, 2}));
    car->insert(QStringLiteral("minCurrent"), dice.pick({6, 6, 8}));
    car->insert(QStringLiteral("maxCurrent"), dice.pick({16, 32, 13}));
}

// The car's mode and target; a target time lies within the run, sometimes
// repeating every day.
void addWish(Dice &dice, const Span &span, bool dc, int plugIn, QJsonObject *car, QJsonObject *configuration)
{
    const QString mode =
            dice.pick({QStringLiteral("ChargingModeEco"), QStringLiteral("ChargingModeEco"),
                       QStringLiteral("ChargingModeEcoWithTargetTime"), QStringLiteral("ChargingModeNormal")});
    const int target = dice.integer(dc ? 10 : 5, 20) * 5;
    configuration->insert(QStringLiteral("chargingMode"), mode);
    configuration->insert(QStringLiteral("targetPercentage"), target);
    if (dice.chance(0.4))
        configuration->insert(QStringLiteral("stopOnTargetPercentage"), true);
    if (mode != QLatin1String("ChargingModeEcoWithTargetTime"))
        return;
    // Within the run: a scenario's times lie inside it.
    const int deadline = dice.integer(plugIn + 30, span.duration - 5) / 5 * 5;
    if (dice.chance(0.25)) {
        // Every day at the target's time: the scenario names the time
        // on the start date, which may lie in the past.
        configuration->insert(QStringLiteral("endDateTime"),
                              QStringLiteral("$time:") + clock(0, (span.startMinuteOfDay + deadline) % 1440));
        configuration->insert(QStringLiteral("repeatDays"), QJsonArray{1, 2, 3, 4, 5, 6, 7});
    } else {
        configuration->insert(QStringLiteral("endDateTime"),
                              QStringLiteral("$time:") + clock(span.startMinuteOfDay, deadline));
    }
    car->insert(QStringLiteral("target"), QJsonObject{{QStringLiteral("at"), clock(span.startMinuteOfDay, deadline)},
                                                      {QStringLiteral("percentage"), target}});
}

// The owner changes his mind during the run, sometimes.
void addChangeOfMind(Dice &dice, const Span &span, const QString &chargerName, QJsonArray *actions)
{
    if (!dice.chance(0.25))
        return;
    const int at = dice.integer(10, span.duration - 10);
    QJsonObject change{{QStringLiteral("evChargerId"), QStringLiteral("$charger:") + chargerName},
                       {QStringLiteral("chargingMode"),
                        dice.pick({QStringLiteral("ChargingModeEco"), QStringLiteral("ChargingModeNormal")})},
                       {QStringLiteral("stopOnTargetPercentage"), dice.chance(0.5)},
                       {QStringLiteral("targetPercentage"), dice.integer(10, 20) * 5}};
    actions->append(
            QJsonObject{{QStringLiteral("at"), clock(span.startMinuteOfDay, at)},
                        {QStringLiteral("method"), QStringLiteral("TavroEnergy.SetChargingConfiguration")},
                        {QStringLiteral("params"), QJsonObject{{QStringLiteral("chargingConfiguration"), change}}}});
}

// Charger and car number i + 1 with the owner's wishes for it.
void addChargerAndCar(Dice &dice, const Span &span, int i, QJsonArray *chargers, QJsonArray *cars, QJsonArray *actions)
{
    const QString chargerName = QStringLiteral("Charger %1").arg(i + 1);
    const QString carName = QStringLiteral("Car %1").arg(i + 1);
    const bool dc = dice.chance(0.2);
    QJsonObject charger{{QStringLiteral("name"), chargerName}};
    // A car on a DC charger reports its level; on AC it may not.
    QJsonObject car{{QStringLiteral("name"), carName},
                    {QStringLiteral("charger"), chargerName},
                    {QStringLiteral("thingClass"), dc || dice.chance(0.75) ? QStringLiteral("electricVehicleConnected")
                                                                           : QStringLiteral("electricVehicle")},
                    {QStringLiteral("capacityKwh"), dice.pick({20.0, 40.0, 58.0, 77.0, 100.0})},
                    {QStringLiteral("soc"), dice.real(3, 95)},
                    {QStringLiteral("lossPercent"), dice.integer(3, 15)}};
    if (dice.chance(0.3)) {
        const double atMax = dice.real(3, 12);
        car.insert(QStringLiteral("trueLossPercent"), QJsonArray{atMax, atMax + dice.real(0, 10)});
    }
    QJsonObject configuration;
    if (dc)
        makeDc(dice, &charger, &car, &configuration);
    else
        makeAc(dice, &charger, &car);
    const int plugIn = dice.chance(0.5) ? 0 : dice.integer(0, span.duration * 2 / 3) / 5 * 5;
    car.insert(QStringLiteral("plugIn"), clock(span.startMinuteOfDay, plugIn));
    if (dice.chance(0.25))
        car.insert(QStringLiteral("plugOut"),
                   clock(span.startMinuteOfDay, dice.integer(plugIn + 30, span.duration - 1)));
    addWish(dice, span, dc, plugIn, &car, &configuration);
    car.insert(QStringLiteral("configuration"), configuration);
    addChangeOfMind(dice, span, chargerName, actions);
    chargers->append(charger);
    cars->append(car);
}

// A soak in small: cars come and go at random, the owner pokes at the API.
QJsonObject randomSection(Dice &dice, quint32 seed)
{
    return QJsonObject{{QStringLiteral("seed"), static_cast<int>(seed % 1000003)},
                       {QStringLiteral("plugEventsPerDay"), dice.real(4, 16)},
                       {QStringLiteral("arrivalSoc"), QJsonArray{5, 85}},
                       {QStringLiteral("apiCallsPerDay"), dice.real(50, 400)},
                       {QStringLiteral("invalidCallShare"), 0.1},
                       {QStringLiteral("meterNoise"), dice.watts(0, 100)},
                       {QStringLiteral("pvNoise"), dice.real(0, 0.1)},
                       {QStringLiteral("phaseLimits"), QJsonArray{16, 20, 25, 32}}};
}

}

QJsonObject HouseholdGenerator::generate(quint32 seed)
{
    Dice dice(seed);
    QJsonObject json;
    json.insert(QStringLiteral("name"), QStringLiteral("Random household %1").arg(seed));
    json.insert(QStringLiteral("description"),
                QStringLiteral("Generated from seed %1 to search for runs that beat the limit.").arg(seed));

    // Often across a sunset or a sunrise, sometimes at noon or at night.
    const int startHour = dice.pick({4, 5, 9, 12, 15, 16, 17, 18, 19, 22});
    Span span;
    span.startMinuteOfDay = startHour * 60;
    span.duration = dice.integer(3, 10) * 60;
    const QDate date = QDate(2026, 3, 1).addDays(dice.integer(0, 200));
    json.insert(QStringLiteral("start"),
                QStringLiteral("%1T%2:00:00").arg(date.toString(Qt::ISODate)).arg(startHour, 2, 10, QLatin1Char('0')));
    json.insert(QStringLiteral("durationMinutes"), span.duration);
    json.insert(QStringLiteral("seed"), static_cast<int>(seed % 100000));
    json.insert(QStringLiteral("phasePowerLimit"), dice.pick({16, 20, 25, 32, 40}));
    json.insert(QStringLiteral("acquisitionTolerance"), dice.pick({0.0, 0.25, 0.5, 1.0}));
    json.insert(QStringLiteral("pv"), pvSection(dice));
    json.insert(QStringLiteral("house"), houseSection(dice));
    if (dice.chance(0.3))
        json.insert(QStringLiteral("meter"), QJsonObject{{QStringLiteral("noise"), dice.watts(10, 120)}});
    if (dice.chance(0.2))
        json.insert(QStringLiteral("phaseSwitchPauseMinutes"), dice.integer(0, 3));
    if (dice.chance(0.3))
        json.insert(QStringLiteral("battery"), batterySection(dice));
    json.insert(QStringLiteral("prices"), pricesSection(dice));

    QJsonArray chargers;
    QJsonArray cars;
    QJsonArray actions;
    const int count = dice.integer(1, 3);
    for (int i = 0; i < count; i++)
        addChargerAndCar(dice, span, i, &chargers, &cars, &actions);
    json.insert(QStringLiteral("chargers"), chargers);
    json.insert(QStringLiteral("cars"), cars);
    if (dice.chance(0.15))
        actions.append(
                QJsonObject{{QStringLiteral("at"), clock(span.startMinuteOfDay, dice.integer(10, span.duration - 10))},
                            {QStringLiteral("method"), QStringLiteral("TavroEnergy.SetPhasePowerLimit")},
                            {QStringLiteral("params"),
                             QJsonObject{{QStringLiteral("phasePowerLimit"), dice.pick({16, 20, 25, 32})}}}});
    if (!actions.isEmpty())
        json.insert(QStringLiteral("actions"), actions);
    if (dice.chance(0.15))
        json.insert(QStringLiteral("random"), randomSection(dice, seed));
    return json;
}
