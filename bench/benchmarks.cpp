// Micro benchmarks of the smart charging hot paths: the update cycle, the
// overload check on a power-balance change, the charging share calculator
// and the cheapest-slot scheduler. Every benchmark builds its inputs once,
// outside the timed loop, and feeds the same inputs to every iteration.
//
// Times are CPU time of the benchmark thread (getrusage), so a busy machine
// stretches them less than wall-clock time would.

#include "householdfixture.h"

#include "config/energymanagerconfiguration.h"
#include "smartcharging/chargingsharecalculator.h"
#include "smartcharging/smartchargingmanager.h"
#include "spotmarket/spotmarketdataprovider.h"
#include "spotmarket/spotmarketmanager.h"

#include "tavro/jsonrpclinebuffer.h"
#include "tavro/thing.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QtMath>

#include <sys/resource.h>
#include <memory>

using Access = CycleProbe;

namespace {

// CPU time of the calling thread (user and system), in s.
double threadCpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The application object the host would have; created on first use and
// kept until the process ends.
void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    // Hash order decides the order of the per-charger tables; a fixed seed
    // gives every run the same order.
    qSetGlobalQHashSeed(0);
    static int argc = 1;
    static char name[] = "tavro-energy-bench";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    // As a host runs by default: debug and info lines off. The plugin's
    // warnings are off too: the chargers' lock notices repeat with every
    // household set up here and would bury the table.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false\nTavroEnergy.warning=false"));
}

// Deterministic noise in [0, 1) (a small linear congruential generator), so
// every run sees the same prices and requests.
class Noise
{
public:
    explicit Noise(quint32 seed)
        : m_state(seed)
    {
    }
    double next()
    {
        m_state = m_state * 1664525u + 1013904223u;
        return (m_state >> 8) / double(1u << 24);
    }

private:
    quint32 m_state;
};

// Day-ahead prices (EUR/MWh): a daily wave with a midday dip and noise.
ScoreEntries priceSlots(const QDateTime &start, int count, int minutes)
{
    Noise noise(42);
    ScoreEntries entries;
    entries.reserve(count);
    for (int i = 0; i < count; i++) {
        ScoreEntry entry;
        entry.setStartDateTime(start.addSecs(qint64(i) * minutes * 60));
        entry.setEndDateTime(start.addSecs(qint64(i + 1) * minutes * 60));
        const double hour = entry.startDateTime().time().hour() + entry.startDateTime().time().minute() / 60.0;
        entry.setValue(90 + 40 * qCos((hour - 19) / 24 * 2 * M_PI) + 25 * noise.next());
        entries.append(entry);
    }
    return entries;
}

// Prices handed in by the benchmark; available as soon as they are set.
class BenchMarketProvider : public SpotMarketDataProvider
{
public:
    BenchMarketProvider()
        : SpotMarketDataProvider(nullptr)
    {
        m_info.providerId = providerId();
        m_info.name = QStringLiteral("Bench market");
    }
    QUuid providerId() const override { return QUuid(QStringLiteral("{0f6a8a3e-2d1b-4f57-9a64-5c0e1b7d9e21}")); }
    void enable() override { m_enabled = true; }
    void disable() override { m_enabled = false; }
    void refreshData() override {}
    void setEntries(const ScoreEntries &entries)
    {
        m_scoreEntries = entries;
        m_available = true;
        emit scoreEntriesChanged(entries);
    }
};

