#include "apiexpectations.h"

#include <QUuid>
#include <QVariantList>

void ApiExpectations::setMode(const QString &chargerId, const QString &mode, qint64 endDateTime)
{
    m_modes.insert(chargerId, {mode, endDateTime});
}

QStringList ApiExpectations::check(const QString &method, const QVariantMap &result, int chargerCount, qint64 now)
{
    QStringList problems;
    // What a getter answers must be what was set before, refused calls included.
    if (method == QLatin1String("TavroEnergy.GetAcquisitionTolerance")
        && !qFuzzyCompare(1.0 + result.value(QStringLiteral("acquisitionTolerance")).toDouble(), 1.0 + m_tolerance)) {
        problems << QStringLiteral("acquisition tolerance %1, %2 set")
                            .arg(result.value(QStringLiteral("acquisitionTolerance")).toDouble())
                            .arg(m_tolerance);
    }
    if (method != QLatin1String("TavroEnergy.GetChargingConfigurations"))
        return problems;
    const QVariantList configurations = result.value(QStringLiteral("chargingConfigurations")).toList();
    if (configurations.count() != chargerCount)
        problems << QStringLiteral("%1 charging configurations for %2 chargers")
                            .arg(configurations.count())
                            .arg(chargerCount);
    for (const QVariant &value : configurations) {
        const QVariantMap configuration = value.toMap();
        const QString id = QUuid(configuration.value(QStringLiteral("evChargerId")).toString()).toString();
        const QString mode = configuration.value(QStringLiteral("chargingMode")).toString();
        const auto expected = m_modes.find(id);
        if (expected == m_modes.end())
            continue;
        if (expected->mode == QLatin1String("ChargingModeEcoWithTargetTime") && mode == QLatin1String("ChargingModeEco")
            && now >= expected->endDateTime)
            expected->mode = mode;
        if (expected->mode != mode)
            problems << QStringLiteral("charger %1 in %2, %3 set").arg(id, mode, expected->mode);
    }
    return problems;
}

QString ApiExpectations::checkPhaseLimit(double limit, const QString &method)
{
    if (limit == m_limit)
        return QString();
    const QString problem = QStringLiteral("phase limit %1 A after %2, %3 A set").arg(limit).arg(method).arg(m_limit);
    m_limit = static_cast<uint>(limit);
    return problem;
}
