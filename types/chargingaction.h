#ifndef CHARGINGACTION_H
#define CHARGINGACTION_H

#include <QDebug>
#include <QMetaType>

// One command for an AC charger: on/off, maximum current (A) and phase count,
// the planning step that produced it, and whether it is forced. "force" is
// not a property and never travels over the APIs; only the executor reads it.
class ChargingAction
{
    Q_GADGET
    Q_PROPERTY(bool chargingEnabled READ chargingEnabled WRITE setChargingEnabled)
    Q_PROPERTY(double maxChargingCurrent READ maxChargingCurrent WRITE setMaxChargingCurrent)
    Q_PROPERTY(uint desiredPhaseCount READ desiredPhaseCount WRITE setDesiredPhaseCount)
    Q_PROPERTY(ChargingActionIssuer issuer READ issuer WRITE setIssuer NOTIFY issuerChanged)

public:
    enum ChargingActionIssuer {
        ChargingActionIssuerUnknown = 0,
        ChargingActionIssuerSurplusCharging = 1,
        ChargingActionIssuerSpotMarketCharging = 2,
        ChargingActionIssuerTimeRequirement = 3,
        ChargingActionIssuerOverloadProtection = 4
    };
    Q_ENUM(ChargingActionIssuer)

    ChargingAction() = default;
    ChargingAction(bool chargingEnabled, double maxChargingCurrent, uint desiredPhaseCount, ChargingActionIssuer issuer,
                   bool force);

    bool chargingEnabled() const;
    void setChargingEnabled(bool chargingEnabled);

    double maxChargingCurrent() const; // A
    void setMaxChargingCurrent(double maxChargingCurrent);

    uint desiredPhaseCount() const;
    void setDesiredPhaseCount(uint desiredPhaseCount);

    ChargingActionIssuer issuer() const;
    void setIssuer(ChargingActionIssuer issuer);

    bool force() const;
    void setForce(bool force);

    // Text form for log lines ("Surplus", "Spot market", ...); the empty
    // string for a value outside the enum.
    static QString issuerToString(ChargingActionIssuer issuer);
    QString issuerString() const;

private:
    bool m_chargingEnabled = false;
    double m_maxChargingCurrent = 0.0;
    uint m_desiredPhaseCount = 3;
    ChargingActionIssuer m_issuer = ChargingActionIssuerUnknown;
    bool m_force = false;
};
Q_DECLARE_METATYPE(ChargingAction)

QDebug operator<<(QDebug debug, const ChargingAction &action);

#endif // CHARGINGACTION_H
