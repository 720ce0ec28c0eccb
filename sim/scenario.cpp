#include "scenario.h"

#include "common/jsonschemacheck.h"
#include "scenarioschema.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTimeZone>
#include <QtMath>

#include <algorithm>
#include <ctime>
#include <limits>

namespace {

// What the schema cannot say, collected with the key path it concerns.
class Problems
{
public:
    void add(const QString &path, const QString &message) { m_lines << path + QStringLiteral(": ") + message; }
    bool isEmpty() const { return m_lines.isEmpty(); }
    QString text() const { return m_lines.join(QLatin1Char('\n')); }

private:
    QStringList m_lines;
};

QString indexed(const QString &key, int index)
{
    return QStringLiteral("%1[%2]").arg(key).arg(index);
}

// "HH:MM" on the start date or "d+HH:MM" d days later (the schema has
// checked the form), local time → real minutes after the start: a night the
// clocks change has 23 or 25 hours. False for a local time the clocks skip.
bool runMinuteOf(const QString &text, const QDateTime &start, int *minute)
{
    int day = 0;
    QString clock = text;
    if (text.contains(QLatin1Char('+'))) {
        day = text.section(QLatin1Char('+'), 0, 0).toInt();
        clock = text.section(QLatin1Char('+'), 1);
    }
    const QTime time = QTime::fromString(clock, QStringLiteral("hh:mm"));
    const QDateTime at(start.date().addDays(day), time);
    if (!time.isValid() || !at.isValid() || at.time() != time)
        return false;
    *minute = static_cast<int>(start.secsTo(at) / 60);
    return true;
}

// The end of the run as a run time, "d+HH:MM".
QString endText(const Scenario &scenario)
{
    const QDateTime end = scenario.start.addSecs(scenario.durationMinutes * 60LL);
    const qint64 day = scenario.start.date().daysTo(end.date());
    return (day > 0 ? QStringLiteral("%1+").arg(day) : QString()) + end.toString(QStringLiteral("HH:mm"));
}

// A run time at path of object, fallback without the key. It must fall
// within the run, its end included; the end of something (a plug-out, a
// load switching off) may also lie after it.
int runMinute(const QJsonObject &object, const QString &key, const QString &path, const Scenario &scenario,
              int fallback, Problems *problems, bool mayEndAfterRun = false)
{
    if (!object.contains(key))
        return fallback;
    const QString text = object.value(key).toString();
    int minute = fallback;
    if (!runMinuteOf(text, scenario.start, &minute)) {
        problems->add(path, QStringLiteral("\"%1\" does not exist on that day (the clocks skip it)").arg(text));
        return fallback;
    }
    if (minute < 0 || (minute > scenario.durationMinutes && !mayEndAfterRun))
        problems->add(path,
                      QStringLiteral("\"%1\" lies outside the run, which ends at \"%2\"").arg(text, endText(scenario)));
    return minute;
}

// "HH:MM" → minutes after midnight.
int timeOfDay(const QJsonValue &value, int fallback)
{
    const QTime time = QTime::fromString(value.toString(), QStringLiteral("hh:mm"));
    return time.isValid() ? time.msecsSinceStartOfDay() / 60000 : fallback;
}

void readPhases(const QJsonValue &value, double *phases)
{
    const QJsonArray array = value.toArray();
    for (int i = 0; i < 3 && i < array.count(); i++)
        phases[i] = array.at(i).toDouble();
}

// The "forecast" section; the schema has checked its types and ranges.
void readForecast(const QJsonObject &object, Scenario *scenario, Problems *problems)
{
    Scenario::Forecast &forecast = scenario->forecast;
    forecast.enabled = true;
    forecast.bias = object.value(QStringLiteral("bias")).toDouble(1);
    forecast.noise = object.value(QStringLiteral("noise")).toDouble(0);
    forecast.seed = static_cast<quint32>(object.value(QStringLiteral("seed")).toDouble(scenario->seed));
    forecast.lateByDays = object.value(QStringLiteral("lateByDays")).toInt(0);
    forecast.apiKey = object.value(QStringLiteral("apiKey")).toString();
    const QJsonValue missed = object.value(QStringLiteral("missedCloudyAfternoon"));
    forecast.everyAfternoonMissed = missed.toBool(false);
    for (const QJsonValue &day : missed.toArray())
        forecast.missedAfternoons.append(day.toInt());
    for (const QJsonValue &item : object.value(QStringLiteral("planes")).toArray()) {
        const QJsonObject planeObject = item.toObject();
        Scenario::ForecastPlane plane;
        plane.latitude = planeObject.value(QStringLiteral("latitude")).toDouble(plane.latitude);
        plane.longitude = planeObject.value(QStringLiteral("longitude")).toDouble(plane.longitude);
        plane.declination = planeObject.value(QStringLiteral("declination")).toDouble(plane.declination);
        plane.azimuth = planeObject.value(QStringLiteral("azimuth")).toDouble(plane.azimuth);
        plane.kwp = planeObject.value(QStringLiteral("kwp")).toDouble(0);
        for (const QJsonValue &elevation : planeObject.value(QStringLiteral("horizon")).toArray())
            plane.horizon.append(elevation.toInt());
        forecast.planes.append(plane);
    }
    if (!forecast.planes.isEmpty())
        return;
    if (scenario->pvPeakPower > 0) {
        Scenario::ForecastPlane plane;
        plane.kwp = scenario->pvPeakPower / 1000.0;
        forecast.planes.append(plane);
    } else {
        problems->add(QStringLiteral("forecast.planes"), QStringLiteral("needed without \"pv.peakPower\""));
    }
}

// "[least, most]" pairs must be in that order.
void checkOrder(const QJsonObject &object, const QString &key, const QString &path, Problems *problems)
{
    const QJsonArray pair = object.value(key).toArray();
    if (pair.count() == 2 && pair.at(0).toDouble() > pair.at(1).toDouble())
        problems->add(path, QStringLiteral("the first value (%1) must not exceed the second (%2)")
                                    .arg(pair.at(0).toDouble())
                                    .arg(pair.at(1).toDouble()));
}

// "$charger:Name", "$car:Name" and "$time:…" anywhere in a configuration or
// an action's parameters must name what there is.
void checkPlaceholders(const QJsonValue &value, const QString &path, const Scenario &scenario, Problems *problems)
{
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it)
            checkPlaceholders(it.value(), path + QLatin1Char('.') + it.key(), scenario, problems);
        return;
    }
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        for (int i = 0; i < array.count(); i++)
            checkPlaceholders(array.at(i), indexed(path, i), scenario, problems);
        return;
    }
    const QString text = value.toString();
    if (!value.isString() || !text.startsWith(QLatin1Char('$')))
        return;
    const QString kind = text.section(QLatin1Char(':'), 0, 0);
    const QString argument = text.section(QLatin1Char(':'), 1);
    if (kind == QLatin1String("$time")) {
        static const QRegularExpression form(QStringLiteral("^([0-9]{1,3}\\+)?([01][0-9]|2[0-3]):[0-5][0-9]$"));
        int minute = 0;
        if (!form.match(argument).hasMatch())
            problems->add(path, QStringLiteral("\"%1\" is no \"$time:HH:MM\" or \"$time:d+HH:MM\"").arg(text));
        else if (!runMinuteOf(argument, scenario.start, &minute))
            problems->add(path, QStringLiteral("\"%1\" does not exist on that day (the clocks skip it)").arg(text));
        return;
    }
    bool found = false;
    if (kind == QLatin1String("$charger")) {
        for (const Scenario::Charger &charger : scenario.chargers)
            found = found || charger.name == argument;
    } else if (kind == QLatin1String("$car")) {
        for (const Scenario::Car &car : scenario.cars)
            found = found || car.name == argument;
    } else {
        problems->add(path,
                      QStringLiteral("\"%1\": only \"$charger:\", \"$car:\" and \"$time:\" are replaced").arg(text));
        return;
    }
    if (!found)
        problems->add(path, QStringLiteral("\"%1\" names no %2 of the scenario").arg(text, kind.mid(1)));
}

