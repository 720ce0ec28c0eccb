#ifndef CHARGINGSCHEDULE_H
#define CHARGINGSCHEDULE_H

#include <QDateTime>
#include <QDebug>
#include <QList>
#include <QMetaType>
#include <QUuid>
#include <QVariant>

#include "tavro/typeutils.h"
#include "types/chargingaction.h"
#include "types/timeframe.h"

// A charging action bound to one AC charger and one time frame.
class ChargingSchedule : public TimeFrame
{
    Q_GADGET
    Q_PROPERTY(QUuid evChargerId READ evChargerId WRITE setEvChargerId)
    Q_PROPERTY(QDateTime startDateTime READ startDateTime WRITE setStartDateTime)
    Q_PROPERTY(QDateTime endDateTime READ endDateTime WRITE setEndDateTime)
    Q_PROPERTY(ChargingAction action READ action WRITE setAction)

public:
    ChargingSchedule() = default;
    ChargingSchedule(const ThingId &evChargerId);
    ChargingSchedule(const ThingId &evChargerId, const TimeFrame &timeFrame);

    ThingId evChargerId() const;
    void setEvChargerId(const ThingId &evChargerId);

    ChargingAction action() const;
    void setAction(const ChargingAction &action);

    // Null time frame and default action; the charger id is kept.
    void clear();

    // Schedules are equal when their time frames are; charger and action
    // take no part (removeAllIssuer relies on this).
    bool operator==(const ChargingSchedule &other) const;
    bool operator!=(const ChargingSchedule &other) const;

private:
    ThingId m_evChargerId;
    ChargingAction m_action;
};
Q_DECLARE_METATYPE(ChargingSchedule)

class ChargingSchedules : public QList<ChargingSchedule>
{
    Q_GADGET
    Q_PROPERTY(int count READ count)

public:
    ChargingSchedules() = default;
    ChargingSchedules(const QList<ChargingSchedule> &other);

    // An index outside the list gives an invalid QVariant.
    Q_INVOKABLE QVariant get(int index) const;
    // Appends the schedule held by (or converted from) variant; a variant
    // that cannot be converted appends a default schedule.
    Q_INVOKABLE void put(const QVariant &variant);

    // The schedules of that issuer, in list order.
    ChargingSchedules filterByIssuer(ChargingAction::ChargingActionIssuer issuer) const;

    // Removes every schedule whose time frame equals that of a schedule of
    // the issuer (so a coinciding schedule of another issuer goes too).
    // Returns the number of schedules of the issuer that the list held.
    int removeAllIssuer(ChargingAction::ChargingActionIssuer issuer);

    // The first schedule active at dateTime (start <= dateTime < end), or a
    // default schedule (null charger, null frame, action off).
    ChargingSchedule getChargingSchedule(const QDateTime &dateTime) const;
};
Q_DECLARE_METATYPE(ChargingSchedules)

QDebug operator<<(QDebug debug, const ChargingSchedule &schedule);
QDebug operator<<(QDebug debug, const ChargingSchedules &schedules);

#endif // CHARGINGSCHEDULE_H
