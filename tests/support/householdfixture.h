#ifndef HOUSEHOLDFIXTURE_H
#define HOUSEHOLDFIXTURE_H

#include "settingssandbox.h"
#include "smartcharging/smartchargingmanager.h"
#include "spotmarket/spotmarketdataprovider.h"

#include "tavro/thingmanager.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QVariantMap>

#include <functional>
#include <memory>

class EnergyManager;
class EnergyManagerConfiguration;
class QNetworkAccessManager;
class SpotMarketManager;

// Prices set by the test; available once registered.
class TestMarketProvider : public SpotMarketDataProvider
{
public:
    TestMarketProvider()
        : SpotMarketDataProvider(nullptr)
    {
        m_info.providerId = providerId();
    }
    QUuid providerId() const override { return QUuid(QStringLiteral("{6b1f3a52-9a34-4c43-a0d2-3f1b4a7e2c10}")); }
    void enable() override { m_enabled = true; }
    void disable() override { m_enabled = false; }
    void refreshData() override {}
    void setAvailable(bool available) { m_available = available; }
    void setEntries(const ScoreEntries &entries)
    {
        m_scoreEntries = entries;
        emit scoreEntriesChanged(entries);
    }
    // `count` slots of `minutes` from start, price 10 except the cheap ones.
    static ScoreEntries priceSlots(const QDateTime &start, int count, int minutes,
                                   const QHash<QDateTime, double> &cheap);
};

// Drives single steps of the manager's cycle through its steps(). AC
// chargers are looked up by their thing.
class CycleProbe
{
public:
    using Issuer = ChargingAction::ChargingActionIssuer;
    static EvChargerAc *ac(SmartChargingManager *m, Thing *c) { return m->steps().context.evChargersAc.value(c->id()); }
    static bool hasInfo(SmartChargingManager *m, Thing *c)
    {
        return m->steps().context.cycle.acInfo(ac(m, c)) != nullptr;
    }
    static void dropInfo(SmartChargingManager *m, Thing *c) { m->steps().context.cycle.dropAcInfo(ac(m, c)); }
    static ChargingProcessInfo &info(SmartChargingManager *m, Thing *c)
    {
        return m->steps().context.cycle.acInfoToChange(ac(m, c));
    }
    static bool hasActions(SmartChargingManager *m, Thing *c)
    {
        return m->steps().context.cycle.plannedAcChargers().contains(ac(m, c));
    }
    static QHash<Issuer, ChargingAction> actions(SmartChargingManager *m, Thing *c)
    {
        return m->steps().context.cycle.acActions(ac(m, c));
    }
    static ChargingAction action(SmartChargingManager *m, Thing *c, Issuer issuer)
    {
        return actions(m, c).value(issuer);
    }
    static ChargingSchedules &schedules(SmartChargingManager *m, Thing *c)
    {
        return m->steps().context.schedules.acEntry(ac(m, c));
    }
    // Stored quietly, as if restored from the settings file.
    static void storeConfiguration(SmartChargingManager *m, const ChargingConfiguration &configuration)
    {
        m->steps().context.book.storeConfiguration(configuration);
    }
    static void commitState(SmartChargingManager *m, const ChargingState &state)
    {
        m->steps().context.book.commitState(state);
    }
    // A prepared charger: 6..16 A on three phases it cannot switch, the car
    // at 20 % with 60 % to go; the given actions replace the planned ones.
    static ChargingProcessInfo &prepare(SmartChargingManager *m, Thing *c, const QList<ChargingAction> &actions)
    {
        ChargingProcessInfo info;
        info.minChargingCurrent = 6;
        info.maxChargingCurrent = 16;
        info.maxPhaseCount = info.minPhaseCount = info.effectivePhaseCount = info.carPhaseCount = 3;
        info.effectivePhases = Electricity::PhaseAll;
        info.batteryLevel = 20;
        info.remainingPercentage = 60;
        ChargingCycle &cycle = m->steps().context.cycle;
        cycle.dropAc(ac(m, c));
        for (const ChargingAction &action : actions)
            cycle.setAcAction(ac(m, c), action.issuer(), action);
        return cycle.acInfoToChange(ac(m, c)) = info;
    }
    // As the overload cut leaves a charger it switched off.
    static void noteOverloadCut(SmartChargingManager *m, Thing *c) { m->steps().adjuster.noteOverloadCut(c->id()); }
    static bool tracksAc(SmartChargingManager *m, const ThingId &id)
    {
        return m->steps().context.evChargersAc.contains(id);
    }
    static bool tracksDc(SmartChargingManager *m, const ThingId &id)
    {
        return m->steps().context.evChargersDc.contains(id);
    }
    static void thingAdded(SmartChargingManager *m, Thing *thing) { m->steps().tracking.onThingAdded(thing); }
    // One planned hour from start, as the spot market plan would store it.
    static void planHour(SmartChargingManager *m, Thing *c, const QDateTime &start)
    {
        const TimeFrame frame(start, start.addSecs(3600));
        if (tracksAc(m, c->id()))
            schedules(m, c) = ChargingSchedules({ChargingSchedule(c->id(), frame)});
        if (EvChargerDc *dc = m->steps().context.evChargersDc.value(c->id()))
            m->steps().context.schedules.setDcFrames(dc, {frame});
    }
    // kWh the charger delivered so far, as the daily shares count it.
    static void setDeliveredEnergy(SmartChargingManager *m, Thing *c, double kWh)
    {
        m->steps().context.deliveredEnergies[c->id()].total = kWh;
    }
    static bool hasManualSocSession(SmartChargingManager *m, Thing *c)
    {
        return m->steps().manualSoc.hasSession(c->id());
    }
    static void endManualSoc(SmartChargingManager *m, Thing *c) { m->steps().manualSoc.endSession(c->id()); }
    static bool initializeManualSoc(SmartChargingManager *m, Thing *c)
    {
        return m->steps().manualSoc.initializeManualSocSession(
                c->id(), m->chargingConfiguration(c->id()),
                ManualSocEstimator::ManualSocInitializationTriggerPluggedIn);
    }
    // Single steps of the update cycle.
    static void update(SmartChargingManager *m, const QDateTime &now) { m->update(now); }
    static bool verifyOverloadProtection(SmartChargingManager *m, const QDateTime &now)
    {
        return m->steps().overload.verifyOverloadProtection(now);
    }
    static void prepareInformation(SmartChargingManager *m, const QDateTime &now)
    {
        m->steps().preparation.prepareInformation(now);
    }
    static void planSurplus(SmartChargingManager *m, const QDateTime &now)
    {
        m->steps().surplus.planSurplusCharging(now);
    }
    static void planSpotMarket(SmartChargingManager *m, const QDateTime &now)
    {
        m->steps().spotMarket.planSpotMarketCharging(now);
    }
    static double coverage(SmartChargingManager *m, Thing *c)
    {
        return m->steps().surplus.calculateSurplusCoverage(c->id());
    }
    static void updateCoverage(SmartChargingManager *m, Thing *c) { m->steps().context.book.refreshCoverage(c->id()); }
    static void applyShares(SmartChargingManager *m, const QDateTime &now)
    {
        m->steps().shares.applyAcChargingShares(now);
    }
    static void adjust(SmartChargingManager *m, const QDateTime &now) { m->steps().adjuster.adjustEvChargers(now); }
    static void execute(SmartChargingManager *m, Thing *c, const ChargingAction &action, const QDateTime &now)
    {
        m->steps().adjuster.executeChargingAction(ac(m, c), action, now);
    }
};

