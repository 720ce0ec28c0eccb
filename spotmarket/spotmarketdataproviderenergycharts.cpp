#include "spotmarketdataproviderenergycharts.h"

#include "common/tavroenergylogging.h"
#include "spotmarket/energychartsreply.h"
#include "tavro/tavroclock.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>

namespace {

struct Zone {
    const char *code;
    const char *area;
    QLocale::Country country;
    const char *providerId; // stored in the settings as the selection: never change
};

const Zone zoneTable[] = {
        {"AT", "Austria", QLocale::Austria, "48cdb209-20e4-417e-b7ee-200797e3f351"},
        {"BE", "Belgium", QLocale::Belgium, "cc0efdbb-6130-4e32-b6e0-a8799763dac0"},
        {"CH", "Switzerland", QLocale::Switzerland, "a05a4a92-1c80-4052-bc91-9753d2760568"},
        {"CZ", "Czechia", QLocale::CzechRepublic, "5d7ea213-e6fc-45b1-aaca-1d3c465ca96b"},
        {"DE-LU", "Germany and Luxembourg", QLocale::Germany, "7e4fe995-f6a1-4184-8c32-98b9a6180a76"},
        {"DK1", "Denmark West", QLocale::Denmark, "9cb737b1-2e85-4af9-b6fb-fcc2dec1ec5c"},
        {"DK2", "Denmark East", QLocale::Denmark, "56092cc9-607d-445a-99e2-14b7096f23b0"},
        {"FR", "France", QLocale::France, "382852a5-7ab9-4ddb-9487-ac09d15ba950"},
        {"HU", "Hungary", QLocale::Hungary, "705fa941-f8b5-47de-969b-3e11662cf61f"},
        {"IT-NORTH", "Italy North", QLocale::Italy, "56cdb884-da46-4cf6-bc21-9da83203dedd"},
        {"NL", "Netherlands", QLocale::Netherlands, "a02f657e-e243-4ce6-9561-e6614b57dd7a"},
        {"NO2", "Norway South-West", QLocale::Norway, "1ef72f17-fedd-4bc1-ba3e-d6a7280b70db"},
        {"PL", "Poland", QLocale::Poland, "17ba63dd-e9d0-4928-92a7-e00d4f7a368e"},
        {"SE4", "Sweden South", QLocale::Sweden, "f9702356-8639-4933-bef7-1e025feff6cc"},
        {"SI", "Slovenia", QLocale::Slovenia, "f798cd64-c51c-40b3-913f-bd482030caf7"},
};

const Zone *findZone(const QString &code)
{
    for (const Zone &zone : zoneTable) {
        if (code == QLatin1String(zone.code))
            return &zone;
    }
    return nullptr;
}

// Until the first reply states its own.
const char defaultLicense[] = "Energy-Charts, Fraunhofer ISE: the license the service states with its data applies";

const qint64 notPublishedRetrySecs = 15 * 60;
const qint64 maximumBackoffSecs = 30 * 60;

// "Retry-After" in seconds or as an HTTP date; -1 when absent or unreadable.
qint64 retryAfterSecs(const QByteArray &header, const QDateTime &now)
{
    bool ok = false;
    const qint64 seconds = header.trimmed().toLongLong(&ok);
    if (ok)
        return seconds;
    const QDateTime date = QDateTime::fromString(QString::fromLatin1(header.trimmed()), Qt::RFC2822Date);
    return date.isValid() ? now.secsTo(date) : -1;
}

}

QStringList SpotMarketDataProviderEnergyCharts::zones()
{
    QStringList codes;
    for (const Zone &zone : zoneTable)
        codes.append(QString::fromLatin1(zone.code));
    return codes;
}

