#ifndef HOUSEHOLDFIXTURE_H
#define HOUSEHOLDFIXTURE_H

#include <QDateTime>
#include <QTemporaryDir>
#include <QVariantMap>

#include <memory>

class EnergyManager;
class EnergyManagerConfiguration;
class QNetworkAccessManager;
class SmartChargingManager;
class SpotMarketManager;
class Thing;
class ThingManager;

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
    // Re-reads the tuning file (after writing one into storage).
    void reloadConfiguration();

    // Adds a thing of a built-in class and sets the given states.
    Thing *addThing(const QString &thingClassName, const QString &name, const QVariantMap &states = QVariantMap());
    static void setStates(Thing *thing, const QVariantMap &states);
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
    QTemporaryDir m_directory;
    std::unique_ptr<ThingManager> m_thingManager;
    std::unique_ptr<EnergyManager> m_energyManager;
    std::unique_ptr<EnergyManagerConfiguration> m_configuration;
    std::unique_ptr<QNetworkAccessManager> m_networkManager;
    std::unique_ptr<SpotMarketManager> m_spotMarketManager;
    std::unique_ptr<SmartChargingManager> m_manager;
};

#endif // HOUSEHOLDFIXTURE_H
