#include "smartchargingmanager.h"
#include "smartcharging/vehicletraits.h"

#include "config/energymanagerconfiguration.h"
#include "config/energysettings.h"
#include "config/settingschange.h"
#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "devices/rootmeter.h"
#include "common/tavroenergylogging.h"
#include "forecast/solarforecastmanager.h"
#include "smartcharging/phaseheadroom.h"
#include "spotmarket/spotmarketmanager.h"
#include "types/typesregistration.h"

#include "tavro/tavroclock.h"
#include "tavro/thingmanager.h"

#include <cmath>

SmartChargingManager::SmartChargingManager(EnergyManager *energyManager, ThingManager *thingManager,
                                           SpotMarketManager *spotMarketManager,
                                           EnergyManagerConfiguration *configuration, QObject *parent)
    : QObject(parent),
      m_steps(energyManager, thingManager, spotMarketManager, configuration,
              [this](const QDateTime &currentDateTime) { update(currentDateTime); })
{
    registerTavroEnergyTypes();
    qRegisterMetaType<ThingId>("ThingId");

    m_steps.store.migrateSettings();
    readGlobalSettings();
    connectBooks();
    m_steps.store.restoreChargingConfigurations();
    m_steps.tracking.trackConfiguredThings();
    connectHost();
    m_steps.progress.restore(TavroClock::currentDateTime());
}

void SmartChargingManager::readGlobalSettings()
{
    // The file may have been edited by hand: a value that does not parse
    // is replaced by the default, one outside its range is clamped to
    // the setter's range; both with a warning.
    EnergySettings settings;
    auto warnInvalid = [&settings](const QString &key) {
        qCWarning(dcTavroEnergy()) << "Ignoring invalid value in the global settings:" << key << settings.value(key);
    };
    auto readFraction = [&settings, &warnInvalid](const QString &key, double fallback) {
        if (!settings.contains(key))
            return fallback;
        bool ok = false;
        const double value = settings.value(key).toDouble(&ok);
        if (!ok || !std::isfinite(value)) {
            warnInvalid(key);
            return fallback;
        }
        if (value < 0.0 || value > 1.0)
            qCWarning(dcTavroEnergy()) << "Global setting out of range:" << key << value << "- using"
                                       << qBound(0.0, value, 1.0);
        return qBound(0.0, value, 1.0);
    };
    const QString phaseLimitKey = QStringLiteral("phasePowerConsumptionLimit");
    if (settings.contains(phaseLimitKey)) {
        bool ok = false;
        m_steps.context.phasePowerLimit = settings.value(phaseLimitKey).toUInt(&ok);
        if (!ok) {
            warnInvalid(phaseLimitKey);
            m_steps.context.phasePowerLimit = 0;
        }
    }
    m_steps.context.acquisitionTolerance = readFraction(QStringLiteral("acquisitionTolerance"), 0.5);
    m_steps.context.batteryLevelLowerLimit = readFraction(QStringLiteral("batteryLevelConsideration"), 0.9);
    m_steps.context.batteryLevelUpperLimit = readFraction(QStringLiteral("batteryLevelUpperLimit"), 1.0);
}

void SmartChargingManager::connectBooks()
{
    m_steps.context.book.setCoverageSource(
            [this](const ThingId &evChargerId) { return m_steps.surplus.calculateSurplusCoverage(evChargerId); });
    connect(&m_steps.context.book, &ChargingBook::chargingConfigurationAdded, this,
            &SmartChargingManager::chargingConfigurationAdded);
    connect(&m_steps.context.book, &ChargingBook::chargingConfigurationRemoved, this,
            &SmartChargingManager::chargingConfigurationRemoved);
    connect(&m_steps.context.book, &ChargingBook::chargingConfigurationChanged, this,
            &SmartChargingManager::chargingConfigurationChanged);
    connect(&m_steps.context.book, &ChargingBook::chargingStateAdded, this, &SmartChargingManager::chargingStateAdded);
    connect(&m_steps.context.book, &ChargingBook::chargingStateRemoved, this,
            &SmartChargingManager::chargingStateRemoved);
    connect(&m_steps.context.book, &ChargingBook::chargingStateChanged, this,
            &SmartChargingManager::chargingStateChanged);
    connect(&m_steps.context.schedules, &ScheduleBook::chargingSchedulesChanged, this,
            &SmartChargingManager::chargingSchedulesChanged);
}

