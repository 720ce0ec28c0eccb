// The "random" section of a scenario: a household living many days with
// cars coming and going, noisy meters and a user poking at the API, all from
// the section's seed. Every answer is checked as it comes; the heap in use
// is taken at the end of day 1 and at the end of the run.

#include "jsonrpcclient.h"
#include "simulation.h"

#include "tavro/jsonrpcserver.h"
#include "tavro/tavroclock.h"
#include "tavro/thing.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define SIM_ADDRESS_SANITIZER 1
#endif

#ifdef SIM_ADDRESS_SANITIZER
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#else
// GCC's runtime has the function but does not ship the header.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif
#else
#include <malloc.h>

#include <QVarLengthArray>

#include <cstdlib>
#endif

namespace {

const int maxProblems = 20; // readable lines kept; the counters go on

qint64 heapInUse()
{
#ifdef SIM_ADDRESS_SANITIZER
    return static_cast<qint64>(__sanitizer_get_current_allocated_bytes());
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    // glibc counts the freed blocks its per-thread cache keeps for reuse as
    // in use: some 100 KiB that fill over days. Filling every size class of
    // this thread's cache to the brim before each look makes the cache's
    // share the same at every look: blocks of each size are taken (first
    // from the cache, emptying it) and given back (refilling it).
    const int cacheSizes = 64; // size classes of the cache, 16 bytes apart
    const int blocksEach = 16; // more than the cache keeps per class (7 by default)
    QVarLengthArray<void *, cacheSizes * blocksEach> blocks;
    for (int size = 0; size < cacheSizes; size++) {
        for (int i = 0; i < blocksEach; i++)
            blocks.append(std::malloc(static_cast<size_t>(size * 16 + 8)));
    }
    for (void *block : blocks)
        std::free(block);
    // Small blocks plus the large ones glibc maps on their own.
    const struct mallinfo2 info = mallinfo2();
    return static_cast<qint64>(info.uordblks + info.hblkhd);
#else
    return -1;
#endif
}

QString thingId(const QString &kind, const QString &name)
{
    return QStringLiteral("$%1:%2").arg(kind, name);
}

bool refused(const QJsonObject &reply)
{
    if (reply.contains(QStringLiteral("error")))
        return true;
    const QJsonObject result = reply.value(QStringLiteral("result")).toObject();
    for (const QString &key : {QStringLiteral("energyError"), QStringLiteral("thingError")}) {
        if (result.contains(key) && !result.value(key).toString().endsWith(QLatin1String("NoError")))
            return true;
    }
    return false;
}

// Empty when the reply is a JSON-RPC 2.0 answer carrying the given result members.
QString malformation(const QJsonObject &reply, const QStringList &resultMembers)
{
    if (reply.isEmpty())
        return QStringLiteral("no answer");
    if (reply.value(QStringLiteral("jsonrpc")).toString() != QLatin1String("2.0"))
        return QStringLiteral("no \"jsonrpc\": \"2.0\"");
    if (reply.contains(QStringLiteral("result")) == reply.contains(QStringLiteral("error")))
        return QStringLiteral("not exactly one of \"result\" and \"error\"");
    if (reply.contains(QStringLiteral("error"))) {
        const QJsonObject error = reply.value(QStringLiteral("error")).toObject();
        const double code = error.value(QStringLiteral("code")).toDouble(0.5);
        if (code != static_cast<int>(code) || !error.value(QStringLiteral("message")).isString())
            return QStringLiteral("an error without integer \"code\" and string \"message\"");
        return QString();
    }
    if (!reply.value(QStringLiteral("result")).isObject())
        return QStringLiteral("a result that is no object");
    const QJsonObject result = reply.value(QStringLiteral("result")).toObject();
    for (const QString &member : resultMembers) {
        if (!result.contains(member))
            return QStringLiteral("no \"%1\" in the result").arg(member);
    }
    return QString();
}

}