// The schema's verdict; false with its problems, one a line, in errorString.
bool checkSchema(const QJsonObject &json, QString *errorString)
{
    const JsonSchemaCheck schema(Scenario::schemaText());
    const QList<JsonSchemaCheck::Problem> schemaProblems = schema.check(json);
    if (schemaProblems.isEmpty())
        return true;
    QStringList lines;
    for (const JsonSchemaCheck::Problem &problem : schemaProblems)
        lines << (problem.path.isEmpty() ? problem.message : problem.path + QStringLiteral(": ") + problem.message);
    *errorString = lines.join(QLatin1Char('\n'));
    return false;
}

// The time zone (set for the whole process: the C library converts the
// local times) and the start; false with errorString when either is unknown.
bool readClock(const QJsonObject &json, const QByteArray &defaultTimeZone, Scenario *scenario, QString *errorString)
{
    scenario->timeZone = json.value(QStringLiteral("timeZone")).toString().toUtf8();
    if (scenario->timeZone.isEmpty()) {
        scenario->timeZone = defaultTimeZone.isEmpty() ? QByteArrayLiteral("UTC0") : defaultTimeZone;
    } else if (!QTimeZone(scenario->timeZone).isValid()) {
        // The C library would silently run an unknown zone as UTC.
        *errorString = QStringLiteral("timeZone: unknown time zone \"%1\" (is tzdata installed?)")
                               .arg(QString::fromUtf8(scenario->timeZone));
        return false;
    }
    qputenv("TZ", scenario->timeZone);
    tzset();
    const QString startText = json.value(QStringLiteral("start")).toString();
    scenario->start = QDateTime::fromString(startText, Qt::ISODate);
    if (!scenario->start.isValid() || scenario->start.toString(Qt::ISODate).left(16) != startText.left(16)) {
        *errorString = QStringLiteral("start: \"%1\" is no local date-time of that zone").arg(startText);
        return false;
    }
    return true;
}

