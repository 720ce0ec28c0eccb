#ifndef FORECASTSOLARREPLY_H
#define FORECASTSOLARREPLY_H

#include <QByteArray>
#include <QString>

#include "types/solarforecastslots.h"

class QJsonObject;

// One reply of the Forecast.Solar estimate service for one plane, read and
// checked. The service sends
//   {"result": {"watts": {"YYYY-MM-DD HH:MM:SS": W, …}, "watt_hours_period": {…},
//               "watt_hours": {…}, "watt_hours_day": {"YYYY-MM-DD": Wh}},
//    "message": {"code": 0, "type": "success", "text": "…",
//                "info": {"timezone": "Europe/Berlin", "place": "…"},
//                "ratelimit": {"period": 3600, "limit": 12, "remaining": 10}}}
// with timestamps in the site's local time: those of a day run from sunrise
// to sunset. watt_hours_period holds the energy of the period that ends at
// its timestamp (the one since the day's previous timestamp); watts the power
// at the timestamp, used for the periods when watt_hours_period is missing.
//
// A reply is refused as a whole (isValid() false, the reason in
// errorString()) when it is no JSON object, reports an error, has no result
// with watts or watt_hours_period, holds more entries than a week of
// quarter hours, an unreadable timestamp (or one outside the years
// 2000–2099), or a value that is no number, is
// negative or more than the plane could give: 1.5 × its kW, or that power
// over the period (watt_hours and watt_hours_day: over 24 h). The message
// part (code, rate limit) is read from every reply that is a JSON object,
// refused or not, so that an error reply's rate limit counts.
class ForecastSolarReply
{
public:
    // Calls in a period (s); -1 where the reply does not say.
    struct RateLimit {
        int period = -1;
        int limit = -1;
        int remaining = -1;
    };

    // The most the series may hold each: a week of quarter hours and more.
    static constexpr int maximumEntries = 1000;
    // What a plane can give at most, per kW of its peak power (W).
    static constexpr double maximumWattsPerKwp = 1500.0;

    // Timestamps are read in the zone the reply names (message.info.timezone)
    // when this system knows it, else in the local time of this system.
    static ForecastSolarReply parse(const QByteArray &body, double kwp);

    bool isValid() const { return m_errorString.isEmpty(); }
    QString errorString() const { return m_errorString; }

    // The service's periods in time order, energy in Wh. A day's first
    // timestamp opens it; should it carry energy nevertheless, that energy
    // is taken as the hour before (not before the day's midnight). Timestamps
    // the clocks skip (a spring night) are left out: their period joins the
    // next.
    SolarForecastSlots periods() const { return m_periods; }

    int messageCode() const { return m_messageCode; }
    QString messageType() const { return m_messageType; }
    QString messageText() const { return m_messageText; }
    // As the reply names it; empty when it names none.
    QString timeZone() const { return m_timeZone; }
    QString place() const { return m_place; }
    RateLimit rateLimit() const { return m_rateLimit; }

private:
    void readMessage(const QJsonObject &message);
    void readResult(const QJsonObject &result, double kwp);

    QString m_errorString;
    SolarForecastSlots m_periods;
    int m_messageCode = 0;
    QString m_messageType;
    QString m_messageText;
    QString m_timeZone;
    QString m_place;
    RateLimit m_rateLimit;
};

#endif // FORECASTSOLARREPLY_H