void SmartChargingManager::connectHost()
{
    connect(&m_steps.tracking, &ChargerTracking::pluggedInChanged, this,
            [this](Thing *charger, bool pluggedIn) { m_steps.configurator.onPluggedInChanged(charger, pluggedIn); });
    connect(&m_steps.tracking, &ChargerTracking::thingForgotten, this, [this](const ThingId &thingId) {
        m_steps.manualSoc.endSession(thingId);
        m_steps.overload.forget(thingId);
        m_steps.surplus.forget(thingId);
        m_steps.dc.forget(thingId);
    });
    connect(m_steps.context.thingManager, &ThingManager::thingAdded, this, &SmartChargingManager::onThingAdded);
    connect(m_steps.context.thingManager, &ThingManager::thingRemoved, this, &SmartChargingManager::onThingRemoved);
    connect(m_steps.context.thingManager, &ThingManager::actionExecuted, this, &SmartChargingManager::onActionExecuted);

    if (m_steps.context.energyManager->rootMeter())
        m_steps.tracking.setupRootMeter(m_steps.context.energyManager->rootMeter());
    connect(m_steps.context.energyManager, &EnergyManager::rootMeterChanged, this,
            [this]() { m_steps.tracking.setupRootMeter(m_steps.context.energyManager->rootMeter()); });

    connect(m_steps.context.energyManager->logs(), &EnergyLogs::powerBalanceEntryAdded, this,
            &SmartChargingManager::onPowerBalanceEntryAdded);
    connect(m_steps.context.energyManager->logs(), &EnergyLogs::thingPowerEntryAdded, this,
            [this](EnergyLogs::SampleRate sampleRate, const ThingPowerLogEntry &entry) {
                if (sampleRate != EnergyLogs::SampleRate1Min
                    || !isInCurrentMinute(entry.timestamp(), TavroClock::currentDateTime()))
                    return;
                updateManualSoCsWithMeter(sampleRate, entry);
            });

    connect(m_steps.context.energyManager, &EnergyManager::powerBalanceChanged, this, [this]() {
        m_steps.overload.verifyOverloadProtection(TavroClock::currentDateTime());
        updateDcChargers(TavroClock::currentDateTime());
    });
}

bool SmartChargingManager::isInCurrentMinute(const QDateTime &timestamp, const QDateTime &now)
{
    // Compared in local time: an entry stamped in another time zone still
    // names the same wall-clock minute.
    const QDateTime local = timestamp.toLocalTime();
    const QDateTime localNow = now.toLocalTime();
    return local.date() == localNow.date() && local.time().hour() == localNow.time().hour()
           && local.time().minute() == localNow.time().minute();
}

void SmartChargingManager::onPowerBalanceEntryAdded(EnergyLogs::SampleRate sampleRate,
                                                    const PowerBalanceLogEntry &entry)
{
    if (sampleRate != EnergyLogs::SampleRate1Min)
        return;
    const QDateTime now = TavroClock::currentDateTime();
    if (!isInCurrentMinute(entry.timestamp(), now))
        return;
    update(now);
}