// A household with the given number of AC chargers, each with a car, behind
// one grid meter, with two days of hourly prices and the spot market on.
// The chargers are spread over the three eco flavours: a daily spot-market
// share, a target time tomorrow morning, and pure surplus charging.
struct Household {
    explicit Household(int chargerCount)
    {
        meter = fixture.addThing(QStringLiteral("gridMeter"), QStringLiteral("Grid"));
        // 2 kW export on every phase.
        HouseholdFixture::setMeterCurrents(meter, -8.7, -8.7, -8.7);
        QList<Thing *> cars;
        for (int i = 0; i < chargerCount; i++) {
            const QString number = QString::number(i);
            chargers.append(fixture.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger ") + number,
                                             {{QStringLiteral("pluggedIn"), true},
                                              {QStringLiteral("power"), true},
                                              {QStringLiteral("charging"), true},
                                              {QStringLiteral("maxChargingCurrent"), 10},
                                              {QStringLiteral("phaseCount"), 3},
                                              {QStringLiteral("currentPower"), 6900},
                                              {QStringLiteral("currentPhaseA"), 10},
                                              {QStringLiteral("currentPhaseB"), 10},
                                              {QStringLiteral("currentPhaseC"), 10}}));
            Thing *car = fixture.addThing(QStringLiteral("electricVehicle"), QStringLiteral("Car ") + number,
                                          {{QStringLiteral("batteryLevel"), 30 + i % 40},
                                           {QStringLiteral("capacity"), 60},
                                           {QStringLiteral("acPhaseCount"), 3},
                                           {QStringLiteral("acMinChargingCurrent"), 6},
                                           {QStringLiteral("acMaxChargingCurrent"), 16}});
            car->setSettingValue(QStringLiteral("chargingEnergyLoss"), 10);
            cars.append(car);
        }

        manager = fixture.createManager();
        manager->setPhasePowerLimit(63);

        provider = new BenchMarketProvider;
        SpotMarketManager *market = fixture.spotMarketManager();
        market->registerProvider(provider);
        market->changeProvider(provider->providerId());
        market->setEnabled(true);
        const QDateTime midnight(fixture.now().date(), QTime(0, 0));
        provider->setEntries(priceSlots(midnight, 48, 60));

        for (int i = 0; i < chargerCount; i++) {
            ChargingConfiguration configuration(chargers.at(i)->id());
            configuration.setAssignedCarId(cars.at(i)->id());
            configuration.setTargetPercentage(80);
            switch (i % 3) {
            case 0:
                configuration.setChargingMode(ChargingConfiguration::ChargingModeEco);
                configuration.setDailySpotMarketPercentage(20);
                break;
            case 1:
                configuration.setChargingMode(ChargingConfiguration::ChargingModeEcoWithTargetTime);
                configuration.setEndDateTime(QDateTime(fixture.now().date().addDays(1), QTime(7, 0)));
                break;
            default:
                configuration.setChargingMode(ChargingConfiguration::ChargingModeEco);
                break;
            }
            Access::storeConfiguration(manager, configuration);
        }

        now = fixture.now();
        // Let the first cycles settle the chargers into their steady state.
        for (int i = 0; i < 3; i++) {
            Access::update(manager, now);
            HouseholdFixture::processEvents();
        }
    }

    HouseholdFixture fixture;
    Thing *meter = nullptr;
    QList<Thing *> chargers;
    SmartChargingManager *manager = nullptr;
    BenchMarketProvider *provider = nullptr;
    QDateTime now;
};

// One update cycle. The timed part is the manager's cycle; the actions it
// queues are executed by the host afterwards, untimed, so the next cycle
// starts from the same state. "cycle+host" adds that execution (wall time).
void BM_UpdateCycle(benchmark::State &state)
{
    ensureApplication();
    const int chargerCount = static_cast<int>(state.range(0));
    Household household(chargerCount);

    double cycleSeconds = 0;
    double withHostSeconds = 0;
    for (auto _ : state) {
        QElapsedTimer wall;
        wall.start();
        const double start = threadCpuSeconds();
        Access::update(household.manager, household.now);
        const double elapsed = threadCpuSeconds() - start;
        state.SetIterationTime(elapsed);
        cycleSeconds += elapsed;
        HouseholdFixture::processEvents();
        withHostSeconds += wall.nsecsElapsed() / 1e9;
    }
    benchmark::DoNotOptimize(household.manager->chargingStates());

    const double iterations = static_cast<double>(state.iterations());
    state.counters["us/charger"] = cycleSeconds / iterations / chargerCount * 1e6;
    state.counters["cycle+host_us"] = withHostSeconds / iterations * 1e6;
}
BENCHMARK(BM_UpdateCycle)
        ->ArgName("chargers")
        ->Arg(1)
        ->Arg(10)
        ->Arg(100)
        ->Arg(1000)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);