// A stand-in host around the smart charging manager for tests: temporary
// settings/storage/cache directories, the host's thing and energy managers,
// the tuning file and the spot market manager (not enabled). The manager
// itself is created on demand so tests can prepare things and settings first.
class HouseholdFixture
{
public:
    // Freezes the host clock at start (default: a Monday, 12:00:30 local).
    explicit HouseholdFixture(const QDateTime &start = QDateTime());
    ~HouseholdFixture();

    ThingManager *thingManager() const { return m_thingManager.get(); }
    EnergyManager *energyManager() const { return m_energyManager.get(); }
    EnergyManagerConfiguration *configuration() const { return m_configuration.get(); }
    SpotMarketManager *spotMarketManager() const { return m_spotMarketManager.get(); }
    SmartChargingManager *manager() const { return m_manager.get(); }
    QString settingsPath() const;

    // Creates (or re-creates) the manager, as at a start of the plugin.
    SmartChargingManager *createManager();
    void destroyManager();
    // A kill and a fresh start: the files of the settings, storage and cache
    // folders as they are now come back after the manager is gone (nothing
    // written on the way down counts), then a new manager starts. whileDown
    // runs in between, for what happens while the host is down.
    SmartChargingManager *restartHard(const std::function<void()> &whileDown = {});
    // Re-reads the tuning file (after writing one into storage); a manager
    // already made is made again on it (pointers to the old one dangle).
    void reloadConfiguration();

    // Adds a thing of a built-in class and sets the given states.
    Thing *addThing(const QString &thingClassName, const QString &name, const QVariantMap &states = QVariantMap());
    static void setStates(Thing *thing, const QVariantMap &states);
    // A state action as a user (or a rule) would send it, finished.
    void executeStateAction(Thing *thing, const QString &stateName, const QVariant &value,
                            Action::TriggeredBy triggeredBy = Action::TriggeredByUser);
    // The actions the thing received (of the given type only, if one is given).
    QList<ThingManager::ActionLogEntry> actionLog(Thing *thing, const QString &actionTypeName = QString()) const;
    // The same as "name=value" of the first parameter, in order.
    QStringList commands(Thing *thing) const;
    // Stores the charger's configuration as `change` leaves it; the
    // manager's answer is returned.
    EnergyManager::EnergyError configure(Thing *charger, const std::function<void(ChargingConfiguration &)> &change);
    // The same for a mode and, if given, an assigned car.
    EnergyManager::EnergyError setMode(Thing *charger, ChargingConfiguration::ChargingMode mode, Thing *car = nullptr);
    // A test price provider, registered, chosen and (if asked) enabled.
    TestMarketProvider *addMarket(bool enable = true);
    // Sets a grid meter's per-phase currents (A) and the matching powers
    // (230 V) and total.
    static void setMeterCurrents(Thing *meter, double phaseA, double phaseB, double phaseC);

    QDateTime now() const;
    void setNow(const QDateTime &now);
    void advance(int seconds);

    // Emits the one-minute log entries of the current minute (one update
    // cycle of the manager) and lets pending actions finish.
    void runCycle();
    // Lets queued actions execute and finish (a few event-loop turns).
    static void processEvents();

private:
    SettingsSandbox m_sandbox;
    std::unique_ptr<ThingManager> m_thingManager;
    std::unique_ptr<EnergyManager> m_energyManager;
    std::unique_ptr<EnergyManagerConfiguration> m_configuration;
    std::unique_ptr<QNetworkAccessManager> m_networkManager;
    std::unique_ptr<SpotMarketManager> m_spotMarketManager;
    std::unique_ptr<SmartChargingManager> m_manager;
};

#endif // HOUSEHOLDFIXTURE_H