SpotMarketDataProviderEnergyCharts::SpotMarketDataProviderEnergyCharts(QNetworkAccessManager *networkManager,
                                                                       const QString &zone, QObject *parent)
    : SpotMarketDataProvider(networkManager, parent)
{
    m_info.zone = zone;
    m_info.website = QUrl(QStringLiteral("https://www.energy-charts.info"));
    if (const Zone *known = findZone(zone)) {
        m_providerId = QUuid(known->providerId);
        m_info.name = QStringLiteral("Energy-Charts %1 (%2)").arg(zone, QString::fromLatin1(known->area));
        m_info.country = known->country;
        m_info.license = QString::fromLatin1(defaultLicense);
    } else {
        m_info.name = QStringLiteral("Energy-Charts %1").arg(zone);
    }
    m_info.providerId = m_providerId;

    m_refreshTimer.setInterval(60000);
    m_refreshTimer.setSingleShot(false);
    connect(&m_refreshTimer, &QTimer::timeout, this, &SpotMarketDataProviderEnergyCharts::onRefreshTimout);
}

QUuid SpotMarketDataProviderEnergyCharts::providerId() const
{
    return m_providerId;
}

QString SpotMarketDataProviderEnergyCharts::zone() const
{
    return m_info.zone;
}

QUrl SpotMarketDataProviderEnergyCharts::priceUrl(const QDate &today) const
{
    if (m_providerId.isNull())
        return QUrl();

    QUrl url(qEnvironmentVariable("TAVRO_ENERGY_CHARTS_URL", QStringLiteral("https://api.energy-charts.info")));
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + QStringLiteral("/price"));
    // Dates only: the service refuses times (HTTP 400).
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("bzn"), m_info.zone);
    query.addQueryItem(QStringLiteral("start"), today.addDays(-1).toString(Qt::ISODate));
    query.addQueryItem(QStringLiteral("end"), today.addDays(2).toString(Qt::ISODate));
    url.setQuery(query);
    return url;
}

int SpotMarketDataProviderEnergyCharts::transferTimeout() const
{
    return m_transferTimeout;
}

void SpotMarketDataProviderEnergyCharts::setTransferTimeout(int transferTimeout)
{
    m_transferTimeout = transferTimeout;
}

QDateTime SpotMarketDataProviderEnergyCharts::nextAttempt() const
{
    return m_nextAttempt;
}

void SpotMarketDataProviderEnergyCharts::enable()
{
    m_refreshTimer.start();

    if (!m_enabled) {
        m_enabled = true;
        emit enabledChanged(m_enabled);
    }

    const QString license = loadCachedLicense();
    if (!license.isEmpty())
        setLicense(license);
    restoreCachedEntries();
    onRefreshTimout();
}

void SpotMarketDataProviderEnergyCharts::disable()
{
    m_refreshTimer.stop();

    if (m_enabled) {
        m_enabled = false;
        emit enabledChanged(m_enabled);
    }

    evaluateAvailable();
}

void SpotMarketDataProviderEnergyCharts::refreshData()
{
    const QDate today = TavroClock::currentDateTime().date();
    const QUrl url = priceUrl(today);
    qCDebug(dcTavroEnergy()) << this << "refresh data" << url.toString();
    if (!m_networkManager || url.isEmpty()) {
        qCWarning(dcTavroEnergy()) << this << "Failed to refresh data. There is no network access manager or zone.";
        return;
    }

    QNetworkRequest request(url);
    request.setTransferTimeout(m_transferTimeout);
    QNetworkReply *reply = m_networkManager->get(request);
    connect(reply, &QNetworkReply::finished, reply, &QNetworkReply::deleteLater);
    connect(reply, &QNetworkReply::finished, this, [this, reply, today]() {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        // An HTTP error status also sets a reply error; a 200 with an error
        // was cut off on the way.
        if (reply->error() != QNetworkReply::NoError && (!status.isValid() || status.toInt() == 200)) {
            qCWarning(dcTavroEnergy()) << this
                                       << "Failed to refresh data. Reply finished with error:" << reply->errorString();
            failed();
            return;
        }
        processReply(status.toInt(), reply->rawHeader("Retry-After"), reply->readAll(), today);
    });
}

