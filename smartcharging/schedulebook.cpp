#include "schedulebook.h"

#include "devices/evchargerdc.h"

ScheduleBook::ScheduleBook(QObject *parent)
    : QObject(parent)
{
}

ChargingSchedules ScheduleBook::schedules() const
{
    ChargingSchedules schedules;
    for (const ChargingSchedules &chargerSchedules : m_acSchedules)
        schedules.append(chargerSchedules);
    for (auto it = m_dcFrames.constBegin(); it != m_dcFrames.constEnd(); ++it) {
        for (const TimeFrame &timeFrame : it.value()) {
            ChargingSchedule schedule(it.key()->id(), timeFrame);
            schedule.setAction(
                    ChargingAction(true, 0, 0, ChargingAction::ChargingActionIssuerSpotMarketCharging, false));
            schedules.append(schedule);
        }
    }
    return schedules;
}

void ScheduleBook::announce()
{
    emit chargingSchedulesChanged();
}

ChargingSchedules &ScheduleBook::acEntry(EvChargerAc *charger)
{
    auto entry = m_acSchedules.find(charger);
    if (entry == m_acSchedules.end())
        entry = m_acSchedules.insert(charger, ChargingSchedules());
    return entry.value();
}

bool ScheduleBook::clearAc(EvChargerAc *charger)
{
    auto schedules = m_acSchedules.find(charger);
    if (schedules == m_acSchedules.end())
        return false;
    const bool hadSchedules = !schedules->isEmpty();
    schedules->clear();
    return hadSchedules;
}

bool ScheduleBook::removeIssuer(EvChargerAc *charger, ChargingAction::ChargingActionIssuer issuer)
{
    auto schedules = m_acSchedules.find(charger);
    return schedules != m_acSchedules.end() && schedules->removeAllIssuer(issuer) > 0;
}

bool ScheduleBook::setDcFrames(EvChargerDc *charger, const QList<TimeFrame> &frames)
{
    const QList<TimeFrame> previous = m_dcFrames.value(charger);
    m_dcFrames.insert(charger, frames);
    return frames != previous;
}

bool ScheduleBook::clearDc(EvChargerDc *charger)
{
    auto frames = m_dcFrames.find(charger);
    if (frames == m_dcFrames.end())
        return false;
    const bool hadFrames = !frames->isEmpty();
    frames->clear();
    return hadFrames;
}
