#include "chargingschedule.h"

ChargingSchedule::ChargingSchedule(const ThingId &evChargerId)
    : m_evChargerId(evChargerId)
{
}

ChargingSchedule::ChargingSchedule(const ThingId &evChargerId, const TimeFrame &timeFrame)
    : TimeFrame(timeFrame),
      m_evChargerId(evChargerId)
{
}

ThingId ChargingSchedule::evChargerId() const
{
    return m_evChargerId;
}

void ChargingSchedule::setEvChargerId(const ThingId &evChargerId)
{
    m_evChargerId = evChargerId;
}

ChargingAction ChargingSchedule::action() const
{
    return m_action;
}

void ChargingSchedule::setAction(const ChargingAction &action)
{
    m_action = action;
}

void ChargingSchedule::clear()
{
    setStartDateTime(QDateTime());
    setEndDateTime(QDateTime());
    m_action = ChargingAction();
}

bool ChargingSchedule::operator==(const ChargingSchedule &other) const
{
    return TimeFrame::operator==(other);
}

bool ChargingSchedule::operator!=(const ChargingSchedule &other) const
{
    return !(*this == other);
}

ChargingSchedules::ChargingSchedules(const QList<ChargingSchedule> &other)
    : QList<ChargingSchedule>(other)
{
}

QVariant ChargingSchedules::get(int index) const
{
    if (index < 0 || index >= count())
        return QVariant();
    return QVariant::fromValue(at(index));
}

void ChargingSchedules::put(const QVariant &variant)
{
    append(variant.value<ChargingSchedule>());
}

ChargingSchedules ChargingSchedules::filterByIssuer(ChargingAction::ChargingActionIssuer issuer) const
{
    ChargingSchedules result;
    for (const ChargingSchedule &schedule : *this) {
        if (schedule.action().issuer() == issuer)
            result.append(schedule);
    }
    return result;
}

int ChargingSchedules::removeAllIssuer(ChargingAction::ChargingActionIssuer issuer)
{
    // Counted over a snapshot: a schedule already taken out by an earlier
    // equal one still counts.
    const QList<ChargingSchedule> snapshot = *this;
    int count = 0;
    for (const ChargingSchedule &schedule : snapshot) {
        if (schedule.action().issuer() == issuer) {
            removeAll(schedule);
            count++;
        }
    }
    return count;
}

ChargingSchedule ChargingSchedules::getChargingSchedule(const QDateTime &dateTime) const
{
    for (const ChargingSchedule &schedule : *this) {
        if (schedule.isActive(dateTime))
            return schedule;
    }
    return ChargingSchedule();
}

QDebug operator<<(QDebug debug, const ChargingSchedule &schedule)
{
    QDebugStateSaver saver(debug);
    const QString format = QStringLiteral("dd.MM.yyyy hh:mm");
    debug.nospace().noquote() << "ChargingSchedule(" << schedule.startDateTime().toString(format) << " - "
                              << schedule.endDateTime().toString(format) << ", "
                              << schedule.action().maxChargingCurrent() << "A"
                              << ", Power: " << (schedule.action().chargingEnabled() ? "ON" : "OFF")
                              << ", Issuer: " << schedule.action().issuerString() << ")";
    return debug;
}

QDebug operator<<(QDebug debug, const ChargingSchedules &schedules)
{
    QDebugStateSaver saver(debug);
    debug.nospace().noquote() << "ChargingSchedule(" << schedules.count() << ")" << '\n';
    for (int i = 0; i < schedules.count(); i++)
        debug.nospace().noquote() << " - " << i << " -> " << schedules.at(i) << '\n';
    return debug;
}
