#ifndef CHARGINGSTATE_H
#define CHARGINGSTATE_H

#include <QDebug>
#include <QList>
#include <QMetaType>
#include <QUuid>
#include <QVariant>

#include "tavro/typeutils.h"

// The runtime status of one EV charger as the manager sees it. Every
// field is a property; setters store values unchanged.
class ChargingState
{
    Q_GADGET
    Q_PROPERTY(QUuid evChargerId READ evChargerId WRITE setEvChargerId)
    Q_PROPERTY(Mode mode READ mode WRITE setMode USER true)
    Q_PROPERTY(bool overloadProtectionActive READ overloadProtectionActive WRITE setOverloadProtectionActive USER true)
    Q_PROPERTY(double overloadProtectionThrottle READ overloadProtectionThrottle WRITE setOverloadProtectionThrottle
                       USER true)
    Q_PROPERTY(int targetTimeOvershot READ targetTimeOvershot WRITE setTargetTimeOvershot)
    Q_PROPERTY(bool targetPercentageReached READ targetPercentageReached WRITE setTargetPercentageReached USER true)
    Q_PROPERTY(int powerLockSeconds READ powerLockSeconds WRITE setPowerLockSeconds USER true)
    Q_PROPERTY(int powerLockDuration READ powerLockDuration WRITE setPowerLockDuration)
    Q_PROPERTY(bool batteryLevelConsiderationActive READ batteryLevelConsiderationActive WRITE
                       setBatteryLevelConsiderationActive)
    Q_PROPERTY(WaitingReason waitingReason READ waitingReason WRITE setWaitingReason USER true)
    Q_PROPERTY(double surplusCoverage READ surplusCoverage WRITE setSurplusCoverage USER true)

public:
    enum Mode {
        ModeIdle = 0,
        ModeSurplusCharging = 1,
        ModeSpotMarketCharging = 2,
        ModeTimeRequirement = 3,
        ModeDischarging = 4
    };
    Q_ENUM(Mode)

    enum WaitingReason {
        WaitingReasonNone = 0,
        WaitingReasonSurplusPower = 1,
        WaitingReasonHomeBattery = 2,
        WaitingReasonSpotMarketWindow = 3,
        WaitingReasonTargetTimeWindow = 4,
        WaitingReasonChargerUnavailable = 5,
        WaitingReasonVehicleNotPluggedIn = 6,
        WaitingReasonVehicleUnavailable = 7,
        WaitingReasonPhasePowerLimit = 8,
        // Charging for a target time that cannot be met any more: the car
        // charges as fast as it can and will still fall short.
        WaitingReasonTargetTimeUnreachable = 9
    };
    Q_ENUM(WaitingReason)

    ChargingState(const ThingId &evChargerId = ThingId());

    // Display text for log lines ("surplus charging", ...); a value outside
    // the enum shows as "idle".
    static QString modeToString(Mode mode);

    ThingId evChargerId() const;
    void setEvChargerId(const ThingId &evChargerId);

    Mode mode() const;
    void setMode(Mode mode);

    bool overloadProtectionActive() const;
    void setOverloadProtectionActive(bool overloadProtectionActive);

    double overloadProtectionThrottle() const;
    void setOverloadProtectionThrottle(double overloadProtectionThrottle);

    // Seconds by which the charge will end after the target time; 0 when on time.
    int targetTimeOvershot() const;
    void setTargetTimeOvershot(int targetTimeOvershot);

    bool targetPercentageReached() const;
    void setTargetPercentageReached(bool targetPercentageReached);

    // Remaining seconds of the charging-enabled lock; -1 when unknown.
    int powerLockSeconds() const;
    void setPowerLockSeconds(int powerLockSeconds);

    // Length of the charging-enabled lock, s.
    int powerLockDuration() const;
    void setPowerLockDuration(int powerLockDuration);

    bool batteryLevelConsiderationActive() const;
    void setBatteryLevelConsiderationActive(bool batteryLevelConsiderationActive);

    WaitingReason waitingReason() const;
    void setWaitingReason(WaitingReason waitingReason);

    // Share of the charging power covered by solar surplus; -1 when it
    // cannot be calculated.
    double surplusCoverage() const;
    void setSurplusCoverage(double surplusCoverage);

    // Throttle and surplus coverage compare with a tolerance of 1e-6, all
    // other fields exactly.
    bool operator==(const ChargingState &other) const;
    bool operator!=(const ChargingState &other) const;

private:
    ThingId m_evChargerId;
    Mode m_mode = ModeIdle;
    bool m_overloadProtectionActive = false;
    double m_overloadProtectionThrottle = 0.0;
    int m_targetTimeOvershot = 0;
    bool m_targetPercentageReached = false;
    int m_powerLockSeconds = -1;
    int m_powerLockDuration = 300;
    bool m_batteryLevelConsiderationActive = false;
    WaitingReason m_waitingReason = WaitingReasonNone;
    double m_surplusCoverage = -1.0;
};
Q_DECLARE_METATYPE(ChargingState)

class ChargingStates : public QList<ChargingState>
{
    Q_GADGET
    Q_PROPERTY(int count READ count)

public:
    ChargingStates() = default;
    ChargingStates(const QList<ChargingState> &other);

    // An index outside the list gives an invalid QVariant.
    Q_INVOKABLE QVariant get(int index) const;
    // Appends the state held by (or converted from) variant; a variant that
    // cannot be converted appends a default state.
    Q_INVOKABLE void put(const QVariant &variant);
};
Q_DECLARE_METATYPE(ChargingStates)

QDebug operator<<(QDebug debug, const ChargingState &state);

#endif // CHARGINGSTATE_H
