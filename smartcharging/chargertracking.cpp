#include "chargertracking.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/configurationstore.h"
#include "smartcharging/processpreparation.h"
#include "smartcharging/vehicletraits.h"

#include "config/energymanagerconfiguration.h"
#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"
#include "devices/rootmeter.h"
#include "common/tavroenergylogging.h"

#include "tavro/tavroclock.h"
#include "tavro-energy/energymanager.h"
#include "tavro/thingmanager.h"

#include <cmath>

namespace {
// The ids of the named states the thing's class has; resolved once when a
// handler is connected, as every state change of the thing passes it.
QList<StateTypeId> stateTypeIds(const Thing *thing, const QStringList &names)
{
    QList<StateTypeId> ids;
    for (const QString &name : names) {
        const StateTypeId id = thing->thingClass().stateTypes().findByName(name).id();
        if (!id.isNull())
            ids.append(id);
    }
    return ids;
}
}

void ChargerTracking::onThingAdded(Thing *thing)
{
    const QStringList &interfaces = thing->thingClass().interfaces();
    if (interfaces.contains(QStringLiteral("energystorage")))
        m_context.energyStorages.append(thing);
    if (interfaces.contains(QStringLiteral("evchargerac")))
        addEvChargerAc(thing);
    else if (interfaces.contains(QStringLiteral("evchargerdc")))
        addEvChargerDc(thing);

    if (VehicleTraits::isCar(thing))
        setupCarBatteryHandlers(thing);
    else if (interfaces.contains(QStringLiteral("energystorage")))
        setupEnergyStorage(thing);
}

void ChargerTracking::onThingRemoved(const ThingId &thingId)
{
    for (int i = m_context.energyStorages.count() - 1; i >= 0; i--) {
        if (!m_context.energyStorages.at(i) || m_context.energyStorages.at(i)->id() == thingId)
            m_context.energyStorages.removeAt(i);
    }
    // What the cycle record keeps for the thing goes with it; the steps
    // drop their own state on the signal.
    m_context.cycle.forget(thingId, m_context.evChargersAc.value(thingId), m_context.evChargersDc.value(thingId));
    emit thingForgotten(thingId);

    // Only chargers have a configuration.
    if (!m_context.book.hasConfiguration(thingId)) {
        m_context.book.refreshAllCoverages();
        return;
    }
    // The host removed the charger for good: what the file kept for it goes.
    m_store.removeChargingConfiguration(thingId);

    // The adapters die with their thing after this signal; the schedules
    // keyed by them are cleaned here.
    bool schedulesRemoved = false;
    if (EvChargerAc *charger = m_context.evChargersAc.value(thingId))
        schedulesRemoved = m_context.schedules.takeAc(charger);
    if (EvChargerDc *charger = m_context.evChargersDc.value(thingId)) {
        // DC time frames are published as schedules too.
        schedulesRemoved = m_context.schedules.takeDc(charger) || schedulesRemoved;
    }

    m_context.deliveredEnergies.remove(thingId);

    m_context.book.removeCharger(thingId);
    if (schedulesRemoved)
        m_context.schedules.announce();

    m_context.evChargersAc.remove(thingId);
    m_context.evChargersDc.remove(thingId);
    m_context.book.refreshAllCoverages();
}

void ChargerTracking::addEvChargerAc(Thing *thing)
{
    // A second set-up of a tracked thing would double every connection.
    EvChargerAc *existing = m_context.evChargersAc.value(thing->id());
    if (existing && existing->thing() == thing) {
        qCDebug(dcTavroEnergy()) << "EV charger already tracked:" << thing->name();
        return;
    }

    EvChargerAc *charger = new EvChargerAc(m_context.thingManager, thing);
    charger->setChargingEnabledLockDuration(m_context.configuration->chargingEnabledLockDuration());
    charger->setChargingCurrentLockDuration(m_context.configuration->chargingCurrentLockDuration());
    m_context.evChargersAc.insert(thing->id(), charger);

    setupEvChargerThing(thing);
    setupEvChargerAc(thing);
    setupPluggedInHandlers(thing);
}