void SmartChargingManager::update(const QDateTime &currentDateTime)
{
    qCDebug(dcTavroEnergy()) << "==================== Updating smart charging ====================";
    qCDebug(dcTavroEnergy()) << "Current time" << currentDateTime.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));

    // The steps in the order of the cycle; each reads what the ones before
    // it left in the cycle record. The preparation before every planner;
    // the overload check before the headroom is measured (its throttling
    // does not show at the meter yet); the spot market before the surplus
    // (the surplus plans around the bought slots); the AC commands before
    // the DC chargers (these get what the AC chargers leave).
    using Step = void (SmartChargingManager::*)(const QDateTime &);
    static const Step steps[] = {
            &SmartChargingManager::sampleDeliveredEnergy,
            &SmartChargingManager::evaluateChargingLocks,
            &SmartChargingManager::updateManualSoCsWithoutMeter,
            &SmartChargingManager::prepareInformation,
            &SmartChargingManager::sampleSun,
            &SmartChargingManager::checkOverload,
            &SmartChargingManager::openHeadroom,
            &SmartChargingManager::recoverFromOverload,
            &SmartChargingManager::planSpotMarketCharging,
            &SmartChargingManager::planSurplusCharging,
            &SmartChargingManager::adjustEvChargers,
            &SmartChargingManager::updateDcChargers,
    };

    ChargingCycle &cycle = m_steps.context.cycle;
    const ChargingCycle::Frame interrupted = cycle.frame();
    cycle.begin(currentDateTime);
    cycle.commandedDraws().expire(currentDateTime);
    for (Step step : steps)
        (this->*step)(currentDateTime);
    cycle.restore(interrupted);
    // What a restart must find again, as the cycle left it.
    m_steps.progress.store();
}

void SmartChargingManager::sampleDeliveredEnergy(const QDateTime &currentDateTime)
{
    m_steps.tracking.sampleDeliveredEnergy(currentDateTime);
}

void SmartChargingManager::evaluateChargingLocks(const QDateTime &currentDateTime)
{
    m_steps.tracking.evaluateChargingLocks(currentDateTime);
}

void SmartChargingManager::checkOverload(const QDateTime &currentDateTime)
{
    m_steps.context.cycle.setOverloaded(m_steps.overload.verifyOverloadProtection(currentDateTime));
}

void SmartChargingManager::openHeadroom(const QDateTime &)
{
    m_steps.context.cycle.openHeadroom(m_steps.context.measuredHeadroom());
}

void SmartChargingManager::recoverFromOverload(const QDateTime &currentDateTime)
{
    if (!m_steps.context.cycle.overloaded())
        m_steps.overload.verifyOverloadProtectionRecovery(currentDateTime);
}

void SmartChargingManager::setSolarForecastManager(SolarForecastManager *solarForecastManager)
{
    m_solarForecastManager = solarForecastManager;
}

void SmartChargingManager::sampleSun(const QDateTime &currentDateTime)
{
    SolarCoverage &sun = m_steps.context.sun;
    if (m_solarForecastManager && m_solarForecastManager->available())
        sun.setForecast(m_solarForecastManager->forecast(), m_solarForecastManager->deratingFactor());
    else
        sun.setForecast(SolarForecastSlots(), -1);
    const EnergyManager *energyManager = m_steps.context.energyManager;
    if (!energyManager)
        return;
    // The balance's consumption includes the chargers: the house is what is left.
    double chargers = 0;
    for (const EvChargerAc *charger : qAsConst(m_steps.context.evChargersAc))
        chargers += qMax(0.0, charger->currentPower());
    for (const EvChargerDc *charger : qAsConst(m_steps.context.evChargersDc))
        chargers += qMax(0.0, charger->measuredPower());
    // The producers report generation as negative power.
    sun.addSample(currentDateTime, energyManager->currentPowerConsumption() - chargers,
                  -energyManager->currentPowerProduction());
}

bool SmartChargingManager::setPhasePowerLimit(uint phasePowerLimit, QString *storageError)
{
    if (m_steps.context.phasePowerLimit == phasePowerLimit)
        return true;
    SettingsChange change;
    change.setValue(QStringLiteral("phasePowerConsumptionLimit"), phasePowerLimit);
    if (!change.commit(storageError))
        return false;
    m_steps.context.phasePowerLimit = phasePowerLimit;
    emit phasePowerLimitChanged(static_cast<int>(m_steps.context.phasePowerLimit));
    update(TavroClock::currentDateTime());
    return true;
}