double Simulation::noise(double amplitude)
{
    return amplitude * (2.0 * m_soakRandom.generateDouble() - 1.0);
}

void Simulation::soakProblem(const QString &text)
{
    if (m_soak.problems.count() < maxProblems) {
        const int day =
                static_cast<int>(m_scenario.start.date().daysTo(m_scenario.start.addSecs(m_minute * 60LL).date()));
        m_soak.problems << QStringLiteral("day %1 %2: %3").arg(day + 1).arg(m_scenario.clockText(m_minute), text);
    }
}

void Simulation::addRandomLoad(double *phasePower)
{
    const Scenario::Random &random = m_scenario.random;
    const bool burst = m_burstThing && m_minute < m_burstUntil;
    double burstPower = 0;
    for (int p = 0; p < 3; p++) {
        phasePower[p] = qMax(0.0, phasePower[p] + noise(random.meterNoise));
        if (burst) {
            phasePower[p] += random.burstPhasePower[p];
            burstPower += random.burstPhasePower[p];
        }
    }
    if (m_burstThing)
        m_burstThing->setStateValue(QStringLiteral("currentPower"), burstPower);
}

void Simulation::applyRandomEvents(int minute)
{
    const Scenario::Random &random = m_scenario.random;
    for (int i = 0; i < m_cars.count(); i++) {
        if (m_soakRandom.generateDouble() >= random.plugEventsPerDay / 1440.0)
            continue;
        const bool pluggedIn = !m_cars.at(i).pluggedIn;
        if (pluggedIn) {
            const double soc = random.minArrivalSoc
                               + (random.maxArrivalSoc - random.minArrivalSoc) * m_soakRandom.generateDouble();
            m_household.setCarSoc(i, soc);
            m_peerHousehold.setCarSoc(i, soc);
        }
        setPluggedIn(i, pluggedIn);
        m_soak.plugEvents++;
    }
    if (m_burstThing && minute >= m_burstUntil && m_soakRandom.generateDouble() < random.burstsPerDay / 1440.0) {
        m_burstUntil = minute + m_soakRandom.bounded(random.burstMinMinutes, random.burstMaxMinutes + 1);
        m_soak.bursts++;
    }
    if (m_soakRandom.generateDouble() < random.apiCallsPerDay / 1440.0) {
        const bool invalid = m_soakRandom.generateDouble() < random.invalidCallShare;
        runRandomCall(invalid ? randomInvalidCall() : randomValidCall());
    }
}

