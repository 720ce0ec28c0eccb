#ifndef SOLARCOVERAGE_H
#define SOLARCOVERAGE_H

#include "types/solarforecastslots.h"

#include <QDate>
#include <QDateTime>
#include <QMap>

#include <array>

// How much of a charge the sun will give before a time, with a margin: the
// forecast PV, derated by how well the forecast matched the production,
// less the house's expected load (learned per hour of the day from recent
// days), at most what the charger can take. A plan that counts on it must
// keep a deadline safe by itself should the sun not come: this only says
// what need not be bought from the grid in advance.
//
// Without a forecast, or before any house load was seen, nothing is covered.
class SolarCoverage
{
public:
    // Share of the forecast counted on while no record of its accuracy exists.
    static constexpr double defaultDerating = 0.7;
    // Days of house load the expectation is learned from.
    static constexpr int houseLoadDays = 7;
    // Wh the forecast must have expected today before today's match counts.
    static constexpr double minimumTodayForecast = 3000.0;

    // The forecast of this cycle (empty: none available) and the record's
    // derating factor (0..1, -1 without a recorded day).
    void setForecast(const SolarForecastSlots &forecast, double recordedDerating);
    bool available() const { return !m_forecast.isEmpty(); }

    // One cycle's reading: the house's load without the chargers and the PV
    // production (W, negative values count as 0). A reading not later than
    // the last one is ignored; the time since the last one (at most 5 min)
    // weighs today's production against the forecast.
    void addSample(const QDateTime &time, double houseLoad, double production);

    // W the house is expected to take at a local time: the mean of that
    // hour of the day over the recent days, else the mean of every hour
    // seen; -1 while nothing was seen.
    double expectedHouseLoad(const QDateTime &time) const;

    // The share (0..1) of the forecast the plan counts on now: the record's
    // factor, lowered to how today's production has matched the forecast so
    // far; without a record today's match, before that defaultDerating.
    double derating() const;

    // Wh the sun is expected to leave for a charger taking at most
    // chargerPower W between from and to: the derated forecast less the
    // house, shared evenly by `takers` chargers. 0 without a forecast or a
    // house load, for an empty interval or no power.
    double coveredEnergy(const QDateTime &from, const QDateTime &to, double chargerPower, int takers = 1) const;
    // The same as hours of charging at chargerPower.
    double coveredHours(const QDateTime &from, const QDateTime &to, double chargerPower, int takers = 1) const;

private:
    struct HourLoad {
        double sum = 0; // W, summed over the samples
        int count = 0;
    };
    using DayLoad = std::array<HourLoad, 24>;

    SolarForecastSlots m_forecast;
    double m_recordedDerating = -1;
    QMap<QDate, DayLoad> m_houseLoad; // the last houseLoadDays days seen
    QDateTime m_lastSample;
    QDate m_today;
    double m_todayForecast = 0; // Wh the forecast expected for today's samples so far
    double m_todayActual = 0;   // Wh produced meanwhile
};

#endif // SOLARCOVERAGE_H
