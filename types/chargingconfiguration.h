#ifndef CHARGINGCONFIGURATION_H
#define CHARGINGCONFIGURATION_H

#include <QDateTime>
#include <QDebug>
#include <QList>
#include <QLocale>
#include <QMetaType>
#include <QUuid>
#include <QVariant>

#include "tavro/typeutils.h"

// The user's per-charger setting. One per EV charger thing. The properties
// are the form that travels over the APIs; locale and the manual restore
// values are not properties and are only persisted and used internally.
// Setters store values unchanged; validation is the manager's job.
class ChargingConfiguration
{
    Q_GADGET
    Q_PROPERTY(QUuid evChargerId READ evChargerId WRITE setEvChargerId)
    Q_PROPERTY(QUuid assignedCarId READ assignedCarId WRITE setAssignedCarId USER true)
    Q_PROPERTY(ChargingMode chargingMode READ chargingMode WRITE setChargingMode)
    Q_PROPERTY(QDateTime endDateTime READ endDateTime WRITE setEndDateTime USER true)
    Q_PROPERTY(QList<int> repeatDays READ repeatDays WRITE setRepeatDays USER true)
    Q_PROPERTY(uint targetPercentage READ targetPercentage WRITE setTargetPercentage USER true)
    Q_PROPERTY(uint dischargeFloorPercentage READ dischargeFloorPercentage WRITE setDischargeFloorPercentage USER true)
    Q_PROPERTY(
            uint dailySpotMarketPercentage READ dailySpotMarketPercentage WRITE setDailySpotMarketPercentage USER true)
    Q_PROPERTY(bool lockOnUnplug READ lockOnUnplug WRITE setLockOnUnplug USER true)
    Q_PROPERTY(bool stopOnTargetPercentage READ stopOnTargetPercentage WRITE setStopOnTargetPercentage USER true)

public:
    enum ChargingMode {
        ChargingModeNormal = 0,
        ChargingModeEco = 1,
        ChargingModeEcoWithTargetTime = 2
    };
    Q_ENUM(ChargingMode)

    ChargingConfiguration(const ThingId &evChargerId = ThingId());

    ThingId evChargerId() const;
    void setEvChargerId(const ThingId &evChargerId);

    ThingId assignedCarId() const;
    void setAssignedCarId(const ThingId &assignedCarId);

    ChargingMode chargingMode() const;
    void setChargingMode(ChargingMode chargingMode);

    // Target time of eco mode with target time. With repeat days only its
    // time of day counts.
    QDateTime endDateTime() const;
    void setEndDateTime(const QDateTime &endDateTime);

    // Weekdays on which the target time repeats, 1 = Monday ... 7 = Sunday.
    QList<int> repeatDays() const;
    void setRepeatDays(const QList<int> &repeatDays);

    // Target state of charge, %.
    uint targetPercentage() const;
    void setTargetPercentage(uint targetPercentage);

    // Lowest state of charge (%) a bidirectional charger may discharge to.
    uint dischargeFloorPercentage() const;
    void setDischargeFloorPercentage(uint dischargeFloorPercentage);

    // Share (%) of the daily charge taken from the cheapest spot-market hours.
    uint dailySpotMarketPercentage() const;
    void setDailySpotMarketPercentage(uint dailySpotMarketPercentage);

    bool lockOnUnplug() const;
    void setLockOnUnplug(bool lockOnUnplug);

    bool stopOnTargetPercentage() const;
    // Whether the charge stops at the target: the flag is set and the
    // target is below 100 % (a full car stops anyway).
    bool stopsOnTarget() const { return stopOnTargetPercentage() && targetPercentage() <= 99; }
    void setStopOnTargetPercentage(bool stopOnTargetPercentage);

    // Language for notifications to the user.
    QLocale locale() const;
    void setLocale(const QLocale &locale);

    // Normal-mode restore values.
    bool manualChargingEnabled() const;
    void setManualChargingEnabled(bool manualChargingEnabled);

    double manualMaxChargingCurrent() const; // A
    void setManualMaxChargingCurrent(double manualMaxChargingCurrent);

    uint manualDesiredPhaseCount() const;
    void setManualDesiredPhaseCount(uint manualDesiredPhaseCount);

    double manualChargingPower() const; // W, DC chargers
    void setManualChargingPower(double manualChargingPower);

    // The next moment at which the target must be reached, not earlier than
    // currentDateTime; invalid when there is none (no end time, a one-off
    // target in the past, or repeat days that name no weekday 1..7).
    QDateTime nextEndTime(const QDateTime &currentDateTime) const;

    bool operator==(const ChargingConfiguration &other) const;
    bool operator!=(const ChargingConfiguration &other) const;

private:
    ThingId m_evChargerId;
    ThingId m_assignedCarId;
    ChargingMode m_chargingMode = ChargingModeNormal;
    QDateTime m_endDateTime;
    QList<int> m_repeatDays;
    uint m_targetPercentage = 80;
    uint m_dischargeFloorPercentage = 30;
    uint m_dailySpotMarketPercentage = 0;
    bool m_lockOnUnplug = false;
    bool m_stopOnTargetPercentage = false;
    QLocale m_locale;
    bool m_manualChargingEnabled = false;
    double m_manualMaxChargingCurrent = 6.0;
    uint m_manualDesiredPhaseCount = 3;
    double m_manualChargingPower = 0.0;
};
Q_DECLARE_METATYPE(ChargingConfiguration)

class ChargingConfigurations : public QList<ChargingConfiguration>
{
    Q_GADGET
    Q_PROPERTY(int count READ count)

public:
    ChargingConfigurations() = default;
    ChargingConfigurations(const QList<ChargingConfiguration> &other);

    // An index outside the list gives an invalid QVariant.
    Q_INVOKABLE QVariant get(int index) const;
    // Appends the configuration held by (or converted from) variant; a
    // variant that cannot be converted appends a default configuration.
    Q_INVOKABLE void put(const QVariant &variant);
};
Q_DECLARE_METATYPE(ChargingConfigurations)

QDebug operator<<(QDebug debug, const ChargingConfiguration &configuration);

#endif // CHARGINGCONFIGURATION_H
