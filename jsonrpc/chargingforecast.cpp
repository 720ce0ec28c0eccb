#include "chargingforecast.h"

#include "smartcharging/vehicletraits.h"

#include "tavro/thing.h"

#include <QMetaEnum>

#include <algorithm>

namespace {

const double voltage = 230.0;

}

QVariantMap ChargingForecast::toMap() const
{
    QVariantMap map{
            {QStringLiteral("evChargerId"), evChargerId.toString()},
            {QStringLiteral("outlook"), QString::fromLatin1(QMetaEnum::fromType<Outlook>().valueToKey(outlook))},
            {QStringLiteral("batteryLevelEstimated"), batteryLevelEstimated},
            {QStringLiteral("targetPercentage"), targetPercentage},
            {QStringLiteral("remainingEnergy"), remainingEnergy}};
    if (expectedFinish.isValid())
        map.insert(QStringLiteral("expectedFinish"), expectedFinish.toSecsSinceEpoch());
    if (!qIsNaN(batteryLevel))
        map.insert(QStringLiteral("batteryLevel"), batteryLevel);
    return map;
}

QVariantMap ChargingForecast::declaration()
{
    return {{QStringLiteral("evChargerId"), QStringLiteral("Uuid")},
            {QStringLiteral("outlook"), QStringLiteral("$ref:Outlook")},
            {QStringLiteral("o:expectedFinish"), QStringLiteral("Time")},
            {QStringLiteral("o:batteryLevel"), QStringLiteral("Double")},
            {QStringLiteral("batteryLevelEstimated"), QStringLiteral("Bool")},
            {QStringLiteral("targetPercentage"), QStringLiteral("Uint")},
            {QStringLiteral("remainingEnergy"), QStringLiteral("Double")}};
}

bool ChargingForecast::operator==(const ChargingForecast &other) const
{
    const bool sameLevel = (qIsNaN(batteryLevel) && qIsNaN(other.batteryLevel)) || batteryLevel == other.batteryLevel;
    return evChargerId == other.evChargerId && outlook == other.outlook && expectedFinish == other.expectedFinish
           && sameLevel && batteryLevelEstimated == other.batteryLevelEstimated
           && targetPercentage == other.targetPercentage
           && qFuzzyCompare(1 + remainingEnergy, 1 + other.remainingEnergy);
}

ChargingForecast ChargingForecast::forecast(const ChargingConfiguration &configuration, const ChargingState &state,
                                            const ChargingSchedules &schedules, const Thing *car, const Thing *charger,
                                            const QDateTime &now)
{
    ChargingForecast result;
    result.evChargerId = configuration.evChargerId();
    if (!car || configuration.assignedCarId().isNull())
        return result;
    const bool targetTime = configuration.chargingMode() == ChargingConfiguration::ChargingModeEcoWithTargetTime
                            && configuration.endDateTime().isValid();
    result.targetPercentage =
            targetTime || configuration.stopOnTargetPercentage() ? qMin(100u, configuration.targetPercentage()) : 100;
    result.batteryLevel = car->stateValue(QStringLiteral("batteryLevel")).toDouble();
    result.batteryLevelEstimated = VehicleTraits::isManualSocCar(car);
    const double capacity = car->stateValue(QStringLiteral("capacity")).toDouble(); // kWh
    result.remainingEnergy = qMax(0.0, (result.targetPercentage - result.batteryLevel) / 100.0 * capacity);
    if (result.remainingEnergy <= 0 || state.targetPercentageReached()) {
        result.remainingEnergy = 0;
        result.outlook = OutlookDone;
        return result;
    }
    const double efficiency =
            1.0 - qBound(0u, car->setting(QStringLiteral("chargingEnergyLoss")).toUInt(), 99u) / 100.0;

    // The plan from now on, slot by slot.
    QList<ChargingSchedule> ahead;
    for (int i = 0; i < schedules.count(); i++) {
        const ChargingSchedule &schedule = schedules.at(i);
        if (schedule.evChargerId() == result.evChargerId && schedule.endDateTime() > now
            && schedule.action().chargingEnabled())
            ahead.append(schedule);
    }
    std::sort(ahead.begin(), ahead.end(), [](const ChargingSchedule &a, const ChargingSchedule &b) {
        return a.startDateTime() < b.startDateTime();
    });
    double missing = result.remainingEnergy; // kWh
    QDateTime last = now;
    for (const ChargingSchedule &slot : qAsConst(ahead)) {
        const QDateTime start = qMax(slot.startDateTime(), now);
        const double power = slot.action().maxChargingCurrent() * qMax(1u, slot.action().desiredPhaseCount()) * voltage
                             * efficiency / 1000.0; // kW into the battery
        if (power <= 0)
            continue;
        const double hours = start.secsTo(slot.endDateTime()) / 3600.0;
        if (power * hours >= missing) {
            result.expectedFinish = start.addSecs(qRound64(missing / power * 3600));
            missing = 0;
            break;
        }
        missing -= power * hours;
        last = slot.endDateTime();
    }
    // Beyond the plan, at the power it charges with now.
    const double powerNow =
            charger ? charger->stateValue(QStringLiteral("currentPower")).toDouble() * efficiency / 1000.0 : 0;
    if (missing > 0 && powerNow > 0)
        result.expectedFinish = last.addSecs(qRound64(missing / powerNow * 3600));

    if (state.waitingReason() == ChargingState::WaitingReasonTargetTimeUnreachable)
        result.outlook = OutlookLate;
    else if (!result.expectedFinish.isValid())
        result.outlook = OutlookUnknown;
    else if (targetTime)
        result.outlook = result.expectedFinish <= configuration.endDateTime() ? OutlookOnTime : OutlookLate;
    else
        result.outlook = OutlookExpected;
    return result;
}
