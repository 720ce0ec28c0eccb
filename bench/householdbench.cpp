// A simulated household around the built plugin, loaded through the host's
// EnergyPluginLoader like a real host does: measures simulated minutes per
// CPU second and the heap the plugin holds after each simulated day.
//
// Usage: tavro-energy-bench-household [--chargers N] [--days D] [--plugin-dir DIR]
// Prints one table: speed, heap after day 1 and day D, growth in between.
//
// The household: a grid meter, a PV system of 6 kW per charger, a base load,
// and per charger a car that is plugged in during the day (in eco mode,
// every third with a daily spot-market share, every third with a target
// time) and loses a quarter of its charge driving each evening. Day-ahead
// prices come from the provider's cache file, written before the start.

#include "tavro-energy/energymanager.h"
#include "settingssandbox.h"
#include "tavro-energy/energyplugin.h"
#include "tavro-energy/energypluginloader.h"
#include "tavro/jsoncontext.h"
#include "tavro/jsonhandler.h"
#include "tavro/jsonreply.h"
#include "tavro/jsonrpcserver.h"
#include "tavro/tavroclock.h"
#include "tavro/thingmanager.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QSettings>
#include <QTemporaryDir>
#include <QtMath>

#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>

namespace {

const double voltage = 230.0;
const QUuid awattarAustria(QStringLiteral("{5196b3cc-b2ee-46d6-b63a-7af2cf70ba67}"));

int warningCount = 0;

void countingMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    Q_UNUSED(context)
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    // Warnings (the provider's refresh fails on purpose, there is no price
    // server; chargers report their on/off locks): counted, the first few shown.
    if (++warningCount <= 3)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

double cpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// Bytes in use on the heap (small chunks plus mmapped blocks).
qint64 heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return static_cast<qint64>(info.uordblks + info.hblkhd);
}