void readPv(const QJsonObject &pv, Scenario *scenario, Problems *problems)
{
    scenario->pvPeakPower = pv.value(QStringLiteral("peakPower")).toDouble(0);
    scenario->sunrise = pv.value(QStringLiteral("sunrise")).toDouble(6);
    scenario->sunset = pv.value(QStringLiteral("sunset")).toDouble(20);
    scenario->cloudiness = pv.value(QStringLiteral("cloudiness")).toDouble(0);
    scenario->passingClouds = pv.value(QStringLiteral("clouds")).toString() == QLatin1String("passing");
    scenario->cloudSpeed = pv.value(QStringLiteral("cloudSpeed")).toDouble(1);
    for (const QJsonValue &factor : pv.value(QStringLiteral("dayFactors")).toArray())
        scenario->pvDayFactors.append(factor.toDouble());
    if (scenario->sunrise >= scenario->sunset)
        problems->add(QStringLiteral("pv.sunset"), QStringLiteral("must lie after \"sunrise\""));
}

Scenario::Appliance readAppliance(const QJsonObject &object, const QString &path, Problems *problems)
{
    Scenario::Appliance appliance;
    appliance.name = object.value(QStringLiteral("name")).toString();
    readPhases(object.value(QStringLiteral("phasePower")), appliance.phasePower);
    appliance.perDay = object.value(QStringLiteral("perDay")).toDouble(0);
    const QJsonArray minutes = object.value(QStringLiteral("minutes")).toArray();
    if (minutes.count() == 2) {
        appliance.minMinutes = minutes.at(0).toInt();
        appliance.maxMinutes = minutes.at(1).toInt();
    }
    checkOrder(object, QStringLiteral("minutes"), path + QStringLiteral(".minutes"), problems);
    appliance.fromMinuteOfDay = timeOfDay(object.value(QStringLiteral("from")), 0);
    appliance.toMinuteOfDay = timeOfDay(object.value(QStringLiteral("to")), 1440);
    if (appliance.fromMinuteOfDay >= appliance.toMinuteOfDay)
        problems->add(path + QStringLiteral(".to"), QStringLiteral("must lie after \"from\" on the same day"));
    return appliance;
}

void readHouse(const QJsonObject &house, Scenario *scenario, Problems *problems)
{
    readPhases(house.value(QStringLiteral("baseLoad")), scenario->houseBaseLoad);
    readPhases(house.value(QStringLiteral("eveningLoad")), scenario->houseEveningLoad);
    scenario->houseNoise = house.value(QStringLiteral("noise")).toDouble(0);
    const QJsonArray appliances = house.value(QStringLiteral("appliances")).toArray();
    for (int i = 0; i < appliances.count(); i++)
        scenario->appliances.append(
                readAppliance(appliances.at(i).toObject(), indexed(QStringLiteral("house.appliances"), i), problems));
}