bool SmartChargingManager::setAcquisitionTolerance(double acquisitionTolerance, QString *storageError)
{
    // Compared before clamping: 1.5 differs from a stored 1.0 every time.
    if (m_steps.context.acquisitionTolerance == acquisitionTolerance)
        return true;
    const double tolerance = qBound(0.0, acquisitionTolerance, 1.0);
    SettingsChange change;
    change.setValue(QStringLiteral("acquisitionTolerance"), tolerance);
    if (!change.commit(storageError))
        return false;
    m_steps.context.acquisitionTolerance = tolerance;
    emit acquisitionToleranceChanged(m_steps.context.acquisitionTolerance);
    update(TavroClock::currentDateTime());
    return true;
}

bool SmartChargingManager::setBatteryLevelConsideration(double batteryLevelConsideration, QString *storageError)
{
    if (m_steps.context.batteryLevelLowerLimit == batteryLevelConsideration)
        return true;
    const double lowerLimit = qBound(0.0, batteryLevelConsideration, 1.0);
    SettingsChange change;
    change.setValue(QStringLiteral("batteryLevelConsideration"), lowerLimit);
    if (!change.commit(storageError))
        return false;
    m_steps.context.batteryLevelLowerLimit = lowerLimit;
    emit batteryLevelConsiderationChanged(m_steps.context.batteryLevelLowerLimit);
    emit batteryLevelLimitsChanged(m_steps.context.batteryLevelLowerLimit, m_steps.context.batteryLevelUpperLimit);
    update(TavroClock::currentDateTime());
    return true;
}

bool SmartChargingManager::setBatteryLevelLimits(double lowerLimit, double upperLimit, QString *storageError)
{
    lowerLimit = qBound(0.0, lowerLimit, 1.0);
    upperLimit = qBound(0.0, upperLimit, 1.0);
    const bool lowerChanged = m_steps.context.batteryLevelLowerLimit != lowerLimit;
    const bool upperChanged = m_steps.context.batteryLevelUpperLimit != upperLimit;
    if (!lowerChanged && !upperChanged)
        return true;
    SettingsChange change;
    change.setValue(QStringLiteral("batteryLevelConsideration"), lowerLimit);
    change.setValue(QStringLiteral("batteryLevelUpperLimit"), upperLimit);
    if (!change.commit(storageError))
        return false;
    m_steps.context.batteryLevelLowerLimit = lowerLimit;
    m_steps.context.batteryLevelUpperLimit = upperLimit;
    if (lowerChanged)
        emit batteryLevelConsiderationChanged(m_steps.context.batteryLevelLowerLimit);
    emit batteryLevelLimitsChanged(m_steps.context.batteryLevelLowerLimit, m_steps.context.batteryLevelUpperLimit);
    update(TavroClock::currentDateTime());
    return true;
}

ChargingConfigurations SmartChargingManager::chargingConfigurations() const
{
    return ChargingConfigurations(m_steps.context.book.configurations().values());
}

ChargingConfiguration SmartChargingManager::chargingConfiguration(const ThingId &evChargerId) const
{
    return m_steps.context.book.configurations().value(evChargerId, ChargingConfiguration());
}

ChargingStates SmartChargingManager::chargingStates() const
{
    return ChargingStates(m_steps.context.book.states().values());
}

ChargingState SmartChargingManager::chargingState(const ThingId &evChargerId) const
{
    return m_steps.context.book.states().value(evChargerId, ChargingState());
}

ChargingSchedules SmartChargingManager::chargingSchedules() const
{
    return m_steps.context.schedules.schedules();
}

void SmartChargingManager::prepareInformation(const QDateTime &currentDateTime)
{
    m_steps.preparation.prepareInformation(currentDateTime);
}

void SmartChargingManager::evaluateTargetPercentageReached(const ThingId &evChargerId, double batteryLevel,
                                                           const QDateTime &currentDateTime)
{
    m_steps.preparation.evaluateTargetPercentageReached(evChargerId, batteryLevel, currentDateTime);
}

bool SmartChargingManager::verifyOverloadProtection(const QDateTime &currentDateTime)
{
    return m_steps.overload.verifyOverloadProtection(currentDateTime);
}

