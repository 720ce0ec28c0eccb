#ifndef SOLARFORECASTMANAGER_H
#define SOLARFORECASTMANAGER_H

#include <QDateTime>
#include <QObject>

#include "forecast/solarforecasthistory.h"
#include "types/solarforecastconfiguration.h"
#include "types/solarforecastslots.h"

class EnergyLogs;
class QNetworkAccessManager;
class SolarForecastProvider;

// The one entry point to the solar forecast: the owner's configuration
// (group "SolarForecast" of "energy.conf"), the provider that fetches the
// forecast, and the record of how well it matched the PV production. A
// planner asks forecast(), expectedEnergy() and deratingFactor(); without an
// available forecast (not configured, disabled, failed for a day) they offer
// nothing to count on.
class SolarForecastManager : public QObject
{
    Q_OBJECT

public:
    // Restores the stored configuration and starts fetching when it is
    // enabled. The network access manager is not owned; logs (may be null)
    // give the PV production for the accuracy record.
    SolarForecastManager(QNetworkAccessManager *networkManager, EnergyLogs *logs, QObject *parent = nullptr);

    enum SetResult {
        SetResultStored,   // or the same as before
        SetResultInvalid,  // not valid: nothing changed
        SetResultNotStored // the settings file could not be written: nothing changed
    };

    SolarForecastConfiguration configuration() const { return m_configuration; }
    // A valid configuration that differs from the current one is stored in
    // "energy.conf" first (nothing is taken that the file does not hold),
    // then applied and announced once. reason (may be null) says why not.
    SetResult setConfiguration(const SolarForecastConfiguration &configuration, QString *reason = nullptr);

    bool enabled() const { return m_configuration.enabled(); }
    bool available() const;
    // What a plan may count on: the planes added up in 15-minute slots,
    // earliest first (from today's midnight on, local time), W and Wh per
    // slot; empty while not available.
    SolarForecastSlots forecast() const { return m_published; }
    // The oldest of the planes' last good answers; invalid without one.
    QDateTime updated() const;
    // Wh the forecast expects in [from, to) (local times, cut slots count
    // in proportion); 0 while not available.
    double expectedEnergy(const QDateTime &from, const QDateTime &to) const;
    // See SolarForecastHistory::deratingFactor().
    double deratingFactor(int days = 7) const { return m_history.deratingFactor(days); }
    const SolarForecastHistory &history() const { return m_history; }

    SolarForecastProvider *provider() const { return m_provider; }

signals:
    void configurationChanged(const SolarForecastConfiguration &configuration);
    // forecast() changed: new slots, or the forecast became available or not.
    void forecastChanged(const SolarForecastSlots &forecast);

private:
    void publish();
    bool store(const SolarForecastConfiguration &configuration, QString *reason) const;
    void restore();

    SolarForecastProvider *m_provider = nullptr;
    SolarForecastConfiguration m_configuration;
    SolarForecastSlots m_published;
    SolarForecastHistory m_history;
};

#endif // SOLARFORECASTMANAGER_H