void readBattery(const QJsonObject &battery, Scenario *scenario, Problems *problems)
{
    scenario->hasBattery = !battery.isEmpty();
    scenario->batteryCapacityKwh = battery.value(QStringLiteral("capacityKwh")).toDouble(10);
    scenario->batteryMaxChargePower = battery.value(QStringLiteral("maxChargePower")).toDouble(4000);
    scenario->batteryMaxDischargePower = battery.value(QStringLiteral("maxDischargePower")).toDouble(4000);
    scenario->batterySoc = battery.value(QStringLiteral("soc")).toDouble(50);
    scenario->batteryLowerLimit = battery.value(QStringLiteral("lowerLimit")).toDouble(-1);
    scenario->batteryUpperLimit = battery.value(QStringLiteral("upperLimit")).toDouble(-1);
    if ((scenario->batteryLowerLimit >= 0) != (scenario->batteryUpperLimit >= 0))
        problems->add(QStringLiteral("battery"),
                      QStringLiteral("needs both \"lowerLimit\" and \"upperLimit\" or neither"));
    else if (scenario->batteryLowerLimit > scenario->batteryUpperLimit)
        problems->add(QStringLiteral("battery.upperLimit"), QStringLiteral("must not lie below \"lowerLimit\""));
}

void readPrices(const QJsonObject &prices, Scenario *scenario, Problems *problems)
{
    scenario->spotMarket = prices.value(QStringLiteral("spotMarket")).toBool(false);
    scenario->priceResolutionMinutes = prices.value(QStringLiteral("resolutionMinutes")).toInt(60);
    scenario->dayAheadMinuteOfDay = timeOfDay(prices.value(QStringLiteral("dayAheadAt")), -1);
    for (const QJsonValue &price : prices.value(QStringLiteral("hourly")).toArray())
        scenario->hourlyPrices.append(price.toDouble());
    if (scenario->spotMarket && scenario->hourlyPrices.isEmpty())
        problems->add(QStringLiteral("prices.hourly"), QStringLiteral("the spot market needs prices"));
    scenario->priceProvider = prices.value(QStringLiteral("provider")).toString(scenario->priceProvider);
    scenario->priceZone =
            prices.value(QStringLiteral("zone"))
                    .toString(scenario->priceProvider == QLatin1String("awattar") ? scenario->priceZone : QString());
    if (scenario->priceZone.isEmpty())
        problems->add(QStringLiteral("prices.zone"), QStringLiteral("\"energy-charts\" needs a bidding zone"));
}

void readChargers(const QJsonArray &chargers, Scenario *scenario, Problems *problems)
{
    for (int i = 0; i < chargers.count(); i++) {
        const QJsonObject object = chargers.at(i).toObject();
        const QString path = indexed(QStringLiteral("chargers"), i);
        Scenario::Charger charger;
        charger.name = object.value(QStringLiteral("name")).toString();
        charger.thingClass = object.value(QStringLiteral("thingClass")).toString(charger.thingClass);
        charger.dc = charger.thingClass.contains(QLatin1String("Dc"));
        const QJsonArray range = object.value(QStringLiteral("currentRange")).toArray();
        if (range.count() == 2) {
            charger.minCurrent = range.at(0).toDouble();
            charger.maxCurrent = range.at(1).toDouble();
        }
        checkOrder(object, QStringLiteral("currentRange"), path + QStringLiteral(".currentRange"), problems);
        charger.states = object.value(QStringLiteral("states")).toObject().toVariantMap();
        for (const Scenario::Charger &other : qAsConst(scenario->chargers)) {
            if (other.name == charger.name)
                problems->add(path + QStringLiteral(".name"), QStringLiteral("\"%1\" is used twice").arg(charger.name));
        }
        scenario->chargers.append(charger);
    }
}