void settle()
{
    // Actions run from the event loop and finish one turn later.
    for (int i = 0; i < 5; i++) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

// Hourly prices from the day before the start to two days after the end,
// in the provider's cache file ("tavro-energy-spotmarket-data.cache").
void writePriceCache(const QString &cacheDirectory, const QDateTime &start, int days)
{
    QSettings cache(cacheDirectory + QStringLiteral("/tavro-energy-spotmarket-data.cache"), QSettings::IniFormat);
    const QDateTime first(start.date().addDays(-1), QTime(0, 0));
    const int hours = (days + 3) * 24;
    cache.beginWriteArray(QStringLiteral("aWATTar AT"), hours);
    for (int i = 0; i < hours; i++) {
        const QDateTime slotStart = first.addSecs(i * 3600LL);
        cache.setArrayIndex(i);
        cache.setValue(QStringLiteral("startDateTime"), slotStart);
        cache.setValue(QStringLiteral("endDateTime"), slotStart.addSecs(3600));
        const int hour = slotStart.time().hour();
        cache.setValue(QStringLiteral("value"), 90 + 40 * qCos((hour - 19) / 24.0 * 2 * M_PI) + (i * 37 % 11));
    }
    cache.endArray();
}

class Household
{
public:
    Household(int chargerCount, const QDateTime &start)
        : m_start(start)
    {
        m_thingManager.setActionLogLimit(0);
        m_meter = m_thingManager.addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Grid"));
        m_inverter = m_thingManager.addConfiguredThing(QStringLiteral("solarInverter"), QStringLiteral("PV"));
        for (int i = 0; i < chargerCount; i++) {
            Vehicle vehicle;
            vehicle.charger = m_thingManager.addConfiguredThing(QStringLiteral("evChargerAc"),
                                                                QStringLiteral("Charger %1").arg(i));
            vehicle.car = m_thingManager.addConfiguredThing(QStringLiteral("electricVehicleConnected"),
                                                            QStringLiteral("Car %1").arg(i));
            vehicle.car->setStateValue(QStringLiteral("capacity"), 60);
            vehicle.car->setStateValue(QStringLiteral("acPhaseCount"), 3);
            vehicle.car->setStateValue(QStringLiteral("acMinChargingCurrent"), 6);
            vehicle.car->setStateValue(QStringLiteral("acMaxChargingCurrent"), 16);
            vehicle.car->setSettingValue(QStringLiteral("chargingEnergyLoss"), 10);
            vehicle.soc = 30 + (i * 13) % 40;
            vehicle.car->setStateValue(QStringLiteral("batteryLevel"), qRound(vehicle.soc));
            vehicle.plugIn = (8 + i % 3) * 60;
            vehicle.plugOut = (17 + i % 4) * 60;
            m_vehicles.append(vehicle);
        }
    }

    ~Household() { delete m_plugin; }

    bool loadPlugin(const QString &pluginDirectory, QString *errorString)
    {
        const QStringList plugins = EnergyPluginLoader::findPlugins({pluginDirectory});
        if (plugins.isEmpty()) {
            *errorString = QStringLiteral("No energy plugin in %1").arg(pluginDirectory);
            return false;
        }
        m_plugin = EnergyPluginLoader::load(plugins.first(), &m_energyManager, &m_thingManager, &m_jsonRpcServer,
                                            errorString);
        return m_plugin != nullptr;
    }

    // Configures the plugin through its JSON-RPC handler, as a client would.
    bool configure(QString *errorString)
    {
        JsonHandler *handler = m_jsonRpcServer.handler(QStringLiteral("TavroEnergy"));
        if (!handler) {
            *errorString = QStringLiteral("The plugin registered no \"TavroEnergy\" namespace");
            return false;
        }
        const int limit = 25 + 16 * m_vehicles.count() / 2;
        if (!call(handler, QStringLiteral("SetPhasePowerLimit"), {{QStringLiteral("phasePowerLimit"), limit}},
                  errorString))
            return false;
        if (!call(handler, QStringLiteral("SetSpotMarketConfiguration"),
                  {{QStringLiteral("enabled"), true}, {QStringLiteral("providerId"), awattarAustria.toString()}},
                  errorString))
            return false;
        for (int i = 0; i < m_vehicles.count(); i++) {
            QVariantMap configuration{{QStringLiteral("evChargerId"), m_vehicles.at(i).charger->id().toString()},
                                      {QStringLiteral("assignedCarId"), m_vehicles.at(i).car->id().toString()},
                                      {QStringLiteral("targetPercentage"), 80}};
            switch (i % 3) {
            case 0:
                configuration.insert(QStringLiteral("chargingMode"), QStringLiteral("ChargingModeEco"));
                configuration.insert(QStringLiteral("dailySpotMarketPercentage"), 20);
                break;
            case 1:
                configuration.insert(QStringLiteral("chargingMode"), QStringLiteral("ChargingModeEcoWithTargetTime"));
                configuration.insert(QStringLiteral("endDateTime"),
                                     QDateTime(m_start.date(), QTime(7, 0)).toSecsSinceEpoch());
                configuration.insert(QStringLiteral("repeatDays"), QVariantList{1, 2, 3, 4, 5, 6, 7});
                break;
            default:
                configuration.insert(QStringLiteral("chargingMode"), QStringLiteral("ChargingModeEco"));
                break;
            }
            if (!call(handler, QStringLiteral("SetChargingConfiguration"),
                      {{QStringLiteral("chargingConfiguration"), configuration}}, errorString))
                return false;
        }
        return true;
    }

    // One simulated minute: physics, the host's one-minute sample, the
    // actions the plugin sends in response.
    void step(int minute)
    {
        const QDateTime now = m_start.addSecs(minute * 60LL);
        TavroClock::setCurrentDateTime(now);
        const int minuteOfDay = now.time().hour() * 60 + now.time().minute();

        const double hour = minuteOfDay / 60.0;
        const double pv = hour > 6 && hour < 20 ? 6000.0 * m_vehicles.count() * qSin((hour - 6) / 14 * M_PI) : 0;
        double phasePower[3] = {300, 250, 280};
        if (hour >= 17 && hour < 22) {
            phasePower[0] += 500;
            phasePower[1] += 300;
            phasePower[2] += 400;
        }

        for (Vehicle &vehicle : m_vehicles) {
            const bool pluggedIn = minuteOfDay >= vehicle.plugIn && minuteOfDay < vehicle.plugOut;
            if (vehicle.pluggedIn && !pluggedIn)
                vehicle.soc = qMax(5.0, vehicle.soc - 25); // the evening drive
            vehicle.pluggedIn = pluggedIn;
            Thing *charger = vehicle.charger;
            charger->setStateValue(QStringLiteral("pluggedIn"), pluggedIn);

            double power = 0;
            const uint phases = qBound(1u, charger->stateValue(QStringLiteral("desiredPhaseCount")).toUInt(), 3u);
            if (pluggedIn && charger->stateValue(QStringLiteral("power")).toBool() && vehicle.soc < 100) {
                const double current = qMin(charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble(), 16.0);
                power = current * voltage * phases;
                vehicle.soc = qMin(100.0, vehicle.soc + power * 0.9 / 60 / 1000 / 60 * 100);
            }
            const double phaseCurrent = power > 0 ? power / phases / voltage : 0;
            const char *names[] = {"A", "B", "C"};
            for (uint p = 0; p < 3; p++) {
                const double current = p < phases ? phaseCurrent : 0;
                phasePower[p] += current * voltage;
                charger->setStateValue(QStringLiteral("currentPhase") + QLatin1String(names[p]), current);
                charger->setStateValue(QStringLiteral("currentPowerPhase") + QLatin1String(names[p]),
                                       current * voltage);
            }
            charger->setStateValue(QStringLiteral("phaseCount"), phases);
            charger->setStateValue(QStringLiteral("charging"), power > 0);
            charger->setStateValue(QStringLiteral("currentPower"), power);
            vehicle.car->setStateValue(QStringLiteral("batteryLevel"), qRound(vehicle.soc));
        }

        m_inverter->setStateValue(QStringLiteral("currentPower"), -pv);
        const char *names[] = {"A", "B", "C"};
        double total = 0;
        for (int p = 0; p < 3; p++) {
            const double power = phasePower[p] - pv / 3;
            total += power;
            m_meter->setStateValue(QStringLiteral("currentPhase") + QLatin1String(names[p]), power / voltage);
            m_meter->setStateValue(QStringLiteral("currentPowerPhase") + QLatin1String(names[p]), power);
        }
        // The total last: it announces the new power balance.
        m_meter->setStateValue(QStringLiteral("currentPower"), total);
        settle();

        m_energyManager.sampleMinute(now);
        settle();
    }

private:
    struct Vehicle {
        Thing *charger = nullptr;
        Thing *car = nullptr;
        double soc = 0;
        bool pluggedIn = false;
        int plugIn = 0; // minute of the day
        int plugOut = 0;
    };

    bool call(JsonHandler *handler, const QString &method, const QVariantMap &params, QString *errorString)
    {
        const QMetaObject *metaObject = handler->metaObject();
        JsonContext context;
        context.setPermissionScopes(Types::PermissionScopeAdmin);
        JsonReply *reply = nullptr;
        int index = metaObject->indexOfMethod(QString(method + QStringLiteral("(QVariantMap,JsonContext)")).toLatin1());
        bool invoked = false;
        if (index >= 0) {
            invoked = metaObject->method(index).invoke(handler, Qt::DirectConnection, Q_RETURN_ARG(JsonReply *, reply),
                                                       Q_ARG(QVariantMap, params), Q_ARG(JsonContext, context));
        } else {
            index = metaObject->indexOfMethod(QString(method + QStringLiteral("(QVariantMap)")).toLatin1());
            if (index >= 0)
                invoked = metaObject->method(index).invoke(
                        handler, Qt::DirectConnection, Q_RETURN_ARG(JsonReply *, reply), Q_ARG(QVariantMap, params));
        }
        const QString error = reply ? reply->data().value(QStringLiteral("energyError")).toString() : QString();
        const bool ok = invoked && reply && !reply->isError() && error == QLatin1String("EnergyErrorNoError");
        if (!ok)
            *errorString = QStringLiteral("TavroEnergy.%1 failed: %2")
                                   .arg(method, reply ? error + reply->errorMessage() : QStringLiteral("not invoked"));
        delete reply;
        settle();
        return ok;
    }

    QDateTime m_start;
    ThingManager m_thingManager;
    EnergyManager m_energyManager{&m_thingManager};
    JsonRpcServer m_jsonRpcServer;
    EnergyPlugin *m_plugin = nullptr;
    Thing *m_meter = nullptr;
    Thing *m_inverter = nullptr;
    QList<Vehicle> m_vehicles;
};

} // namespace

