#ifndef SOLARFORECASTCONFIGURATION_H
#define SOLARFORECASTCONFIGURATION_H

#include <QMetaType>
#include <QString>

#include "types/solarplanes.h"

// The owner's solar forecast setting: whether the forecast is fetched, for
// which planes, and the key of a paid plan of the service (optional; empty:
// the public plan). The key is a secret: it travels into the settings, never
// out of the API (see the JSON-RPC handler). Setters store values unchanged;
// validationError() decides what may be stored.
class SolarForecastConfiguration
{
    Q_GADGET
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled)
    Q_PROPERTY(SolarPlanes planes READ planes WRITE setPlanes)
    Q_PROPERTY(QString apiKey READ apiKey WRITE setApiKey USER true)

public:
    // One request per plane and refresh: the public plan allows 12 an hour.
    static constexpr int maximumPlanes = 4;
    // Characters of an API key: it becomes part of the request path.
    static constexpr int maximumApiKeyLength = 64;

    bool enabled() const { return m_enabled; }
    void setEnabled(bool enabled) { m_enabled = enabled; }
    SolarPlanes planes() const { return m_planes; }
    void setPlanes(const SolarPlanes &planes) { m_planes = planes; }
    QString apiKey() const { return m_apiKey; }
    void setApiKey(const QString &apiKey) { m_apiKey = apiKey; }

    // Empty when it may be stored: at most maximumPlanes valid planes, at
    // least one when enabled, a key of letters, digits, '-' and '_' only.
    QString validationError() const;

    bool operator==(const SolarForecastConfiguration &other) const;
    bool operator!=(const SolarForecastConfiguration &other) const { return !operator==(other); }

private:
    bool m_enabled = false;
    SolarPlanes m_planes;
    QString m_apiKey;
};
Q_DECLARE_METATYPE(SolarForecastConfiguration)

#endif // SOLARFORECASTCONFIGURATION_H