Simulation::RandomCall Simulation::randomValidCall()
{
    const QString energyError = QStringLiteral("energyError");
    const auto pick = [this](int count) { return static_cast<int>(m_soakRandom.bounded(count)); };
    const Scenario::Charger &charger = m_scenario.chargers.at(pick(m_scenario.chargers.count()));
    RandomCall call;
    switch (pick(17)) {
    case 0:
    case 1: {
        // Modes and targets change most often, as owners do.
        static const char *modes[] = {"ChargingModeNormal", "ChargingModeEco", "ChargingModeEcoWithTargetTime"};
        const uint target = 50 + pick(51);
        QVariantMap configuration{{QStringLiteral("evChargerId"), thingId(QStringLiteral("charger"), charger.name)},
                                  {QStringLiteral("chargingMode"), QLatin1String(modes[pick(3)])},
                                  {QStringLiteral("targetPercentage"), target},
                                  {QStringLiteral("stopOnTargetPercentage"), pick(2) == 1}};
        const QDateTime now = TavroClock::currentDateTime();
        configuration.insert(QStringLiteral("endDateTime"), now.addSecs(3600LL * (2 + pick(13))).toSecsSinceEpoch());
        if (charger.dc)
            configuration.insert(QStringLiteral("dischargeFloorPercentage"), 20 + pick(21));
        call = {QStringLiteral("TavroEnergy.SetChargingConfiguration"),
                {{QStringLiteral("chargingConfiguration"), configuration}},
                false,
                {energyError}};
        break;
    }
    case 2:
        if (!m_scenario.random.phaseLimits.isEmpty()) {
            const uint limit = m_scenario.random.phaseLimits.at(pick(m_scenario.random.phaseLimits.count()));
            call = {QStringLiteral("TavroEnergy.SetPhasePowerLimit"),
                    {{QStringLiteral("phasePowerLimit"), limit}},
                    false,
                    {energyError}};
            break;
        }
        Q_FALLTHROUGH();
    case 3:
        call = {QStringLiteral("TavroEnergy.SetAcquisitionTolerance"),
                {{QStringLiteral("acquisitionTolerance"), pick(101) / 100.0}},
                false,
                {energyError}};
        break;
    case 4:
        call = {QStringLiteral("TavroEnergy.SetBatteryLevelLimits"),
                {{QStringLiteral("batteryLevelLowerLimit"), (10 + pick(41)) / 100.0},
                 {QStringLiteral("batteryLevelUpperLimit"), (60 + pick(41)) / 100.0}},
                false,
                {energyError}};
        break;
    case 5:
        call = {QStringLiteral("TavroEnergy.SetBatteryLevelConsideration"),
                {{QStringLiteral("batteryLevelConsideration"), pick(101) / 100.0}},
                false,
                {energyError}};
        break;
    case 6:
        call = {QStringLiteral("TavroEnergy.GetChargingConfigurations"),
                {},
                false,
                {QStringLiteral("chargingConfigurations")}};
        break;
    case 7:
        call = {QStringLiteral("TavroEnergy.GetChargingStates"), {}, false, {QStringLiteral("chargingStates")}};
        break;
    case 8:
        call = {QStringLiteral("TavroEnergy.GetChargingSchedules"), {}, false, {QStringLiteral("chargingSchedules")}};
        break;
    case 9:
        call = {QStringLiteral("TavroEnergy.GetSpotMarketScoreEntries"),
                {},
                false,
                {QStringLiteral("spotMarketScoreEntries")}};
        break;
    case 10:
        call = {QStringLiteral("TavroEnergy.GetSpotMarketConfiguration"),
                {},
                false,
                {QStringLiteral("enabled"), QStringLiteral("available")}};
        break;
    case 11:
        call = {QStringLiteral("TavroEnergy.GetAcquisitionTolerance"),
                {},
                false,
                {QStringLiteral("acquisitionTolerance")}};
        break;
    case 12:
        call = {QStringLiteral("TavroEnergy.GetBatteryLevelLimits"),
                {},
                false,
                {QStringLiteral("batteryLevelLowerLimit"), QStringLiteral("batteryLevelUpperLimit")}};
        break;
    case 13:
        if (!charger.dc) {
            // The owner operates the charger by hand.
            const bool power = pick(2) == 1;
            const QVariantList params =
                    pick(2) == 1 ? QVariantList{QVariantMap{{QStringLiteral("paramName"), QStringLiteral("power")},
                                                            {QStringLiteral("value"), power}}}
                                 : QVariantList{QVariantMap{
                                         {QStringLiteral("paramName"), QStringLiteral("maxChargingCurrent")},
                                         {QStringLiteral("value"), 6 + pick(11)}}};
            call = {QStringLiteral("Things.ExecuteAction"),
                    {{QStringLiteral("thingId"), thingId(QStringLiteral("charger"), charger.name)},
                     {QStringLiteral("actionTypeName"), params.first().toMap().value(QStringLiteral("paramName"))},
                     {QStringLiteral("params"), params}},
                    false,
                    {QStringLiteral("thingError")}};
            break;
        }
        Q_FALLTHROUGH();
    case 14:
        for (int i = 0; i < m_cars.count(); i++) {
            if (carEstimated(i) && m_cars.at(i).pluggedIn) {
                // The owner enters the level the dashboard shows.
                call = {QStringLiteral("Things.ExecuteAction"),
                        {{QStringLiteral("thingId"), thingId(QStringLiteral("car"), m_scenario.cars.at(i).name)},
                         {QStringLiteral("actionTypeName"), QStringLiteral("batteryLevel")},
                         {QStringLiteral("params"),
                          QVariantList{QVariantMap{{QStringLiteral("paramName"), QStringLiteral("batteryLevel")},
                                                   {QStringLiteral("value"), qRound(m_household.carSoc(i))}}}}},
                        false,
                        {QStringLiteral("thingError")}};
                return call;
            }
        }
        Q_FALLTHROUGH();
    case 15:
        call = {QStringLiteral("Things.GetStateValues"),
                {{QStringLiteral("thingId"), thingId(QStringLiteral("charger"), charger.name)}},
                false,
                {QStringLiteral("thingError"), QStringLiteral("states")}};
        break;
    default: {
        // Spot market off, or on again with the first provider.
        const bool enable = !m_spotMarketEnabled;
        QVariantMap params{{QStringLiteral("enabled"), enable}};
        if (enable) {
            const QVariantList providers = m_client->call(QStringLiteral("TavroEnergy.GetAvailableSpotMarketProviders"))
                                                   .value(QStringLiteral("providers"))
                                                   .toList();
            params.insert(QStringLiteral("providerId"), providers.value(0).toMap().value(QStringLiteral("providerId")));
        }
        call = {QStringLiteral("TavroEnergy.SetSpotMarketConfiguration"), params, false, {energyError}};
        break;
    }
    }
    return call;
}

