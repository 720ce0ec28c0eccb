#ifndef SOLARFORECASTHISTORY_H
#define SOLARFORECASTHISTORY_H

#include <QDate>
#include <QDateTime>
#include <QList>

#include "types/solarforecastslots.h"

// How the forecast matched the PV production, day by day (local days): the
// energy the forecast expected for the day, as it stood at the day's first
// sample with a forecast (normally the one of the evening before, at
// midnight), beside the energy the producers gave that day, summed from the
// host's one-minute power-balance samples. A day counts once its samples
// cover 90 % of its minutes; the last keptDays of them are kept in
// "energy.conf" (group "SolarForecastHistory"), written once a day.
class SolarForecastHistory
{
public:
    struct Day {
        QDate date;
        double forecastEnergy = 0; // Wh
        double actualEnergy = 0;   // Wh
    };

    static constexpr int keptDays = 14;
    // Days with less forecast energy (Wh) tell little about its accuracy.
    static constexpr double minimumForecastEnergy = 1000.0;

    // Restores the recorded days from the settings.
    SolarForecastHistory();

    // One minute's sample: the producers' power (W, generation positive)
    // and the forecast the plan may count on then (empty when none). A
    // sample not later than the last one is ignored; the first sample of a
    // new day closes the one before.
    void addSample(const QDateTime &minute, double productionPower, const SolarForecastSlots &forecast);

    // Oldest first, at most keptDays.
    QList<Day> days() const { return m_days; }

    // The lowest actual / forecast energy among the last `count` recorded
    // days with at least minimumForecastEnergy forecast, at most 1.0: what a
    // plan that must not fall short may count on of a forecast. -1 when no
    // such day is recorded.
    double deratingFactor(int count = 7) const;

private:
    void closeDay();
    void store() const;
    void restore();

    QList<Day> m_days;
    QDate m_date;           // the running day
    double m_forecast = -1; // Wh expected for it; -1: no forecast seen yet
    double m_actual = 0;    // Wh so far
    int m_minutes = 0;      // samples of the running day
    QDateTime m_lastSample;
};

#endif // SOLARFORECASTHISTORY_H
