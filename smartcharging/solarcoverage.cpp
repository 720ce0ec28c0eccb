#include "solarcoverage.h"

#include <QtGlobal>

namespace {
// Longest gap between two readings that still counts as one interval (s):
// a host that slept says nothing about the time between.
const qint64 longestSampleGap = 300;
} // namespace

void SolarCoverage::setForecast(const SolarForecastSlots &forecast, double recordedDerating)
{
    m_forecast = forecast;
    m_recordedDerating = recordedDerating;
}

void SolarCoverage::addSample(const QDateTime &time, double houseLoad, double production)
{
    if (!time.isValid() || (m_lastSample.isValid() && time <= m_lastSample))
        return;
    const QDateTime local = time.toLocalTime();
    const QDate date = local.date();

    if (date != m_today) {
        m_today = date;
        m_todayForecast = 0;
        m_todayActual = 0;
    } else if (m_lastSample.isValid()) {
        const qint64 seconds = m_lastSample.secsTo(time);
        if (seconds <= longestSampleGap) {
            m_todayForecast += m_forecast.energyBetween(m_lastSample, time);
            m_todayActual += qMax(0.0, production) * seconds / 3600.0;
        }
    }
    m_lastSample = time;

    HourLoad &hour = m_houseLoad[date][static_cast<size_t>(local.time().hour())];
    hour.sum += qMax(0.0, houseLoad);
    hour.count++;
    while (m_houseLoad.count() > houseLoadDays)
        m_houseLoad.erase(m_houseLoad.begin());
}

double SolarCoverage::expectedHouseLoad(const QDateTime &time) const
{
    const size_t hour = static_cast<size_t>(time.toLocalTime().time().hour());
    double hourMeans = 0;
    int hourDays = 0;
    double allSum = 0;
    int allCount = 0;
    for (const DayLoad &day : m_houseLoad) {
        if (day[hour].count > 0) {
            hourMeans += day[hour].sum / day[hour].count;
            hourDays++;
        }
        for (const HourLoad &load : day) {
            allSum += load.sum;
            allCount += load.count;
        }
    }
    if (hourDays > 0)
        return hourMeans / hourDays;
    return allCount > 0 ? allSum / allCount : -1;
}

double SolarCoverage::derating() const
{
    // Today's match, once it tells something, stands in for the default
    // guess; it never lifts what the record says.
    const bool todayKnown = m_todayForecast >= minimumTodayForecast;
    const double today = todayKnown ? m_todayActual / m_todayForecast : 1.0;
    double factor = defaultDerating;
    if (m_recordedDerating >= 0)
        factor = qMin(m_recordedDerating, today);
    else if (todayKnown)
        factor = today;
    return qBound(0.0, factor, 1.0);
}

double SolarCoverage::coveredEnergy(const QDateTime &from, const QDateTime &to, double chargerPower, int takers) const
{
    if (m_forecast.isEmpty() || chargerPower <= 0 || !from.isValid() || !to.isValid() || from >= to)
        return 0;
    const double factor = derating();
    double energy = 0;
    for (const SolarForecastSlot &slot : m_forecast) {
        const QDateTime start = qMax(slot.startDateTime(), from);
        const QDateTime end = qMin(slot.endDateTime(), to);
        if (start >= end)
            continue;
        const double house = expectedHouseLoad(start.addSecs(start.secsTo(end) / 2));
        if (house < 0)
            return 0;
        const double surplus = qBound(0.0, (slot.power() * factor - house) / qMax(1, takers), chargerPower);
        energy += surplus * start.secsTo(end) / 3600.0;
    }
    return energy;
}

double SolarCoverage::coveredHours(const QDateTime &from, const QDateTime &to, double chargerPower, int takers) const
{
    return chargerPower > 0 ? coveredEnergy(from, to, chargerPower, takers) / chargerPower : 0;
}