Simulation::RandomCall Simulation::randomInvalidCall()
{
    const QString energyError = QStringLiteral("energyError");
    const auto pick = [this](int count) { return static_cast<int>(m_soakRandom.bounded(count)); };
    const Scenario::Charger &charger = m_scenario.chargers.at(pick(m_scenario.chargers.count()));
    const QString chargerId = thingId(QStringLiteral("charger"), charger.name);
    const auto configuration = [&](const QString &key, const QVariant &value) {
        return RandomCall{QStringLiteral("TavroEnergy.SetChargingConfiguration"),
                          {{QStringLiteral("chargingConfiguration"),
                            QVariantMap{{QStringLiteral("evChargerId"), chargerId}, {key, value}}}},
                          true,
                          {energyError}};
    };
    switch (pick(12)) {
    case 0:
        return configuration(QStringLiteral("targetPercentage"), 101 + pick(100));
    case 1:
        return configuration(QStringLiteral("repeatDays"), QVariantList{pick(2) == 1 ? 0 : 8});
    case 2:
        return configuration(QStringLiteral("dailySpotMarketPercentage"), 101 + pick(100));
    case 3:
        return {QStringLiteral("TavroEnergy.SetChargingConfiguration"),
                {{QStringLiteral("chargingConfiguration"),
                  QVariantMap{{QStringLiteral("evChargerId"),
                               thingId(QStringLiteral("charger"), QStringLiteral("Nowhere"))},
                              {QStringLiteral("chargingMode"), QStringLiteral("ChargingModeEco")}}}},
                true,
                {energyError}};
    case 4:
        return {QStringLiteral("TavroEnergy.SetAcquisitionTolerance"),
                {{QStringLiteral("acquisitionTolerance"), pick(2) == 1 ? -0.1 : 1.5}},
                true,
                {energyError}};
    case 5:
        return {QStringLiteral("TavroEnergy.SetBatteryLevelLimits"),
                {{QStringLiteral("batteryLevelLowerLimit"), 0.8}, {QStringLiteral("batteryLevelUpperLimit"), 0.3}},
                true,
                {energyError}};
    case 6:
        return {QStringLiteral("TavroEnergy.SetBatteryLevelConsideration"),
                {{QStringLiteral("batteryLevelConsideration"), 1.5}},
                true,
                {energyError}};
    case 7:
        return {QStringLiteral("TavroEnergy.SetPhasePowerLimit"),
                {{QStringLiteral("phasePowerLimit"), QStringLiteral("sixteen")}},
                true,
                {}};
    case 8:
        return {QStringLiteral("TavroEnergy.SetFluxCapacitor"), {}, true, {}};
    case 9:
        return {QStringLiteral("Things.ExecuteAction"),
                {{QStringLiteral("thingId"), thingId(QStringLiteral("charger"), QStringLiteral("Nowhere"))},
                 {QStringLiteral("actionTypeName"), QStringLiteral("power")},
                 {QStringLiteral("params"),
                  QVariantList{QVariantMap{{QStringLiteral("paramName"), QStringLiteral("power")},
                                           {QStringLiteral("value"), true}}}}},
                true,
                {QStringLiteral("thingError")}};
    case 10:
        return {QStringLiteral("Things.ExecuteAction"),
                {{QStringLiteral("thingId"), chargerId},
                 {QStringLiteral("actionTypeName"), QStringLiteral("selfDestruct")}},
                true,
                {QStringLiteral("thingError")}};
    default:
        return {QStringLiteral("TavroEnergy.SetSpotMarketConfiguration"),
                {{QStringLiteral("enabled"), true}},
                true,
                {energyError}};
    }
}

