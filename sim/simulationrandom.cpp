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
        runRandomCall(invalid ? m_randomCalls.invalid() : m_randomCalls.valid(randomHousehold()));
    }
}

RandomCalls::Household Simulation::randomHousehold()
{
    RandomCalls::Household household;
    for (int i = 0; i < m_cars.count() && household.estimatedCar < 0; i++) {
        if (carEstimated(i) && m_cars.at(i).pluggedIn) {
            household.estimatedCar = i;
            household.estimatedCarSoc = m_household.carSoc(i);
        }
    }
    household.spotMarketEnabled = m_spotMarketEnabled;
    household.firstProviderId = [this]() {
        const QVariantList providers = m_client->call(QStringLiteral("TavroEnergy.GetAvailableSpotMarketProviders"))
                                               .value(QStringLiteral("providers"))
                                               .toList();
        return providers.value(0).toMap().value(QStringLiteral("providerId"));
    };
    return household;
}

void Simulation::runRandomCall(const RandomCall &call)
{
    m_soak.apiCalls++;
    m_soak.invalidCalls += call.invalid ? 1 : 0;
    if (!call.invalid)
        noteOwnerAction(call.method, call.params);
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
    const QString limitProblem = m_expected.checkPhaseLimit(m_phaseLimit, call.method);
    if (!limitProblem.isEmpty()) {
        m_soak.unexpectedOutcomes++;
        soakProblem(limitProblem);
    }
}

void Simulation::checkRandomState(const QString &method, const QVariantMap &result)
{
    const QStringList problems =
            m_expected.check(method, result, m_chargers.count(), TavroClock::currentDateTime().toSecsSinceEpoch());
    for (const QString &problem : problems) {
        m_soak.unexpectedOutcomes++;
        soakProblem(problem);
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
