#include "smartchargingmanager.h"

#include "config/energymanagerconfiguration.h"
#include "config/energysettings.h"
#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "devices/rootmeter.h"
#include "common/tavroenergylogging.h"
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
      m_energyManager(energyManager),
      m_thingManager(thingManager),
      m_spotMarketManager(spotMarketManager),
      m_configuration(configuration)
{
    registerTavroEnergyTypes();
    qRegisterMetaType<ThingId>("ThingId");

    migrateSettings();
    readGlobalSettings();
    connectBooks();
    restoreChargingConfigurations();
    trackConfiguredThings();
    connectHost();
}

void SmartChargingManager::readGlobalSettings()
{
    // The file may have been edited by hand: a value that does not parse
    // is replaced by the default, one outside its range is clamped to
    // the setter's range; both with a warning.
    EnergySettings settings;
    auto warnInvalid = [&settings](const QString &key) {
        qCWarning(dcTavroEnergy()) << "Ignoring invalid value in the global settings:" << key
                                   << settings.value(key);
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
        m_phasePowerLimit = settings.value(phaseLimitKey).toUInt(&ok);
        if (!ok) {
            warnInvalid(phaseLimitKey);
            m_phasePowerLimit = 0;
        }
    }
    m_acquisitionTolerance = readFraction(QStringLiteral("acquisitionTolerance"), 0.5);
    m_batteryLevelLowerLimit = readFraction(QStringLiteral("batteryLevelConsideration"), 0.9);
    m_batteryLevelUpperLimit = readFraction(QStringLiteral("batteryLevelUpperLimit"), 1.0);
}

void SmartChargingManager::connectBooks()
{
    m_book.setCoverageSource([this](const ThingId &evChargerId) { return calculateSurplusCoverage(evChargerId); });
    connect(&m_book, &ChargingBook::chargingConfigurationAdded, this, &SmartChargingManager::chargingConfigurationAdded);
    connect(&m_book, &ChargingBook::chargingConfigurationRemoved, this,
            &SmartChargingManager::chargingConfigurationRemoved);
    connect(&m_book, &ChargingBook::chargingConfigurationChanged, this,
            &SmartChargingManager::chargingConfigurationChanged);
    connect(&m_book, &ChargingBook::chargingStateAdded, this, &SmartChargingManager::chargingStateAdded);
    connect(&m_book, &ChargingBook::chargingStateRemoved, this, &SmartChargingManager::chargingStateRemoved);
    connect(&m_book, &ChargingBook::chargingStateChanged, this, &SmartChargingManager::chargingStateChanged);
    connect(&m_schedules, &ScheduleBook::chargingSchedulesChanged, this, &SmartChargingManager::chargingSchedulesChanged);
}

void SmartChargingManager::trackConfiguredThings()
{
    const Things things = m_thingManager->configuredThings();
    for (Thing *thing : things) {
        if (thing->thingClass().interfaces().contains(QStringLiteral("energystorage")))
            m_energyStorages.append(thing);
    }
    const Things acChargers = things.filterByInterface(QStringLiteral("evchargerac"));
    qCDebug(dcTavroEnergy()) << "SmartChargingManager loading. EV chargers in tavro:" << acChargers.count();
    for (Thing *thing : acChargers)
        addEvChargerAc(thing);

    const Things dcChargers = things.filterByInterface(QStringLiteral("evchargerdc"));
    qCDebug(dcTavroEnergy()) << "SmartChargingManager loading. DC EV chargers in tavro:" << dcChargers.count();
    for (Thing *thing : dcChargers)
        addEvChargerDc(thing);

    for (Thing *thing : things) {
        if (isCar(thing))
            setupCarBatteryHandlers(thing);
        else if (thing->thingClass().interfaces().contains(QStringLiteral("energystorage")))
            setupEnergyStorage(thing);
    }
}