// The daily trip of a car and its target; run times count from the scenario's start.
void readCarPlans(const QJsonObject &object, const QString &path, const Scenario &scenario, Scenario::Car *car,
                  Problems *problems)
{
    car->plugInMinute =
            runMinute(object, QStringLiteral("plugIn"), path + QStringLiteral(".plugIn"), scenario, 0, problems);
    car->plugOutMinute = runMinute(object, QStringLiteral("plugOut"), path + QStringLiteral(".plugOut"), scenario, -1,
                                   problems, true);
    if (car->plugOutMinute >= 0 && car->plugOutMinute <= car->plugInMinute)
        problems->add(path + QStringLiteral(".plugOut"), QStringLiteral("must lie after \"plugIn\""));
    const QJsonObject trip = object.value(QStringLiteral("trip")).toObject();
    car->tripLeave = timeOfDay(trip.value(QStringLiteral("leave")), -1);
    car->tripBack = timeOfDay(trip.value(QStringLiteral("back")), -1);
    car->tripUseKwh = trip.value(QStringLiteral("useKwh")).toDouble(0);
    car->tripWeekdaysOnly = trip.value(QStringLiteral("weekdays")).toBool(false);
    if (!trip.isEmpty() && car->tripBack <= car->tripLeave)
        problems->add(path + QStringLiteral(".trip.back"), QStringLiteral("must lie after \"leave\" on the same day"));
    car->configuration = object.value(QStringLiteral("configuration")).toObject().toVariantMap();
    const QJsonObject target = object.value(QStringLiteral("target")).toObject();
    car->targetMinute =
            runMinute(target, QStringLiteral("at"), path + QStringLiteral(".target.at"), scenario, -1, problems);
    car->targetPercentage = target.value(QStringLiteral("percentage")).toDouble(0);
}

Scenario::Car readCar(const QJsonObject &object, const QString &path, const Scenario &scenario, Problems *problems)
{
    Scenario::Car car;
    car.name = object.value(QStringLiteral("name")).toString();
    car.thingClass = object.value(QStringLiteral("thingClass")).toString(car.thingClass);
    car.charger = object.value(QStringLiteral("charger")).toString();
    car.capacityKwh = object.value(QStringLiteral("capacityKwh")).toDouble(car.capacityKwh);
    car.soc = object.value(QStringLiteral("soc")).toDouble(car.soc);
    car.phases = static_cast<uint>(object.value(QStringLiteral("phases")).toInt(3));
    car.minCurrent = object.value(QStringLiteral("minCurrent")).toDouble(car.minCurrent);
    car.maxCurrent = object.value(QStringLiteral("maxCurrent")).toDouble(car.maxCurrent);
    if (car.minCurrent > car.maxCurrent)
        problems->add(path + QStringLiteral(".maxCurrent"),
                      QStringLiteral("%1 A lies below \"minCurrent\" (%2 A)").arg(car.maxCurrent).arg(car.minCurrent));
    car.lossPercent = static_cast<uint>(object.value(QStringLiteral("lossPercent")).toInt(10));
    const QJsonArray trueLoss = object.value(QStringLiteral("trueLossPercent")).toArray();
    if (trueLoss.count() == 2) {
        car.trueLossAtMaxPower = trueLoss.at(0).toDouble();
        car.trueLossAtMinPower = trueLoss.at(1).toDouble();
    }
    car.dcMaxPower = object.value(QStringLiteral("dcMaxPower")).toDouble(car.dcMaxPower);
    readCarPlans(object, path, scenario, &car, problems);
    return car;
}

void readCars(const QJsonArray &cars, Scenario *scenario, Problems *problems)
{
    for (int i = 0; i < cars.count(); i++) {
        const QString path = indexed(QStringLiteral("cars"), i);
        const Scenario::Car car = readCar(cars.at(i).toObject(), path, *scenario, problems);
        bool found = false;
        for (const Scenario::Charger &charger : qAsConst(scenario->chargers))
            found = found || charger.name == car.charger;
        if (!found)
            problems->add(path + QStringLiteral(".charger"),
                          QStringLiteral("\"%1\" names no charger").arg(car.charger));
        for (const Scenario::Car &other : qAsConst(scenario->cars)) {
            if (other.name == car.name)
                problems->add(path + QStringLiteral(".name"), QStringLiteral("\"%1\" is used twice").arg(car.name));
        }
        scenario->cars.append(car);
    }
    // Placeholders may name any car, also one listed later.
    for (int i = 0; i < cars.count(); i++) {
        const QString path = indexed(QStringLiteral("cars"), i) + QStringLiteral(".configuration");
        checkPlaceholders(cars.at(i).toObject().value(QStringLiteral("configuration")), path, *scenario, problems);
    }
}