void ChargerTracking::addEvChargerDc(Thing *thing)
{
    EvChargerDc *existing = m_context.evChargersDc.value(thing->id());
    if (existing && existing->thing() == thing) {
        qCDebug(dcTavroEnergy()) << "DC EV charger already tracked:" << thing->name();
        return;
    }

    EvChargerDc *charger = new EvChargerDc(m_context.thingManager, thing);
    m_context.evChargersDc.insert(thing->id(), charger);

    setupEvChargerThing(thing);
    setupPluggedInHandlers(thing);
}

void ChargerTracking::setupEvChargerThing(Thing *thing)
{
    const ThingId thingId = thing->id();

    // Restored configurations come without a signal. A charger the host
    // adds later gets the configuration the file kept for it, if any; a new
    // charger's default one reaches the file only when it is first changed.
    if (!m_context.book.hasConfiguration(thingId)) {
        ChargingConfiguration configuration(thingId);
        m_store.readChargingConfiguration(thingId, &configuration);
        m_context.book.addConfiguration(configuration);
    }
    m_context.book.addState(thingId, static_cast<int>(m_context.configuration->chargingEnabledLockDuration()));

    const QList<StateTypeId> powerStates =
            stateTypeIds(thing, {QStringLiteral("currentPower"), QStringLiteral("chargingPower"),
                                 QStringLiteral("maxChargingCurrent"), QStringLiteral("usedPhases"),
                                 QStringLiteral("phaseCount"), QStringLiteral("power"), QStringLiteral("charging")});
    connect(thing, &Thing::stateValueChanged, this, [this, thing, powerStates](const StateTypeId &stateTypeId) {
        if (powerStates.contains(stateTypeId))
            m_context.book.refreshCoverage(thing->id());
    });
}

void ChargerTracking::setupEvChargerAc(Thing *thing)
{
    qCDebug(dcTavroEnergy()) << "Setting up EV charger:" << thing->name();
    EvChargerAc *charger = m_context.evChargersAc.value(thing->id());
    if (!charger)
        return;

    const ThingId thingId = thing->id();
    connect(charger, &EvChargerAc::chargingEnabledLockedChanged, this, [this, charger, thingId]() {
        m_context.book.announcePowerLockSeconds(thingId, charger->remainingChargingEnabledLockDuration());
    });
    connect(charger, &EvChargerAc::remainingChargingEnabledLockDurationChanged, this, [this, thingId](int seconds) {
        qCDebug(dcTavroEnergy()) << "Lock seconds changed" << seconds;
        m_context.book.storePowerLockSeconds(thingId, seconds);
    });
}

void ChargerTracking::setupPluggedInHandlers(const Thing *thing)
{
    qCDebug(dcTavroEnergy()) << "Setting up push notification";
    const ThingId thingId = thing->id();
    const QList<StateTypeId> pluggedIn = stateTypeIds(thing, {QStringLiteral("pluggedIn")});
    connect(thing, &Thing::stateValueChanged, this,
            [this, thingId, pluggedIn](const StateTypeId &stateTypeId, const QVariant &value) {
                if (!pluggedIn.contains(stateTypeId))
                    return;
                Thing *charger = m_context.thingManager->findConfiguredThing(thingId);
                if (!charger)
                    return;
                emit pluggedInChanged(charger, value.toBool());
            });
}