// The overload check as it runs on every power-balance change. argument 1:
// 0 = no phase over the limit (the everyday case), 1 = overloaded (the
// protection computes shares and throttles every charger).
void BM_VerifyOverloadProtection(benchmark::State &state)
{
    ensureApplication();
    const int chargerCount = static_cast<int>(state.range(0));
    const bool overloaded = state.range(1) != 0;
    Household household(chargerCount);
    if (overloaded) {
        // 65 A on every phase: 2 A over the limit of 63 A.
        HouseholdFixture::setMeterCurrents(household.meter, 65, 65, 65);
        HouseholdFixture::processEvents();
    }

    for (auto _ : state) {
        const double start = threadCpuSeconds();
        const bool handled = Access::verifyOverloadProtection(household.manager, household.now);
        state.SetIterationTime(threadCpuSeconds() - start);
        benchmark::DoNotOptimize(handled);
        if (handled != overloaded) {
            state.SkipWithError("the overload check did not see the prepared meter reading");
            break;
        }
        if (overloaded)
            HouseholdFixture::processEvents();
    }
}
BENCHMARK(BM_VerifyOverloadProtection)
        ->ArgNames({"chargers", "overloaded"})
        ->Args({10, 0})
        ->Args({10, 1})
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);

// Requests as the AC share step builds them: three issuer priorities, one-
// and three-phase chargers from 6 A to 16 A, rotating fairness counters, and
// a budget of 40 % of all maximums so admission and several water-filling
// passes run.
void BM_ChargingShareCalculator(benchmark::State &state)
{
    ensureApplication();
    const int count = static_cast<int>(state.range(0));
    const QUuid idNamespace(QStringLiteral("{4b0c51f2-8f0e-4d8e-a3a5-0f3d6a2b7c11}"));
    Noise noise(7);
    QList<ChargingShareCalculator::Request> requests;
    double maximumSum = 0;
    for (int i = 0; i < count; i++) {
        ChargingShareCalculator::Request request;
        request.thingId = QUuid::createUuidV5(idNamespace, QString::number(i)).toString();
        request.phaseCount = i % 4 == 0 ? 1 : 3;
        request.minimumPower = 6 * 230.0 * request.phaseCount;
        request.maximumPower = (8 + 8 * noise.next()) * 230.0 * request.phaseCount;
        request.measuredPower = request.maximumPower / 2;
        request.priority = i % 3;
        request.fairnessCounter = static_cast<quint32>(i * 7 % 5);
        maximumSum += request.maximumPower;
        requests.append(request);
    }
    const double budget = maximumSum * 0.4;
    const ChargingShareCalculator calculator;

    int enabled = 0;
    for (auto _ : state) {
        const double start = threadCpuSeconds();
        const QList<ChargingShareCalculator::Result> results =
                calculator.calculate(requests, budget, ChargingShareCalculator::StrategyPriority);
        state.SetIterationTime(threadCpuSeconds() - start);
        benchmark::DoNotOptimize(results);
        enabled = 0;
        for (const ChargingShareCalculator::Result &result : results)
            enabled += result.enabled ? 1 : 0;
    }
    state.counters["served"] = enabled;
}
BENCHMARK(BM_ChargingShareCalculator)
        ->ArgName("requests")
        ->Arg(10)
        ->Arg(100)
        ->Arg(1000)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);

// scheduleChargingTime over 24 hourly slots (a day), 96 and 192 quarter-hour
// slots (one and two days) and 3360 quarter-hour slots (35 days). The clock
// stands 7 minutes into the first slot; a quarter of the available minutes
// is asked for, which yields many frames to fuse.
void BM_ScheduleChargingTime(benchmark::State &state)
{
    ensureApplication();
    const int slotCount = static_cast<int>(state.range(0));
    const int slotMinutes = slotCount == 24 ? 60 : 15;
    HouseholdFixture fixture;
    const QDateTime midnight(fixture.now().date(), QTime(0, 0));
    const QDateTime now = midnight.addSecs(7 * 60);
    SpotMarketManager *market = fixture.spotMarketManager();
    const ScoreEntries weighted = market->weightScoreEntries(priceSlots(midnight, slotCount, slotMinutes));
    const uint minutes = static_cast<uint>(slotCount * slotMinutes / 4);
    const uint minimumScheduleDuration = fixture.configuration()->minimumScheduleDuration();

    int frameCount = 0;
    for (auto _ : state) {
        const double start = threadCpuSeconds();
        const QList<TimeFrame> frames =
                market->scheduleChargingTime(now, weighted, minutes, minimumScheduleDuration, false);
        state.SetIterationTime(threadCpuSeconds() - start);
        benchmark::DoNotOptimize(frames);
        frameCount = frames.count();
    }
    state.counters["frames"] = frameCount;
}
BENCHMARK(BM_ScheduleChargingTime)
        ->ArgName("slots")
        ->Arg(24)
        ->Arg(96)
        ->Arg(192)
        ->Arg(3360)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);