void readLoads(const QJsonArray &loads, Scenario *scenario, Problems *problems)
{
    for (int i = 0; i < loads.count(); i++) {
        const QJsonObject object = loads.at(i).toObject();
        const QString path = indexed(QStringLiteral("loads"), i);
        Scenario::Load load;
        load.name = object.value(QStringLiteral("name")).toString();
        readPhases(object.value(QStringLiteral("phasePower")), load.phasePower);
        load.fromMinute =
                runMinute(object, QStringLiteral("from"), path + QStringLiteral(".from"), *scenario, 0, problems);
        load.toMinute =
                runMinute(object, QStringLiteral("to"), path + QStringLiteral(".to"), *scenario, 0, problems, true);
        if (load.toMinute <= load.fromMinute)
            problems->add(path + QStringLiteral(".to"), QStringLiteral("must lie after \"from\""));
        scenario->loads.append(load);
    }
}

void readActions(const QJsonArray &actions, Scenario *scenario, Problems *problems)
{
    for (int i = 0; i < actions.count(); i++) {
        const QJsonObject object = actions.at(i).toObject();
        const QString path = indexed(QStringLiteral("actions"), i);
        Scenario::UserAction action;
        action.minute = runMinute(object, QStringLiteral("at"), path + QStringLiteral(".at"), *scenario, 0, problems);
        action.method = object.value(QStringLiteral("method")).toString();
        action.params = object.value(QStringLiteral("params")).toObject().toVariantMap();
        checkPlaceholders(object.value(QStringLiteral("params")), path + QStringLiteral(".params"), *scenario,
                          problems);
        scenario->actions.append(action);
    }
}

void readRandom(const QJsonObject &random, Scenario::Random *r, Problems *problems)
{
    r->enabled = !random.isEmpty();
    r->seed = static_cast<quint32>(random.value(QStringLiteral("seed")).toDouble(1));
    r->plugEventsPerDay = random.value(QStringLiteral("plugEventsPerDay")).toDouble(r->plugEventsPerDay);
    const QJsonArray arrival = random.value(QStringLiteral("arrivalSoc")).toArray();
    if (arrival.count() == 2) {
        r->minArrivalSoc = arrival.at(0).toDouble();
        r->maxArrivalSoc = arrival.at(1).toDouble();
    }
    checkOrder(random, QStringLiteral("arrivalSoc"), QStringLiteral("random.arrivalSoc"), problems);
    r->apiCallsPerDay = random.value(QStringLiteral("apiCallsPerDay")).toDouble(r->apiCallsPerDay);
    r->invalidCallShare = random.value(QStringLiteral("invalidCallShare")).toDouble(r->invalidCallShare);
    r->meterNoise = random.value(QStringLiteral("meterNoise")).toDouble(0);
    r->pvNoise = random.value(QStringLiteral("pvNoise")).toDouble(0);
    r->notifications = random.value(QStringLiteral("notifications")).toBool(false);
    for (const QJsonValue &limit : random.value(QStringLiteral("phaseLimits")).toArray())
        r->phaseLimits.append(static_cast<uint>(limit.toInt()));
    const QJsonObject burst = random.value(QStringLiteral("burst")).toObject();
    r->burstName = burst.value(QStringLiteral("name")).toString();
    readPhases(burst.value(QStringLiteral("phasePower")), r->burstPhasePower);
    r->burstsPerDay = burst.value(QStringLiteral("perDay")).toDouble(0);
    const QJsonArray burstMinutes = burst.value(QStringLiteral("minutes")).toArray();
    if (burstMinutes.count() == 2) {
        r->burstMinMinutes = burstMinutes.at(0).toInt();
        r->burstMaxMinutes = burstMinutes.at(1).toInt();
    }
    checkOrder(burst, QStringLiteral("minutes"), QStringLiteral("random.burst.minutes"), problems);
}

