#include "householdfixture.h"

#include "config/energymanagerconfiguration.h"
#include "smartcharging/smartchargingmanager.h"
#include "spotmarket/spotmarketmanager.h"

#include "tavro-energy/energymanager.h"
#include "tavro/tavroclock.h"
#include "tavro/thingmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QNetworkAccessManager>

HouseholdFixture::HouseholdFixture(const QDateTime &start)
{
    m_sandbox.apply();
    // No translations: the notifications keep their source texts.
    qputenv("TAVRO_TRANSLATIONS_PATH", m_sandbox.folder(QStringLiteral("translations")).toUtf8());
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
    return m_sandbox.folder(QStringLiteral("settings"));
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

SmartChargingManager *HouseholdFixture::restartHard(const std::function<void()> &whileDown)
{
    QMap<QString, QByteArray> files;
    for (const QString &name : {QStringLiteral("settings"), QStringLiteral("storage"), QStringLiteral("cache")}) {
        QDirIterator it(m_sandbox.folder(name), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (file.open(QIODevice::ReadOnly))
                files.insert(file.fileName(), file.readAll());
        }
    }
    destroyManager();
    if (whileDown)
        whileDown();
    m_sandbox.clear();
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        QDir().mkpath(QFileInfo(it.key()).path());
        QFile file(it.key());
        if (file.open(QIODevice::WriteOnly))
            file.write(it.value());
    }
    return createManager();
}

void HouseholdFixture::reloadConfiguration()
{
    // A manager keeps the configuration it was made with: it starts again
    // on the new one rather than outlive the old.
    const bool hadManager = m_manager != nullptr;
    m_manager.reset();
    m_configuration = std::make_unique<EnergyManagerConfiguration>();
    if (hadManager)
        createManager();
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

void HouseholdFixture::executeStateAction(Thing *thing, const QString &stateName, const QVariant &value,
                                          Action::TriggeredBy triggeredBy)
{
    const StateTypeId id = thing->thingClass().stateTypes().findByName(stateName).id();
    Action action(id, thing->id(), triggeredBy);
    action.setParams(ParamList({Param(id, value)}));
    m_thingManager->executeAction(action);
    processEvents();
}

QList<ThingManager::ActionLogEntry> HouseholdFixture::actionLog(Thing *thing, const QString &actionTypeName) const
{
    QList<ThingManager::ActionLogEntry> result;
    for (const ThingManager::ActionLogEntry &entry : m_thingManager->actionLog()) {
        if (entry.thingId == thing->id() && (actionTypeName.isEmpty() || entry.actionTypeName == actionTypeName))
            result.append(entry);
    }
    return result;
}

QStringList HouseholdFixture::commands(Thing *thing) const
{
    QStringList result;
    for (const ThingManager::ActionLogEntry &entry : actionLog(thing))
        result.append(entry.actionTypeName + "=" + entry.params.value(0).value().toString());
    return result;
}

EnergyManager::EnergyError HouseholdFixture::configure(Thing *charger,
                                                       const std::function<void(ChargingConfiguration &)> &change)
{
    ChargingConfiguration configuration = m_manager->chargingConfiguration(charger->id());
    change(configuration);
    const EnergyManager::EnergyError result = m_manager->setChargingConfiguration(configuration);
    processEvents();
    return result;
}

EnergyManager::EnergyError HouseholdFixture::setMode(Thing *charger, ChargingConfiguration::ChargingMode mode,
                                                     Thing *car)
{
    return configure(charger, [mode, car](ChargingConfiguration &configuration) {
        configuration.setChargingMode(mode);
        if (car)
            configuration.setAssignedCarId(car->id());
    });
}

TestMarketProvider *HouseholdFixture::addMarket(bool enable)
{
    auto *provider = new TestMarketProvider;
    m_spotMarketManager->registerProvider(provider);
    m_spotMarketManager->changeProvider(provider->providerId());
    if (enable)
        m_spotMarketManager->setEnabled(true);
    provider->setAvailable(true);
    return provider;
}

ScoreEntries TestMarketProvider::priceSlots(const QDateTime &start, int count, int minutes,
                                            const QHash<QDateTime, double> &cheap)
{
    ScoreEntries entries;
    for (int i = 0; i < count; i++) {
        ScoreEntry entry;
        entry.setStartDateTime(start.addSecs(i * minutes * 60));
        entry.setEndDateTime(start.addSecs((i + 1) * minutes * 60));
        entry.setValue(cheap.value(entry.startDateTime(), 10.0));
        entries.append(entry);
    }
    return entries;
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
