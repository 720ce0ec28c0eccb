#include "simulation.h"
#include "forecastserver.h"
#include "jsonrpcclient.h"
#include "priceserver.h"

#include "plugin/forecastrefreshhook.h"
#include "plugin/pricerefreshhook.h"

#include "tavro-energy/energymanager.h"
#include "tavro-energy/energyplugin.h"
#include "tavro-energy/energypluginloader.h"
#include "tavro-energy/jsonrpcenergyhandler.h"
#include "tavro/jsonrpcserver.h"
#include "tavro/jsonrpcthingshandler.h"
#include "tavro/jsonrpcwebsockettransport.h"
#include "tavro/tavroclock.h"
#include "tavro/thingmanager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QUuid>
#include <QtMath>

namespace {

const double voltage = 230.0;
const QUuid idNamespace(QStringLiteral("{1d3c2f0e-5b7a-4c1e-9f2d-7a6b5c4d3e2f}"));
const int soakReplyTimeoutMs = 1000;

bool writable(Thing *thing, const QString &stateName)
{
    return thing->thingClass().stateTypes().findByName(stateName).writable();
}

// The planes of the "forecast" section as the plugin's configuration takes them.
QVariantList forecastPlanes(const Scenario::Forecast &forecast)
{
    QVariantList planes;
    for (const Scenario::ForecastPlane &plane : forecast.planes) {
        QVariantList horizon;
        for (int elevation : plane.horizon)
            horizon.append(elevation);
        QVariantMap map{{QStringLiteral("latitude"), plane.latitude},
                        {QStringLiteral("longitude"), plane.longitude},
                        {QStringLiteral("declination"), plane.declination},
                        {QStringLiteral("azimuth"), plane.azimuth},
                        {QStringLiteral("kwp"), plane.kwp}};
        if (!horizon.isEmpty())
            map.insert(QStringLiteral("horizon"), horizon);
        planes.append(map);
    }
    return planes;
}

}

QUuid Simulation::fixedId(const QString &kind, const QString &name)
{
    // Fixed ids keep every run of a scenario identical.
    return QUuid::createUuidV5(idNamespace, kind + QLatin1Char('/') + name);
}