// Goals for cars that are not there would check nothing.
void readExpectations(const QJsonObject &json, Scenario *scenario, Problems *problems)
{
    scenario->expectations = json.value(QStringLiteral("expectations")).toObject();
    QStringList goals = scenario->expectations.keys();
    const QJsonObject carGoals = scenario->expectations.value(QStringLiteral("cars")).toObject();
    const auto isCar = [scenario](const QString &name) {
        return std::any_of(scenario->cars.cbegin(), scenario->cars.cend(),
                           [&name](const Scenario::Car &car) { return car.name == name; });
    };
    for (auto it = carGoals.constBegin(); it != carGoals.constEnd(); ++it) {
        if (!isCar(it.key()))
            problems->add(QStringLiteral("expectations.cars.%1").arg(it.key()), QStringLiteral("names no car"));
        for (const QString &key : it.value().toObject().keys())
            goals << it.key() + QLatin1Char('.') + key;
    }
    const QJsonArray fairnessCars = scenario->expectations.value(QStringLiteral("fairnessCars")).toArray();
    for (int i = 0; i < fairnessCars.count(); i++) {
        if (!isCar(fairnessCars.at(i).toString()))
            problems->add(indexed(QStringLiteral("expectations.fairnessCars"), i),
                          QStringLiteral("\"%1\" names no car").arg(fairnessCars.at(i).toString()));
    }
    const QJsonArray pending = json.value(QStringLiteral("expectationsPending")).toArray();
    for (int i = 0; i < pending.count(); i++) {
        scenario->expectationsPending.append(pending.at(i).toString());
        if (!goals.contains(pending.at(i).toString()))
            problems->add(indexed(QStringLiteral("expectationsPending"), i),
                          QStringLiteral("\"%1\" names no expectation").arg(pending.at(i).toString()));
    }
}

}

QByteArray Scenario::schemaText()
{
    return QByteArray(scenarioSchemaText);
}

Scenario Scenario::fromJson(const QJsonObject &json, const QByteArray &defaultTimeZone, QString *errorString)
{
    Scenario scenario;
    errorString->clear();
    if (!checkSchema(json, errorString))
        return scenario;
    Problems problems;
    scenario.name = json.value(QStringLiteral("name")).toString();
    scenario.description = json.value(QStringLiteral("description")).toString();
    if (!readClock(json, defaultTimeZone, &scenario, errorString))
        return scenario;
    scenario.durationMinutes = json.value(QStringLiteral("durationMinutes")).toInt(1440);
    scenario.seed = static_cast<quint32>(json.value(QStringLiteral("seed")).toDouble(1));
    scenario.phasePowerLimit = static_cast<uint>(json.value(QStringLiteral("phasePowerLimit")).toInt(25));
    scenario.acquisitionTolerance = json.value(QStringLiteral("acquisitionTolerance")).toDouble(0.5);

    readPv(json.value(QStringLiteral("pv")).toObject(), &scenario, &problems);
    readHouse(json.value(QStringLiteral("house")).toObject(), &scenario, &problems);
    scenario.meterNoise = json.value(QStringLiteral("meter")).toObject().value(QStringLiteral("noise")).toDouble(0);
    scenario.phaseSwitchPauseMinutes = json.value(QStringLiteral("phaseSwitchPauseMinutes")).toInt(1);
    readBattery(json.value(QStringLiteral("battery")).toObject(), &scenario, &problems);
    readPrices(json.value(QStringLiteral("prices")).toObject(), &scenario, &problems);
    // Chargers before cars, cars before what names them: each checks the names read before it.
    readChargers(json.value(QStringLiteral("chargers")).toArray(), &scenario, &problems);
    readCars(json.value(QStringLiteral("cars")).toArray(), &scenario, &problems);
    readLoads(json.value(QStringLiteral("loads")).toArray(), &scenario, &problems);
    readActions(json.value(QStringLiteral("actions")).toArray(), &scenario, &problems);
    readRandom(json.value(QStringLiteral("random")).toObject(), &scenario.random, &problems);
    scenario.restartMinute =
            runMinute(json, QStringLiteral("restartAt"), QStringLiteral("restartAt"), scenario, -1, &problems);
    if (scenario.restartMinute == 0 || scenario.restartMinute == scenario.durationMinutes)
        problems.add(QStringLiteral("restartAt"), QStringLiteral("must lie after the start and before the end"));
    if (json.contains(QStringLiteral("forecast")))
        readForecast(json.value(QStringLiteral("forecast")).toObject(), &scenario, &problems);
    readExpectations(json, &scenario, &problems);
    *errorString = problems.text();
    return scenario;
}