void Simulation::runRandomCall(const RandomCall &call)
{
    m_soak.apiCalls++;
    m_soak.invalidCalls += call.invalid ? 1 : 0;
    if (!call.invalid)
        noteOwnerAction(call.method);
    const int strayBefore = m_client->strayLines();
    const QVariantMap result = m_client->call(call.method, resolvePlaceholders(call.params).toMap());
    const QJsonObject reply = m_client->lastReply();
    settle();

    const QString malformed = malformation(reply, call.invalid || refused(reply) ? QStringList() : call.resultMembers);
    if (!malformed.isEmpty() || m_client->strayLines() != strayBefore) {
        m_soak.malformedReplies++;
        soakProblem(QStringLiteral("%1: malformed answer (%2)")
                            .arg(call.method, malformed.isEmpty() ? QStringLiteral("stray lines") : malformed));
    } else if (refused(reply) != call.invalid) {
        m_soak.unexpectedOutcomes++;
        soakProblem(QStringLiteral("%1 %2 was %3: %4")
                            .arg(call.method,
                                 QString::fromUtf8(QJsonDocument(QJsonObject::fromVariantMap(call.params))
                                                           .toJson(QJsonDocument::Compact)),
                                 call.invalid ? QStringLiteral("accepted") : QStringLiteral("refused"),
                                 QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact))));
    } else if (!call.invalid) {
        checkRandomState(call.method, result);
        followOwner(call.method, resolvePlaceholders(call.params).toMap());
        if (call.method == QLatin1String("TavroEnergy.SetPhasePowerLimit"))
            m_expectedLimit = call.params.value(QStringLiteral("phasePowerLimit")).toUInt();
        if (call.method == QLatin1String("TavroEnergy.SetAcquisitionTolerance"))
            m_expectedTolerance = call.params.value(QStringLiteral("acquisitionTolerance")).toDouble();
        if (call.method == QLatin1String("TavroEnergy.SetChargingConfiguration")) {
            const QVariantMap configuration =
                    resolvePlaceholders(call.params.value(QStringLiteral("chargingConfiguration"))).toMap();
            m_expectedModes.insert(configuration.value(QStringLiteral("evChargerId")).toString(),
                                   {configuration.value(QStringLiteral("chargingMode")).toString(),
                                    configuration.value(QStringLiteral("endDateTime")).toLongLong()});
        }
        if (call.method == QLatin1String("TavroEnergy.SetSpotMarketConfiguration")) {
            m_spotMarketEnabled = call.params.value(QStringLiteral("enabled")).toBool();
            if (m_spotMarketEnabled)
                refreshPrices();
        }
    }

    // Whatever the call was, the limit in force is what the API says it is.
    m_phaseLimit = m_client->call(QStringLiteral("TavroEnergy.GetPhasePowerLimit"))
                           .value(QStringLiteral("phasePowerLimit"))
                           .toDouble();
    if (m_phaseLimit != m_expectedLimit) {
        m_soak.unexpectedOutcomes++;
        soakProblem(QStringLiteral("phase limit %1 A after %2, %3 A set")
                            .arg(m_phaseLimit)
                            .arg(call.method)
                            .arg(m_expectedLimit));
        m_expectedLimit = static_cast<uint>(m_phaseLimit);
    }
}