void SmartChargingManager::connectHost()
{
    connect(m_thingManager, &ThingManager::thingAdded, this, &SmartChargingManager::onThingAdded);
    connect(m_thingManager, &ThingManager::thingRemoved, this, &SmartChargingManager::onThingRemoved);
    connect(m_thingManager, &ThingManager::actionExecuted, this, &SmartChargingManager::onActionExecuted);

    if (m_energyManager->rootMeter())
        setupRootMeter(m_energyManager->rootMeter());
    connect(m_energyManager, &EnergyManager::rootMeterChanged, this, [this]() {
        setupRootMeter(m_energyManager->rootMeter());
    });

    connect(m_energyManager->logs(), &EnergyLogs::powerBalanceEntryAdded, this,
            &SmartChargingManager::onPowerBalanceEntryAdded);
    connect(m_energyManager->logs(), &EnergyLogs::thingPowerEntryAdded, this,
            [this](EnergyLogs::SampleRate sampleRate, const ThingPowerLogEntry &entry) {
        if (sampleRate != EnergyLogs::SampleRate1Min
                || !isInCurrentMinute(entry.timestamp(), TavroClock::currentDateTime()))
            return;
        updateManualSoCsWithMeter(sampleRate, entry);
    });

    connect(m_energyManager, &EnergyManager::powerBalanceChanged, this, [this]() {
        verifyOverloadProtection(TavroClock::currentDateTime());
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

void SmartChargingManager::sampleDeliveredEnergy(const QDateTime &currentDateTime)
{
    // A gap longer than this (the host stood still) is not filled with the
    // power of its first minute.
    auto sample = [this, &currentDateTime](const ThingId &id, double power) {
        const qint64 longestGap = 300;
        DeliveredEnergy &energy = m_deliveredEnergy[id];
        if (energy.sampledAt.isValid() && energy.sampledAt < currentDateTime) {
            const qint64 seconds = qMin(longestGap, energy.sampledAt.secsTo(currentDateTime));
            energy.total += energy.power * seconds / 3600.0 / 1000.0;
        }
        if (!energy.sampledAt.isValid() || energy.sampledAt < currentDateTime)
            energy.sampledAt = currentDateTime;
        energy.power = std::isfinite(power) ? qMax(0.0, power) : 0.0;
    };
    for (EvChargerAc *charger : qAsConst(m_evChargersAc))
        sample(charger->id(), charger->currentPower());
    for (EvChargerDc *charger : qAsConst(m_evChargersDc))
        sample(charger->id(), charger->measuredPower());
}

void SmartChargingManager::update(const QDateTime &currentDateTime)
{
    qCDebug(dcTavroEnergy()) << "==================== Updating smart charging ====================";
    qCDebug(dcTavroEnergy()) << "Current time" << currentDateTime.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));

    sampleDeliveredEnergy(currentDateTime);
    for (EvChargerAc *charger : qAsConst(m_evChargersAc))
        charger->evaluateChargingEnabledLock(currentDateTime);

    updateManualSoCsWithoutMeter(currentDateTime);
    prepareInformation(currentDateTime);
    const bool overloaded = verifyOverloadProtection(currentDateTime);
    // From here on every command of the cycle is fitted to what the fuse
    // leaves after the commands before it: the meter shows none of them yet.
    PhaseHeadroom headroom(m_rootMeter, m_phasePowerLimit);
    PhaseHeadroom *const enclosingHeadroom = m_cycleHeadroom;
    m_cycleHeadroom = &headroom;
    if (!overloaded)
        verifyOverloadProtectionRecovery(currentDateTime);
    planSpotMarketCharging(currentDateTime);
    planSurplusCharging(currentDateTime);
    adjustEvChargers(currentDateTime);
    updateDcChargers(currentDateTime);
    m_cycleHeadroom = enclosingHeadroom;
}

void SmartChargingManager::setPhasePowerLimit(uint phasePowerLimit)
{
    if (m_phasePowerLimit == phasePowerLimit)
        return;
    m_phasePowerLimit = phasePowerLimit;
    emit phasePowerLimitChanged(static_cast<int>(m_phasePowerLimit));
    {
        EnergySettings settings;
        settings.setValue(QStringLiteral("phasePowerConsumptionLimit"), m_phasePowerLimit);
    }
    update(TavroClock::currentDateTime());
}

void SmartChargingManager::setAcquisitionTolerance(double acquisitionTolerance)
{
    // Compared before clamping: 1.5 differs from a stored 1.0 every time.
    if (m_acquisitionTolerance == acquisitionTolerance)
        return;
    m_acquisitionTolerance = qBound(0.0, acquisitionTolerance, 1.0);
    emit acquisitionToleranceChanged(m_acquisitionTolerance);
    {
        EnergySettings settings;
        settings.setValue(QStringLiteral("acquisitionTolerance"), m_acquisitionTolerance);
    }
    update(TavroClock::currentDateTime());
}

void SmartChargingManager::setBatteryLevelConsideration(double batteryLevelConsideration)
{
    if (m_batteryLevelLowerLimit == batteryLevelConsideration)
        return;
    m_batteryLevelLowerLimit = qBound(0.0, batteryLevelConsideration, 1.0);
    emit batteryLevelConsiderationChanged(m_batteryLevelLowerLimit);
    emit batteryLevelLimitsChanged(m_batteryLevelLowerLimit, m_batteryLevelUpperLimit);
    {
        EnergySettings settings;
        settings.setValue(QStringLiteral("batteryLevelConsideration"), m_batteryLevelLowerLimit);
    }
    update(TavroClock::currentDateTime());
}

void SmartChargingManager::setBatteryLevelLimits(double lowerLimit, double upperLimit)
{
    lowerLimit = qBound(0.0, lowerLimit, 1.0);
    upperLimit = qBound(0.0, upperLimit, 1.0);
    const bool lowerChanged = m_batteryLevelLowerLimit != lowerLimit;
    const bool upperChanged = m_batteryLevelUpperLimit != upperLimit;
    if (!lowerChanged && !upperChanged)
        return;
    m_batteryLevelLowerLimit = lowerLimit;
    m_batteryLevelUpperLimit = upperLimit;
    if (lowerChanged)
        emit batteryLevelConsiderationChanged(m_batteryLevelLowerLimit);
    emit batteryLevelLimitsChanged(m_batteryLevelLowerLimit, m_batteryLevelUpperLimit);
    {
        EnergySettings settings;
        settings.setValue(QStringLiteral("batteryLevelConsideration"), m_batteryLevelLowerLimit);
        settings.setValue(QStringLiteral("batteryLevelUpperLimit"), m_batteryLevelUpperLimit);
    }
    update(TavroClock::currentDateTime());
}

ChargingConfigurations SmartChargingManager::chargingConfigurations() const
{
    return ChargingConfigurations(m_book.configurations().values());
}

ChargingConfiguration SmartChargingManager::chargingConfiguration(const ThingId &evChargerId) const
{
    return m_book.configurations().value(evChargerId, ChargingConfiguration());
}

ChargingStates SmartChargingManager::chargingStates() const
{
    return ChargingStates(m_book.states().values());
}

ChargingState SmartChargingManager::chargingState(const ThingId &evChargerId) const
{
    return m_book.states().value(evChargerId, ChargingState());
}

ChargingSchedules SmartChargingManager::chargingSchedules() const
{
    return m_schedules.schedules();
}

Electricity::Phases SmartChargingManager::getAscendingPhasesForCount(uint count)
{
    switch (count) {
    case 3:
        return Electricity::PhaseAll;
    case 2:
        return Electricity::PhaseA | Electricity::PhaseB;
    default:
        return Electricity::PhaseA;
    }
}
