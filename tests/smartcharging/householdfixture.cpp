#include "householdfixture.h"

#include "config/energymanagerconfiguration.h"
#include "smartcharging/smartchargingmanager.h"
#include "spotmarket/spotmarketmanager.h"

#include "tavro-energy/energymanager.h"
#include "tavro/tavroclock.h"
#include "tavro/thingmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QNetworkAccessManager>

HouseholdFixture::HouseholdFixture(const QDateTime &start)
{
    const QString base = m_directory.path();
    for (const char *name : {"settings", "storage", "cache", "translations"})
        QDir(base).mkpath(QString::fromLatin1(name));
    qputenv("TAVRO_SETTINGS_PATH", QString(base + QStringLiteral("/settings")).toUtf8());
    qputenv("TAVRO_STORAGE_PATH", QString(base + QStringLiteral("/storage")).toUtf8());
    qputenv("TAVRO_CACHE_PATH", QString(base + QStringLiteral("/cache")).toUtf8());
    qputenv("TAVRO_TRANSLATIONS_PATH", QString(base + QStringLiteral("/translations")).toUtf8());
    qunsetenv("TAVRO_ENERGY_MANAGER_CONFIG");

    // 2026-01-05 is a Monday.
    setNow(start.isValid() ? start : QDateTime(QDate(2026, 1, 5), QTime(12, 0, 30)));

    m_thingManager = std::make_unique<ThingManager>();
    m_energyManager = std::make_unique<EnergyManager>(m_thingManager.get());
    m_configuration = std::make_unique<EnergyManagerConfiguration>();
    m_networkManager = std::make_unique<QNetworkAccessManager>();
    m_spotMarketManager = std::make_unique<SpotMarketManager>(m_networkManager.get());
}

HouseholdFixture::~HouseholdFixture()
{
    m_manager.reset();
    m_spotMarketManager.reset();
    m_networkManager.reset();
    m_configuration.reset();
    m_energyManager.reset();
    m_thingManager.reset();
    processEvents();
    TavroClock::reset();
}

QString HouseholdFixture::settingsPath() const
{
    return m_directory.path() + QStringLiteral("/settings");
}

SmartChargingManager *HouseholdFixture::createManager()
{
    m_manager.reset();
    m_manager = std::make_unique<SmartChargingManager>(m_energyManager.get(), m_thingManager.get(),
                                                       m_spotMarketManager.get(), m_configuration.get());
    return m_manager.get();
}

void HouseholdFixture::destroyManager()
{
    m_manager.reset();
}

void HouseholdFixture::reloadConfiguration()
{
    m_configuration = std::make_unique<EnergyManagerConfiguration>();
}

Thing *HouseholdFixture::addThing(const QString &thingClassName, const QString &name, const QVariantMap &states)
{
    Thing *thing = m_thingManager->addConfiguredThing(thingClassName, name);
    if (thing)
        setStates(thing, states);
    return thing;
}

void HouseholdFixture::setStates(Thing *thing, const QVariantMap &states)
{
    for (auto it = states.constBegin(); it != states.constEnd(); ++it)
        thing->setStateValue(it.key(), it.value());
}

void HouseholdFixture::setMeterCurrents(Thing *meter, double phaseA, double phaseB, double phaseC)
{
    // Phases first, the total last: a change of the total is what triggers
    // the power balance (and the overload check) that reads the phases.
    const double currents[3] = {phaseA, phaseB, phaseC};
    const char *suffix[3] = {"A", "B", "C"};
    for (int p = 0; p < 3; p++) {
        meter->setStateValue(QStringLiteral("currentPhase") + QLatin1String(suffix[p]), currents[p]);
        meter->setStateValue(QStringLiteral("currentPowerPhase") + QLatin1String(suffix[p]), currents[p] * 230);
    }
    meter->setStateValue(QStringLiteral("currentPower"), (phaseA + phaseB + phaseC) * 230);
}

QDateTime HouseholdFixture::now() const
{
    return TavroClock::currentDateTime();
}

void HouseholdFixture::setNow(const QDateTime &now)
{
    TavroClock::setCurrentDateTime(now);
}

void HouseholdFixture::advance(int seconds)
{
    setNow(now().addSecs(seconds));
}

void HouseholdFixture::runCycle()
{
    m_energyManager->sampleMinute(now());
    processEvents();
}

void HouseholdFixture::processEvents()
{
    // Actions execute from the event loop, finish one turn later and may
    // trigger further queued work.
    for (int i = 0; i < 5; i++) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}