// The JSON-RPC transport's line splitting: 4 MiB of short lines arriving in
// the 64 KiB reads the transport makes, all taken out line by line. Blank
// lines (2 bytes) are what a client without a token can send; the request
// lines (60 bytes) what an authenticated one sends back to back. Goal: well
// under a second for the 4 MiB; a splitter that copied the rest of its
// buffer for every line needed tens of seconds.
void BM_JsonRpcLineSplitting(benchmark::State &state)
{
    const bool blank = state.range(0) == 0;
    const QByteArray line = blank ? QByteArrayLiteral(" \n")
                                  : QByteArrayLiteral(R"({"jsonrpc":"2.0","id":1,"method":"TavroEnergy.GetPhase"})"
                                                      "\n");
    const int total = 4 * 1024 * 1024;
    const QByteArray stream = line.repeated(total / line.size());
    const int chunk = 64 * 1024;

    int lines = 0;
    for (auto _ : state) {
        const double start = threadCpuSeconds();
        JsonRpcLineBuffer buffer(1024 * 1024);
        lines = 0;
        QByteArray taken;
        for (int offset = 0; offset < stream.size(); offset += chunk) {
            buffer.append(stream.constData() + offset, qMin(chunk, stream.size() - offset));
            while (buffer.takeLine(&taken) == JsonRpcLineBuffer::LineReady)
                lines++;
        }
        state.SetIterationTime(threadCpuSeconds() - start);
        benchmark::DoNotOptimize(taken);
    }
    state.counters["lines"] = lines;
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(BM_JsonRpcLineSplitting)->ArgName("requests")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// One SetChargingConfiguration as the JSON-RPC handler makes it: a changed
// target on one of ten chargers, stored in the settings file, followed by
// the update cycle the change starts. Time is CPU time of the call; wall_us
// also counts what the call waits for (the disk). A batch of 100 such calls
// holds the event loop 100 times as long.
void BM_SetChargingConfiguration(benchmark::State &state)
{
    ensureApplication();
    const int chargerCount = 10;
    Household household(chargerCount);
    QList<ChargingConfiguration> configurations;
    for (Thing *charger : qAsConst(household.chargers)) {
        configurations.append(household.manager->chargingConfiguration(charger->id()));
        // Every charger in the file, as in a house that has been set up.
        ChargingConfiguration stored = configurations.last();
        stored.setTargetPercentage(79);
        household.manager->setChargingConfiguration(stored);
    }

    double wallSeconds = 0;
    int call = 0;
    for (auto _ : state) {
        ChargingConfiguration &configuration = configurations[call % chargerCount];
        configuration.setTargetPercentage(70 + (call / chargerCount) % 2);
        call++;
        QElapsedTimer wall;
        wall.start();
        const double start = threadCpuSeconds();
        const EnergyManager::EnergyError error = household.manager->setChargingConfiguration(configuration);
        state.SetIterationTime(threadCpuSeconds() - start);
        wallSeconds += wall.nsecsElapsed() / 1e9;
        if (error != EnergyManager::EnergyErrorNoError) {
            state.SkipWithError("the configuration was refused");
            break;
        }
        HouseholdFixture::processEvents();
    }
    state.counters["wall_us"] = wallSeconds / static_cast<double>(state.iterations()) * 1e6;
}
BENCHMARK(BM_SetChargingConfiguration)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
