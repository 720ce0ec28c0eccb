#ifndef CHARGINGFORECAST_H
#define CHARGINGFORECAST_H

#include "types/chargingconfiguration.h"
#include "types/chargingschedule.h"
#include "types/chargingstate.h"

#include <QDateTime>
#include <QObject>
#include <QUuid>
#include <QVariantMap>

class Thing;

// When a charger's car is expected to reach its target, read off the plan:
// the charger's published schedules from now on, each slot at its current
// and phases (230 V, less the car's charging loss), until the energy to the
// target is in; beyond the plan, or without one, at the power it charges
// with now. Where neither gives an end, the finish is unknown.
//
// The target is the configuration's target percentage when the car stops
// there or has a target time, else a full battery (100 %).
class ChargingForecast
{
    Q_GADGET

public:
    enum Outlook {
        // No car assigned, or it is gone.
        OutlookNoCar,
        // At or above the target.
        OutlookDone,
        // Done before the target time.
        OutlookOnTime,
        // The target time will not be met.
        OutlookLate,
        // Done at expectedFinish; no target time was asked for.
        OutlookExpected,
        // Nothing planned and not charging: waiting (for the sun, say).
        OutlookUnknown
    };
    Q_ENUM(Outlook)

    QUuid evChargerId;
    Outlook outlook = OutlookNoCar;
    // Invalid when unknown.
    QDateTime expectedFinish;
    // %, as the plugin plans with it: reported, or estimated for a car that
    // cannot report it; NaN without a car.
    double batteryLevel = qQNaN();
    bool batteryLevelEstimated = false;
    uint targetPercentage = 100;
    // kWh into the battery until the target.
    double remainingEnergy = 0;

    // As the API carries it: expectedFinish in Unix seconds, left out when
    // unknown, and batteryLevel left out without a car.
    QVariantMap toMap() const;
    // The members as declared to the API ("o:" for optional).
    static QVariantMap declaration();

    bool operator==(const ChargingForecast &other) const;
    bool operator!=(const ChargingForecast &other) const { return !(*this == other); }

    // car and charger may be null; schedules of other chargers are skipped.
    static ChargingForecast forecast(const ChargingConfiguration &configuration, const ChargingState &state,
                                     const ChargingSchedules &schedules, const Thing *car, const Thing *charger,
                                     const QDateTime &now);
};

Q_DECLARE_METATYPE(ChargingForecast)

#endif // CHARGINGFORECAST_H
