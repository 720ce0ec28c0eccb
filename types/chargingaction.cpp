#include "chargingaction.h"

ChargingAction::ChargingAction(bool chargingEnabled, double maxChargingCurrent, uint desiredPhaseCount,
                               ChargingActionIssuer issuer, bool force)
    : m_chargingEnabled(chargingEnabled),
      m_maxChargingCurrent(maxChargingCurrent),
      m_desiredPhaseCount(desiredPhaseCount),
      m_issuer(issuer),
      m_force(force)
{
}

bool ChargingAction::chargingEnabled() const
{
    return m_chargingEnabled;
}

void ChargingAction::setChargingEnabled(bool chargingEnabled)
{
    m_chargingEnabled = chargingEnabled;
}

double ChargingAction::maxChargingCurrent() const
{
    return m_maxChargingCurrent;
}

void ChargingAction::setMaxChargingCurrent(double maxChargingCurrent)
{
    m_maxChargingCurrent = maxChargingCurrent;
}

uint ChargingAction::desiredPhaseCount() const
{
    return m_desiredPhaseCount;
}

void ChargingAction::setDesiredPhaseCount(uint desiredPhaseCount)
{
    m_desiredPhaseCount = desiredPhaseCount;
}

ChargingAction::ChargingActionIssuer ChargingAction::issuer() const
{
    return m_issuer;
}

void ChargingAction::setIssuer(ChargingActionIssuer issuer)
{
    m_issuer = issuer;
}

bool ChargingAction::force() const
{
    return m_force;
}

void ChargingAction::setForce(bool force)
{
    m_force = force;
}

QString ChargingAction::issuerToString(ChargingActionIssuer issuer)
{
    switch (issuer) {
    case ChargingActionIssuerUnknown:
        return QStringLiteral("Unknown");
    case ChargingActionIssuerSurplusCharging:
        return QStringLiteral("Surplus");
    case ChargingActionIssuerSpotMarketCharging:
        return QStringLiteral("Spot market");
    case ChargingActionIssuerTimeRequirement:
        return QStringLiteral("Time requirement");
    case ChargingActionIssuerOverloadProtection:
        return QStringLiteral("Overload protection");
    }
    return QString();
}

QString ChargingAction::issuerString() const
{
    return issuerToString(m_issuer);
}

QDebug operator<<(QDebug debug, const ChargingAction &action)
{
    QDebugStateSaver saver(debug);
    debug.nospace().noquote() << "ChargingAction(" << (action.chargingEnabled() ? "ON" : "OFF") << ", "
                              << action.maxChargingCurrent() << "A"
                              << ", " << action.desiredPhaseCount() << " phases"
                              << ", Issuer: " << action.issuerString() << (action.force() ? ", forced" : "") << ")";
    return debug;
}