void Simulation::settle()
{
    // Actions execute from the event loop and finish one turn later.
    for (int i = 0; i < 8; i++)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

Simulation::Simulation(const Scenario &scenario)
    : m_scenario(scenario),
      m_home(m_scenario),
      m_household(m_scenario),
      m_peerHousehold(m_scenario),
      m_peerCommands(scenario.chargers.count()),
      m_owner(m_scenario),
      m_soakRandom(scenario.random.seed)
{
    // One block for the whole run: the heap stays flat while it runs.
    m_records.reserve(qMax(0, scenario.durationMinutes));
    m_peerRecords.reserve(qMax(0, scenario.durationMinutes));
}

Simulation::~Simulation()
{
    // The plugin belongs to its library loader; it goes before the host.
    delete m_plugin;
    m_plugin = nullptr;
    m_client.reset();
    m_jsonRpcServer.reset();
    m_thingsHandler.reset();
    m_energyHandler.reset();
    m_energyManager.reset();
    m_thingManager.reset();
}

QString Simulation::adminToken() const
{
    return m_adminToken;
}

quint16 Simulation::jsonRpcPort() const
{
    return m_jsonRpcServer ? m_jsonRpcServer->serverPort() : 0;
}

quint16 Simulation::servePage(const QString &directory, quint16 port)
{
    m_pageDirectory = directory;
    m_pagePort = port;
    if (!m_jsonRpcServer)
        return 0;
    m_jsonRpcServer->webSocketTransport()->setPageDirectory(directory);
    if (!m_jsonRpcServer->listenWebSocket(port))
        return 0;
    // A restarted host serves on the same port.
    m_pagePort = m_jsonRpcServer->webSocketPort();
    return m_pagePort;
}

bool Simulation::setUp(const QString &pluginDirectory, QString *errorString)
{
    TavroClock::setCurrentDateTime(m_scenario.start);
    if (!startServers(errorString) || !addDevices(errorString))
        return false;

    // The household as it stands before the plugin starts.
    MinuteRecord initial;
    simulatePhysics(0, &initial);
    simulatePeer(initial);
    m_peerRecords.clear();
    m_initialBatterySoc = m_household.batterySoc();

    m_pluginDirectory = pluginDirectory;
    if (!startHost(pluginDirectory, errorString) || !configureLimits(errorString))
        return false;
    startPeer();
    if (m_scenario.spotMarket && !configureSpotMarket(errorString))
        return false;
    if (m_forecastServer && !configureForecast(errorString))
        return false;
    return configureCars(errorString);
}

bool Simulation::startServers(QString *errorString)
{
    m_priceServer = std::make_unique<PriceServer>(m_scenario);
    if (!m_priceServer->start()) {
        *errorString = QStringLiteral("Cannot start the price server on 127.0.0.1");
        return false;
    }
    qputenv("TAVRO_AWATTAR_AT_URL", m_priceServer->baseUrl().toUtf8());
    qputenv("TAVRO_AWATTAR_DE_URL", m_priceServer->baseUrl().toUtf8());
    qputenv("TAVRO_ENERGY_CHARTS_URL", m_priceServer->baseUrl().toUtf8());
    if (m_scenario.forecast.enabled) {
        m_forecastServer = std::make_unique<ForecastServer>(m_scenario);
        if (!m_forecastServer->start()) {
            *errorString = QStringLiteral("Cannot start the forecast server on 127.0.0.1");
            return false;
        }
        qputenv("TAVRO_FORECAST_SOLAR_URL", m_forecastServer->baseUrl().toUtf8());
    }
    return true;
}

bool Simulation::addDevices(QString *errorString)
{
    m_thingManager = std::make_unique<ThingManager>();
    m_thingManager->setActionLogLimit(0);
    m_energyManager = std::make_unique<EnergyManager>(m_thingManager.get());

    m_home.addSupply(m_thingManager.get());
    Thing *phone =
            m_thingManager->addConfiguredThing(QStringLiteral("pushNotifications"), QStringLiteral("Phone"),
                                               fixedId(QStringLiteral("notifications"), QStringLiteral("phone")));
    captureNotifications(phone);
    if (!m_home.addLoads(m_thingManager.get(), errorString))
        return false;

    if (m_scenario.random.enabled && !m_scenario.random.burstName.isEmpty()
        && !m_home.hasLoad(m_scenario.random.burstName)) {
        m_burstThing = m_thingManager->addConfiguredThing(QStringLiteral("consumer"), m_scenario.random.burstName,
                                                          fixedId(QStringLiteral("load"), m_scenario.random.burstName));
    }
    for (int i = 0; i < m_scenario.chargers.count(); i++) {
        if (!addCharger(i, errorString))
            return false;
    }
    for (const Scenario::Car &car : m_scenario.cars) {
        if (!addCar(car, errorString))
            return false;
    }
    return true;
}

bool Simulation::addCharger(int chargerIndex, QString *errorString)
{
    const Scenario::Charger &charger = m_scenario.chargers[chargerIndex];
    ChargerState state;
    state.thing = m_thingManager->addConfiguredThing(charger.thingClass, charger.name,
                                                     fixedId(QStringLiteral("charger"), charger.name));
    if (!state.thing) {
        *errorString = QStringLiteral("Cannot add charger %1: unknown thing class %2 or a name used twice")
                               .arg(charger.name, charger.thingClass);
        return false;
    }
    if (charger.maxCurrent > 0)
        state.thing->setStateMinMaxValues(QStringLiteral("maxChargingCurrent"), charger.minCurrent, charger.maxCurrent);
    for (auto it = charger.states.constBegin(); it != charger.states.constEnd(); ++it) {
        if (!state.thing->hasState(it.key())) {
            *errorString = QStringLiteral("Charger %1 has no state \"%2\"").arg(charger.name, it.key());
            return false;
        }
        state.thing->setStateValue(it.key(), it.value());
    }
    takeChargerBounds(chargerIndex, state.thing);
    m_chargers.append(state);
    return true;
}

void Simulation::takeChargerBounds(int chargerIndex, Thing *thing)
{
    // The physics, the limit and the peer need the charger's own bounds.
    Scenario::Charger &description = m_scenario.chargers[chargerIndex];
    const StateTypes stateTypes = thing->thingClass().stateTypes();
    if (description.dc) {
        description.dcMaxPower = thing->stateValue(QStringLiteral("maxChargingPower")).toDouble();
        return;
    }
    // A range of the scenario's own stands; the thing class's otherwise.
    const StateType current = stateTypes.findByName(QStringLiteral("maxChargingCurrent"));
    const bool ownRange = description.maxCurrent > 0;
    description.minCurrent = ownRange ? description.minCurrent : current.minValue().toDouble();
    description.maxCurrent = ownRange ? description.maxCurrent : current.maxValue().toDouble();
    description.maxPhases = stateTypes.findByName(QStringLiteral("phaseCount")).maxValue().toUInt();
    description.phaseSwitching = thing->hasState(QStringLiteral("desiredPhaseCount"));
}

bool Simulation::addCar(const Scenario::Car &car, QString *errorString)
{
    CarState state;
    state.thing =
            m_thingManager->addConfiguredThing(car.thingClass, car.name, fixedId(QStringLiteral("car"), car.name));
    if (!state.thing) {
        *errorString = QStringLiteral("Cannot add car %1: unknown thing class %2 or a name used twice")
                               .arg(car.name, car.thingClass);
        return false;
    }
    for (int i = 0; i < m_scenario.chargers.count(); i++) {
        if (m_scenario.chargers.at(i).name == car.charger)
            state.chargerIndex = i;
    }
    Thing *thing = state.thing;
    thing->setStateValue(QStringLiteral("capacity"), car.capacityKwh);
    thing->setStateValue(QStringLiteral("acPhaseCount"), car.phases);
    thing->setStateValue(QStringLiteral("acMinChargingCurrent"), car.minCurrent);
    thing->setStateValue(QStringLiteral("acMaxChargingCurrent"), car.maxCurrent);
    thing->setStateValue(QStringLiteral("dcMaxChargingPower"), car.dcMaxPower);
    thing->setStateValue(QStringLiteral("batteryLevel"), qRound(car.soc));
    thing->setSettingValue(QStringLiteral("chargingEnergyLoss"), car.lossPercent);
    m_cars.append(state);
    return true;
}

bool Simulation::configureLimits(QString *errorString)
{
    m_client->call(QStringLiteral("TavroEnergy.SetPhasePowerLimit"),
                   {{QStringLiteral("phasePowerLimit"), m_scenario.phasePowerLimit}});
    m_client->call(QStringLiteral("TavroEnergy.SetAcquisitionTolerance"),
                   {{QStringLiteral("acquisitionTolerance"), m_scenario.acquisitionTolerance}});
    if (m_scenario.batteryLowerLimit >= 0) {
        const QVariantMap result =
                m_client->call(QStringLiteral("TavroEnergy.SetBatteryLevelLimits"),
                               {{QStringLiteral("batteryLevelLowerLimit"), m_scenario.batteryLowerLimit},
                                {QStringLiteral("batteryLevelUpperLimit"), m_scenario.batteryUpperLimit}});
        if (result.value(QStringLiteral("energyError")).toString() != QLatin1String("EnergyErrorNoError")) {
            *errorString =
                    QStringLiteral("The plugin refused the battery limits: %1 %2")
                            .arg(result.value(QStringLiteral("energyError")).toString(), m_client->errorString());
            return false;
        }
    }

    m_phaseLimit = m_client->call(QStringLiteral("TavroEnergy.GetPhasePowerLimit"))
                           .value(QStringLiteral("phasePowerLimit"))
                           .toDouble();
    m_expected.setPhaseLimit(m_scenario.phasePowerLimit);
    m_expected.setTolerance(m_scenario.acquisitionTolerance);
    m_batteryLowerLimit = m_client->call(QStringLiteral("TavroEnergy.GetBatteryLevelLimits"))
                                  .value(QStringLiteral("batteryLevelLowerLimit"), -1.0)
                                  .toDouble();
    m_owner.setBatteryLowerLimit(0, m_batteryLowerLimit);
    return true;
}

void Simulation::startPeer()
{
    m_peer = std::make_unique<PeerController>(m_scenario, m_peerHousehold, m_owner);
    if (m_forecastServer) {
        const ForecastServer *server = m_forecastServer.get();
        const QDateTime start = m_scenario.start;
        m_peer->forecastPower = [server, start](int minute) {
            return server->forecastPower(start.addSecs(minute * 60LL));
        };
    }
}

bool Simulation::configureSpotMarket(QString *errorString)
{
    const QVariantList providers = m_client->call(QStringLiteral("TavroEnergy.GetAvailableSpotMarketProviders"))
                                           .value(QStringLiteral("providers"))
                                           .toList();
    // The owner picks the service and zone by the provider's name and zone.
    QString providerId;
    for (const QVariant &provider : providers) {
        const QVariantMap info = provider.toMap();
        if (info.value(QStringLiteral("name")).toString().startsWith(m_scenario.priceProvider, Qt::CaseInsensitive)
            && info.value(QStringLiteral("zone")).toString() == m_scenario.priceZone)
            providerId = info.value(QStringLiteral("providerId")).toString();
    }
    if (providerId.isEmpty()) {
        *errorString = QStringLiteral("The plugin offers no spot market provider %1 for the zone %2")
                               .arg(m_scenario.priceProvider, m_scenario.priceZone);
        return false;
    }
    m_client->call(QStringLiteral("TavroEnergy.SetSpotMarketConfiguration"),
                   {{QStringLiteral("enabled"), true}, {QStringLiteral("providerId"), providerId}});
    if (QUuid(m_client->call(QStringLiteral("TavroEnergy.GetSpotMarketConfiguration"))
                      .value(QStringLiteral("providerId"))
                      .toString())
        != QUuid(providerId)) {
        *errorString = QStringLiteral("The plugin did not take the spot market provider %1").arg(providerId);
        return false;
    }
    m_spotMarketEnabled = true;
    m_owner.setSpotMarket(m_minute, true);
    refreshPrices();
    return true;
}

bool Simulation::configureForecast(QString *errorString)
{
    QVariantMap configuration{{QStringLiteral("enabled"), true},
                              {QStringLiteral("planes"), forecastPlanes(m_scenario.forecast)}};
    if (!m_scenario.forecast.apiKey.isEmpty())
        configuration.insert(QStringLiteral("apiKey"), m_scenario.forecast.apiKey);
    const QVariantMap result = m_client->call(QStringLiteral("TavroEnergy.SetSolarForecastConfiguration"),
                                              {{QStringLiteral("configuration"), configuration}});
    if (result.value(QStringLiteral("energyError")).toString() != QLatin1String("EnergyErrorNoError")) {
        *errorString = QStringLiteral("The plugin refused the solar forecast configuration: %1 %2")
                               .arg(result.value(QStringLiteral("energyError")).toString(), m_client->errorString());
        return false;
    }
    return true;
}

bool Simulation::configureCars(QString *errorString)
{
    for (int i = 0; i < m_scenario.cars.count(); i++) {
        const QVariantMap result =
                m_client->call(QStringLiteral("TavroEnergy.SetChargingConfiguration"),
                               {{QStringLiteral("chargingConfiguration"), configurationFor(m_scenario.cars.at(i), i)}});
        if (result.value(QStringLiteral("energyError")).toString() != QLatin1String("EnergyErrorNoError")) {
            *errorString =
                    QStringLiteral("The plugin refused the configuration of %1: %2 %3")
                            .arg(m_scenario.cars.at(i).name, result.value(QStringLiteral("energyError")).toString(),
                                 m_client->errorString());
            return false;
        }
        const QVariantMap configuration = configurationFor(m_scenario.cars.at(i), i);
        m_owner.setConfiguration(0, i, configuration);
        m_expected.setMode(
                configuration.value(QStringLiteral("evChargerId")).toString(),
                configuration.value(QStringLiteral("chargingMode"), QStringLiteral("ChargingModeNormal")).toString(),
                configuration.value(QStringLiteral("endDateTime")).toLongLong());
    }
    return true;
}

QUuid Simulation::chargerThingId(int chargerIndex) const
{
    return m_chargers.at(chargerIndex).thing->id();
}

void Simulation::captureNotifications(Thing *phone)
{
    const ParamTypes notifyParams = phone->thingClass().actionTypes().findByName(QStringLiteral("notify")).paramTypes();
    const ParamTypeId titleId = notifyParams.findByName(QStringLiteral("title")).id();
    const ParamTypeId bodyId = notifyParams.findByName(QStringLiteral("body")).id();
    m_thingManager->setActionHandler(phone->id(), [this, titleId, bodyId](Thing *, const Action &action) {
        m_notifications.append({m_minute, action.paramValue(titleId).toString(), action.paramValue(bodyId).toString()});
        return Thing::ThingErrorNoError;
    });
}

bool Simulation::startHost(const QString &pluginDirectory, QString *errorString)
{
    m_jsonRpcServer = std::make_unique<JsonRpcServer>();
    m_jsonRpcServer->addToken(m_adminToken, Types::PermissionScopeAdmin);
    // A week runs in seconds: the host's watchdog of 30 s real time per
    // unanswered request would keep a timer for every request of the run.
    if (m_scenario.random.enabled)
        m_jsonRpcServer->setReplyTimeout(soakReplyTimeoutMs);
    m_thingsHandler = std::make_unique<JsonRpcThingsHandler>(m_thingManager.get());
    m_jsonRpcServer->registerHandler(m_thingsHandler.get(), 1, 1);
    m_energyHandler = std::make_unique<JsonRpcEnergyHandler>(m_energyManager.get());
    m_jsonRpcServer->registerHandler(m_energyHandler.get(), 1, 0);
    if (!m_jsonRpcServer->listen(0)) {
        *errorString = QStringLiteral("Cannot start the JSON-RPC server on 127.0.0.1");
        return false;
    }
    if (!m_pageDirectory.isEmpty() && servePage(m_pageDirectory, m_pagePort) == 0) {
        *errorString = QStringLiteral("Cannot serve the page on 127.0.0.1:%1").arg(m_pagePort);
        return false;
    }

    const QStringList plugins = EnergyPluginLoader::findPlugins({pluginDirectory});
    if (plugins.isEmpty()) {
        *errorString = QStringLiteral("No energy plugin in %1").arg(pluginDirectory);
        return false;
    }
    m_plugin = EnergyPluginLoader::load(plugins.first(), m_energyManager.get(), m_thingManager.get(),
                                        m_jsonRpcServer.get(), errorString);
    if (!m_plugin)
        return false;

    // From here on the household is operated like any client would.
    m_client = std::make_unique<JsonRpcClient>();
    if (!m_client->connectToServer(m_jsonRpcServer->serverPort())) {
        *errorString = QStringLiteral("Cannot reach the host's JSON-RPC server");
        return false;
    }
    m_client->call(QStringLiteral("JSONRPC.Authenticate"), {{QStringLiteral("token"), m_adminToken}});
    // A soak may also take the plugin's notifications, so that their lines are checked too.
    const QVariantList namespaces =
            m_scenario.random.notifications ? QVariantList{QStringLiteral("TavroEnergy")} : QVariantList();
    m_client->call(QStringLiteral("JSONRPC.SetNotificationStatus"), {{QStringLiteral("namespaces"), namespaces}});
    return true;
}

bool Simulation::carEstimated(int carIndex) const
{
    return writable(m_cars.at(carIndex).thing, QStringLiteral("batteryLevel"));
}

void Simulation::refreshPrices()
{
    // The provider polls on a timer of its own; in simulated time the host
    // asks it to refresh and waits for the answer on loopback.
    const int before = m_priceServer->requestCount();
    if (PriceRefreshHook *hook = qobject_cast<PriceRefreshHook *>(m_plugin))
        hook->refreshPrices();
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (m_priceServer->requestCount() > before) {
            const QVariantMap configuration = m_client->call(QStringLiteral("TavroEnergy.GetSpotMarketConfiguration"));
            if (configuration.value(QStringLiteral("available")).toBool())
                break;
        }
    }
    settle();
}

