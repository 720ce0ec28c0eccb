#include "solarforecastmanager.h"
#include "solarforecastprovider.h"

#include "common/tavroenergylogging.h"
#include "config/energysettings.h"
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

QString SolarForecastManager::setConfiguration(const SolarForecastConfiguration &configuration)
{
    const QString error = configuration.validationError();
    if (!error.isEmpty())
        return error;
    if (configuration == m_configuration)
        return QString();
    m_configuration = configuration;
    store();
    qCInfo(dcTavroEnergy()) << "Solar forecast" << (configuration.enabled() ? "enabled" : "disabled") << "with"
                            << configuration.planes().count() << "planes, together" << configuration.planes().totalKwp()
                            << "kWp";
    // Announced before what it does to the forecast.
    emit configurationChanged(m_configuration);
    m_provider->setConfiguration(m_configuration);
    publish();
    return QString();
}

void SolarForecastManager::publish()
{
    const SolarForecastSlots published = m_provider->available() ? m_provider->forecast() : SolarForecastSlots();
    if (published == m_published)
        return;
    m_published = published;
    emit forecastChanged(m_published);
}

void SolarForecastManager::store() const
{
    EnergySettings settings;
    settings.remove(group);
    settings.beginGroup(group);
    settings.setValue(QStringLiteral("enabled"), m_configuration.enabled());
    settings.setValue(QStringLiteral("apiKey"), m_configuration.apiKey());
    const SolarPlanes planes = m_configuration.planes();
    settings.beginWriteArray(QStringLiteral("planes"), planes.count());
    for (int i = 0; i < planes.count(); i++) {
        const SolarPlane &plane = planes.at(i);
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("latitude"), plane.latitude());
        settings.setValue(QStringLiteral("longitude"), plane.longitude());
        settings.setValue(QStringLiteral("declination"), plane.declination());
        settings.setValue(QStringLiteral("azimuth"), plane.azimuth());
        settings.setValue(QStringLiteral("kwp"), plane.kwp());
        settings.setValue(QStringLiteral("horizon"), horizonText(plane.horizon()));
    }
    settings.endArray();
    settings.endGroup();
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
        const bool horizonOk = readHorizon(settings.value(QStringLiteral("horizon")).toString(), &horizon);
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