Scenario Scenario::load(const QString &fileName, const QByteArray &defaultTimeZone, QString *errorString)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *errorString = QStringLiteral("Cannot read %1: %2").arg(fileName, file.errorString());
        return Scenario();
    }
    const QByteArray text = file.readAll();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *errorString = QStringLiteral("%1: %2").arg(fileName, JsonSchemaCheck::parseErrorText(text, parseError));
        return Scenario();
    }
    if (!document.isObject()) {
        *errorString = QStringLiteral("%1: a scenario is one JSON object").arg(fileName);
        return Scenario();
    }
    Scenario scenario = fromJson(document.object(), defaultTimeZone, errorString);
    if (!errorString->isEmpty()) {
        // One line per problem, each with the file, as compilers do.
        QStringList lines = errorString->split(QLatin1Char('\n'));
        for (QString &line : lines)
            line.prepend(fileName + QStringLiteral(": "));
        *errorString = lines.join(QLatin1Char('\n'));
    }
    return scenario;
}

QString Scenario::clockText(int minute) const
{
    return start.addSecs(minute * 60LL).toString(QStringLiteral("hh:mm"));
}

double Scenario::priceAt(int minute) const
{
    return priceAtOffset(startOffsetMinutes() + minute);
}

double Scenario::priceAtOffset(int absolute) const
{
    if (hourlyPrices.isEmpty())
        return 0;
    const int hour = (absolute / 60) % hourlyPrices.count();
    const double base = hourlyPrices.at(hour);
    if (priceResolutionMinutes == 60)
        return base;
    // Quarter hours wander around the hourly price, towards the next hour.
    const double next = hourlyPrices.at((hour + 1) % hourlyPrices.count());
    const int quarter = (absolute % 60) / 15;
    return base + (next - base) * quarter / 4.0 * 0.5;
}

int Scenario::minuteOfDay(int minute) const
{
    return start.addSecs(minute * 60LL).time().msecsSinceStartOfDay() / 60000;
}

int Scenario::pricesKnownUntilOffset(int minute) const
{
    if (dayAheadMinuteOfDay < 0)
        return std::numeric_limits<int>::max();
    const QDateTime now = start.addSecs(minute * 60LL);
    const QDate known =
            now.time().msecsSinceStartOfDay() / 60000 < dayAheadMinuteOfDay ? now.date() : now.date().addDays(1);
    // The end of that day in real minutes: 23- and 25-hour days included.
    return static_cast<int>(firstMidnight().secsTo(QDateTime(known.addDays(1), QTime(0, 0))) / 60);
}

double Scenario::clearSkyPower(const QDateTime &time) const
{
    const double hour = time.time().hour() + time.time().minute() / 60.0;
    if (pvPeakPower <= 0 || hour <= sunrise || hour >= sunset)
        return 0;
    return pvPeakPower * qSin(M_PI * (hour - sunrise) / (sunset - sunrise));
}

double Scenario::pvDayFactor(int day) const
{
    return day >= 0 && day < pvDayFactors.count() ? pvDayFactors.at(day) : 1.0;
}

bool Scenario::missedCloudyAfternoon(int day) const
{
    return forecast.enabled && (forecast.everyAfternoonMissed || forecast.missedAfternoons.contains(day));
}

double Scenario::meanCloudFactor() const
{
    // Ten-minute dips: a share of up to cloudiness, evenly drawn; passing
    // clouds: the share cloudiness of the time at 20 to 50 % of the sun.
    return passingClouds ? 1.0 - cloudiness * 0.65 : 1.0 - cloudiness / 2.0;
}

double Scenario::Car::physicsLossPercent(double power, double maxPower) const
{
    if (trueLossAtMaxPower < 0)
        return lossPercent;
    const double share = maxPower > 0 ? qBound(0.0, power / maxPower, 1.0) : 1.0;
    return trueLossAtMinPower + (trueLossAtMaxPower - trueLossAtMinPower) * share;
}