int main(int argc, char *argv[])
{
    qSetGlobalQHashSeed(0);
    QCoreApplication application(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
    qInstallMessageHandler(countingMessageHandler);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Household speed and heap benchmark of the plugin"));
    parser.addHelpOption();
    const QCommandLineOption chargersOption(QStringLiteral("chargers"),
                                            QStringLiteral("AC chargers (with a car each)."), QStringLiteral("count"),
                                            QStringLiteral("1"));
    const QCommandLineOption daysOption(QStringLiteral("days"), QStringLiteral("Simulated days."),
                                        QStringLiteral("count"), QStringLiteral("7"));
    const QCommandLineOption pluginOption(QStringLiteral("plugin-dir"),
                                          QStringLiteral("Directory of the built plugin."), QStringLiteral("dir"),
                                          QCoreApplication::applicationDirPath() + QStringLiteral("/../plugins"));
    parser.addOptions({chargersOption, daysOption, pluginOption});
    parser.process(application);
    const int chargers = qMax(1, parser.value(chargersOption).toInt());
    const int days = qMax(2, parser.value(daysOption).toInt());

    // Never the user's files, never a real bus or price service.
    const SettingsSandbox data;
    data.apply();
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tavro-bench-bus");
    qputenv("TAVRO_AWATTAR_AT_URL", "http://127.0.0.1:1");
    qputenv("TAVRO_AWATTAR_DE_URL", "http://127.0.0.1:1");

    // A Monday in June, midnight.
    const QDateTime start(QDate(2026, 6, 15), QTime(0, 0));
    TavroClock::setCurrentDateTime(start);
    writePriceCache(data.folder(QStringLiteral("cache")), start, days);

    Household household(chargers, start);
    settle();
    const qint64 heapBeforePlugin = heapInUse();

    QString error;
    if (!household.loadPlugin(parser.value(pluginOption), &error) || !household.configure(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    settle();
    const qint64 heapAfterSetUp = heapInUse();

    QList<qint64> heapAfterDay;
    const double cpuStart = cpuSeconds();
    int minute = 0;
    for (int day = 0; day < days; day++) {
        for (int i = 0; i < 24 * 60; i++)
            household.step(minute++);
        heapAfterDay.append(heapInUse());
    }
    const double cpu = cpuSeconds() - cpuStart;

    auto kib = [](qint64 bytes) { return bytes / 1024.0; };
    std::printf("%-34s %12s\n", "Household benchmark", "value");
    std::printf("%-34s %12d\n", "chargers (each with a car)", chargers);
    std::printf("%-34s %12d\n", "simulated minutes", minute);
    std::printf("%-34s %12.2f\n", "CPU seconds", cpu);
    std::printf("%-34s %12.0f\n", "simulated minutes per CPU second", minute / cpu);
    std::printf("%-34s %12.0f\n", "CPU seconds per simulated year", 525600 * cpu / minute);
    std::printf("%-34s %12.1f\n", "plugin heap after set-up [KiB]", kib(heapAfterSetUp - heapBeforePlugin));
    std::printf("%-34s %12.1f\n", "plugin heap after day 1 [KiB]", kib(heapAfterDay.first() - heapBeforePlugin));
    std::printf("%-34s %12.1f\n",
                QString(QStringLiteral("plugin heap after day %1 [KiB]")).arg(days).toLatin1().constData(),
                kib(heapAfterDay.last() - heapBeforePlugin));
    std::printf("%-34s %12.1f\n",
                QString(QStringLiteral("growth day 1 -> day %1 [KiB]")).arg(days).toLatin1().constData(),
                kib(heapAfterDay.last() - heapAfterDay.first()));
    QStringList perDay;
    for (qint64 bytes : heapAfterDay)
        perDay.append(QString::number(kib(bytes - heapBeforePlugin), 'f', 0));
    std::printf("%-34s %s\n", "heap per day [KiB]", qPrintable(perDay.join(QLatin1Char(' '))));
    std::printf("%-34s %12d\n", "warnings logged", warningCount);
    // With the C library's per-thread cache on, chunks it holds count as in
    // use, so the heap seems to creep; scripts/bench.sh turns it off.
    const bool threadCacheOff = qEnvironmentVariable("GLIBC_TUNABLES").contains(QStringLiteral("tcache_count=0"));
    std::printf("%-34s %12s\n", "malloc thread cache", threadCacheOff ? "off" : "on");
    return 0;
}