void Simulation::tickForecast()
{
    ForecastRefreshHook *hook = qobject_cast<ForecastRefreshHook *>(m_plugin);
    if (!hook)
        return;
    // The forecast refreshes on a timer of its own; in simulated time the
    // host lets it ask for what is due and waits for the answers on loopback.
    if (hook->tickSolarForecast()) {
        QElapsedTimer timer;
        timer.start();
        while (hook->solarForecastBusy() && timer.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        settle();
    }
    m_forecastFigures.requests = m_forecastServer->requestCount();
    m_forecastFigures.refused = m_forecastServer->refusedCount();
    const QDateTime now = minuteDateTime(m_minute);
    m_forecastFigures.forecastKwh += m_forecastServer->forecastPower(now) / 60000.0;
    if (now.time().minute() == 0) {
        // What an owner's app sees at the start of every hour.
        m_forecastFigures.hoursChecked++;
        const QVariantMap forecast = m_client->call(QStringLiteral("TavroEnergy.GetSolarForecast"));
        if (forecast.value(QStringLiteral("available")).toBool()
            && !forecast.value(QStringLiteral("solarForecastSlots")).toList().isEmpty())
            m_forecastFigures.hoursAvailable++;
    }
}

QVariantMap Simulation::configurationFor(const Scenario::Car &car, int carIndex) const
{
    QVariantMap configuration = resolvePlaceholders(car.configuration).toMap();
    configuration.insert(QStringLiteral("evChargerId"),
                         m_chargers.at(m_cars.at(carIndex).chargerIndex).thing->id().toString());
    configuration.insert(QStringLiteral("assignedCarId"), m_cars.at(carIndex).thing->id().toString());
    return configuration;
}

QVariant Simulation::resolvePlaceholders(const QVariant &value) const
{
    if (value.type() == QVariant::Map) {
        QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            it.value() = resolvePlaceholders(it.value());
        return map;
    }
    if (value.type() == QVariant::List) {
        QVariantList list = value.toList();
        for (QVariant &item : list)
            item = resolvePlaceholders(item);
        return list;
    }
    const QString text = value.toString();
    if (value.type() != QVariant::String || !text.startsWith(QLatin1Char('$')))
        return value;
    const QString kind = text.section(QLatin1Char(':'), 0, 0);
    const QString argument = text.section(QLatin1Char(':'), 1);
    if (kind == QLatin1String("$charger"))
        return fixedId(QStringLiteral("charger"), argument).toString();
    if (kind == QLatin1String("$car"))
        return fixedId(QStringLiteral("car"), argument).toString();
    if (kind == QLatin1String("$time")) {
        // "$time:hh:mm" or "$time:d+hh:mm" → seconds since the epoch.
        int day = 0;
        QString time = argument;
        if (time.contains(QLatin1Char('+'))) {
            day = time.section(QLatin1Char('+'), 0, 0).toInt();
            time = time.section(QLatin1Char('+'), 1);
        }
        return QDateTime(m_scenario.start.date().addDays(day), QTime::fromString(time, QStringLiteral("hh:mm")))
                .toSecsSinceEpoch();
    }
    return value;
}

void Simulation::run()
{
    while (step()) {
    }
}

bool Simulation::step()
{
    if (m_minute >= m_scenario.durationMinutes)
        return false;
    const QDateTime now = minuteDateTime(m_minute);
    TavroClock::setCurrentDateTime(now);
    const bool midnight = now.time().hour() == 0 && now.time().minute() == 0;
    const bool published = m_scenario.dayAheadMinuteOfDay >= 0
                           && now.time().msecsSinceStartOfDay() / 60000 == m_scenario.dayAheadMinuteOfDay;
    if (m_minute == m_scenario.restartMinute) {
        QString error;
        if (!restartHost(&error))
            qFatal("The host did not start again: %s", qPrintable(error));
        // A host that starts fetches the prices it needs.
        if (m_spotMarketEnabled)
            refreshPrices();
    }
    if (m_spotMarketEnabled && m_minute > 0 && (midnight || published))
        refreshPrices();
    if (m_forecastServer)
        tickForecast();

    applyEvents(m_minute);

    MinuteRecord record;
    simulatePhysics(m_minute, &record);
    simulatePeer(record);
    m_energyManager->sampleMinute(now);
    settle();
    // What the car (or the plugin's estimate for it) says once the minute is logged.
    for (const CarState &car : qAsConst(m_cars))
        record.carReportedSoc.append(car.thing->stateValue(QStringLiteral("batteryLevel")).toDouble());
    m_records.append(record);
    m_minute++;
    if (m_minute == m_scenario.durationMinutes)
        withdrawAbandonedTargets();
    if (m_scenario.random.enabled) {
        checkSoc(record);
        // Measuring waits a second of real time for the host's request
        // watchdogs: only where the scenario asks for the heap's growth.
        if ((m_minute == 1440 || m_minute == m_scenario.durationMinutes)
            && m_scenario.expectations.contains(QStringLiteral("maxHeapGrowthKiB")))
            measureHeap();
    }
    return true;
}

void Simulation::withdrawAbandonedTargets()
{
    // A scenario's target is the owner's deadline only while he keeps it: one
    // who switched the car to a mode without a target time before it came,
    // named another target time, or drove off with the car before it, took
    // it back, for the plugin, the peer and the limit alike.
    for (int j = 0; j < m_scenario.cars.count(); j++) {
        Scenario::Car &car = m_scenario.cars[j];
        if (car.targetMinute <= 0 || car.targetMinute > m_records.count())
            continue;
        const OwnerTimeline::Wish &atTarget = m_owner.wishAt(j, car.targetMinute - 1);
        const OwnerTimeline::Wish &atStart = m_owner.wishAt(j, 0);
        const bool modeTakenBack =
                atTarget.mode != OwnerTimeline::Mode::EcoWithTargetTime && atTarget.mode != atStart.mode;
        const bool timeMoved = atTarget.mode == OwnerTimeline::Mode::EcoWithTargetTime
                               && atStart.mode == OwnerTimeline::Mode::EcoWithTargetTime
                               && atTarget.endDateTime != atStart.endDateTime;
        // Away at the target after having been plugged in before it.
        bool droveOff = !m_records.at(car.targetMinute - 1).carPluggedIn.value(j);
        bool wasPluggedIn = false;
        for (int m = 0; droveOff && !wasPluggedIn && m < car.targetMinute; m++)
            wasPluggedIn = m_records.at(m).carPluggedIn.value(j);
        if (modeTakenBack || timeMoved || (droveOff && wasPluggedIn))
            car.targetMinute = -1;
    }
}

void Simulation::applyEvents(int minute)
{
    if (m_scenario.random.enabled)
        applyRandomEvents(minute);
    for (int i = 0; i < m_scenario.cars.count() && !m_scenario.random.enabled; i++) {
        const Scenario::Car &car = m_scenario.cars.at(i);
        if (car.plugInMinute == minute)
            setPluggedIn(i, true);
        if (car.plugOutMinute == minute)
            setPluggedIn(i, false);
        if (car.tripLeave < 0)
            continue;
        // The daily trip: away from "leave" to "back", with less in the battery.
        const int minuteOfDay = m_scenario.minuteOfDay(minute);
        const bool tripDay = !car.tripWeekdaysOnly || minuteDateTime(minute).date().dayOfWeek() <= 5;
        if (tripDay && minuteOfDay == car.tripLeave && m_cars.at(i).pluggedIn) {
            m_cars[i].onTrip = true;
            setPluggedIn(i, false);
        } else if (minuteOfDay == car.tripBack && m_cars.at(i).onTrip) {
            m_cars[i].onTrip = false;
            const double use = car.tripUseKwh / car.capacityKwh * 100.0;
            m_household.setCarSoc(i, qMax(0.0, m_household.carSoc(i) - use));
            m_peerHousehold.setCarSoc(i, qMax(0.0, m_peerHousehold.carSoc(i) - use));
            setPluggedIn(i, true);
        }
    }
    for (const Scenario::UserAction &action : m_scenario.actions) {
        if (action.minute == minute)
            runUserAction(action);
    }
}

void Simulation::noteOwnerAction(const QString &method, const QVariantMap &params)
{
    // Reading is no step; operating a device or changing a setting is.
    if (method == QLatin1String("Things.ExecuteAction") || method.startsWith(QLatin1String("TavroEnergy.Set")))
        m_ownerActionMinutes.insert(m_minute);
    if (method == QLatin1String("TavroEnergy.SetChargingConfiguration")
        || (method == QLatin1String("Things.ExecuteAction")
            && params.value(QStringLiteral("actionTypeName")).toString() == QLatin1String("power")))
        m_ownerSwitchMinutes.insert(m_minute);
}

void Simulation::runUserAction(const Scenario::UserAction &action)
{
    noteOwnerAction(action.method, action.params);
    const QVariantMap result = m_client->call(action.method, resolvePlaceholders(action.params).toMap());
    settle();
    // An action may change the limit the report measures against.
    const QString callError = m_client->errorString();
    m_phaseLimit = m_client->call(QStringLiteral("TavroEnergy.GetPhasePowerLimit"))
                           .value(QStringLiteral("phasePowerLimit"))
                           .toDouble();
    // Both namespaces answer with an error key; anything but "no error" is
    // reported, so that a scenario cannot pass on an action that never ran.
    QString error = callError;
    for (const QString &key : {QStringLiteral("energyError"), QStringLiteral("thingError")}) {
        const QString value = result.value(key).toString();
        if (!value.isEmpty() && !value.endsWith(QLatin1String("NoError")))
            error = value;
    }
    if (error.isEmpty() && action.method == QLatin1String("Things.ExecuteAction")
        && action.params.value(QStringLiteral("actionTypeName")).toString() == QLatin1String("batteryLevel")) {
        const QString thingId = resolvePlaceholders(action.params.value(QStringLiteral("thingId"))).toString();
        for (CarState &car : m_cars) {
            if (car.thing->id() == QUuid(thingId))
                car.levelEnteredMinute = action.minute;
        }
    }
    if (error.isEmpty())
        followOwner(action.method, resolvePlaceholders(action.params).toMap());
    if (!error.isEmpty()) {
        m_actionFailures
                << QStringLiteral("%1 at %2 failed: %3").arg(action.method, m_scenario.clockText(action.minute), error);
    }
}

void Simulation::followOwner(const QString &method, const QVariantMap &params)
{
    // The peer reads its wishes from the same timeline as the limit. A
    // soak's checks of what the API answers follow every accepted call, the
    // scenario's actions as well as its random calls.
    if (method == QLatin1String("TavroEnergy.SetChargingConfiguration")) {
        const QVariantMap configuration = params.value(QStringLiteral("chargingConfiguration")).toMap();
        for (int j = 0; j < m_cars.count(); j++) {
            if (m_chargers.at(m_cars.at(j).chargerIndex).thing->id()
                == QUuid(configuration.value(QStringLiteral("evChargerId")).toString()))
                m_owner.setConfiguration(m_minute, j, configuration);
        }
        m_expected.setMode(configuration.value(QStringLiteral("evChargerId")).toString(),
                           configuration.value(QStringLiteral("chargingMode")).toString(),
                           configuration.value(QStringLiteral("endDateTime")).toLongLong());
    } else if (method == QLatin1String("TavroEnergy.SetPhasePowerLimit")) {
        m_expected.setPhaseLimit(params.value(QStringLiteral("phasePowerLimit")).toUInt());
    } else if (method == QLatin1String("TavroEnergy.SetAcquisitionTolerance")) {
        m_expected.setTolerance(params.value(QStringLiteral("acquisitionTolerance")).toDouble());
    } else if (method == QLatin1String("Things.ExecuteAction")) {
        // The owner's hand on a charger: the car on it follows in normal mode.
        const QUuid thingId(params.value(QStringLiteral("thingId")).toString());
        const QVariantList actionParams = params.value(QStringLiteral("params")).toList();
        for (int j = 0; j < m_cars.count() && !actionParams.isEmpty(); j++) {
            const QVariantMap param = actionParams.first().toMap();
            const QString name = param.value(QStringLiteral("paramName")).toString();
            // The level typed for a car that cannot report it: the peer counts from it too.
            if (m_cars.at(j).thing->id() == thingId && name == QLatin1String("batteryLevel"))
                m_owner.setLevelEntered(m_minute, j, param.value(QStringLiteral("value")).toDouble());
            if (m_chargers.at(m_cars.at(j).chargerIndex).thing->id() == thingId)
                m_owner.setManualValue(m_minute, j, name, param.value(QStringLiteral("value")));
        }
    } else if (method == QLatin1String("TavroEnergy.SetSpotMarketConfiguration")) {
        m_owner.setSpotMarket(m_minute, params.value(QStringLiteral("enabled")).toBool());
    } else if (method == QLatin1String("TavroEnergy.SetBatteryLevelLimits")) {
        // Accepted, so in force from now on.
        m_owner.setBatteryLowerLimit(m_minute, params.value(QStringLiteral("batteryLevelLowerLimit")).toDouble());
    } else if (method == QLatin1String("TavroEnergy.SetBatteryLevelConsideration")) {
        // The older name of the same lower limit.
        m_owner.setBatteryLowerLimit(m_minute, params.value(QStringLiteral("batteryLevelConsideration")).toDouble());
    }
}

void Simulation::setPluggedIn(int carIndex, bool pluggedIn)
{
    // A car plugged into a charger the owner switched on by hand starts
    // drawing at once: the owner's step, not the plugin's.
    m_ownerActionMinutes.insert(m_minute);
    m_ownerSwitchMinutes.insert(m_minute);
    CarState &car = m_cars[carIndex];
    car.pluggedIn = pluggedIn;
    m_household.setPluggedIn(carIndex, pluggedIn);
    m_peerHousehold.setPluggedIn(carIndex, pluggedIn);
    Thing *thing = m_chargers[car.chargerIndex].thing;
    if (thing->hasState(QStringLiteral("connectedVehicleThingId")))
        thing->setStateValue(QStringLiteral("connectedVehicleThingId"),
                             pluggedIn ? car.thing->id().toString() : QString());
    if (thing->hasState(QStringLiteral("hlcSessionActive")))
        thing->setStateValue(QStringLiteral("hlcSessionActive"), pluggedIn);
    thing->setStateValue(QStringLiteral("pluggedIn"), pluggedIn);
    settle();
}

QDateTime Simulation::minuteDateTime(int minute)
{
    if (minute != m_cachedMinute) {
        m_cachedMinute = minute;
        m_cachedMinuteDateTime = m_scenario.start.addSecs(minute * 60LL);
    }
    return m_cachedMinuteDateTime;
}

void Simulation::householdMinute(int minute, MinuteRecord *record)
{
    record->minute = minute;
    record->price = m_scenario.priceAt(minute);
    record->phaseLimit = m_phaseLimit;
    const QDateTime now = minuteDateTime(minute);
    record->pvPower = m_home.pvPower(minute, now);
    if (m_scenario.random.enabled)
        record->pvPower = qMax(0.0, record->pvPower * (1.0 + noise(m_scenario.random.pvNoise)));

    double phasePower[3];
    QMap<QString, double> loadPower;
    m_home.addScheduledLoad(minute, now, phasePower, &loadPower);
    if (m_scenario.random.enabled)
        addRandomLoad(phasePower);
    if (m_scenario.hasHouseholdRandom())
        m_home.addHouseholdLoad(minute, phasePower);
    m_home.showLoads(loadPower);
    record->houseLoad = 0;
    for (int p = 0; p < 3; p++) {
        record->houseLoad += phasePower[p];
        record->housePhasePower[p] = phasePower[p];
    }
    m_home.drawMeterNoise();
}

QVector<ChargerCommand> Simulation::pluginCommands() const
{
    QVector<ChargerCommand> commands(m_chargers.count());
    for (int i = 0; i < m_chargers.count(); i++) {
        Thing *thing = m_chargers.at(i).thing;
        ChargerCommand &command = commands[i];
        command.enabled = thing->stateValue(QStringLiteral("power")).toBool();
        if (m_scenario.chargers.at(i).dc) {
            command.dcPower = thing->stateValue(QStringLiteral("chargingPower")).toDouble();
        } else {
            command.current = thing->stateValue(QStringLiteral("maxChargingCurrent")).toDouble();
            command.phases = thing->hasState(QStringLiteral("desiredPhaseCount"))
                                     ? thing->stateValue(QStringLiteral("desiredPhaseCount")).toUInt()
                                     : thing->stateValue(QStringLiteral("phaseCount")).toUInt();
        }
    }
    return commands;
}

void Simulation::simulatePeer(const MinuteRecord &household)
{
    MinuteRecord record;
    record.minute = household.minute;
    record.price = household.price;
    record.phaseLimit = household.phaseLimit;
    record.pvPower = household.pvPower;
    record.houseLoad = household.houseLoad;
    for (int p = 0; p < 3; p++)
        record.housePhasePower[p] = household.housePhasePower[p];
    m_peerHousehold.step(m_peerCommands, &record);
    if (m_peer) {
        // The peer reads the same meter, noise and all.
        PeerController::Reading reading;
        reading.minute = record.minute;
        for (int p = 0; p < 3; p++)
            reading.gridPhasePower[p] = m_peerHousehold.gridPhasePower(p) + m_home.meterNoise(p);
        reading.phaseLimit = record.phaseLimit;
        reading.batterySoc = m_scenario.hasBattery ? qRound(record.batterySoc) : -1;
        reading.batteryPower = record.batteryPower;
        m_peerCommands = m_peer->decide(reading, record);
    }
    for (int j = 0; j < m_cars.count(); j++)
        record.carReportedSoc.append(m_peer ? m_peer->carSoc(j) : m_peerHousehold.carSoc(j));
    m_peerRecords.append(record);
}

void Simulation::simulatePhysics(int minute, MinuteRecord *record)
{
    householdMinute(minute, record);
    m_household.step(pluginCommands(), record);

    const char *suffix[] = {"A", "B", "C"};
    for (int i = 0; i < m_chargers.count(); i++) {
        Thing *thing = m_chargers.at(i).thing;
        const double power = record->chargerPower.at(i);
        if (!m_scenario.chargers.at(i).dc) {
            const uint phases = m_household.phasesOffered(i);
            const double phaseCurrent = phases > 0 && power > 0 ? power / phases / voltage : 0;
            for (uint p = 0; p < 3; p++) {
                const double current = p < phases ? phaseCurrent : 0;
                thing->setStateValue(QStringLiteral("currentPhase") + QLatin1String(suffix[p]), current);
                thing->setStateValue(QStringLiteral("currentPowerPhase") + QLatin1String(suffix[p]), current * voltage);
            }
            if (thing->hasState(QStringLiteral("phaseCount")) && phases > 0)
                thing->setStateValue(QStringLiteral("phaseCount"), phases);
        }
        thing->setStateValue(QStringLiteral("charging"), power > 0);
        thing->setStateValue(QStringLiteral("currentPower"), power);
    }
    for (int j = 0; j < m_cars.count(); j++) {
        // Cars that report their level do so; others are estimated by the plugin.
        if (!writable(m_cars.at(j).thing, QStringLiteral("batteryLevel")))
            m_cars.at(j).thing->setStateValue(QStringLiteral("batteryLevel"), qRound(m_household.carSoc(j)));
    }

    m_home.showReadings(m_household, *record);
}
