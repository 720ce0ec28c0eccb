#ifndef SCHEDULEBOOK_H
#define SCHEDULEBOOK_H

#include "types/chargingaction.h"
#include "types/chargingschedule.h"
#include "types/timeframe.h"

#include <QHash>
#include <QList>
#include <QObject>

class EvChargerAc;
class EvChargerDc;

// The published charging schedules: the AC chargers' planned schedules and
// the DC chargers' spot-market time frames, keyed by the adapters (not
// owned). The editing functions never announce anything themselves: they
// tell whether the published schedules changed, and the planning step that
// made the change calls announce() once when it is done.
class ScheduleBook : public QObject
{
    Q_OBJECT
public:
    explicit ScheduleBook(QObject *parent = nullptr);

    // Every AC charger's schedules first, then one spot-market schedule per
    // DC time frame (charging on, 0 A, 0 phases).
    ChargingSchedules schedules() const;
    // Emits chargingSchedulesChanged.
    void announce();

    // --- AC chargers ---
    const QHash<EvChargerAc *, ChargingSchedules> &acSchedules() const { return m_acSchedules; }
    // The charger's list, created empty when it has none.
    ChargingSchedules &acEntry(EvChargerAc *charger);
    // Removes the charger's entry; true when it held schedules.
    bool takeAc(EvChargerAc *charger) { return !m_acSchedules.take(charger).isEmpty(); }
    // Empties the charger's list if it has one; true when it held schedules.
    bool clearAc(EvChargerAc *charger);
    // Removes the issuer's schedules of the charger; true when there were any.
    bool removeIssuer(EvChargerAc *charger, ChargingAction::ChargingActionIssuer issuer);

    // --- DC chargers ---
    QList<TimeFrame> dcFrames(EvChargerDc *charger) const { return m_dcFrames.value(charger); }
    // Stores the charger's frames; true when they differ from the ones before.
    bool setDcFrames(EvChargerDc *charger, const QList<TimeFrame> &frames);
    // Empties the charger's frames if it has an entry; true when it held frames.
    bool clearDc(EvChargerDc *charger);
    // Removes the charger's entry; true when it held frames.
    bool takeDc(EvChargerDc *charger) { return !m_dcFrames.take(charger).isEmpty(); }

signals:
    void chargingSchedulesChanged();

private:
    QHash<EvChargerAc *, ChargingSchedules> m_acSchedules;
    QHash<EvChargerDc *, QList<TimeFrame>> m_dcFrames;
};

#endif // SCHEDULEBOOK_H
