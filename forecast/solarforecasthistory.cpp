#include "solarforecasthistory.h"

#include "common/tavroenergylogging.h"
#include "config/energysettings.h"
#include "config/settingschange.h"

#include <cmath>

namespace {

const double coveredShare = 0.9;
// Wh; a household's PV never gives a GWh a day.
const double largestEnergy = 1e9;

bool sound(double energy)
{
    return std::isfinite(energy) && energy >= 0 && energy < largestEnergy;
}

}

SolarForecastHistory::SolarForecastHistory()
{
    restore();
}

void SolarForecastHistory::addSample(const QDateTime &minute, double productionPower,
                                     const SolarForecastSlots &forecast)
{
    if (!minute.isValid() || (m_lastSample.isValid() && minute <= m_lastSample))
        return;
    m_lastSample = minute;
    if (minute.date() != m_date) {
        closeDay();
        m_date = minute.date();
        m_forecast = -1;
        m_actual = 0;
        m_minutes = 0;
    }
    const QDateTime dayStart(m_date, QTime(0, 0));
    const QDateTime dayEnd(m_date.addDays(1), QTime(0, 0));
    if (m_forecast < 0 && !forecast.isEmpty() && forecast.firstStart() < dayEnd && forecast.lastEnd() > dayStart)
        m_forecast = forecast.energyBetween(dayStart, dayEnd);
    if (std::isfinite(productionPower) && productionPower > 0)
        m_actual += productionPower / 60.0;
    m_minutes++;
}

void SolarForecastHistory::closeDay()
{
    if (!m_date.isValid() || m_forecast < 0)
        return;
    // 1380 or 1500 minutes on the nights the clocks change.
    const qint64 dayMinutes = QDateTime(m_date, QTime(0, 0)).secsTo(QDateTime(m_date.addDays(1), QTime(0, 0))) / 60;
    if (m_minutes < coveredShare * static_cast<double>(dayMinutes))
        return;
    Day day;
    day.date = m_date;
    day.forecastEnergy = m_forecast;
    day.actualEnergy = m_actual;
    m_days.append(day);
    while (m_days.count() > keptDays)
        m_days.removeFirst();
    qCDebug(dcTavroEnergy()) << "Solar forecast for" << m_date << ":" << qRound(m_forecast) << "Wh, produced"
                             << qRound(m_actual) << "Wh";
    store();
}

double SolarForecastHistory::deratingFactor(int count) const
{
    double lowest = -1;
    for (int i = qMax(0, m_days.count() - count); i < m_days.count(); i++) {
        const Day &day = m_days.at(i);
        if (day.forecastEnergy < minimumForecastEnergy)
            continue;
        const double ratio = qMin(1.0, day.actualEnergy / day.forecastEnergy);
        lowest = lowest < 0 ? ratio : qMin(lowest, ratio);
    }
    return lowest;
}

void SolarForecastHistory::store() const
{
    // Best effort: a day that cannot be stored is warned about and kept in
    // memory; the next day's write tries again with all of them.
    SettingsChange change;
    const QString day = QStringLiteral("SolarForecastHistory/days/%1/%2");
    change.remove(QStringLiteral("SolarForecastHistory"));
    change.setValue(QStringLiteral("SolarForecastHistory/days/size"), m_days.count());
    for (int i = 0; i < m_days.count(); i++) {
        change.setValue(day.arg(i + 1).arg(QStringLiteral("date")), m_days.at(i).date.toString(Qt::ISODate));
        change.setValue(day.arg(i + 1).arg(QStringLiteral("forecastEnergy")), m_days.at(i).forecastEnergy);
        change.setValue(day.arg(i + 1).arg(QStringLiteral("actualEnergy")), m_days.at(i).actualEnergy);
    }
    change.commit();
}

void SolarForecastHistory::restore()
{
    EnergySettings settings;
    settings.beginGroup(QStringLiteral("SolarForecastHistory"));
    // The stored size is only a claim: at most the days really present.
    const int size = qMin(qMax(0, settings.beginReadArray(QStringLiteral("days"))), keptDays * 4);
    int skipped = 0;
    for (int i = 0; i < size; i++) {
        settings.setArrayIndex(i);
        Day day;
        bool forecastOk = false;
        bool actualOk = false;
        day.date = QDate::fromString(settings.value(QStringLiteral("date")).toString(), Qt::ISODate);
        day.forecastEnergy = settings.value(QStringLiteral("forecastEnergy")).toDouble(&forecastOk);
        day.actualEnergy = settings.value(QStringLiteral("actualEnergy")).toDouble(&actualOk);
        // Days in order, each once.
        if (!day.date.isValid() || !forecastOk || !actualOk || !sound(day.forecastEnergy) || !sound(day.actualEnergy)
            || (!m_days.isEmpty() && m_days.last().date >= day.date)) {
            skipped++;
            continue;
        }
        m_days.append(day);
    }
    settings.endArray();
    settings.endGroup();
    while (m_days.count() > keptDays)
        m_days.removeFirst();
    if (skipped > 0)
        qCWarning(dcTavroEnergy()) << "Left out" << skipped << "damaged days of the solar forecast history.";
}