void Simulation::checkRandomState(const QString &method, const QVariantMap &result)
{
    // What a getter answers must be what was set before, refused calls included.
    if (method == QLatin1String("TavroEnergy.GetAcquisitionTolerance")
        && !qFuzzyCompare(1.0 + result.value(QStringLiteral("acquisitionTolerance")).toDouble(),
                          1.0 + m_expectedTolerance)) {
        m_soak.unexpectedOutcomes++;
        soakProblem(QStringLiteral("acquisition tolerance %1, %2 set")
                            .arg(result.value(QStringLiteral("acquisitionTolerance")).toDouble())
                            .arg(m_expectedTolerance));
    }
    if (method == QLatin1String("TavroEnergy.GetChargingConfigurations")) {
        const QVariantList configurations = result.value(QStringLiteral("chargingConfigurations")).toList();
        if (configurations.count() != m_chargers.count()) {
            m_soak.unexpectedOutcomes++;
            soakProblem(QStringLiteral("%1 charging configurations for %2 chargers")
                                .arg(configurations.count())
                                .arg(m_chargers.count()));
        }
        for (const QVariant &value : configurations) {
            const QVariantMap configuration = value.toMap();
            const QString id = QUuid(configuration.value(QStringLiteral("evChargerId")).toString()).toString();
            const QString mode = configuration.value(QStringLiteral("chargingMode")).toString();
            if (!m_expectedModes.contains(id))
                continue;
            ExpectedMode &expected = m_expectedModes[id];
            // A target time that has passed turns the mode into plain eco, as documented.
            if (expected.mode == QLatin1String("ChargingModeEcoWithTargetTime")
                && mode == QLatin1String("ChargingModeEco")
                && TavroClock::currentDateTime().toSecsSinceEpoch() >= expected.endDateTime)
                expected.mode = mode;
            if (expected.mode != mode) {
                m_soak.unexpectedOutcomes++;
                soakProblem(QStringLiteral("charger %1 in %2, %3 set").arg(id, mode, expected.mode));
            }
        }
    }
}

void Simulation::checkSoc(const MinuteRecord &record)
{
    for (int j = 0; j < record.carSoc.count(); j++) {
        for (double soc : {record.carSoc.at(j), record.carReportedSoc.value(j)}) {
            m_soak.lowestSoc = qMin(m_soak.lowestSoc, soc);
            m_soak.highestSoc = qMax(m_soak.highestSoc, soc);
            if (soc < 0 || soc > 100 || qIsNaN(soc))
                m_soak.socOutOfRange++;
            if (soc < 0 || soc > 100 || qIsNaN(soc))
                soakProblem(QStringLiteral("%1 at %2 %").arg(m_scenario.cars.at(j).name).arg(soc));
        }
    }
}

void Simulation::measureHeap()
{
    // Take what the plugin has sent, let the host's request watchdogs of
    // the last second (real time) run out and deferred deletions run, so
    // that neither a full socket buffer nor a pending timer counts.
    m_client->call(QStringLiteral("TavroEnergy.GetPhasePowerLimit"));
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < m_jsonRpcServer->replyTimeout() + 100)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    settle();
    const qint64 bytes = heapInUse();
    if (m_soak.heapAfterFirstDay < 0)
        m_soak.heapAfterFirstDay = bytes;
    else
        m_soak.heapAtEnd = bytes;
}
