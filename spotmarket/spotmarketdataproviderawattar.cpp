#include "spotmarketdataproviderawattar.h"

#include "common/tavroenergylogging.h"
#include "tavro/tavroclock.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <cmath>

namespace {
const QUuid austriaProviderId("5196b3cc-b2ee-46d6-b63a-7af2cf70ba67");
const QUuid germanyProviderId("0ca6ad88-e243-438d-a0f8-986cecf61834");
}

SpotMarketDataProviderAwattar::SpotMarketDataProviderAwattar(QNetworkAccessManager *networkManager,
                                                             AwattarCountry country, QObject *parent)
    : SpotMarketDataProvider(networkManager, parent)
{
    switch (country) {
    case AwattarCountryAustria:
        m_country = QLocale::Austria;
        m_info.name = "aWATTar AT";
        m_info.zone = "AT";
        m_info.website = QUrl("https://www.awattar.at");
        break;
    case AwattarCountryGermany:
        m_country = QLocale::Germany;
        m_info.name = "aWATTar DE";
        m_info.zone = "DE-LU";
        m_info.website = QUrl("https://www.awattar.de");
        break;
    }

    m_info.providerId = providerId();
    m_info.country = m_country;

    m_refreshTimer.setInterval(60000);
    m_refreshTimer.setSingleShot(false);
    connect(&m_refreshTimer, &QTimer::timeout, this, &SpotMarketDataProviderAwattar::onRefreshTimout);

    evaluateAvailable();
}

QUuid SpotMarketDataProviderAwattar::providerId() const
{
    switch (m_country) {
    case QLocale::Austria:
        return austriaProviderId;
    case QLocale::Germany:
        return germanyProviderId;
    default:
        return QUuid();
    }
}

QLocale::Country SpotMarketDataProviderAwattar::country() const
{
    return m_country;
}

QUrl SpotMarketDataProviderAwattar::marketDataUrl() const
{
    QString baseUrl;
    switch (m_country) {
    case QLocale::Austria:
        baseUrl = qEnvironmentVariable("TAVRO_AWATTAR_AT_URL", "https://api.awattar.at");
        break;
    case QLocale::Germany:
        baseUrl = qEnvironmentVariable("TAVRO_AWATTAR_DE_URL", "https://api.awattar.de");
        break;
    default:
        return QUrl();
    }

    QUrl url(baseUrl);
    QString path = url.path();
    while (path.endsWith('/'))
        path.chop(1);

    url.setPath(path + "/v1/marketdata");
    return url;
}

int SpotMarketDataProviderAwattar::transferTimeout() const
{
    return m_transferTimeout;
}

void SpotMarketDataProviderAwattar::setTransferTimeout(int transferTimeout)
{
    m_transferTimeout = transferTimeout;
}

void SpotMarketDataProviderAwattar::enable()
{
    m_refreshTimer.start();

    if (!m_enabled) {
        m_enabled = true;
        emit enabledChanged(m_enabled);
    }

    restoreCachedEntries();
    onRefreshTimout();
}

void SpotMarketDataProviderAwattar::disable()
{
    m_refreshTimer.stop();

    if (m_enabled) {
        m_enabled = false;
        emit enabledChanged(m_enabled);
    }

    evaluateAvailable();
}

void SpotMarketDataProviderAwattar::refreshData()
{
    const QUrl url = marketDataUrl();
    qCDebug(dcTavroEnergy()) << this << "refresh data" << url.toString();
    if (!m_networkManager) {
        qCWarning(dcTavroEnergy()) << this << "Failed to refresh data. There is no network access manager.";
        return;
    }

    QNetworkRequest request(url);
    request.setTransferTimeout(m_transferTimeout);
    QNetworkReply *reply = m_networkManager->get(request);
    connect(reply, &QNetworkReply::finished, reply, &QNetworkReply::deleteLater);
    connect(reply, &QNetworkReply::finished, this, [this, reply]() {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (reply->error() != QNetworkReply::NoError) {
            // An HTTP error status also sets a reply error; report the status
            // then, and the transport error (timeout, refused, ...) otherwise.
            if (status.isValid() && status.toInt() != 200) {
                qCWarning(dcTavroEnergy()) << this << "Failed to refresh data. HTTP returned status:" << status.toInt();
            } else {
                qCWarning(dcTavroEnergy())
                        << this << "Failed to refresh data. Reply finished with error:" << reply->errorString();
            }
            evaluateAvailable();
            return;
        }

        processReply(status.toInt(), reply->readAll());
    });
}