void ChargerTracking::setupCarBatteryHandlers(const Thing *car)
{
    const StateType batteryLevelType = car->thingClass().stateTypes().findByName(QStringLiteral("batteryLevel"));
    if (!batteryLevelType.isValid())
        return;

    const ThingId carId = car->id();
    const StateTypeId batteryLevelTypeId = batteryLevelType.id();
    connect(car, &Thing::stateValueChanged, this,
            [this, carId, batteryLevelTypeId](const StateTypeId &stateTypeId, const QVariant &value) {
                if (stateTypeId != batteryLevelTypeId)
                    return;
                const double batteryLevel = value.toDouble();
                const QDateTime now = TavroClock::currentDateTime();
                // Collected first: the evaluation may change configurations.
                QList<ThingId> chargerIds;
                for (const ChargingConfiguration &configuration : m_context.book.configurations()) {
                    if (configuration.assignedCarId() == carId)
                        chargerIds.append(configuration.evChargerId());
                }
                for (const ThingId &chargerId : qAsConst(chargerIds))
                    m_preparation.evaluateTargetPercentageReached(chargerId, batteryLevel, now);
            });
}

void ChargerTracking::setupEnergyStorage(Thing *thing)
{
    const QList<StateTypeId> currentPower = stateTypeIds(thing, {QStringLiteral("currentPower")});
    connect(thing, &Thing::stateValueChanged, this, [this, currentPower](const StateTypeId &stateTypeId) {
        if (currentPower.contains(stateTypeId))
            m_context.book.refreshAllCoverages();
    });
    m_context.book.refreshAllCoverages();
}

void ChargerTracking::setupRootMeter(Thing *rootMeter)
{
    if (m_context.rootMeter)
        m_context.rootMeter->deleteLater();
    m_context.rootMeter.clear();

    Thing *meterThing = m_context.energyManager->rootMeter();
    if (meterThing) {
        qCInfo(dcTavroEnergy()) << "Setting root meter to" << (rootMeter ? rootMeter : meterThing)->name();
        m_context.rootMeter = new RootMeter(meterThing);
        connect(m_context.rootMeter.data(), &RootMeter::currentPowerChanged, this,
                [this]() { m_context.book.refreshAllCoverages(); });
    } else {
        qCInfo(dcTavroEnergy())
                << "Root meter unset. Smart charging will cease to work until a new root meter is configured.";
    }
    m_context.book.refreshAllCoverages();
}

void ChargerTracking::trackConfiguredThings()
{
    const Things things = m_context.thingManager->configuredThings();
    for (Thing *thing : things) {
        if (thing->thingClass().interfaces().contains(QStringLiteral("energystorage")))
            m_context.energyStorages.append(thing);
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
        if (VehicleTraits::isCar(thing))
            setupCarBatteryHandlers(thing);
        else if (thing->thingClass().interfaces().contains(QStringLiteral("energystorage")))
            setupEnergyStorage(thing);
    }
}

void ChargerTracking::sampleDeliveredEnergy(const QDateTime &currentDateTime)
{
    // A gap longer than this (the host stood still) is not filled with the
    // power of its first minute.
    auto sample = [this, &currentDateTime](const ThingId &id, double power) {
        const qint64 longestGap = 300;
        ChargingContext::DeliveredEnergy &energy = m_context.deliveredEnergies[id];
        if (energy.sampledAt.isValid() && energy.sampledAt < currentDateTime) {
            const qint64 seconds = qMin(longestGap, energy.sampledAt.secsTo(currentDateTime));
            energy.total += energy.power * seconds / 3600.0 / 1000.0;
        }
        if (!energy.sampledAt.isValid() || energy.sampledAt < currentDateTime)
            energy.sampledAt = currentDateTime;
        energy.power = std::isfinite(power) ? qMax(0.0, power) : 0.0;
    };
    for (EvChargerAc *charger : qAsConst(m_context.evChargersAc))
        sample(charger->id(), charger->currentPower());
    for (EvChargerDc *charger : qAsConst(m_context.evChargersDc))
        sample(charger->id(), charger->measuredPower());
}

void ChargerTracking::evaluateChargingLocks(const QDateTime &currentDateTime)
{
    for (EvChargerAc *charger : qAsConst(m_context.evChargersAc))
        charger->evaluateChargingEnabledLock(currentDateTime);
}
