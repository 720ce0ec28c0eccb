#include "chargingconfiguration.h"

#include <QMetaEnum>

ChargingConfiguration::ChargingConfiguration(const ThingId &evChargerId)
    : m_evChargerId(evChargerId)
{
}

ThingId ChargingConfiguration::evChargerId() const
{
    return m_evChargerId;
}

void ChargingConfiguration::setEvChargerId(const ThingId &evChargerId)
{
    m_evChargerId = evChargerId;
}

ThingId ChargingConfiguration::assignedCarId() const
{
    return m_assignedCarId;
}

void ChargingConfiguration::setAssignedCarId(const ThingId &assignedCarId)
{
    m_assignedCarId = assignedCarId;
}

ChargingConfiguration::ChargingMode ChargingConfiguration::chargingMode() const
{
    return m_chargingMode;
}

void ChargingConfiguration::setChargingMode(ChargingMode chargingMode)
{
    m_chargingMode = chargingMode;
}

QDateTime ChargingConfiguration::endDateTime() const
{
    return m_endDateTime;
}

void ChargingConfiguration::setEndDateTime(const QDateTime &endDateTime)
{
    m_endDateTime = endDateTime;
}

QList<int> ChargingConfiguration::repeatDays() const
{
    return m_repeatDays;
}

void ChargingConfiguration::setRepeatDays(const QList<int> &repeatDays)
{
    m_repeatDays = repeatDays;
}

uint ChargingConfiguration::targetPercentage() const
{
    return m_targetPercentage;
}

void ChargingConfiguration::setTargetPercentage(uint targetPercentage)
{
    m_targetPercentage = targetPercentage;
}

uint ChargingConfiguration::dischargeFloorPercentage() const
{
    return m_dischargeFloorPercentage;
}

void ChargingConfiguration::setDischargeFloorPercentage(uint dischargeFloorPercentage)
{
    m_dischargeFloorPercentage = dischargeFloorPercentage;
}

uint ChargingConfiguration::dailySpotMarketPercentage() const
{
    return m_dailySpotMarketPercentage;
}

void ChargingConfiguration::setDailySpotMarketPercentage(uint dailySpotMarketPercentage)
{
    m_dailySpotMarketPercentage = dailySpotMarketPercentage;
}

bool ChargingConfiguration::lockOnUnplug() const
{
    return m_lockOnUnplug;
}

void ChargingConfiguration::setLockOnUnplug(bool lockOnUnplug)
{
    m_lockOnUnplug = lockOnUnplug;
}

bool ChargingConfiguration::stopOnTargetPercentage() const
{
    return m_stopOnTargetPercentage;
}

void ChargingConfiguration::setStopOnTargetPercentage(bool stopOnTargetPercentage)
{
    m_stopOnTargetPercentage = stopOnTargetPercentage;
}

QLocale ChargingConfiguration::locale() const
{
    return m_locale;
}

void ChargingConfiguration::setLocale(const QLocale &locale)
{
    m_locale = locale;
}

bool ChargingConfiguration::manualChargingEnabled() const
{
    return m_manualChargingEnabled;
}

void ChargingConfiguration::setManualChargingEnabled(bool manualChargingEnabled)
{
    m_manualChargingEnabled = manualChargingEnabled;
}

double ChargingConfiguration::manualMaxChargingCurrent() const
{
    return m_manualMaxChargingCurrent;
}

void ChargingConfiguration::setManualMaxChargingCurrent(double manualMaxChargingCurrent)
{
    m_manualMaxChargingCurrent = manualMaxChargingCurrent;
}

uint ChargingConfiguration::manualDesiredPhaseCount() const
{
    return m_manualDesiredPhaseCount;
}

void ChargingConfiguration::setManualDesiredPhaseCount(uint manualDesiredPhaseCount)
{
    m_manualDesiredPhaseCount = manualDesiredPhaseCount;
}

double ChargingConfiguration::manualChargingPower() const
{
    return m_manualChargingPower;
}

void ChargingConfiguration::setManualChargingPower(double manualChargingPower)
{
    m_manualChargingPower = manualChargingPower;
}

