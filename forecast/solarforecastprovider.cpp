#include "solarforecastprovider.h"
#include "forecastsolarreply.h"

#include "common/tavroenergylogging.h"
#include "tavro/tavroclock.h"
#include "tavro/tavrosettings.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QUrlQuery>

#include <cmath>

namespace {

const int firstBackOff = 300;    // s
const int longestBackOff = 3600; // s
const int cacheVersion = 1;
// The service forecasts a week ahead at most; later periods are no forecast.
const int horizonDays = 8;
// A period between a day's first and last timestamp: 25 h on a long day.
const double longestPeriodHours = 25;

// "48.2", "-90", "16.3725": a path element without exponent or trailing zeros.
QString pathNumber(double value)
{
    QString text = QString::number(value, 'f', 4);
    while (text.contains(QLatin1Char('.')) && (text.endsWith(QLatin1Char('0')) || text.endsWith(QLatin1Char('.'))))
        text.chop(1);
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

QDateTime startOfToday(const QDateTime &now)
{
    return QDateTime(now.date(), QTime(0, 0));
}

}

SolarForecastProvider::SolarForecastProvider(QNetworkAccessManager *networkManager, QObject *parent)
    : QObject(parent),
      m_networkManager(networkManager)
{
    m_timer.setInterval(60000);
    connect(&m_timer, &QTimer::timeout, this, &SolarForecastProvider::tick);
}

QString SolarForecastProvider::planeKey(const SolarPlane &plane)
{
    QString key = QStringLiteral("/%1/%2/%3/%4/%5")
                          .arg(pathNumber(plane.latitude()), pathNumber(plane.longitude()),
                               pathNumber(plane.declination()), pathNumber(plane.azimuth()), pathNumber(plane.kwp()));
    if (!plane.horizon().isEmpty()) {
        QStringList elevations;
        for (int elevation : plane.horizon())
            elevations.append(QString::number(elevation));
        key += QStringLiteral("?horizon=") + elevations.join(QLatin1Char(','));
    }
    return key;
}

QUrl SolarForecastProvider::estimateUrl(const SolarPlane &plane, bool withKey) const
{
    QUrl url(qEnvironmentVariable("TAVRO_FORECAST_SOLAR_URL", QStringLiteral("https://api.forecast.solar")));
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    if (!m_configuration.apiKey().isEmpty())
        path += QLatin1Char('/') + (withKey ? m_configuration.apiKey() : QStringLiteral("…"));
    const QString key = planeKey(plane);
    url.setPath(path + QStringLiteral("/estimate") + key.section(QLatin1Char('?'), 0, 0));
    if (key.contains(QLatin1Char('?')))
        url.setQuery(key.section(QLatin1Char('?'), 1));
    return url;
}

QDateTime SolarForecastProvider::updated() const
{
    QDateTime oldest;
    for (const PlaneForecast &plane : m_planes) {
        if (!plane.fetched.isValid())
            return QDateTime();
        if (!oldest.isValid() || plane.fetched < oldest)
            oldest = plane.fetched;
    }
    return oldest;
}

void SolarForecastProvider::setTransferTimeout(int transferTimeout)
{
    m_transferTimeout = transferTimeout;
}

void SolarForecastProvider::setSelfTimed(bool selfTimed)
{
    if (m_selfTimed == selfTimed)
        return;
    m_selfTimed = selfTimed;
    if (m_selfTimed && enabled())
        m_timer.start();
    else
        m_timer.stop();
}

void SolarForecastProvider::setConfiguration(const SolarForecastConfiguration &configuration)
{
    const bool keyChanged = configuration.apiKey() != m_configuration.apiKey();
    const bool planesChanged = configuration.planes() != m_configuration.planes();
    m_configuration = configuration;

    QVector<PlaneForecast> planes;
    for (const SolarPlane &plane : configuration.planes()) {
        PlaneForecast forecast;
        forecast.plane = plane;
        forecast.key = planeKey(plane);
        for (const PlaneForecast &known : qAsConst(m_planes)) {
            if (known.key == forecast.key) {
                forecast.periods = known.periods;
                forecast.fetched = known.fetched;
            }
        }
        planes.append(forecast);
    }
    m_planes = planes;
    restoreFromCache();

    // A request for a plane that went, or for a disabled forecast, is of no use.
    if (m_reply) {
        const QString key = m_reply->property("planeKey").toString();
        bool wanted = enabled();
        bool found = false;
        for (const PlaneForecast &plane : qAsConst(m_planes))
            found = found || plane.key == key;
        if (!wanted || !found || keyChanged) {
            QNetworkReply *reply = m_reply;
            m_reply = nullptr;
            reply->abort();
        }
    }
    if (keyChanged || (planesChanged && !m_rateLimited)) {
        m_notBefore = QDateTime();
        m_rateLimited = false;
        m_failures = 0;
    }

    combine();
    if (enabled()) {
        if (m_selfTimed)
            m_timer.start();
        tick();
    } else {
        m_timer.stop();
        evaluateAvailable();
    }
}

void SolarForecastProvider::tick()
{
    if (!enabled() || m_reply) {
        evaluateAvailable();
        return;
    }
    const QDateTime now = TavroClock::currentDateTime();
    if (!m_notBefore.isValid() || now >= m_notBefore) {
        for (int i = 0; i < m_planes.count(); i++) {
            const QDateTime fetched = m_planes.at(i).fetched;
            // A clock set back makes an answer from the "future" due too.
            const qint64 age = fetched.isValid() ? fetched.secsTo(now) : -1;
            if (age < 0 || age >= refreshInterval) {
                request(i);
                break;
            }
        }
    }
    evaluateAvailable();
}

void SolarForecastProvider::request(int index)
{
    const PlaneForecast &plane = m_planes.at(index);
    qCDebug(dcTavroEnergy()) << "Solar forecast: asking for" << plane.plane
                             << estimateUrl(plane.plane, false).toDisplayString();
    if (!m_networkManager) {
        qCWarning(dcTavroEnergy()) << "Failed to refresh the solar forecast: there is no network access manager.";
        return;
    }
    QNetworkRequest request(estimateUrl(plane.plane));
    request.setTransferTimeout(m_transferTimeout);
    request.setRawHeader("Accept", "application/json");
    QNetworkReply *reply = m_networkManager->get(request);
    reply->setProperty("planeKey", plane.key);
    m_reply = reply;
    const QString key = plane.key;
    connect(reply, &QNetworkReply::finished, reply, &QNetworkReply::deleteLater);
    connect(reply, &QNetworkReply::finished, this, [this, reply, key]() { onReplyFinished(reply, key); });
}

void SolarForecastProvider::onReplyFinished(QNetworkReply *reply, const QString &key)
{
    // A request dropped on a configuration change ends here too.
    if (reply != m_reply)
        return;
    m_reply = nullptr;
    int index = -1;
    for (int i = 0; i < m_planes.count(); i++) {
        if (m_planes.at(i).key == key)
            index = i;
    }
    if (index < 0)
        return;

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // A reply given up on (timeout, abort) has no body to read.
    const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    if (status.toInt() == 429) {
        int seconds = -1;
        bool ok = false;
        const int retryAfter = reply->rawHeader("Retry-After").trimmed().toInt(&ok);
        if (ok && retryAfter > 0)
            seconds = retryAfter;
        else
            seconds = ForecastSolarReply::parse(body, m_planes.at(index).plane.kwp()).rateLimit().period;
        waitForRateLimit(seconds, QStringLiteral("HTTP 429"));
        evaluateAvailable();
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        // An HTTP error status sets a reply error too: report the status then.
        if (status.isValid() && status.toInt() != 200)
            fail(index, QStringLiteral("HTTP returned status %1.").arg(status.toInt()));
        else
            fail(index, QStringLiteral("Reply finished with error: %1").arg(reply->errorString()));
        return;
    }
    if (status.toInt() != 200) {
        fail(index, QStringLiteral("HTTP returned status %1.").arg(status.toInt()));
        return;
    }
    const ForecastSolarReply parsed = ForecastSolarReply::parse(body, m_planes.at(index).plane.kwp());
    if (!parsed.isValid()) {
        fail(index, QStringLiteral("The reply was refused: %1").arg(parsed.errorString()));
        return;
    }
    accept(index, parsed);
    // The next plane that is due, if any, right away.
    tick();
}

void SolarForecastProvider::accept(int index, const ForecastSolarReply &reply)
{
    const QDateTime now = TavroClock::currentDateTime();
    PlaneForecast &plane = m_planes[index];
    plane.periods.clear();
    for (const SolarForecastSlot &period : reply.periods()) {
        if (period.endDateTime() > startOfToday(now) && period.startDateTime() < now.addDays(horizonDays))
            plane.periods.append(period);
    }
    plane.fetched = now;
    m_failures = 0;
    m_notBefore = QDateTime();
    m_rateLimited = false;
    qCDebug(dcTavroEnergy()) << "Solar forecast: plane" << index << "has" << plane.periods.count() << "periods,"
                             << plane.periods.energyBetween(startOfToday(now), startOfToday(now).addDays(1))
                             << "Wh today; calls left:" << reply.rateLimit().remaining;
    if (reply.rateLimit().remaining == 0)
        waitForRateLimit(reply.rateLimit().period, QStringLiteral("no call left"));
    writeCache();
    combine();
}

void SolarForecastProvider::fail(int index, const QString &reason)
{
    m_failures++;
    const int seconds = qMin(longestBackOff, firstBackOff << qMin(m_failures - 1, 8));
    m_notBefore = TavroClock::currentDateTime().addSecs(seconds);
    m_rateLimited = false;
    qCWarning(dcTavroEnergy()).noquote() << "Failed to refresh the solar forecast of plane" << index << "-" << reason
                                         << "Keeping the last forecast; next try at"
                                         << m_notBefore.toString(QStringLiteral("hh:mm"));
    evaluateAvailable();
}

void SolarForecastProvider::waitForRateLimit(int seconds, const QString &reason)
{
    if (seconds <= 0)
        seconds = refreshInterval;
    seconds = qMin(seconds, staleAfter);
    m_notBefore = TavroClock::currentDateTime().addSecs(seconds);
    m_rateLimited = true;
    qCWarning(dcTavroEnergy()).noquote() << "Solar forecast: the service's rate limit is reached (" + reason
                                                    + "). Next call at"
                                         << m_notBefore.toString(QStringLiteral("hh:mm"));
}

void SolarForecastProvider::combine()
{
    QList<SolarForecastSlots> lists;
    bool complete = !m_planes.isEmpty();
    for (const PlaneForecast &plane : qAsConst(m_planes)) {
        complete = complete && plane.fetched.isValid();
        lists.append(plane.periods);
    }
    const SolarForecastSlots forecast = complete ? SolarForecastSlots::onGrid(lists) : SolarForecastSlots();
    // Both announced once the state is whole: available before the new slots.
    const bool changed = forecast != m_forecast;
    m_forecast = forecast;
    evaluateAvailable();
    if (changed)
        emit forecastChanged(m_forecast);
}

void SolarForecastProvider::evaluateAvailable()
{
    const QDateTime now = TavroClock::currentDateTime();
    const QDateTime oldest = updated();
    const bool available = enabled() && oldest.isValid() && oldest.secsTo(now) <= staleAfter
                           && m_forecast.lastEnd().isValid() && m_forecast.lastEnd() > now;
    if (available == m_available)
        return;
    m_available = available;
    qCDebug(dcTavroEnergy()) << "Solar forecast" << (available ? "is available until" : "is not available any more.")
                             << (available ? m_forecast.lastEnd().toString(QStringLiteral("dd.MM.yyyy hh:mm"))
                                           : QString());
    emit availableChanged(m_available);
}

QString SolarForecastProvider::cacheFileName() const
{
    return TavroSettings::cachePath() + QStringLiteral("/tavro-energy-solarforecast.cache");
}

void SolarForecastProvider::writeCache() const
{
    QJsonArray planes;
    for (const PlaneForecast &plane : m_planes) {
        if (!plane.fetched.isValid())
            continue;
        QJsonArray periods;
        for (const SolarForecastSlot &period : plane.periods)
            periods.append(QJsonArray{period.startDateTime().toSecsSinceEpoch(),
                                      period.endDateTime().toSecsSinceEpoch(), period.energy()});
        planes.append(QJsonObject{{QStringLiteral("key"), plane.key},
                                  {QStringLiteral("fetched"), plane.fetched.toSecsSinceEpoch()},
                                  {QStringLiteral("periods"), periods}});
    }
    const QByteArray content =
            QJsonDocument(QJsonObject{{QStringLiteral("version"), cacheVersion}, {QStringLiteral("planes"), planes}})
                    .toJson(QJsonDocument::Compact);
    // Best effort, but never a torn file: the old one or the new one.
    QSaveFile file(cacheFileName());
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit())
        qCWarning(dcTavroEnergy()) << "Cannot write the solar forecast cache" << cacheFileName() << file.errorString();
}

