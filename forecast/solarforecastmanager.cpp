#include "solarforecastmanager.h"
#include "solarforecastprovider.h"

#include "common/tavroenergylogging.h"
#include "config/energysettings.h"
#include "config/settingschange.h"
#include "types/typesregistration.h"

#include "tavro-energy/energylogs.h"

namespace {

const QString group = QStringLiteral("SolarForecast");

QString horizonText(const QList<int> &horizon)
{
    QStringList elevations;
    for (int elevation : horizon)
        elevations.append(QString::number(elevation));
    return elevations.join(QLatin1Char(','));
}

// False for text that is no comma-separated list of whole numbers.
bool readHorizon(const QString &text, QList<int> *horizon)
{
    horizon->clear();
    if (text.isEmpty())
        return true;
    const QStringList elevations = text.split(QLatin1Char(','));
    if (elevations.count() > SolarPlane::maximumHorizonPoints)
        return false;
    for (const QString &elevation : elevations) {
        bool ok = false;
        horizon->append(elevation.trimmed().toInt(&ok));
        if (!ok)
            return false;
    }
    return true;
}

}

SolarForecastManager::SolarForecastManager(QNetworkAccessManager *networkManager, EnergyLogs *logs, QObject *parent)
    : QObject(parent),
      m_provider(new SolarForecastProvider(networkManager, this))
{
    registerTavroEnergyTypes();
    connect(m_provider, &SolarForecastProvider::forecastChanged, this, &SolarForecastManager::publish);
    connect(m_provider, &SolarForecastProvider::availableChanged, this, &SolarForecastManager::publish);
    if (logs) {
        connect(logs, &EnergyLogs::powerBalanceEntryAdded, this,
                [this](EnergyLogs::SampleRate sampleRate, const PowerBalanceLogEntry &entry) {
                    if (sampleRate != EnergyLogs::SampleRate1Min)
                        return;
                    // The producers report generation as negative power.
                    m_history.addSample(entry.timestamp(), -entry.production(), m_published);
                });
    }
    restore();
    m_provider->setConfiguration(m_configuration);
    publish();
}

bool SolarForecastManager::available() const
{
    return m_provider->available();
}

QDateTime SolarForecastManager::updated() const
{
    return m_provider->updated();
}

double SolarForecastManager::expectedEnergy(const QDateTime &from, const QDateTime &to) const
{
    return m_published.energyBetween(from, to);
}

SolarForecastManager::SetResult SolarForecastManager::setConfiguration(const SolarForecastConfiguration &configuration,
                                                                       QString *reason)
{
    const QString error = configuration.validationError();
    if (!error.isEmpty()) {
        if (reason)
            *reason = error;
        return SetResultInvalid;
    }
    if (configuration == m_configuration)
        return SetResultStored;
    if (!store(configuration, reason))
        return SetResultNotStored;
    m_configuration = configuration;
    qCInfo(dcTavroEnergy()) << "Solar forecast" << (configuration.enabled() ? "enabled" : "disabled") << "with"
                            << configuration.planes().count() << "planes, together" << configuration.planes().totalKwp()
                            << "kWp";
    // Announced before what it does to the forecast.
    emit configurationChanged(m_configuration);
    m_provider->setConfiguration(m_configuration);
    publish();
    return SetResultStored;
}

void SolarForecastManager::publish()
{
    const SolarForecastSlots published = m_provider->available() ? m_provider->forecast() : SolarForecastSlots();
    if (published == m_published)
        return;
    m_published = published;
    emit forecastChanged(m_published);
}

bool SolarForecastManager::store(const SolarForecastConfiguration &configuration, QString *reason) const
{
    // The group replaced as a whole: no plane of before is left behind.
    // Empty values are left out: they read back as empty (and the settings
    // file has no form for a null text).
    SettingsChange change;
    change.remove(group);
    change.setValue(group + QStringLiteral("/enabled"), configuration.enabled());
    if (!configuration.apiKey().isEmpty())
        change.setValue(group + QStringLiteral("/apiKey"), configuration.apiKey());
    const SolarPlanes planes = configuration.planes();
    const QString plane = group + QStringLiteral("/planes/%1/%2");
    change.setValue(group + QStringLiteral("/planes/size"), planes.count());
    for (int i = 0; i < planes.count(); i++) {
        // QSettings counts array elements from 1.
        change.setValue(plane.arg(i + 1).arg(QStringLiteral("latitude")), planes.at(i).latitude());
        change.setValue(plane.arg(i + 1).arg(QStringLiteral("longitude")), planes.at(i).longitude());
        change.setValue(plane.arg(i + 1).arg(QStringLiteral("declination")), planes.at(i).declination());
        change.setValue(plane.arg(i + 1).arg(QStringLiteral("azimuth")), planes.at(i).azimuth());
        change.setValue(plane.arg(i + 1).arg(QStringLiteral("kwp")), planes.at(i).kwp());
        if (!planes.at(i).horizon().isEmpty())
            change.setValue(plane.arg(i + 1).arg(QStringLiteral("horizon")), horizonText(planes.at(i).horizon()));
    }
    return change.commit(reason);
}

void SolarForecastManager::restore()
{
    EnergySettings settings;
    settings.beginGroup(group);
    SolarForecastConfiguration configuration;
    SolarPlanes planes;
    const int size = qMax(0, settings.beginReadArray(QStringLiteral("planes")));
    // The stored size is only a claim; a few more than allowed are looked at.
    for (int i = 0; i < qMin(size, SolarForecastConfiguration::maximumPlanes * 4); i++) {
        settings.setArrayIndex(i);
        bool ok[5] = {false, false, false, false, false};
        SolarPlane plane(settings.value(QStringLiteral("latitude")).toDouble(&ok[0]),
                         settings.value(QStringLiteral("longitude")).toDouble(&ok[1]),
                         settings.value(QStringLiteral("declination")).toDouble(&ok[2]),
                         settings.value(QStringLiteral("azimuth")).toDouble(&ok[3]),
                         settings.value(QStringLiteral("kwp")).toDouble(&ok[4]));
        QList<int> horizon;
        // Text with commas may come back as a list.
        const bool horizonOk =
                readHorizon(settings.value(QStringLiteral("horizon")).toStringList().join(QLatin1Char(',')), &horizon);
        plane.setHorizon(horizon);
        const QString error = plane.validationError();
        if (!(ok[0] && ok[1] && ok[2] && ok[3] && ok[4] && horizonOk) || !error.isEmpty()
            || planes.count() >= SolarForecastConfiguration::maximumPlanes) {
            qCWarning(dcTavroEnergy()) << "Leaving out the damaged solar forecast plane" << i << "of the settings:"
                                       << (error.isEmpty() ? QStringLiteral("unreadable or one too many") : error);
            continue;
        }
        planes.append(plane);
    }
    settings.endArray();
    configuration.setPlanes(planes);
    configuration.setApiKey(settings.value(QStringLiteral("apiKey")).toString());
    if (!configuration.validationError().isEmpty()) {
        qCWarning(dcTavroEnergy()) << "Leaving out the damaged solar forecast API key of the settings.";
        configuration.setApiKey(QString());
    }
    configuration.setEnabled(settings.value(QStringLiteral("enabled"), false).toBool() && !planes.isEmpty());
    settings.endGroup();
    m_configuration = configuration;
}
