#ifndef CHARGINGSHARECALCULATOR_H
#define CHARGINGSHARECALCULATOR_H

#include "common/chargingsharestrategy.h"

#include <QList>
#include <QString>

// Divides one power budget (W) between competing chargers. Stateless: every
// call gets all requests and the budget and returns one result per request,
// in request order. Knows nothing about phases or currents; callers convert
// to watts before the call and back after it.
//
// Policy: priority groups are served in ascending priority number; inside a
// group the minimums are admitted by ascending fairness counter (ties by id
// text), then the rest is spread equally with every request capped at its
// maximum (water filling). Where every admitted request of a group knows its
// room, the rest is spread in proportion to the rooms instead, so that the
// cars fill up together: a small car filled early leaves a big one capped at
// its maximum while the rest of the sun goes to the grid. The strategies and
// their text forms come from ChargingShareStrategy.
class ChargingShareCalculator : public ChargingShareStrategy
{
public:
    struct Request {
        QString thingId;         // joins request and result
        double minimumPower = 0; // W; <= 0 means no minimum
        // W that must be left for the request to be admitted at its minimum;
        // below the minimum the rest is drawn from elsewhere (the grid, for a
        // surplus share on the acquisition tolerance). Only where the ones
        // admitted before it cannot take the rest up to their maximums:
        // else the grid would buy what they could have taken from the
        // budget. Negative: the minimum.
        double admissionPower = -1;
        // Admitted only where the ones admitted before cannot take the
        // budget up to their maximums: a start beside a charge that could
        // take the whole surplus splits it into two minimums, and each
        // cloud then stops and starts two chargers instead of one.
        bool joinsOnlyBeyondRoom = false;
        double maximumPower = 0;     // W; <= 0 means it cannot be served
        quint32 phaseCount = 0;      // for logging only
        double measuredPower = 0;    // W, for logging only
        qint32 priority = 0;         // lower numbers are served first
        quint32 fairnessCounter = 0; // lower counters are admitted first
        // Wh the car can still take, counted at the charger (its charging
        // loss included); <= 0 when not known, which makes the whole group
        // share equally.
        double roomEnergy = 0;
    };

    struct Result {
        QString thingId;
        bool enabled = false;      // true when allocatedPower > 0
        double allocatedPower = 0; // W
    };

    ChargingShareCalculator() = default;

    QList<Result> calculate(const QList<Request> &requests, double availablePower, Strategy strategy) const;
    QList<Result> calculateEqualPower(const QList<Request> &requests, double availablePower) const;
    QList<Result> allocatePriorityGroup(const QList<Request> &requests, double availablePower) const;
};

#endif // CHARGINGSHARECALCULATOR_H
