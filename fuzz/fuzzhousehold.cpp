#include "fuzzhousehold.h"
#include "cannednetworkmanager.h"
#include "fuzzenvironment.h"

#include "config/energymanagerconfiguration.h"
#include "forecast/solarforecastmanager.h"
#include "smartcharging/smartchargingmanager.h"
#include "spotmarket/spotmarketmanager.h"

#include "tavro-energy/energymanager.h"
#include "tavro/tavroclock.h"
#include "tavro/thingmanager.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

const ThingId FuzzHousehold::meterId(QStringLiteral("{00000000-0000-4000-8000-00000000000a}"));
const ThingId FuzzHousehold::acChargerId(QStringLiteral("{00000000-0000-4000-8000-00000000000b}"));
const ThingId FuzzHousehold::singlePhaseChargerId(QStringLiteral("{00000000-0000-4000-8000-00000000000c}"));
const ThingId FuzzHousehold::carId(QStringLiteral("{00000000-0000-4000-8000-00000000000d}"));
const ThingId FuzzHousehold::dcChargerId(QStringLiteral("{00000000-0000-4000-8000-00000000000e}"));
const ThingId FuzzHousehold::dcCarId(QStringLiteral("{00000000-0000-4000-8000-00000000000f}"));
const ThingId FuzzHousehold::batteryId(QStringLiteral("{00000000-0000-4000-8000-000000000010}"));

namespace {

void addThing(ThingManager *thingManager, const QString &className, const QString &name, const ThingId &id,
              const QVariantMap &states)
{
    Thing *thing = thingManager->addConfiguredThing(className, name, id);
    if (!thing)
        qFatal("The fuzz household cannot add a %s", qPrintable(className));
    for (auto it = states.constBegin(); it != states.constEnd(); ++it)
        thing->setStateValue(it.key(), it.value());
}

}

FuzzHousehold::FuzzHousehold()
{
    m_thingManager = std::make_unique<ThingManager>();
    ThingManager *things = m_thingManager.get();
    // 4 kW export on three phases.
    addThing(things, QStringLiteral("gridMeter"), QStringLiteral("Grid"), meterId,
             {{QStringLiteral("currentPower"), -4000.0},
              {QStringLiteral("currentPowerPhaseA"), -1400.0},
              {QStringLiteral("currentPowerPhaseB"), -1300.0},
              {QStringLiteral("currentPowerPhaseC"), -1300.0},
              {QStringLiteral("currentPhaseA"), -6.1},
              {QStringLiteral("currentPhaseB"), -5.7},
              {QStringLiteral("currentPhaseC"), -5.7}});
    addThing(things, QStringLiteral("evChargerAc"), QStringLiteral("Garage"), acChargerId,
             {{QStringLiteral("pluggedIn"), true}, {QStringLiteral("phaseCount"), 3}});
    addThing(things, QStringLiteral("evChargerAcSinglePhase"), QStringLiteral("Carport"), singlePhaseChargerId,
             {{QStringLiteral("pluggedIn"), true}, {QStringLiteral("phaseCount"), 1}});
    addThing(things, QStringLiteral("electricVehicle"), QStringLiteral("Car"), carId,
             {{QStringLiteral("batteryLevel"), 40},
              {QStringLiteral("capacity"), 60.0},
              {QStringLiteral("acPhaseCount"), 3},
              {QStringLiteral("acMinChargingCurrent"), 6.0},
              {QStringLiteral("acMaxChargingCurrent"), 16.0}});
    addThing(things, QStringLiteral("evChargerDc"), QStringLiteral("Wallbox"), dcChargerId,
             {{QStringLiteral("pluggedIn"), true},
              {QStringLiteral("minChargingPower"), 1500.0},
              {QStringLiteral("maxChargingPower"), 11000.0},
              {QStringLiteral("minDischargingPower"), 1000.0},
              {QStringLiteral("maxDischargingPower"), 11000.0},
              {QStringLiteral("connectedVehicleThingId"), dcCarId.toString()}});
    addThing(things, QStringLiteral("electricVehicleConnected"), QStringLiteral("Van"), dcCarId,
             {{QStringLiteral("batteryLevel"), 60}, {QStringLiteral("capacity"), 50.0}});
    addThing(things, QStringLiteral("homeBattery"), QStringLiteral("Battery"), batteryId,
             {{QStringLiteral("batteryLevel"), 50},
              {QStringLiteral("capacity"), 10.0},
              {QStringLiteral("currentPower"), 500.0}});

    m_energyManager = std::make_unique<EnergyManager>(things);
    m_configuration = std::make_unique<EnergyManagerConfiguration>();
    m_networkManager = std::make_unique<CannedNetworkManager>();
    m_networkManager->setReply(200, priceReply(TavroClock::currentDateTime(), 48));
}

FuzzHousehold::~FuzzHousehold()
{
    m_manager.reset();
    m_solarForecastManager.reset();
    m_spotMarketManager.reset();
    m_networkManager.reset();
    m_configuration.reset();
    m_energyManager.reset();
    m_thingManager.reset();
    FuzzEnvironment::processEvents();
}

void FuzzHousehold::createManagers()
{
    m_spotMarketManager = std::make_unique<SpotMarketManager>(m_networkManager.get());
    m_solarForecastManager = std::make_unique<SolarForecastManager>(m_networkManager.get(), m_energyManager->logs());
    m_manager = std::make_unique<SmartChargingManager>(m_energyManager.get(), m_thingManager.get(),
                                                       m_spotMarketManager.get(), m_configuration.get());
    FuzzEnvironment::processEvents();
}

void FuzzHousehold::runCycles(int count)
{
    for (int i = 0; i < count; i++) {
        m_energyManager->sampleMinute(TavroClock::currentDateTime());
        FuzzEnvironment::processEvents();
        TavroClock::setCurrentDateTime(TavroClock::currentDateTime().addSecs(60));
    }
}

QByteArray FuzzHousehold::priceReply(const QDateTime &now, int hours)
{
    const QDateTime first(now.date(), QTime(0, 0));
    QJsonArray data;
    for (int i = 0; i < hours; i++) {
        const qint64 start = first.addSecs(i * 3600).toMSecsSinceEpoch();
        data.append(QJsonObject{{QStringLiteral("start_timestamp"), start},
                                {QStringLiteral("end_timestamp"), start + 3600 * 1000},
                                {QStringLiteral("marketprice"), 60.0 + (i * 37) % 23},
                                {QStringLiteral("unit"), QStringLiteral("Eur/MWh")}});
    }
    return QJsonDocument(
                   QJsonObject{{QStringLiteral("object"), QStringLiteral("list")}, {QStringLiteral("data"), data}})
            .toJson(QJsonDocument::Compact);
}
