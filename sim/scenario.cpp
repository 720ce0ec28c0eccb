#include "scenario.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimeZone>

#include <ctime>
#include <limits>

namespace {

// "hh:mm" on the first day, or "d+hh:mm" on a later day, local time →
// real minutes after the start (a night the clocks change has 23 or 25
// hours).
int minuteOf(const QJsonValue &value, const QDateTime &start, int fallback)
{
    if (!value.isString())
        return fallback;
    QString text = value.toString();
    int day = 0;
    if (text.contains(QLatin1Char('+'))) {
        day = text.section(QLatin1Char('+'), 0, 0).toInt();
        text = text.section(QLatin1Char('+'), 1);
    }
    const QTime time = QTime::fromString(text, QStringLiteral("hh:mm"));
    if (!time.isValid())
        return fallback;
    return static_cast<int>(start.secsTo(QDateTime(start.date().addDays(day), time)) / 60);
}

// "hh:mm" → minutes after midnight.
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

}

Scenario Scenario::fromJson(const QJsonObject &json, const QByteArray &defaultTimeZone, QString *errorString)
{
    Scenario scenario;
    errorString->clear();
    scenario.name = json.value(QStringLiteral("name")).toString();
    scenario.description = json.value(QStringLiteral("description")).toString();
    scenario.timeZone = json.value(QStringLiteral("timeZone")).toString().toUtf8();
    if (scenario.timeZone.isEmpty()) {
        scenario.timeZone = defaultTimeZone.isEmpty() ? QByteArrayLiteral("UTC0") : defaultTimeZone;
    } else if (!QTimeZone(scenario.timeZone).isValid()) {
        // The C library would silently run an unknown zone as UTC.
        *errorString = QStringLiteral("\"timeZone\": unknown time zone \"%1\" (is tzdata installed?)")
                               .arg(QString::fromUtf8(scenario.timeZone));
        return scenario;
    }
    qputenv("TZ", scenario.timeZone);
    tzset();
    scenario.start = QDateTime::fromString(json.value(QStringLiteral("start")).toString(), Qt::ISODate);
    if (!scenario.start.isValid()) {
        *errorString = QStringLiteral("\"start\" must be an ISO date-time");
        return scenario;
    }
    scenario.durationMinutes = json.value(QStringLiteral("durationMinutes")).toInt(1440);
    scenario.seed = static_cast<quint32>(json.value(QStringLiteral("seed")).toInt(1));
    scenario.phasePowerLimit = static_cast<uint>(json.value(QStringLiteral("phasePowerLimit")).toInt(25));
    scenario.acquisitionTolerance = json.value(QStringLiteral("acquisitionTolerance")).toDouble(0.5);

    const QJsonObject pv = json.value(QStringLiteral("pv")).toObject();
    scenario.pvPeakPower = pv.value(QStringLiteral("peakPower")).toDouble(0);
    scenario.sunrise = pv.value(QStringLiteral("sunrise")).toDouble(6);
    scenario.sunset = pv.value(QStringLiteral("sunset")).toDouble(20);
    scenario.cloudiness = pv.value(QStringLiteral("cloudiness")).toDouble(0);
    const QString clouds = pv.value(QStringLiteral("clouds")).toString(QStringLiteral("tenMinute"));
    scenario.passingClouds = clouds == QLatin1String("passing");
    scenario.cloudSpeed = pv.value(QStringLiteral("cloudSpeed")).toDouble(1);
    if ((!scenario.passingClouds && clouds != QLatin1String("tenMinute")) || scenario.cloudSpeed <= 0
        || scenario.cloudiness < 0 || scenario.cloudiness > 1) {
        *errorString = QStringLiteral(
                "\"pv\" needs \"clouds\" \"tenMinute\" or \"passing\", \"cloudSpeed\" > 0 and 0 <= \"cloudiness\" <= 1");
        return scenario;
    }

    const QJsonObject house = json.value(QStringLiteral("house")).toObject();
    readPhases(house.value(QStringLiteral("baseLoad")), scenario.houseBaseLoad);
    readPhases(house.value(QStringLiteral("eveningLoad")), scenario.houseEveningLoad);
    scenario.houseNoise = house.value(QStringLiteral("noise")).toDouble(0);
    for (const QJsonValue &value : house.value(QStringLiteral("appliances")).toArray()) {
        const QJsonObject object = value.toObject();
        Appliance appliance;
        appliance.name = object.value(QStringLiteral("name")).toString();
        readPhases(object.value(QStringLiteral("phasePower")), appliance.phasePower);
        appliance.perDay = object.value(QStringLiteral("perDay")).toDouble(0);
        const QJsonArray minutes = object.value(QStringLiteral("minutes")).toArray();
        if (minutes.count() == 2) {
            appliance.minMinutes = minutes.at(0).toInt();
            appliance.maxMinutes = minutes.at(1).toInt();
        }
        appliance.fromMinuteOfDay = timeOfDay(object.value(QStringLiteral("from")), 0);
        appliance.toMinuteOfDay = timeOfDay(object.value(QStringLiteral("to")), 1440);
        if (appliance.name.isEmpty() || appliance.minMinutes < 1 || appliance.minMinutes > appliance.maxMinutes) {
            *errorString = QStringLiteral("An appliance needs a \"name\" and 1 <= minutes[0] <= minutes[1]");
            return scenario;
        }
        scenario.appliances.append(appliance);
    }
    scenario.meterNoise = json.value(QStringLiteral("meter")).toObject().value(QStringLiteral("noise")).toDouble(0);
    scenario.phaseSwitchPauseMinutes = json.value(QStringLiteral("phaseSwitchPauseMinutes")).toInt(1);

    const QJsonObject battery = json.value(QStringLiteral("battery")).toObject();
    scenario.hasBattery = !battery.isEmpty();
    scenario.batteryCapacityKwh = battery.value(QStringLiteral("capacityKwh")).toDouble(10);
    scenario.batteryMaxChargePower = battery.value(QStringLiteral("maxChargePower")).toDouble(4000);
    scenario.batteryMaxDischargePower = battery.value(QStringLiteral("maxDischargePower")).toDouble(4000);
    scenario.batterySoc = battery.value(QStringLiteral("soc")).toDouble(50);
    scenario.batteryLowerLimit = battery.value(QStringLiteral("lowerLimit")).toDouble(-1);
    scenario.batteryUpperLimit = battery.value(QStringLiteral("upperLimit")).toDouble(-1);
    if ((scenario.batteryLowerLimit >= 0) != (scenario.batteryUpperLimit >= 0)) {
        *errorString = QStringLiteral("\"battery\" needs both \"lowerLimit\" and \"upperLimit\" or neither");
        return scenario;
    }

    const QJsonObject prices = json.value(QStringLiteral("prices")).toObject();
    scenario.spotMarket = prices.value(QStringLiteral("spotMarket")).toBool(false);
    scenario.priceResolutionMinutes = prices.value(QStringLiteral("resolutionMinutes")).toInt(60);
    scenario.dayAheadMinuteOfDay = timeOfDay(prices.value(QStringLiteral("dayAheadAt")), -1);
    for (const QJsonValue &price : prices.value(QStringLiteral("hourly")).toArray())
        scenario.hourlyPrices.append(price.toDouble());
    if (scenario.priceResolutionMinutes != 60 && scenario.priceResolutionMinutes != 15) {
        *errorString = QStringLiteral("\"prices.resolutionMinutes\" must be 60 or 15");
        return scenario;
    }
    scenario.priceProvider = prices.value(QStringLiteral("provider")).toString(scenario.priceProvider);
    scenario.priceZone =
            prices.value(QStringLiteral("zone"))
                    .toString(scenario.priceProvider == QLatin1String("awattar") ? scenario.priceZone : QString());
    if ((scenario.priceProvider != QLatin1String("awattar") && scenario.priceProvider != QLatin1String("energy-charts"))
        || scenario.priceZone.isEmpty()) {
        *errorString = QStringLiteral(
                "\"prices.provider\" must be \"awattar\" or \"energy-charts\", the latter with a \"zone\"");
        return scenario;
    }

    for (const QJsonValue &value : json.value(QStringLiteral("chargers")).toArray()) {
        const QJsonObject object = value.toObject();
        Charger charger;
        charger.name = object.value(QStringLiteral("name")).toString();
        charger.thingClass = object.value(QStringLiteral("thingClass")).toString(charger.thingClass);
        charger.dc = charger.thingClass.contains(QLatin1String("Dc"));
        const QJsonArray range = object.value(QStringLiteral("currentRange")).toArray();
        if (range.count() == 2) {
            charger.minCurrent = range.at(0).toDouble();
            charger.maxCurrent = range.at(1).toDouble();
        }
        charger.states = object.value(QStringLiteral("states")).toObject().toVariantMap();
        scenario.chargers.append(charger);
    }
    for (const QJsonValue &value : json.value(QStringLiteral("cars")).toArray()) {
        const QJsonObject object = value.toObject();
        Car car;
        car.name = object.value(QStringLiteral("name")).toString();
        car.thingClass = object.value(QStringLiteral("thingClass")).toString(car.thingClass);
        car.charger = object.value(QStringLiteral("charger")).toString();
        car.capacityKwh = object.value(QStringLiteral("capacityKwh")).toDouble(car.capacityKwh);
        car.soc = object.value(QStringLiteral("soc")).toDouble(car.soc);
        car.phases = static_cast<uint>(object.value(QStringLiteral("phases")).toInt(3));
        car.minCurrent = object.value(QStringLiteral("minCurrent")).toDouble(car.minCurrent);
        car.maxCurrent = object.value(QStringLiteral("maxCurrent")).toDouble(car.maxCurrent);
        car.lossPercent = static_cast<uint>(object.value(QStringLiteral("lossPercent")).toInt(10));
        const QJsonArray trueLoss = object.value(QStringLiteral("trueLossPercent")).toArray();
        if (trueLoss.count() == 2) {
            car.trueLossAtMaxPower = trueLoss.at(0).toDouble();
            car.trueLossAtMinPower = trueLoss.at(1).toDouble();
            if (car.leastLossPercent() < 0 || car.largestLossPercent() >= 100) {
                *errorString = QStringLiteral("Car \"%1\": \"trueLossPercent\" must lie within 0…100 %").arg(car.name);
                return scenario;
            }
        }
        car.dcMaxPower = object.value(QStringLiteral("dcMaxPower")).toDouble(car.dcMaxPower);
        car.plugInMinute = minuteOf(object.value(QStringLiteral("plugIn")), scenario.start, 0);
        car.plugOutMinute = minuteOf(object.value(QStringLiteral("plugOut")), scenario.start, -1);
        const QJsonObject trip = object.value(QStringLiteral("trip")).toObject();
        car.tripLeave = timeOfDay(trip.value(QStringLiteral("leave")), -1);
        car.tripBack = timeOfDay(trip.value(QStringLiteral("back")), -1);
        car.tripUseKwh = trip.value(QStringLiteral("useKwh")).toDouble(0);
        car.tripWeekdaysOnly = trip.value(QStringLiteral("weekdays")).toBool(false);
        if (!trip.isEmpty() && (car.tripLeave < 0 || car.tripBack <= car.tripLeave || car.tripUseKwh < 0)) {
            *errorString = QStringLiteral("Car \"%1\": a \"trip\" needs \"leave\" before \"back\" and \"useKwh\" >= 0")
                                   .arg(car.name);
            return scenario;
        }
        car.configuration = object.value(QStringLiteral("configuration")).toObject().toVariantMap();
        const QJsonObject target = object.value(QStringLiteral("target")).toObject();
        car.targetMinute = minuteOf(target.value(QStringLiteral("at")), scenario.start, -1);
        car.targetPercentage = target.value(QStringLiteral("percentage")).toDouble(0);
        bool found = false;
        for (const Charger &charger : scenario.chargers)
            found = found || charger.name == car.charger;
        if (!found) {
            *errorString = QStringLiteral("Car \"%1\" names an unknown charger \"%2\"").arg(car.name, car.charger);
            return scenario;
        }
        scenario.cars.append(car);
    }
    for (const QJsonValue &value : json.value(QStringLiteral("loads")).toArray()) {
        const QJsonObject object = value.toObject();
        Load load;
        load.name = object.value(QStringLiteral("name")).toString();
        readPhases(object.value(QStringLiteral("phasePower")), load.phasePower);
        load.fromMinute = minuteOf(object.value(QStringLiteral("from")), scenario.start, 0);
        load.toMinute = minuteOf(object.value(QStringLiteral("to")), scenario.start, 0);
        scenario.loads.append(load);
    }
    for (const QJsonValue &value : json.value(QStringLiteral("actions")).toArray()) {
        const QJsonObject object = value.toObject();
        UserAction action;
        action.minute = minuteOf(object.value(QStringLiteral("at")), scenario.start, 0);
        action.method = object.value(QStringLiteral("method")).toString();
        action.params = object.value(QStringLiteral("params")).toObject().toVariantMap();
        scenario.actions.append(action);
    }
    const QJsonObject random = json.value(QStringLiteral("random")).toObject();
    Random &r = scenario.random;
    r.enabled = !random.isEmpty();
    r.seed = static_cast<quint32>(random.value(QStringLiteral("seed")).toInt(1));
    r.plugEventsPerDay = random.value(QStringLiteral("plugEventsPerDay")).toDouble(r.plugEventsPerDay);
    const QJsonArray arrival = random.value(QStringLiteral("arrivalSoc")).toArray();
    if (arrival.count() == 2) {
        r.minArrivalSoc = arrival.at(0).toDouble();
        r.maxArrivalSoc = arrival.at(1).toDouble();
    }
    r.apiCallsPerDay = random.value(QStringLiteral("apiCallsPerDay")).toDouble(r.apiCallsPerDay);
    r.invalidCallShare = random.value(QStringLiteral("invalidCallShare")).toDouble(r.invalidCallShare);
    r.meterNoise = random.value(QStringLiteral("meterNoise")).toDouble(0);
    r.pvNoise = random.value(QStringLiteral("pvNoise")).toDouble(0);
    r.notifications = random.value(QStringLiteral("notifications")).toBool(false);
    for (const QJsonValue &limit : random.value(QStringLiteral("phaseLimits")).toArray())
        r.phaseLimits.append(static_cast<uint>(limit.toInt()));
    const QJsonObject burst = random.value(QStringLiteral("burst")).toObject();
    r.burstName = burst.value(QStringLiteral("name")).toString();
    readPhases(burst.value(QStringLiteral("phasePower")), r.burstPhasePower);
    r.burstsPerDay = burst.value(QStringLiteral("perDay")).toDouble(0);
    const QJsonArray burstMinutes = burst.value(QStringLiteral("minutes")).toArray();
    if (burstMinutes.count() == 2) {
        r.burstMinMinutes = burstMinutes.at(0).toInt();
        r.burstMaxMinutes = burstMinutes.at(1).toInt();
    }
    if (r.enabled
        && (r.minArrivalSoc < 0 || r.maxArrivalSoc > 100 || r.minArrivalSoc > r.maxArrivalSoc || r.burstMinMinutes < 1
            || r.burstMinMinutes > r.burstMaxMinutes)) {
        *errorString = QStringLiteral(
                "\"random\" needs 0 <= arrivalSoc[0] <= arrivalSoc[1] <= 100 and 1 <= minutes[0] <= minutes[1]");
        return scenario;
    }
    scenario.expectations = json.value(QStringLiteral("expectations")).toObject();
    for (const QJsonValue &pending : json.value(QStringLiteral("expectationsPending")).toArray())
        scenario.expectationsPending.append(pending.toString());
    return scenario;
}

Scenario Scenario::load(const QString &fileName, const QByteArray &defaultTimeZone, QString *errorString)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *errorString = QStringLiteral("Cannot read %1: %2").arg(fileName, file.errorString());
        return Scenario();
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *errorString = QStringLiteral("%1 is no JSON object: %2").arg(fileName, parseError.errorString());
        return Scenario();
    }
    return fromJson(document.object(), defaultTimeZone, errorString);
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

double Scenario::Car::physicsLossPercent(double power, double maxPower) const
{
    if (trueLossAtMaxPower < 0)
        return lossPercent;
    const double share = maxPower > 0 ? qBound(0.0, power / maxPower, 1.0) : 1.0;
    return trueLossAtMinPower + (trueLossAtMaxPower - trueLossAtMinPower) * share;
}