namespace {

// EUR/MWh; day-ahead prices stay within a few thousand either way.
const double maximumPrice = 1e6;

// The usable slots of the reply's "data" array; *skipped counts the others.
// Elements without usable numbers are skipped: they would land at the epoch
// with price 0 and distort every weighting done over the whole list.
ScoreEntries readSlots(const QJsonArray &dataArray, int *skipped)
{
    // Milliseconds since the epoch; beyond about 285 000 years the cast to
    // qint64 would be undefined.
    auto usableTime = [](const QJsonValue &time) {
        return time.isDouble() && std::isfinite(time.toDouble()) && std::abs(time.toDouble()) <= 9e15;
    };
    // A price beyond any market's range (EUR/MWh) is garbage too, and one
    // near the limits of a double would turn every weighting into NaN.
    auto usablePrice = [](const QJsonValue &candidate) {
        return candidate.isDouble() && std::isfinite(candidate.toDouble())
               && std::abs(candidate.toDouble()) <= maximumPrice;
    };
    ScoreEntries entries;
    for (const QJsonValue &value : dataArray) {
        const QJsonObject dataMap = value.toObject();
        const QJsonValue start = dataMap.value("start_timestamp");
        const QJsonValue end = dataMap.value("end_timestamp");
        const QJsonValue price = dataMap.value("marketprice");
        if (!usableTime(start) || !usableTime(end) || !usablePrice(price)) {
            (*skipped)++;
            continue;
        }
        ScoreEntry entry;
        entry.setStartDateTime(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(start.toDouble())));
        entry.setEndDateTime(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(end.toDouble())));
        entry.setValue(price.toDouble());
        entries.append(entry);
    }
    return entries;
}
}

void SpotMarketDataProviderAwattar::processReply(int httpStatus, const QByteArray &payload)
{
    if (httpStatus != 200) {
        qCWarning(dcTavroEnergy()) << this << "Failed to refresh data. HTTP returned status:" << httpStatus;
        evaluateAvailable();
        return;
    }

    QJsonParseError error;
    const QJsonDocument jsonDoc = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError) {
        qCWarning(dcTavroEnergy()) << this << "Failed to refresh data. The payload contains invalid JSON data:"
                                   << error.errorString();
        evaluateAvailable();
        return;
    }

    // An error object or any other JSON without the slot array is a failed
    // refresh: keep the slots and the cache we have.
    if (!jsonDoc.isObject() || !jsonDoc.object().value("data").isArray()) {
        qCWarning(dcTavroEnergy()) << this << "Failed to refresh data. The payload contains no data array:"
                                   << payload.left(200);
        evaluateAvailable();
        return;
    }

    int skipped = 0;
    const ScoreEntries entries = readSlots(jsonDoc.object().value("data").toArray(), &skipped);
    if (skipped > 0)
        qCWarning(dcTavroEnergy()) << this << "Skipped" << skipped << "slots without start, end or market price.";

    // A reply without a single usable slot is no news: the prices and the
    // cache stay, and the next tick tries again instead of waiting an hour.
    if (entries.isEmpty()) {
        qCWarning(dcTavroEnergy()) << this << "Failed to refresh data. The payload holds no usable price slot:"
                                   << payload.left(200);
        evaluateAvailable();
        return;
    }
    m_lastRefresh = TavroClock::currentDateTime();

    m_scoreEntries = entries;
    cacheDataEntries(m_scoreEntries);
    evaluateAvailable();
    emit scoreEntriesChanged(m_scoreEntries);
}

void SpotMarketDataProviderAwattar::onRefreshTimout()
{
    const QDateTime now = TavroClock::currentDateTime();
    if (!m_lastRefresh.isValid() || m_lastRefresh < now.addSecs(-3600))
        refreshData();

    // Also when nothing is fetched: availability falls as slots expire.
    evaluateAvailable();
}