void SpotMarketDataProviderEnergyCharts::processReply(int httpStatus, const QByteArray &retryAfter,
                                                      const QByteArray &payload, const QDate &today)
{
    const QDateTime now = TavroClock::currentDateTime();
    if (httpStatus == 404) {
        // Nothing published for the whole range (tomorrow's prices come in
        // the early afternoon): what is known stays.
        qCInfo(dcTavroEnergy()) << this << "No prices published yet for" << today.toString(Qt::ISODate)
                                << "- keeping the" << m_scoreEntries.availableFutureSchedules(now) << "known slots.";
        failed(notPublishedRetrySecs);
        return;
    }
    if (httpStatus == 429) {
        const qint64 wait = retryAfterSecs(retryAfter, now);
        qCWarning(dcTavroEnergy()) << this << "Failed to refresh data. HTTP returned status: 429 (rate limit)";
        failed(wait >= 0 ? qBound<qint64>(60, wait, 3600) : -1);
        return;
    }
    if (httpStatus != 200) {
        qCWarning(dcTavroEnergy()) << this << "Failed to refresh data. HTTP returned status:" << httpStatus
                                   << payload.left(200);
        failed();
        return;
    }

    // The dates asked for are days of the service's zone (Central European
    // time, one or two hours ahead of UTC): a slot before or after them is
    // of another range.
    const QDateTime earliest = QDateTime(today.addDays(-1), QTime(0, 0), Qt::UTC).addSecs(-3 * 3600);
    const QDateTime latest = QDateTime(today.addDays(3), QTime(0, 0), Qt::UTC);
    const EnergyChartsReply reply(payload, m_info.zone, earliest, latest);
    if (!reply.isValid()) {
        qCWarning(dcTavroEnergy()) << this << "Failed to refresh data." << reply.errorString() << payload.left(200);
        failed();
        return;
    }
    if (reply.unusablePrices() > 0)
        qCWarning(dcTavroEnergy()) << this << "Skipped" << reply.unusablePrices() << "slots without a usable price.";
    if (reply.nullPrices() > 0)
        qCDebug(dcTavroEnergy()) << this << reply.nullPrices() << "slots are not cleared yet.";
    if (reply.deprecated())
        qCWarning(dcTavroEnergy()) << this << "The service marks this request as deprecated.";

    const ScoreEntries entries = reply.entries();
    if (entries.availableFutureSchedules(now) == 0 && m_scoreEntries.availableFutureSchedules(now) > 0) {
        qCWarning(dcTavroEnergy()) << this << "Failed to refresh data. The reply holds no slot to come, keeping the"
                                   << m_scoreEntries.availableFutureSchedules(now) << "known ones.";
        failed();
        return;
    }

    m_lastRefresh = now;
    m_nextAttempt = QDateTime();
    m_backoffSecs = 60;
    if (!reply.license().isEmpty())
        setLicense(reply.license());
    m_scoreEntries = entries;
    cacheDataEntries(m_scoreEntries, m_info.license);
    evaluateAvailable();
    emit scoreEntriesChanged(m_scoreEntries);
}

void SpotMarketDataProviderEnergyCharts::failed(qint64 delaySecs)
{
    if (delaySecs < 0) {
        delaySecs = m_backoffSecs;
        m_backoffSecs = qMin(m_backoffSecs * 2, maximumBackoffSecs);
    }
    m_nextAttempt = TavroClock::currentDateTime().addSecs(delaySecs);
    evaluateAvailable();
}

void SpotMarketDataProviderEnergyCharts::onRefreshTimout()
{
    const QDateTime now = TavroClock::currentDateTime();
    const bool due = !m_lastRefresh.isValid() || m_lastRefresh < now.addSecs(-3600);
    if (due && (!m_nextAttempt.isValid() || m_nextAttempt <= now))
        refreshData();

    // Also when nothing is fetched: availability falls as slots expire.
    evaluateAvailable();
}