void SmartChargingManager::verifyOverloadProtectionRecovery(const QDateTime &currentDateTime)
{
    m_steps.overload.verifyOverloadProtectionRecovery(currentDateTime);
}

void SmartChargingManager::updateManualSoCsWithMeter(EnergyLogs::SampleRate sampleRate, const ThingPowerLogEntry &entry)
{
    m_steps.manualSoc.updateManualSoCsWithMeter(sampleRate, entry);
}

void SmartChargingManager::updateManualSoCsWithoutMeter(const QDateTime &currentDateTime)
{
    m_steps.manualSoc.updateManualSoCsWithoutMeter(currentDateTime);
}

void SmartChargingManager::updateDcChargers(const QDateTime &currentDateTime)
{
    ChargingCycle &cycle = m_steps.context.cycle;
    if (cycle.headroomOpen()) {
        m_steps.dc.updateDcChargers(currentDateTime);
        return;
    }
    // Between cycles the DC chargers are fitted to the meter and to what
    // the cycle before commanded but the meter does not show yet.
    cycle.commandedDraws().expire(currentDateTime);
    const ChargingCycle::Frame outside = cycle.frame();
    cycle.openHeadroom(m_steps.context.measuredHeadroom());
    m_steps.dc.updateDcChargers(currentDateTime);
    cycle.restore(outside);
}

EnergyManager::EnergyError
SmartChargingManager::setChargingConfiguration(const ChargingConfiguration &chargingConfiguration,
                                               QString *storageError)
{
    return m_steps.configurator.setChargingConfiguration(chargingConfiguration, storageError);
}

void SmartChargingManager::onActionExecuted(const Action &action, Thing::ThingError status)
{
    m_steps.configurator.onActionExecuted(action, status);
}

void SmartChargingManager::onChargingModeChanged(const ThingId &evChargerId,
                                                 const ChargingConfiguration &chargingConfiguration)
{
    m_steps.configurator.onChargingModeChanged(evChargerId, chargingConfiguration);
}

void SmartChargingManager::onThingAdded(Thing *thing)
{
    m_steps.tracking.onThingAdded(thing);
}

void SmartChargingManager::onThingRemoved(const ThingId &thingId)
{
    m_steps.tracking.onThingRemoved(thingId);
}

void SmartChargingManager::planSpotMarketCharging(const QDateTime &currentDateTime)
{
    m_steps.spotMarket.planSpotMarketCharging(currentDateTime);
}

void SmartChargingManager::planSurplusCharging(const QDateTime &currentDateTime)
{
    m_steps.surplus.planSurplusCharging(currentDateTime);
}

void SmartChargingManager::adjustEvChargers(const QDateTime &currentDateTime)
{
    m_steps.adjuster.adjustEvChargers(currentDateTime);
}

Electricity::Phases SmartChargingManager::getAscendingPhasesForCount(uint count)
{
    return ChargingContext::ascendingPhasesForCount(count);
}

void SmartChargingManager::resetChargingStateTransient(const ThingId &evChargerId,
                                                       ChargingState::WaitingReason waitingReason)
{
    m_steps.context.book.resetTransient(evChargerId, waitingReason);
}

void SmartChargingManager::setChargingStateMode(const ThingId &evChargerId, ChargingState::Mode mode)
{
    m_steps.context.book.setMode(evChargerId, mode);
}

void SmartChargingManager::setChargingStateTargetTimeOvershot(const ThingId &evChargerId, int seconds)
{
    m_steps.context.book.setTargetTimeOvershot(evChargerId, seconds);
}

void SmartChargingManager::setChargingStateBatteryLevelConsiderationActive(const ThingId &evChargerId, bool active)
{
    m_steps.context.book.setBatteryLevelConsiderationActive(evChargerId, active);
}

void SmartChargingManager::setChargingStateWaitingReason(const ThingId &evChargerId,
                                                         ChargingState::WaitingReason waitingReason)
{
    m_steps.context.book.setWaitingReason(evChargerId, waitingReason);
}
