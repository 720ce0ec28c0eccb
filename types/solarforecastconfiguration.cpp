#include "solarforecastconfiguration.h"

#include <QRegularExpression>

QString SolarForecastConfiguration::validationError() const
{
    if (m_planes.count() > maximumPlanes)
        return QStringLiteral("at most %1 planes").arg(maximumPlanes);
    if (m_enabled && m_planes.isEmpty())
        return QStringLiteral("an enabled forecast needs a plane");
    for (int i = 0; i < m_planes.count(); i++) {
        const QString error = m_planes.at(i).validationError();
        if (!error.isEmpty())
            return QStringLiteral("plane %1: %2").arg(i).arg(error);
    }
    static const QRegularExpression keyPattern(QStringLiteral("^[A-Za-z0-9_-]{0,%1}$").arg(maximumApiKeyLength));
    if (!keyPattern.match(m_apiKey).hasMatch())
        return QStringLiteral("the API key may hold up to %1 letters, digits, '-' and '_'").arg(maximumApiKeyLength);
    return QString();
}

bool SolarForecastConfiguration::operator==(const SolarForecastConfiguration &other) const
{
    return m_enabled == other.m_enabled && m_planes == other.m_planes && m_apiKey == other.m_apiKey;
}