QDateTime ChargingConfiguration::nextEndTime(const QDateTime &currentDateTime) const
{
    if (!m_endDateTime.isValid())
        return m_endDateTime;

    if (m_repeatDays.isEmpty()) {
        if (m_endDateTime >= currentDateTime)
            return m_endDateTime;
        return QDateTime();
    }

    // Today's slot may already be over, so a listed weekday can come round
    // again seven days later; after that no listed day is a weekday at all.
    const QTime endTime = m_endDateTime.toLocalTime().time();
    const QDate today = currentDateTime.toLocalTime().date();
    for (int offset = 0; offset <= 7; offset++) {
        const QDate day = today.addDays(offset);
        if (!m_repeatDays.contains(day.dayOfWeek()))
            continue;
        const QDateTime candidate(day, endTime);
        if (candidate >= currentDateTime)
            return candidate;
    }
    return QDateTime();
}

bool ChargingConfiguration::operator==(const ChargingConfiguration &other) const
{
    return m_evChargerId == other.m_evChargerId && m_assignedCarId == other.m_assignedCarId
           && m_chargingMode == other.m_chargingMode && m_endDateTime == other.m_endDateTime
           && m_repeatDays == other.m_repeatDays && m_targetPercentage == other.m_targetPercentage
           && m_dischargeFloorPercentage == other.m_dischargeFloorPercentage
           && m_dailySpotMarketPercentage == other.m_dailySpotMarketPercentage && m_lockOnUnplug == other.m_lockOnUnplug
           && m_stopOnTargetPercentage == other.m_stopOnTargetPercentage && m_locale == other.m_locale
           && m_manualChargingEnabled == other.m_manualChargingEnabled
           && m_manualMaxChargingCurrent == other.m_manualMaxChargingCurrent
           && m_manualDesiredPhaseCount == other.m_manualDesiredPhaseCount
           && m_manualChargingPower == other.m_manualChargingPower;
}

bool ChargingConfiguration::operator!=(const ChargingConfiguration &other) const
{
    return !(*this == other);
}

ChargingConfigurations::ChargingConfigurations(const QList<ChargingConfiguration> &other)
    : QList<ChargingConfiguration>(other)
{
}

QVariant ChargingConfigurations::get(int index) const
{
    if (index < 0 || index >= count())
        return QVariant();
    return QVariant::fromValue(at(index));
}

void ChargingConfigurations::put(const QVariant &variant)
{
    append(variant.value<ChargingConfiguration>());
}

QDebug operator<<(QDebug debug, const ChargingConfiguration &configuration)
{
    QDebugStateSaver saver(debug);
    debug.nospace().noquote() << "ChargingConfiguration: Charger: " << configuration.evChargerId().toString()
                              << ", Car: " << configuration.assignedCarId().toString() << ", Mode: "
                              << QMetaEnum::fromType<ChargingConfiguration::ChargingMode>().valueToKey(
                                         configuration.chargingMode())
                              << ", Eco: [End time: "
                              << configuration.endDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm"))
                              << ", Repeat days: " << configuration.repeatDays()
                              << ", Target: " << configuration.targetPercentage() << "%"
                              << ", Locale: " << configuration.locale().name() << "]"
                              << ", Target: " << configuration.targetPercentage() << "%"
                              << ", Discharge floor: " << configuration.dischargeFloorPercentage() << "%"
                              << ", Daily spot market: " << configuration.dailySpotMarketPercentage() << "%"
                              << ", Lock on unplug: " << (configuration.lockOnUnplug() ? "true" : "false")
                              << ", Stop on target: " << (configuration.stopOnTargetPercentage() ? "true" : "false")
                              << ", Normal: [" << (configuration.manualChargingEnabled() ? "ON" : "OFF") << ", "
                              << configuration.manualMaxChargingCurrent() << "A"
                              << ", " << configuration.manualDesiredPhaseCount() << " phases"
                              << ", " << configuration.manualChargingPower() << "W]";
    return debug;
}