void SolarForecastProvider::restoreFromCache()
{
    bool missing = false;
    for (const PlaneForecast &plane : qAsConst(m_planes))
        missing = missing || !plane.fetched.isValid();
    QFile file(cacheFileName());
    if (!missing || !file.open(QIODevice::ReadOnly))
        return;
    // A week of quarter hours per plane is far more than a reply holds.
    const QJsonDocument document = QJsonDocument::fromJson(file.read(4 * 1024 * 1024));
    const QJsonArray planes = document.object().value(QStringLiteral("planes")).toArray();
    if (document.object().value(QStringLiteral("version")).toInt() != cacheVersion)
        return;
    const QDateTime now = TavroClock::currentDateTime();
    int refused = 0;
    for (PlaneForecast &plane : m_planes) {
        for (const QJsonValue &value : planes) {
            const QJsonObject cached = value.toObject();
            if (plane.fetched.isValid() || cached.value(QStringLiteral("key")).toString() != plane.key)
                continue;
            const double fetchedSeconds = cached.value(QStringLiteral("fetched")).toDouble(-1);
            const QJsonArray periods = cached.value(QStringLiteral("periods")).toArray();
            const QDateTime fetched = fetchedSeconds >= 0 && fetchedSeconds < 1e11
                                              ? QDateTime::fromSecsSinceEpoch(static_cast<qint64>(fetchedSeconds))
                                              : QDateTime();
            // An answer from the future is no answer; nor is a list longer
            // than any reply.
            bool sound = fetched.isValid() && fetched <= now.addSecs(60)
                         && periods.count() <= 2 * ForecastSolarReply::maximumEntries;
            SolarForecastSlots restored;
            double previousEnd = 0;
            for (int i = 0; sound && i < periods.count(); i++) {
                const QJsonArray period = periods.at(i).toArray();
                const double start = period.at(0).toDouble(-1);
                const double end = period.at(1).toDouble(-1);
                const double energy = period.at(2).toDouble(-1);
                const double hours = (end - start) / 3600.0;
                // In time order, without overlap, and what the plane can give.
                sound = period.count() == 3 && start >= previousEnd && end < 1e11 && end > start
                        && hours <= longestPeriodHours && energy >= 0
                        && energy <= plane.plane.kwp() * ForecastSolarReply::maximumWattsPerKwp * hours + 1;
                previousEnd = end;
                const QDateTime endDateTime = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(end));
                if (sound && endDateTime > startOfToday(now)
                    && QDateTime::fromSecsSinceEpoch(static_cast<qint64>(start)) < now.addDays(horizonDays))
                    restored.append(SolarForecastSlot(QDateTime::fromSecsSinceEpoch(static_cast<qint64>(start)),
                                                      endDateTime, energy));
            }
            if (!sound) {
                refused++;
                continue;
            }
            plane.periods = restored;
            plane.fetched = fetched;
        }
    }
    if (refused > 0)
        qCWarning(dcTavroEnergy()) << "The solar forecast cache" << cacheFileName() << "holds" << refused
                                   << "damaged plane forecasts; they are asked for again.";
}
