#include "report.h"
#include "limitplan.h"
#include "simulation.h"

#include <QFile>
#include <QJsonArray>
#include <QLocale>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTextStream>
#include <QtMath>

#include <algorithm>
#include <functional>

namespace {

const double voltage = 230.0;

int chargerIndexOf(const Scenario &scenario, const Scenario::Car &car)
{
    for (int i = 0; i < scenario.chargers.count(); i++) {
        if (scenario.chargers.at(i).name == car.charger)
            return i;
    }
    return -1;
}

double maxPower(const Scenario &scenario, const Scenario::Car &car)
{
    const int charger = chargerIndexOf(scenario, car);
    if (charger >= 0 && scenario.chargers.at(charger).dc)
        return qMin(car.dcMaxPower, 11000.0);
    return car.maxCurrent * voltage * car.phases;
}

// W a car draws at the least current on phases (AC), or a DC charger's
// least power.
double minimumPower(const Scenario &scenario, const Scenario::Car &car, double phases)
{
    const int charger = chargerIndexOf(scenario, car);
    if (charger < 0)
        return 0;
    const Scenario::Charger &description = scenario.chargers.at(charger);
    if (description.dc)
        return description.states.value(QStringLiteral("minChargingPower"), 0).toDouble();
    return qMax(car.minCurrent, description.minCurrent) * voltage * qMax(1.0, phases);
}

QString number(double value, int decimals = 1)
{
    return QString::number(value, 'f', decimals);
}

QString ratio(double numerator, double denominator)
{
    // Against what shows as 0.00 a ratio says nothing.
    if (qAbs(denominator) < 0.005)
        return QStringLiteral("-");
    return number(numerator / denominator, 2);
}

// A row of figures that are all zero (or do not apply) tells the owner
// nothing.
bool allZero(const QStringList &values)
{
    return std::all_of(values.cbegin(), values.cend(), [](const QString &value) {
        bool isNumber = false;
        const double number = value.toDouble(&isNumber);
        return value == QLatin1String("-") || (isNumber && number == 0);
    });
}

// As many decimals as it takes to tell a and b apart, from decimals up to
// 6: a failure must not read "0.95, at least 0.95 expected".
int decimalsApart(double a, double b, int decimals)
{
    while (decimals < 6 && a != b && number(a, decimals) == number(b, decimals))
        decimals++;
    return decimals;
}

// Local days since the start date.
int dayOf(const Scenario &scenario, int minute)
{
    return static_cast<int>(scenario.start.date().daysTo(scenario.start.addSecs(minute * 60LL).date()));
}

// W of a discharging charger's power that went into the home battery in a
// minute: what the battery took beyond the PV the house and the charging
// cars left.
double dischargeIntoBattery(const MinuteRecord &record, int charger)
{
    const double discharge = qMax(0.0, -record.chargerPower.value(charger));
    if (discharge <= 0 || record.batteryPower <= 0)
        return 0;
    double charging = 0;
    for (double power : record.chargerPower)
        charging += qMax(0.0, power);
    const double pvLeft = qMax(0.0, record.pvPower - record.houseLoad - charging);
    return qMin(discharge, qMax(0.0, record.batteryPower - pvLeft));
}

QString deadlineText(Report::Deadline deadline)
{
    switch (deadline) {
    case Report::Deadline::Met:
        return QStringLiteral("met");
    case Report::Deadline::Missed:
        return QStringLiteral("missed");
    case Report::Deadline::Unreachable:
        return QStringLiteral("unreach.");
    case Report::Deadline::None:
        break;
    }
    return QStringLiteral("-");
}

}

int Report::Figures::minutesOverLimitByController() const
{
    int worst = 0;
    for (int p = 0; p < 3; p++)
        worst = qMax(worst, minutesOverLimit[p] - minutesOverAfterOutsideStep[p] - minutesOverByHouseAlone[p]);
    return worst;
}

int Report::Figures::worstSwitchesPerChargerDay() const
{
    int worst = 0;
    for (const QVector<int> &days : switchesPerDay) {
        for (int count : days)
            worst = qMax(worst, count);
    }
    return worst;
}

int Report::Figures::worstPhaseSwitchesPerChargerDay() const
{
    int worst = 0;
    for (const QVector<int> &days : phaseSwitchesPerDay) {
        for (int count : days)
            worst = qMax(worst, count);
    }
    return worst;
}

Report::Report(const Simulation &simulation)
    : m_simulation(simulation)
{
    const Scenario &scenario = simulation.scenario();
    m_pvAvailable = LimitPlan::pvAvailableToCars(scenario, simulation.records(), simulation.initialBatterySoc(),
                                                 simulation.owner());
    computePlugin();
    m_peer = figuresOf(scenario, simulation.peerRecords(), m_pvAvailable, simulation.ownerActionMinutes(),
                       &simulation.owner(), simulation.ownerSwitchMinutes());
    m_baseline = chargedAtOnce(QVector<double>());
    QVector<double> pluginEnergy;
    QVector<double> peerEnergy;
    for (int j = 0; j < scenario.cars.count(); j++) {
        pluginEnergy << m_plugin.cars.at(j).energy;
        peerEnergy << m_peer.cars.at(j).energy;
    }
    m_atOnce = chargedAtOnce(pluginEnergy);
    m_peerAtOnce = chargedAtOnce(peerEnergy);
    computeLimit();
    judgeDeadlines(&m_plugin);
    judgeDeadlines(&m_peer);
    judgeDeadlines(&m_baseline);
    judgeDeadlines(&m_limit);
    checkBounds();
    evaluateExpectations();
}

void Report::chargerPhaseCurrents(const Scenario &scenario, const MinuteRecord &record, double *current)
{
    for (int p = 0; p < 3; p++)
        current[p] = 0;
    for (int i = 0; i < record.chargerPower.count(); i++) {
        const double power = record.chargerPower.at(i);
        if (scenario.chargers.at(i).dc) {
            for (int p = 0; p < 3; p++)
                current[p] += power / 3 / voltage;
            continue;
        }
        const int phases = static_cast<int>(record.chargerPhases.at(i));
        for (int p = 0; p < phases && p < 3; p++)
            current[p] += power / phases / voltage;
    }
}

bool Report::batteryLow(int recordIndex) const
{
    // The plugin decides at the end of a minute on the level it saw then;
    // its decision shows in the next minute.
    const double lowerLimit = m_simulation.owner().batteryLowerLimitAt(recordIndex);
    if (!m_simulation.scenario().hasBattery || recordIndex == 0 || lowerLimit < 0)
        return false;
    return qRound(m_simulation.records().at(recordIndex - 1).batterySoc) < qRound(lowerLimit * 100.0);
}

QVector<QVector<bool>> Report::surplusOnlyMinutes(const Scenario &scenario)
{
    QVector<QVector<bool>> minutes(scenario.cars.count());
    // The soak's random owner changes are not in the scenario.
    if (scenario.random.enabled)
        return minutes;
    const auto surplusOnly = [](const QVariantMap &configuration) {
        return configuration.value(QStringLiteral("chargingMode")).toString() == QLatin1String("ChargingModeEco")
               && configuration.value(QStringLiteral("dailySpotMarketPercentage")).toInt() == 0;
    };
    for (int j = 0; j < scenario.cars.count(); j++) {
        const Scenario::Car &car = scenario.cars.at(j);
        minutes[j].fill(surplusOnly(car.configuration), scenario.durationMinutes);
        // The owner's later changes through the API, in the order given.
        QList<Scenario::UserAction> changes;
        for (const Scenario::UserAction &action : scenario.actions) {
            const QVariantMap configuration = action.params.value(QStringLiteral("chargingConfiguration")).toMap();
            if (action.method == QLatin1String("TavroEnergy.SetChargingConfiguration")
                && configuration.value(QStringLiteral("evChargerId")).toString()
                           == QStringLiteral("$charger:") + car.charger)
                changes << action;
        }
        std::stable_sort(
                changes.begin(), changes.end(),
                [](const Scenario::UserAction &a, const Scenario::UserAction &b) { return a.minute < b.minute; });
        for (const Scenario::UserAction &change : qAsConst(changes)) {
            const bool only = surplusOnly(change.params.value(QStringLiteral("chargingConfiguration")).toMap());
            for (int minute = qMax(0, change.minute); minute < scenario.durationMinutes; minute++)
                minutes[j][minute] = only;
        }
    }
    return minutes;
}

namespace {

// figuresOf(): one car's minute. total: W all chargers drew, pvToCars: W of
// it from the PV; surplusOnly: the owner wants the car charged from the
// surplus only in this minute.
void addCarMinute(const Scenario &scenario, const MinuteRecord &record, int j, double total, double pvToCars,
                  bool surplusOnly, const OwnerTimeline &owner, Report::CarFigures *carFigures)
{
    const Scenario::Car &car = scenario.cars.at(j);
    const int charger = chargerIndexOf(scenario, car);
    if (record.carPluggedIn.value(j) && charger >= 0) {
        const double power = qMax(0.0, record.chargerPower.value(charger));
        const double pvPart = total > 0 ? power / total * pvToCars : 0;
        carFigures->energy += power / 60000.0;
        carFigures->pvEnergy += pvPart / 60000.0;
        carFigures->gridEnergy += (power - pvPart) / 60000.0;
        if (record.pvPower <= 0)
            carFigures->nightGridEnergy += (power - pvPart) / 60000.0;
        carFigures->cost += (power - pvPart) / 60000.0 * record.price / 1000.0;
        if (surplusOnly && power > 0) {
            // The owner lets the grid cover the share of the
            // charger's minimum that the tolerance leaves.
            const double minimum = minimumPower(scenario, car, record.chargerPhases.value(charger));
            const double tolerated = (1.0 - scenario.acquisitionTolerance) * minimum;
            carFigures->surplusOnlyEnergy += power / 60000.0;
            const double beyond = qMax(0.0, power - pvPart - tolerated) / 60000.0;
            carFigures->gridBeyondTolerance += beyond;
            if (power > minimum + 1.0)
                carFigures->gridBeyondToleranceAboveMinimum += beyond;
        }
        carFigures->dischargedEnergy += qMax(0.0, -record.chargerPower.value(charger)) / 60000.0;
        carFigures->toHomeBattery += dischargeIntoBattery(record, charger) / 60000.0;
        // Energy past the owner's ceiling is no use to the owner.
        const double ceiling = owner.wishAt(j, record.minute).ceiling();
        const double socStart = record.carSocStart.value(j);
        const double socEnd = record.carSoc.value(j);
        const double useful = socStart >= ceiling ? 0.0
                              : socEnd <= ceiling ? 1.0
                                                  : (ceiling - socStart) / (socEnd - socStart);
        carFigures->usefulEnergy += useful * power / 60000.0;
        carFigures->usefulPvEnergy += useful * pvPart / 60000.0;
        carFigures->lowestSoc = qMin(carFigures->lowestSoc, record.carSoc.value(j));
    }
    // A record holds the state at the end of its minute.
    if (record.minute + 1 == car.targetMinute)
        carFigures->socAtTarget = record.carSoc.value(j);
    carFigures->finalSoc = record.carSoc.value(j);
}

// figuresOf(): record r over the limit, and whether the chargers' draw
// would have fitted had the load the controller did not command stayed as
// it was. runOverLimit (minutes in a row) and previousOutside (A the last
// minute drew besides the chargers) carry from one minute to the next.
void countOverLimit(const Scenario &scenario, const QVector<MinuteRecord> &records, int r,
                    const QSet<int> &ownerActionMinutes, int *runOverLimit, double *previousOutside,
                    Report::Figures *figures)
{
    const MinuteRecord &record = records.at(r);
    double chargers[3];
    Report::chargerPhaseCurrents(scenario, record, chargers);
    for (int p = 0; p < 3; p++) {
        const double over = record.gridPhaseCurrent[p] - record.phaseLimit;
        const double outside = record.gridPhaseCurrent[p] - chargers[p];
        if (record.phaseLimit > 0 && over > 1e-6) { // 0: no limit set
            figures->minutesOverLimit[p]++;
            figures->largestOvershoot[p] = qMax(figures->largestOvershoot[p], over);
            figures->longestRunOverLimit = qMax(figures->longestRunOverLimit, ++runOverLimit[p]);
            const double previousLimit = r > 0 ? records.at(r - 1).phaseLimit : record.phaseLimit;
            if (chargers[p] <= 1e-6)
                figures->minutesOverByHouseAlone[p]++;
            else if (r > 0
                     && (previousOutside[p] + chargers[p] <= previousLimit + 1e-6
                         || ownerActionMinutes.contains(record.minute)))
                figures->minutesOverAfterOutsideStep[p]++;
        } else {
            runOverLimit[p] = 0;
        }
        previousOutside[p] = outside;
    }
}

// figuresOf(): the on/off and phase switches of record r.
void countSwitches(const Scenario &scenario, const QVector<MinuteRecord> &records, int r,
                   const QSet<int> &ownerSwitchMinutes, Report::Figures *figures)
{
    const MinuteRecord &record = records.at(r);
    const int day = dayOf(scenario, record.minute);
    // The controller answers a step in its next cycle at the latest.
    const bool afterOwnerStep =
            ownerSwitchMinutes.contains(record.minute) || ownerSwitchMinutes.contains(record.minute - 1);
    for (int i = 0; i < record.chargerEnabled.count(); i++) {
        if (r > 0 && record.chargerEnabled.at(i) != records.at(r - 1).chargerEnabled.value(i)) {
            figures->switches++;
            figures->switchesPerDay[i][day]++;
            if (afterOwnerStep)
                figures->ownerSwitchesPerDay[i][day]++;
        }
        if (record.chargerPhaseSwitch.value(i)) {
            figures->phaseSwitches++;
            figures->phaseSwitchesPerDay[i][day]++;
        }
    }
}

}

Report::Figures Report::figuresOf(const Scenario &scenario, const QVector<MinuteRecord> &records,
                                  const QVector<double> &pvAvailable, const QSet<int> &ownerActionMinutes,
                                  const OwnerTimeline *owner, const QSet<int> &ownerSwitchMinutes)
{
    const OwnerTimeline scenarioOwner(scenario);
    if (!owner)
        owner = &scenarioOwner;
    Figures figures;
    const int days = records.isEmpty() ? 1 : dayOf(scenario, records.last().minute) + 1;
    figures.switchesPerDay.fill(QVector<int>(days, 0), scenario.chargers.count());
    figures.ownerSwitchesPerDay = figures.switchesPerDay;
    figures.phaseSwitchesPerDay.fill(QVector<int>(days, 0), scenario.chargers.count());
    figures.cars.resize(scenario.cars.count());
    for (int j = 0; j < scenario.cars.count(); j++) {
        figures.cars[j].name = scenario.cars.at(j).name;
        figures.cars[j].targetPercentage = scenario.cars.at(j).targetPercentage;
    }
    const QVector<QVector<bool>> surplusOnly = surplusOnlyMinutes(scenario);
    int runOverLimit[3] = {0, 0, 0};
    double previousOutside[3] = {0, 0, 0};
    for (int r = 0; r < records.count(); r++) {
        const MinuteRecord &record = records.at(r);
        double total = 0;
        for (double power : record.chargerPower)
            total += qMax(0.0, power);
        const double pvToCars = qMin(total, pvAvailable.at(r));
        for (int j = 0; j < scenario.cars.count(); j++)
            addCarMinute(scenario, record, j, total, pvToCars, surplusOnly.at(j).value(record.minute), *owner,
                         &figures.cars[j]);
        countOverLimit(scenario, records, r, ownerActionMinutes, runOverLimit, previousOutside, &figures);
        countSwitches(scenario, records, r, ownerSwitchMinutes, &figures);
    }
    return figures;
}

void Report::computePlugin()
{
    const Scenario &scenario = m_simulation.scenario();
    const QVector<MinuteRecord> &records = m_simulation.records();
    m_plugin = figuresOf(scenario, records, m_pvAvailable, m_simulation.ownerActionMinutes(), &m_simulation.owner(),
                         m_simulation.ownerSwitchMinutes());
    for (int r = 0; r < records.count(); r++) {
        const MinuteRecord &record = records.at(r);
        for (int j = 0; j < scenario.cars.count(); j++) {
            CarFigures &figures = m_plugin.cars[j];
            const int charger = chargerIndexOf(scenario, scenario.cars.at(j));
            if (record.carPluggedIn.value(j) && charger >= 0 && batteryLow(r))
                m_plugin.energyWhileBatteryLow += qMax(0.0, record.chargerPower.value(charger)) / 60000.0;
            // The estimate is judged once the owner has entered the level.
            if (m_simulation.carEstimated(j) && record.minute >= m_simulation.carLevelEnteredMinute(j))
                figures.largestSocError =
                        qMax(figures.largestSocError, qAbs(record.carReportedSoc.value(j) - record.carSoc.value(j)));
        }
    }
}

void Report::judgeDeadlines(Figures *figures) const
{
    // A deadline not met counts as missed when it could have been met with
    // its car going first. Where not every deadline can be met together, a
    // run that met another one gave way, as the limit may have to.
    bool allReachable = true;
    for (bool reachable : m_reachable)
        allReachable = allReachable && reachable;
    for (CarFigures &car : figures->cars) {
        const bool met = figures == &m_limit ? m_reachable.value(&car - figures->cars.data())
                                             : car.socAtTarget + 0.5 >= car.targetPercentage;
        car.deadline = car.socAtTarget < 0 ? Deadline::None : met ? Deadline::Met : Deadline::Missed;
    }
    for (int j = 0; j < figures->cars.count(); j++) {
        CarFigures &car = figures->cars[j];
        if (car.deadline != Deadline::Missed)
            continue;
        bool gaveWay = false;
        for (int k = 0; k < figures->cars.count(); k++)
            gaveWay = gaveWay || (k != j && figures->cars.at(k).deadline == Deadline::Met);
        if (!m_reachableFirst.value(j, true) || (!allReachable && gaveWay))
            car.deadline = Deadline::Unreachable;
    }
}

double Report::chargeAtOnce(const MinuteRecord &record, const QVector<double> &energyCap, QVector<double> *soc,
                            QVector<int> *charging, QVector<double> *power, double *phaseCurrent, Figures *result) const
{
    const Scenario &scenario = m_simulation.scenario();
    const QVector<MinuteRecord> &records = m_simulation.records();
    double total = 0;
    for (int j = 0; j < scenario.cars.count(); j++) {
        const Scenario::Car &car = scenario.cars.at(j);
        const double lossFactor = 1.0 - car.physicsLossPercent(1, 1) / 100.0;
        const int charger = chargerIndexOf(scenario, car);
        const bool plugged = record.carPluggedIn.value(j);
        if (plugged && record.minute > 0 && !records.at(record.minute - 1).carPluggedIn.value(j)) {
            // Back from a trip, or a random arrival with its own level.
            (*soc)[j] = scenario.random.enabled ? record.carSocStart.value(j)
                                                : qMax(0.0, soc->at(j) - car.tripUseKwh / car.capacityKwh * 100.0);
        }
        const double room = energyCap.isEmpty() ? 1e9 : energyCap.at(j) - result->cars.at(j).energy;
        if (plugged && soc->at(j) < 100.0 && room > 1e-9) {
            const double toFull = (100.0 - soc->at(j)) / 100.0 * car.capacityKwh * 1000.0 / lossFactor * 60.0;
            (*power)[j] = qMin(qMin(maxPower(scenario, car), toFull), room * 60000.0);
            (*soc)[j] = qMin(100.0, soc->at(j) + power->at(j) * lossFactor / 60.0 / 1000.0 / car.capacityKwh * 100.0);
        }
        const bool isCharging = power->at(j) > 0;
        if (int(isCharging) != charging->at(j)) {
            result->switches++;
            if (charger >= 0)
                result->switchesPerDay[charger][dayOf(scenario, record.minute)]++;
        }
        (*charging)[j] = isCharging ? 1 : 0;
        total += power->at(j);
        const uint phases = charger >= 0 && scenario.chargers.at(charger).dc ? 3 : car.phases;
        for (uint p = 0; p < phases && p < 3; p++)
            phaseCurrent[p] += power->at(j) / phases / voltage;
    }
    return total;
}

Report::Figures Report::chargedAtOnce(const QVector<double> &energyCap) const
{
    Figures result;
    const Scenario &scenario = m_simulation.scenario();
    const QVector<MinuteRecord> &records = m_simulation.records();
    result.cars.resize(scenario.cars.count());
    QVector<double> soc(scenario.cars.count());
    QVector<int> charging(scenario.cars.count(), 0);
    const int days = records.isEmpty() ? 1 : dayOf(scenario, records.last().minute) + 1;
    result.switchesPerDay.fill(QVector<int>(days, 0), scenario.chargers.count());
    result.phaseSwitchesPerDay.fill(QVector<int>(days, 0), scenario.chargers.count());
    for (int j = 0; j < scenario.cars.count(); j++) {
        soc[j] = scenario.cars.at(j).soc;
        result.cars[j].name = scenario.cars.at(j).name;
        result.cars[j].targetPercentage = scenario.cars.at(j).targetPercentage;
    }
    for (const MinuteRecord &record : records) {
        QVector<double> power(scenario.cars.count(), 0.0);
        double phaseCurrent[3];
        for (int p = 0; p < 3; p++)
            phaseCurrent[p] = (record.housePhasePower[p] - record.pvPower / 3) / voltage;
        const double total = chargeAtOnce(record, energyCap, &soc, &charging, &power, phaseCurrent, &result);
        const double pvToCars = qMin(total, m_pvAvailable.at(record.minute));
        for (int j = 0; j < scenario.cars.count(); j++) {
            CarFigures &figures = result.cars[j];
            const double pvPart = total > 0 ? power[j] / total * pvToCars : 0;
            figures.energy += power[j] / 60000.0;
            figures.pvEnergy += pvPart / 60000.0;
            figures.gridEnergy += (power[j] - pvPart) / 60000.0;
            figures.cost += (power[j] - pvPart) / 60000.0 * record.price / 1000.0;
            if (record.minute + 1 == scenario.cars.at(j).targetMinute)
                figures.socAtTarget = soc[j];
            figures.finalSoc = soc[j];
        }
        for (int p = 0; p < 3; p++) {
            const double over = phaseCurrent[p] - record.phaseLimit;
            if (record.phaseLimit > 0 && over > 1e-6) { // 0: no limit set
                result.minutesOverLimit[p]++;
                result.largestOvershoot[p] = qMax(result.largestOvershoot[p], over);
            }
        }
    }
    return result;
}

void Report::computeLimit()
{
    const Scenario &scenario = m_simulation.scenario();
    m_limit.cars.resize(scenario.cars.count());
    m_reachable.fill(true, scenario.cars.count());
    m_reachableFirst.fill(true, scenario.cars.count());
    LimitPlan plan(scenario, m_simulation.records(), m_pvAvailable, m_simulation.owner());
    // Both runs are among the limit's choices, reaction minutes over the fuse included.
    plan.allowRun(m_simulation.records());
    plan.allowRun(m_simulation.peerRecords());
    QVector<double> useful;
    for (const CarFigures &figures : qAsConst(m_plugin.cars))
        useful << figures.usefulEnergy;
    QVector<double> peerUseful;
    for (const CarFigures &figures : qAsConst(m_peer.cars))
        peerUseful << figures.usefulEnergy;
    QVector<double> leastCost;
    QVector<double> peerLeastCost;
    // A least cost below 0 is no failure: prices can be.
    if (!plan.plan(&m_limitError) || !plan.leastCost(useful, m_simulation.records(), &leastCost, &m_limitError)
        || !plan.leastCost(peerUseful, m_simulation.peerRecords(), &peerLeastCost, &m_limitError))
        return;
    m_limitDeadlines = plan.deadlines();
    m_pluginDeadlineEnergy = plan.deadlineEnergy(m_simulation.records());
    m_peerDeadlineEnergy = plan.deadlineEnergy(m_simulation.peerRecords());
    m_peerLeastCost = 0;
    for (double cost : qAsConst(peerLeastCost))
        m_peerLeastCost += cost;
    // A run that gave a deadline less than the plan did may take more PV
    // than the plan: it is held against the most PV with its own deadlines.
    double planPv = 0;
    for (const LimitPlan::CarResult &car : plan.cars())
        planPv += car.pvEnergy;
    const auto boundOf = [&](const QVector<MinuteRecord> &run, const QVector<double> &given, double *bound) {
        *bound = planPv;
        for (int k = 0; k < m_limitDeadlines.count(); k++) {
            const LimitPlan::DeadlineResult &deadline = m_limitDeadlines.at(k);
            if (deadline.session >= 0
                && qMin(deadline.needed, given.value(k)) < qMin(deadline.needed, deadline.planned) - 1e-3)
                return plan.pvBound(run, bound, &m_limitError);
        }
        return true;
    };
    if (!boundOf(m_simulation.records(), m_pluginDeadlineEnergy, &m_pluginPvBound)
        || !boundOf(m_simulation.peerRecords(), m_peerDeadlineEnergy, &m_peerPvBound))
        return;
    takeLimitCars(plan, leastCost);
}

void Report::takeLimitCars(const LimitPlan &plan, const QVector<double> &leastCost)
{
    const Scenario &scenario = m_simulation.scenario();
    for (int j = 0; j < scenario.cars.count(); j++) {
        const LimitPlan::CarResult &result = plan.cars().at(j);
        CarFigures &figures = m_limit.cars[j];
        figures.name = scenario.cars.at(j).name;
        figures.targetPercentage = scenario.cars.at(j).targetPercentage;
        figures.energy = result.energy;
        figures.pvEnergy = result.pvEnergy;
        figures.gridEnergy = result.gridEnergy;
        figures.cost = leastCost.at(j);
        figures.socAtTarget = result.socAtTarget;
        figures.finalSoc = result.finalSoc;
        m_reachable[j] = result.reachable;
        m_reachableFirst[j] = result.reachableFirst;
    }
}

// The table's rows: a label, a value per column (plugin, peer, baseline,
// limit), then the plugin's ratios to the peer and to the limit.
class Report::Table
{
public:
    Table(const Report &report, QTextStream &out)
        : columns{&report.m_plugin, &report.m_peer, &report.m_baseline, &report.m_limit},
          m_report(report),
          m_out(out)
    {
    }

    // A row of zeros only is left out unless always.
    void row(const QString &label, const QStringList &values, const QString &vsFirst, const QString &vsLimit,
             bool always = false)
    {
        if (!always && allZero(values))
            return;
        m_out << qSetFieldWidth(38) << Qt::left << label << qSetFieldWidth(10) << Qt::right;
        for (const QString &value : values)
            m_out << value;
        m_out << qSetFieldWidth(14) << vsFirst << vsLimit << qSetFieldWidth(0) << "\n";
    }
    void carRow(const QString &label, int j, double CarFigures::*member, int decimals, bool ratios, bool always = false)
    {
        QStringList values;
        for (const Figures *figures : columns)
            values << number(figures->cars.at(j).*member, decimals);
        const double plugin = m_report.m_plugin.cars.at(j).*member;
        row(label, values, ratios ? ratio(plugin, m_report.m_peer.cars.at(j).*member) : QString(),
            ratios ? ratio(plugin, m_report.m_limit.cars.at(j).*member) : QString(), always);
    }
    void countRow(const QString &label, const std::function<int(const Figures &)> &count, bool limitCounts)
    {
        QStringList values;
        for (const Figures *figures : columns)
            values << (figures != &m_report.m_limit || limitCounts ? QString::number(count(*figures))
                                                                   : QStringLiteral("-"));
        row(label, values, QString(), QString());
    }

    const QVector<const Figures *> columns;

private:
    const Report &m_report;
    QTextStream &m_out;
};

QString Report::table() const
{
    const Scenario &scenario = m_simulation.scenario();
    QString text;
    QTextStream out(&text);
    Table table(*this, out);
    bool deadlineNote = false;
    out << "Scenario: " << scenario.name << "\n";
    if (scenario.restartMinute >= 0)
        out << "The host was stopped hard and started again at " << scenario.clockText(scenario.restartMinute) << "\n";
    table.row(QString(),
              {QStringLiteral("plugin"), QStringLiteral("peer"), QStringLiteral("baseline"), QStringLiteral("limit")},
              QStringLiteral("plugin/peer"), QStringLiteral("plugin/limit"), true);
    for (int j = 0; j < m_plugin.cars.count(); j++) {
        out << "Car " << m_plugin.cars.at(j).name << "\n";
        writeCarEnergy(&table, j);
        deadlineNote = writeCarDeadline(&table, j) || deadlineNote;
        table.carRow(QStringLiteral("  SoC at the end [%]"), j, &CarFigures::finalSoc, 1, false, true);
        writeCarDischarge(&table, j);
    }
    writeAllCars(&table, out);
    if (deadlineNote)
        out << "Deadline met: the SoC at the target time at most 0.5 % below the wanted one (cars report whole "
               "percent); unreach.: not even the limit meets it\n";
    writePhases(&table, out);
    writeSwitches(&table, out);
    writeHousehold(&table, out);
    return text;
}

void Report::writeCarEnergy(Table *table, int j) const
{
    const Scenario &scenario = m_simulation.scenario();
    const CarFigures &p = m_plugin.cars.at(j);
    table->carRow(QStringLiteral("  energy delivered [kWh]"), j, &CarFigures::energy, 2, true, true);
    table->carRow(QStringLiteral("  from PV [kWh]"), j, &CarFigures::pvEnergy, 2, true);
    QStringList shares;
    for (const Figures *figures : table->columns) {
        const CarFigures &f = figures->cars.at(j);
        shares << number(f.energy > 1e-9 ? 100.0 * f.pvEnergy / f.energy : 0.0);
    }
    table->row(QStringLiteral("  PV share [%]"), shares, QString(), QString());
    table->carRow(QStringLiteral("  grid energy [kWh]"), j, &CarFigures::gridEnergy, 2, true);
    // Surplus-only charging (plugin and peer): what the grid covered
    // beyond the owner's tolerance, and how much of it came in a cloud's
    // first minute, before a controller could react.
    const CarFigures &peerCar = m_peer.cars.at(j);
    if (p.surplusOnlyEnergy > 0 || peerCar.surplusOnlyEnergy > 0) {
        const auto beyondRow = [&](const QString &label, double CarFigures::*member) {
            table->row(label,
                       {number(p.*member, 2), number(peerCar.*member, 2), QStringLiteral("-"), QStringLiteral("-")},
                       ratio(p.*member, peerCar.*member), QString());
        };
        beyondRow(QStringLiteral("  grid beyond the tolerance [kWh]"), &CarFigures::gridBeyondTolerance);
        beyondRow(QStringLiteral("    of that above the minimum [kWh]"), &CarFigures::gridBeyondToleranceAboveMinimum);
    }
    if (!scenario.hourlyPrices.isEmpty()) {
        table->carRow(QStringLiteral("  cost [EUR] (limit: same energy)"), j, &CarFigures::cost, 2, true);
        const double atOnce = m_atOnce.cars.at(j).cost;
        table->row(QStringLiteral("  saved against at once [EUR]"),
                   {number(atOnce - p.cost, 2), number(m_peerAtOnce.cars.at(j).cost - m_peer.cars.at(j).cost, 2),
                    QStringLiteral("-"), number(atOnce - m_limit.cars.at(j).cost, 2)},
                   QString(), QString());
    }
}

bool Report::writeCarDeadline(Table *table, int j) const
{
    const CarFigures &p = m_plugin.cars.at(j);
    if (p.socAtTarget < 0)
        return false;
    table->carRow(QStringLiteral("  SoC at target time [%] (want %1)").arg(number(p.targetPercentage, 0)), j,
                  &CarFigures::socAtTarget, 1, false, true);
    QStringList deadlines;
    for (const Figures *figures : table->columns)
        deadlines << deadlineText(figures->cars.at(j).deadline);
    table->row(QStringLiteral("  deadline"), deadlines, QString(), QString(), true);
    // Whether this car's deadline can be met when it goes first, and
    // whether the limit meets it together with every other one.
    const auto yes = [](bool value) { return value ? QStringLiteral("yes") : QStringLiteral("no"); };
    table->row(QStringLiteral("  reachable: first / with all"),
               {QString(), QString(), QString(),
                yes(m_reachableFirst.value(j, true)) + QLatin1Char('/') + yes(m_reachable.value(j, true))},
               QString(), QString(), true);
    return true;
}

void Report::writeCarDischarge(Table *table, int j) const
{
    const Scenario &scenario = m_simulation.scenario();
    const CarFigures &p = m_plugin.cars.at(j);
    const int charger = chargerIndexOf(scenario, scenario.cars.at(j));
    if (p.dischargedEnergy > 0 || (charger >= 0 && scenario.chargers.at(charger).dc)) {
        const CarFigures &peer = m_peer.cars.at(j);
        table->row(QStringLiteral("  discharged [kWh]"),
                   {number(p.dischargedEnergy, 2), number(peer.dischargedEnergy, 2), number(0, 2), QStringLiteral("-")},
                   QString(), QString());
        if (scenario.hasBattery)
            table->row(QStringLiteral("  into the home battery [kWh]"),
                       {number(p.toHomeBattery, 2), number(peer.toHomeBattery, 2), QStringLiteral("-"),
                        QStringLiteral("-")},
                       QString(), QString());
        table->row(QStringLiteral("  lowest SoC plugged in [%]"),
                   {number(p.lowestSoc), number(peer.lowestSoc), QStringLiteral("-"), QStringLiteral("-")}, QString(),
                   QString());
    }
    if (p.largestSocError >= 0)
        table->row(QStringLiteral("  SoC estimate error after entry [%]"),
                   {number(p.largestSocError), QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-")},
                   QString(), QString());
}

void Report::writeAllCars(Table *table, QTextStream &out) const
{
    const Scenario &scenario = m_simulation.scenario();
    if (m_plugin.cars.count() > 1) {
        // The limit may split its PV between the cars in many ways; the sum is what it bounds.
        out << "All cars\n";
        const auto sumRow = [&](const QString &label, double CarFigures::*member) {
            QStringList values;
            QVector<double> sums;
            for (const Figures *figures : table->columns) {
                double sum = 0;
                for (const CarFigures &car : figures->cars)
                    sum += car.*member;
                sums << sum;
                values << number(sum, 2);
            }
            table->row(label, values, ratio(sums.at(0), sums.at(1)), ratio(sums.at(0), sums.last()));
        };
        sumRow(QStringLiteral("  energy delivered [kWh]"), &CarFigures::energy);
        sumRow(QStringLiteral("  from PV [kWh]"), &CarFigures::pvEnergy);
        sumRow(QStringLiteral("  grid energy [kWh]"), &CarFigures::gridEnergy);
        if (!scenario.hourlyPrices.isEmpty())
            sumRow(QStringLiteral("  cost [EUR] (limit: same energy)"), &CarFigures::cost);
    }
    if (!scenario.hourlyPrices.isEmpty()) {
        // What smart charging saved: the same energy per car, charged at
        // full power from each plug-in, against what was paid.
        const auto saved = [&](const Figures &run, const Figures &atOnce) {
            double paid = 0;
            double reference = 0;
            for (int j = 0; j < run.cars.count(); j++) {
                paid += run.cars.at(j).cost;
                reference += atOnce.cars.at(j).cost;
            }
            return QStringLiteral("%1 EUR (paid %2 of %3 EUR)")
                    .arg(number(reference - paid, 2), number(paid, 2), number(reference, 2));
        };
        out << "Saved against charging at once to the same energy: plugin " << saved(m_plugin, m_atOnce) << ", peer "
            << saved(m_peer, m_peerAtOnce) << "\n";
    }
}

void Report::writePhases(Table *table, QTextStream &out) const
{
    const Scenario &scenario = m_simulation.scenario();
    // The limit as it was set during the run, e.g. "16 A; 20 A from 16:00".
    QStringList limits;
    const QVector<MinuteRecord> &records = m_simulation.records();
    for (int r = 0; r < records.count(); r++) {
        if (r > 0 && records.at(r).phaseLimit == records.at(r - 1).phaseLimit)
            continue;
        QString text = records.at(r).phaseLimit > 0 ? QStringLiteral("%1 A").arg(records.at(r).phaseLimit)
                                                    : QStringLiteral("none");
        if (r > 0)
            text += QStringLiteral(" from ") + scenario.clockText(records.at(r).minute);
        limits << text;
    }
    out << "Phases (limit " << limits.join(QStringLiteral("; ")) << ")\n";
    bool overAnywhere = false;
    for (const Figures *figures : table->columns) {
        for (int p = 0; p < 3; p++)
            overAnywhere = overAnywhere || figures->minutesOverLimit[p] > 0;
    }
    if (!overAnywhere)
        out << "  no minute over the limit\n";
    const char *names[] = {"A", "B", "C"};
    for (int p = 0; p < 3; p++) {
        const QString phase = QLatin1String(names[p]);
        table->countRow(
                QStringLiteral("  %1: minutes over the limit").arg(phase),
                [p](const Figures &f) { return f.minutesOverLimit[p]; }, true);
        table->countRow(
                QStringLiteral("  %1:   first after an outside step").arg(phase),
                [p](const Figures &f) { return f.minutesOverAfterOutsideStep[p]; }, true);
        table->countRow(
                QStringLiteral("  %1:   the house alone").arg(phase),
                [p](const Figures &f) { return f.minutesOverByHouseAlone[p]; }, true);
        table->countRow(
                QStringLiteral("  %1:   other").arg(phase),
                [p](const Figures &f) {
                    return f.minutesOverLimit[p] - f.minutesOverAfterOutsideStep[p] - f.minutesOverByHouseAlone[p];
                },
                true);
        QStringList overshoots;
        for (const Figures *figures : table->columns)
            overshoots << number(figures->largestOvershoot[p], 2);
        table->row(QStringLiteral("  %1: largest overshoot [A]").arg(phase), overshoots, QString(), QString());
    }
}

void Report::writeSwitches(Table *table, QTextStream &out) const
{
    const Scenario &scenario = m_simulation.scenario();
    table->countRow(
            QStringLiteral("On/off switches"), [](const Figures &f) { return f.switches; }, false);
    table->countRow(
            QStringLiteral("Phase switches"), [](const Figures &f) { return f.phaseSwitches; }, false);
    const int days = m_plugin.switchesPerDay.value(0).count();
    for (int i = 0; i < scenario.chargers.count(); i++) {
        const auto worstDay = [i](const QVector<QVector<int>> &perDay) {
            const QVector<int> counts = perDay.value(i);
            return counts.isEmpty() ? 0 : *std::max_element(counts.cbegin(), counts.cend());
        };
        const QString name = scenario.chargers.at(i).name;
        table->countRow(
                QStringLiteral("  %1: on/off, worst day").arg(name),
                [&](const Figures &f) { return worstDay(f.switchesPerDay); }, false);
        table->countRow(
                QStringLiteral("  %1: phase switches, worst day").arg(name),
                [&](const Figures &f) { return worstDay(f.phaseSwitchesPerDay); }, false);
        if (days > 1) {
            QStringList onOff;
            QStringList phase;
            for (int d = 0; d < days; d++) {
                onOff << QString::number(m_plugin.switchesPerDay.at(i).at(d));
                phase << QString::number(m_plugin.phaseSwitchesPerDay.at(i).at(d));
            }
            out << "    plugin per day: on/off " << onOff.join(QLatin1Char(' ')) << "; phase "
                << phase.join(QLatin1Char(' ')) << "\n";
        }
        writeOwnerSwitches(i, out);
    }
}

void Report::writeOwnerSwitches(int charger, QTextStream &out) const
{
    const QVector<int> owner = m_plugin.ownerSwitchesPerDay.value(charger);
    if (std::all_of(owner.cbegin(), owner.cend(), [](int count) { return count == 0; }))
        return;
    QStringList perDay;
    for (int count : owner)
        perDay << QString::number(count);
    out << "    of the plugin's, at the owner's steps per day: on/off " << perDay.join(QLatin1Char(' ')) << "\n";
}

void Report::writeHousehold(Table *table, QTextStream &out) const
{
    const Scenario &scenario = m_simulation.scenario();
    if (scenario.hasBattery && m_simulation.batteryLowerLimit() >= 0) {
        out << "Home battery (lower limit " << number(m_simulation.batteryLowerLimit() * 100, 0) << " %)\n";
        table->row(QStringLiteral("  to cars while below it [kWh]"),
                   {number(m_plugin.energyWhileBatteryLow, 2), QStringLiteral("-"), QStringLiteral("-"),
                    QStringLiteral("-")},
                   QString(), QString());
    }
    const QList<OwnerNotification> &notifications = m_simulation.notifications();
    if (!notifications.isEmpty()) {
        // A long run sends many; the first few show what the owner reads.
        const int shown = 5;
        out << "Notifications to the owner (" << notifications.count() << ")\n";
        for (int i = 0; i < notifications.count() && i < shown; i++) {
            const OwnerNotification &notification = notifications.at(i);
            out << "  " << scenario.clockText(notification.minute) << " " << notification.title << ": "
                << notification.body << "\n";
        }
    }
    // Every notification may lie past the first few: the promises judged
    // are listed whole, to measure how far they were off.
    if (m_plugin.promises > 0) {
        out << "Promises judged at the target time (" << m_plugin.promises << ", kept "
            << m_plugin.promisesKept << ")\n";
        for (const QString &promise : m_plugin.promisesJudged)
            out << "  " << promise << "\n";
    }
    writeForecastAndSoak(out);
}

void Report::writeForecastAndSoak(QTextStream &out) const
{
    const Scenario &scenario = m_simulation.scenario();
    if (scenario.forecast.enabled) {
        const ForecastFigures &forecast = m_simulation.forecast();
        double pvKwh = 0;
        for (const MinuteRecord &record : m_simulation.records())
            pvKwh += record.pvPower / 60000.0;
        out << "Solar forecast (served to every column)\n"
            << "  forecast PV of the run: " << number(forecast.forecastKwh, 2) << " kWh, the PV: " << number(pvKwh, 2)
            << " kWh\n"
            << "  requests: " << forecast.requests << " (" << forecast.refused << " refused for the rate limit)\n"
            << "  the plugin held a forecast at the start of " << forecast.hoursAvailable << " of "
            << forecast.hoursChecked << " hours\n";
    }
    if (scenario.random.enabled) {
        // The heap figures go to stderr: they differ between builds.
        const SoakFigures &soak = m_simulation.soak();
        out << "Soak (random seed " << scenario.random.seed << ")\n"
            << "  API calls: " << soak.apiCalls << " (" << soak.invalidCalls
            << " invalid), malformed answers: " << soak.malformedReplies
            << ", unexpected outcomes: " << soak.unexpectedOutcomes << "\n"
            << "  plug events: " << soak.plugEvents << ", appliance runs: " << soak.bursts << "\n"
            << "  longest run over the limit: " << m_plugin.longestRunOverLimit << " min\n"
            << "  car SoC seen: " << number(soak.lowestSoc) << " % to " << number(soak.highestSoc) << " %\n";
    }
}

// The failures of the expectations; those of a pending goal ("key" or
// "Car.key") are kept apart, as the plugin does not meet them yet.
class Report::Checker
{
public:
    Checker(const QStringList &pendingIds, QStringList *failures)
        : m_pendingIds(pendingIds),
          m_failures(*failures)
    {
    }

    void fail(const QString &id, const QString &text)
    {
        if (m_pendingIds.contains(id))
            m_pending[id] << text;
        else
            m_failures << text;
    }
    // A fault of the scenario or the run, never pending.
    void failAlways(const QString &text) { m_failures << text; }
    // "min…" fails below the value, "max…" above it.
    void check(const QJsonObject &expected, const QString &id, const QString &key, double value, const QString &what,
               int decimals)
    {
        if (!expected.contains(key))
            return;
        const double limit = expected.value(key).toDouble();
        const bool isMinimum = key.startsWith(QLatin1String("min"));
        const int shown = decimalsApart(value, limit, decimals);
        if (isMinimum ? value < limit : value > limit)
            fail(id, QStringLiteral("%1 %2, %3 %4 expected")
                             .arg(what, number(value, shown),
                                  isMinimum ? QStringLiteral("at least") : QStringLiteral("at most"),
                                  number(limit, shown)));
    }
    QStringList pendingFailures(const QString &id) const { return m_pending.value(id); }

private:
    const QStringList &m_pendingIds;
    QStringList &m_failures;
    QMap<QString, QStringList> m_pending;
};

void Report::evaluateExpectations()
{
    const Scenario &scenario = m_simulation.scenario();
    m_failures = m_simulation.actionFailures();
    Checker checker(scenario.expectationsPending, &m_failures);

    // Misspelt keys, goals for cars that are not there and pending goals
    // that name none were refused when the scenario was read.
    const QJsonObject cars = scenario.expectations.value(QStringLiteral("cars")).toObject();
    for (int j = 0; j < m_plugin.cars.count(); j++) {
        const QJsonObject expected = cars.value(m_plugin.cars.at(j).name).toObject();
        checkCarExpectations(j, expected, &checker);
        checkCarAgainstReferences(j, expected, &checker);
    }
    checkPhaseLimitExpectations(&checker);
    checkChargingExpectations(&checker);
    checkSoakExpectations(&checker);

    if (!m_limitError.isEmpty())
        m_failures << QStringLiteral("limit: %1").arg(m_limitError);
    m_failures += m_limitViolations;

    checkPromises();

    for (const QString &id : scenario.expectationsPending) {
        const QStringList texts = checker.pendingFailures(id);
        m_pending << (texts.isEmpty() ? QStringLiteral("%1: met now").arg(id)
                                      : QStringLiteral("%1: %2").arg(id, texts.join(QStringLiteral("; "))));
    }
}

void Report::checkCarExpectations(int carIndex, const QJsonObject &expected, Checker *checker) const
{
    const CarFigures &figures = m_plugin.cars.at(carIndex);
    const QString prefix = figures.name + QStringLiteral(": ");
    const auto carCheck = [&](const QString &key, double value, const QString &what, int decimals) {
        checker->check(expected, figures.name + QLatin1Char('.') + key, key, value, prefix + what, decimals);
    };
    const double share = figures.energy > 1e-9 ? figures.pvEnergy / figures.energy : 0;
    carCheck(QStringLiteral("minSurplusShare"), share, QStringLiteral("PV share"), 2);
    if (expected.value(QStringLiteral("reachTarget")).toBool() && figures.socAtTarget + 0.5 < figures.targetPercentage)
        checker->fail(figures.name + QStringLiteral(".reachTarget"),
                      QStringLiteral("%1: %2 % at the target time, %3 % wanted")
                              .arg(figures.name, number(figures.socAtTarget), number(figures.targetPercentage)));
    if (expected.value(QStringLiteral("meetReachableDeadline")).toBool()) {
        if (figures.deadline == Deadline::None)
            checker->failAlways(prefix + QStringLiteral("has no target time to meet"));
        else if (figures.deadline == Deadline::Missed)
            checker->fail(figures.name + QStringLiteral(".meetReachableDeadline"),
                          QStringLiteral("%1: %2 % at the target time, %3 % wanted and reachable")
                                  .arg(figures.name, number(figures.socAtTarget), number(figures.targetPercentage)));
    }
    carCheck(QStringLiteral("minEnergy"), figures.energy, QStringLiteral("energy delivered [kWh]"), 2);
    carCheck(QStringLiteral("maxEnergy"), figures.energy, QStringLiteral("energy delivered [kWh]"), 2);
    carCheck(QStringLiteral("minFinalSoc"), figures.finalSoc, QStringLiteral("SoC at the end [%]"), 1);
    carCheck(QStringLiteral("maxFinalSoc"), figures.finalSoc, QStringLiteral("SoC at the end [%]"), 1);
    carCheck(QStringLiteral("minDischargedEnergy"), figures.dischargedEnergy, QStringLiteral("discharged [kWh]"), 2);
    carCheck(QStringLiteral("minLowestSoc"), figures.lowestSoc, QStringLiteral("lowest SoC [%]"), 1);
    carCheck(QStringLiteral("maxNightGridEnergy"), figures.nightGridEnergy,
             QStringLiteral("grid energy without PV [kWh]"), 2);
    carCheck(QStringLiteral("maxToHomeBattery"), figures.toHomeBattery,
             QStringLiteral("discharged into the home battery [kWh]"), 2);
    if (expected.contains(QStringLiteral("maxSocEstimateError"))) {
        if (figures.largestSocError < 0)
            checker->failAlways(prefix + QStringLiteral("reports its own SoC; there is no estimate to check"));
        carCheck(QStringLiteral("maxSocEstimateError"), figures.largestSocError,
                 QStringLiteral("largest SoC estimate error [%]"), 1);
    }
}

void Report::checkCarAgainstReferences(int carIndex, const QJsonObject &expected, Checker *checker) const
{
    const CarFigures &figures = m_plugin.cars.at(carIndex);
    const auto carCheck = [&](const QString &key, double value, const QString &what) {
        checker->check(expected, figures.name + QLatin1Char('.') + key, key, value,
                       figures.name + QStringLiteral(": ") + what, 2);
    };
    const CarFigures &limit = m_limit.cars.at(carIndex);
    if (limit.pvEnergy > 1e-6)
        carCheck(QStringLiteral("minPvRatioToLimit"), figures.pvEnergy / limit.pvEnergy,
                 QStringLiteral("PV energy relative to the limit"));
    if (limit.cost > 0)
        carCheck(QStringLiteral("maxCostRatioToLimit"), figures.cost / limit.cost,
                 QStringLiteral("cost relative to the limit"));
    const CarFigures &baseline = m_baseline.cars.at(carIndex);
    if (baseline.cost > 0)
        carCheck(QStringLiteral("maxCostRatioToBaseline"), figures.cost / baseline.cost,
                 QStringLiteral("cost relative to the baseline"));
}

void Report::checkPhaseLimitExpectations(Checker *checker) const
{
    const QJsonObject &expectations = m_simulation.scenario().expectations;
    double largest = 0;
    int minutesOver = 0;
    for (int p = 0; p < 3; p++) {
        largest = qMax(largest, m_plugin.largestOvershoot[p]);
        minutesOver = qMax(minutesOver, m_plugin.minutesOverLimit[p]);
    }
    const auto check = [&](const QString &key, double value, const QString &what, int decimals) {
        checker->check(expectations, key, key, value, what, decimals);
    };
    check(QStringLiteral("maxOvershootAmpere"), largest, QStringLiteral("largest overshoot [A]"), 2);
    check(QStringLiteral("maxMinutesOverLimit"), minutesOver, QStringLiteral("minutes over the phase limit"), 0);
    check(QStringLiteral("maxMinutesOverLimitByPlugin"), m_plugin.minutesOverLimitByController(),
          QStringLiteral("minutes over the phase limit, not counting the first after an outside load step"), 0);
}

void Report::checkChargingExpectations(Checker *checker) const
{
    const QJsonObject &expectations = m_simulation.scenario().expectations;
    const auto check = [&](const QString &key, double value, const QString &what, int decimals) {
        checker->check(expectations, key, key, value, what, decimals);
    };
    int charged = 0;
    double least = -1;
    double most = 0;
    double pvEnergy = 0;
    double limitPvEnergy = 0;
    const QJsonArray fairnessCars = expectations.value(QStringLiteral("fairnessCars")).toArray();
    for (int j = 0; j < m_plugin.cars.count(); j++) {
        const CarFigures &figures = m_plugin.cars.at(j);
        charged += figures.energy > 0.1 ? 1 : 0;
        pvEnergy += figures.pvEnergy;
        limitPvEnergy += m_limit.cars.at(j).pvEnergy;
        if (!fairnessCars.isEmpty() && !fairnessCars.contains(QJsonValue(figures.name)))
            continue;
        least = least < 0 ? figures.energy : qMin(least, figures.energy);
        most = qMax(most, figures.energy);
    }
    check(QStringLiteral("minCarsCharged"), charged, QStringLiteral("cars charged"), 0);
    check(QStringLiteral("minFairnessRatio"), most > 0 ? least / most : 0,
          QStringLiteral("least / most energy of the cars"), 2);
    if (limitPvEnergy > 1e-6)
        check(QStringLiteral("minPvRatioToLimit"), pvEnergy / limitPvEnergy,
              QStringLiteral("PV energy of all cars relative to the limit"), 2);
    check(QStringLiteral("maxSwitches"), m_plugin.switches, QStringLiteral("on/off switches"), 0);
    check(QStringLiteral("maxPhaseSwitches"), m_plugin.phaseSwitches, QStringLiteral("phase switches"), 0);
    check(QStringLiteral("maxSwitchesPerChargerDay"), m_plugin.worstSwitchesPerChargerDay(),
          QStringLiteral("on/off switches of one charger in one day"), 0);
    check(QStringLiteral("maxPhaseSwitchesPerChargerDay"), m_plugin.worstPhaseSwitchesPerChargerDay(),
          QStringLiteral("phase switches of one charger in one day"), 0);
    check(QStringLiteral("maxEnergyWhileBatteryLow"), m_plugin.energyWhileBatteryLow,
          QStringLiteral("energy to cars while the home battery was below its lower limit [kWh]"), 2);
    check(QStringLiteral("maxMinutesOverLimitInARow"), m_plugin.longestRunOverLimit,
          QStringLiteral("minutes in a row over the phase limit"), 0);
    check(QStringLiteral("maxNotifications"), m_simulation.notifications().count(),
          QStringLiteral("notifications to the owner"), 0);
    const ForecastFigures &forecast = m_simulation.forecast();
    // Without a "forecast" section the plugin holds none.
    check(QStringLiteral("minForecastHeldShare"),
          forecast.hoursChecked > 0 ? static_cast<double>(forecast.hoursAvailable) / forecast.hoursChecked : 0.0,
          QStringLiteral("share of the hours the plugin held a solar forecast"), 2);
}

void Report::checkSoakExpectations(Checker *checker) const
{
    const Scenario &scenario = m_simulation.scenario();
    const QJsonObject &expectations = scenario.expectations;
    const SoakFigures &soak = m_simulation.soak();
    checker->check(expectations, QStringLiteral("minApiCalls"), QStringLiteral("minApiCalls"), soak.apiCalls,
                   QStringLiteral("random API calls"), 0);
    checker->check(expectations, QStringLiteral("minPlugEvents"), QStringLiteral("minPlugEvents"), soak.plugEvents,
                   QStringLiteral("random plug events"), 0);
    if (expectations.contains(QStringLiteral("maxHeapGrowthKiB"))) {
        if (soak.heapAfterFirstDay < 0 || soak.heapAtEnd < 0)
            checker->failAlways(QStringLiteral(
                    "heap in use not measured (a run of two days or more on glibc or AddressSanitizer is needed)"));
        else
            checker->check(expectations, QStringLiteral("maxHeapGrowthKiB"), QStringLiteral("maxHeapGrowthKiB"),
                           (soak.heapAtEnd - soak.heapAfterFirstDay) / 1024.0,
                           QStringLiteral("heap growth from the end of day 1 (%1 bytes) to the end (%2 bytes) [KiB]")
                                   .arg(soak.heapAfterFirstDay)
                                   .arg(soak.heapAtEnd),
                           1);
    }
    if (!scenario.random.enabled)
        return;
    if (soak.malformedReplies > 0 || soak.unexpectedOutcomes > 0 || soak.socOutOfRange > 0)
        checker->failAlways(
                QStringLiteral(
                        "%1 malformed answers, %2 unexpected outcomes, %3 car-minutes with a SoC outside 0…100 %")
                        .arg(soak.malformedReplies)
                        .arg(soak.unexpectedOutcomes)
                        .arg(soak.socOutOfRange));
    for (const QString &problem : soak.problems)
        checker->failAlways(problem);
}

void Report::checkPromises()
{
    // The car's name comes first in the text and the promised level is the
    // first percentage after it, in every language the plugin speaks. What
    // counts is the promise the owner holds at the target time: the last
    // one made for it (a later one corrects an earlier one the household
    // proved wrong, e.g. by switching on a charger by hand).
    static const QRegularExpression promised(QStringLiteral("(\\d+) %"));
    static const QRegularExpression promisedBy(QStringLiteral("\\d\\d:\\d\\d"));
    const int promiseMargin = 3;
    const Scenario &scenario = m_simulation.scenario();
    QMap<int, OwnerNotification> lastPromise;
    for (const OwnerNotification &notification : m_simulation.notifications()) {
        int car = -1;
        for (int j = 0; j < scenario.cars.count(); j++) {
            const QString &name = scenario.cars.at(j).name;
            if (notification.body.startsWith(name + QLatin1Char(' '))
                && (car < 0 || name.size() > scenario.cars.at(car).name.size()))
                car = j;
        }
        const int targetMinute = car < 0 ? -1 : scenario.cars.at(car).targetMinute;
        if (car >= 0 && notification.minute <= targetMinute && targetMinute - notification.minute <= 1440)
            lastPromise.insert(car, notification);
    }
    for (auto it = lastPromise.constBegin(); it != lastPromise.constEnd(); ++it) {
        const CarFigures &figures = m_plugin.cars.at(it.key());
        // A car that cannot report its level is judged by the level the
        // plugin estimates for it: that is all the plugin can promise on.
        double reached = figures.socAtTarget;
        if (m_simulation.carEstimated(it.key())) {
            for (const MinuteRecord &record : m_simulation.records()) {
                if (record.minute + 1 == scenario.cars.at(it.key()).targetMinute)
                    reached = record.carReportedSoc.value(it.key());
            }
        }
        // A car the owner unplugged before its target time took the
        // promise with it: the plugin cannot charge it meanwhile.
        const bool leftBeforeTarget =
                unpluggedBetween(it.key(), it->minute, scenario.cars.at(it.key()).targetMinute - 1);
        // A promise for another target time (the owner moved it since) is
        // not about the level at this one.
        const QRegularExpressionMatch clock = promisedBy.match(it->body, figures.name.size());
        const bool otherTarget =
                clock.hasMatch() && clock.captured(0) != scenario.clockText(scenario.cars.at(it.key()).targetMinute);
        const QRegularExpressionMatch match = promised.match(it->body, figures.name.size());
        if (reached < 0 || !match.hasMatch() || leftBeforeTarget || otherTarget)
            continue;
        m_plugin.promises++;
        m_plugin.promisesJudged << QStringLiteral("%1: told %2 % at %3, reached %4 %")
                                           .arg(figures.name, match.captured(1), scenario.clockText(it->minute),
                                                number(reached));
        if (qAbs(match.captured(1).toDouble() - reached) <= promiseMargin)
            m_plugin.promisesKept++;
        else
            m_failures << QStringLiteral("%1: the owner was told at %2 \"%3\"; it reached %4 %")
                                  .arg(figures.name, scenario.clockText(it->minute), it->body, number(reached));
    }
}

bool Report::unpluggedBetween(int j, int from, int to) const
{
    for (const MinuteRecord &record : m_simulation.records()) {
        if (record.minute >= from && record.minute < to && !record.carPluggedIn.value(j))
            return true;
    }
    return false;
}

void Report::checkBounds()
{
    // The limit must bound what both runs did: no deadline a run met
    // called unreachable, no more PV (than the plan, or where the run gave
    // a deadline less than the plan, than the most PV with the run's own
    // deadlines), no lower cost for the energy it delivered and the
    // deadlines it met.
    if (!m_limitError.isEmpty())
        return;
    const Scenario &scenario = m_simulation.scenario();
    double limitPv = 0;
    for (const CarFigures &car : qAsConst(m_limit.cars))
        limitPv += car.pvEnergy;
    const auto check = [&](const Figures &run, const QVector<double> &deadlineEnergy, double pvBound, double leastCost,
                           const QString &who) {
        for (int k = 0; k < m_limitDeadlines.count(); k++) {
            const LimitPlan::DeadlineResult &deadline = m_limitDeadlines.at(k);
            if (deadline.session >= 0 && deadlineEnergy.value(k) + 1e-4 >= deadline.needed && !deadline.reachableFirst)
                m_limitViolations << QStringLiteral("limit calls a deadline unreachable that the %1 met: %2 %3 % at %4")
                                             .arg(who, scenario.cars.at(deadline.car).name,
                                                  number(deadline.percentage, 0), scenario.clockText(deadline.minute));
        }
        if (pvBound > limitPv + 1e-3)
            m_limitExcuses << QStringLiteral("%1: gave a deadline less than the limit; its PV held against %2 kWh")
                                      .arg(who, number(pvBound, 3));
        double usefulPv = 0;
        double cost = 0;
        for (const CarFigures &car : run.cars) {
            usefulPv += car.usefulPvEnergy;
            cost += car.cost;
        }
        if (usefulPv > pvBound + 1e-3)
            m_limitViolations << QStringLiteral("limit is no upper bound: the %1 took %2 kWh of PV, the limit %3 kWh")
                                         .arg(who, number(usefulPv, 3), number(pvBound, 3));
        if (cost < leastCost - 1e-4)
            m_limitViolations << QStringLiteral("limit is no lower bound: the %1 paid %2 EUR, the limit %3 EUR for "
                                                "the same energy and deadlines")
                                         .arg(who, number(cost, 4), number(leastCost, 4));
    };
    double leastCost = 0;
    for (const CarFigures &car : qAsConst(m_limit.cars))
        leastCost += car.cost;
    check(m_plugin, m_pluginDeadlineEnergy, m_pluginPvBound, leastCost, QStringLiteral("plugin"));
    check(m_peer, m_peerDeadlineEnergy, m_peerPvBound, m_peerLeastCost, QStringLiteral("peer"));
}

namespace {

QString columnName(const QString &name, const char *suffix)
{
    return QString(name).replace(QLatin1Char(' '), QLatin1Char('_')) + QLatin1String(suffix);
}

// gnuplot reads the script from stdin: a quote in a name would end the string.
QString quoted(const QString &text)
{
    return QLatin1Char('\'') + QString(text).replace(QLatin1Char('\''), QLatin1Char(' ')) + QLatin1Char('\'');
}

// gnuplot's number of a CSV column (from 1).
QString columnNumber(const QStringList &columns, const QString &name)
{
    return QString::number(columns.indexOf(name) + 1);
}

}

QStringList Report::csvColumns() const
{
    const Scenario &scenario = m_simulation.scenario();
    QStringList columns = {QStringLiteral("minute"),       QStringLiteral("local_time"), QStringLiteral("hour"),
                           QStringLiteral("pv_W"),         QStringLiteral("house_W"),    QStringLiteral("battery_W"),
                           QStringLiteral("battery_soc"),  QStringLiteral("grid_W"),     QStringLiteral("gridA_A"),
                           QStringLiteral("gridB_A"),      QStringLiteral("gridC_A"),    QStringLiteral("limit_A"),
                           QStringLiteral("price_EUR_MWh")};
    for (const Scenario::Charger &charger : scenario.chargers)
        columns << columnName(charger.name, "_W");
    for (const Scenario::Car &car : scenario.cars)
        columns << columnName(car.name, "_soc");
    for (int j = 0; j < scenario.cars.count(); j++) {
        if (m_simulation.carEstimated(j))
            columns << columnName(scenario.cars.at(j).name, "_soc_estimate");
    }
    for (const Scenario::Charger &charger : scenario.chargers)
        columns << columnName(charger.name, "_peer_W");
    for (const Scenario::Car &car : scenario.cars)
        columns << columnName(car.name, "_peer_soc");
    for (const Scenario::Charger &charger : scenario.chargers)
        columns << columnName(charger.name, "_phases") << columnName(charger.name, "_enabled")
                << columnName(charger.name, "_phase_pause");
    return columns;
}

bool Report::writeCsv(const QString &fileName, QString *errorString) const
{
    const Scenario &scenario = m_simulation.scenario();
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *errorString = file.errorString();
        return false;
    }
    QTextStream out(&file);
    out << csvColumns().join(QLatin1Char(',')) << "\n";
    const QDate firstDate = scenario.start.date();
    for (const MinuteRecord &record : m_simulation.records()) {
        // The local clock: "hour" counts local hours from the first local
        // midnight, so that it shows the clock's jump when it changes.
        const QDateTime local = scenario.start.addSecs(record.minute * 60LL);
        const double hour = firstDate.daysTo(local.date()) * 24.0 + local.time().msecsSinceStartOfDay() / 3600000.0;
        out << record.minute << "," << local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate) << ","
            << number(hour, 3) << "," << number(record.pvPower) << "," << number(record.houseLoad) << ","
            << number(record.batteryPower) << "," << number(record.batterySoc) << "," << number(record.gridPower) << ","
            << number(record.gridPhaseCurrent[0], 2) << "," << number(record.gridPhaseCurrent[1], 2) << ","
            << number(record.gridPhaseCurrent[2], 2) << "," << record.phaseLimit << "," << number(record.price, 2);
        for (double power : record.chargerPower)
            out << "," << number(power);
        for (double soc : record.carSoc)
            out << "," << number(soc, 2);
        for (int j = 0; j < record.carReportedSoc.count(); j++) {
            if (m_simulation.carEstimated(j))
                out << "," << number(record.carReportedSoc.at(j), 0);
        }
        const MinuteRecord &peer = m_simulation.peerRecords().at(record.minute);
        for (double power : peer.chargerPower)
            out << "," << number(power);
        for (double soc : peer.carSoc)
            out << "," << number(soc, 2);
        for (int i = 0; i < scenario.chargers.count(); i++)
            out << "," << record.chargerPhases.value(i) << "," << record.chargerEnabled.value(i) << ","
                << record.chargerPhaseSwitch.value(i);
        out << "\n";
    }
    return true;
}

QString Report::chartTics() const
{
    // Local clock times at real minutes: a tick every 2, 6 or 12 hours,
    // midnight with the date; a clock change moves the ticks, not the data.
    const Scenario &scenario = m_simulation.scenario();
    const int duration = scenario.durationMinutes;
    const int step = duration <= 36 * 60 ? 120 : duration <= 4 * 1440 ? 360 : 720;
    QStringList tics;
    for (int minute = 0; minute <= duration; minute++) {
        const QDateTime local = scenario.start.addSecs(minute * 60LL);
        const int minuteOfDay = local.time().msecsSinceStartOfDay() / 60000;
        if (minuteOfDay % step != 0)
            continue;
        const QString label = minuteOfDay == 0 || tics.isEmpty()
                                      ? QLocale::c().toString(local, QStringLiteral("ddd dd.MM.\\nHH:mm"))
                                      : local.toString(QStringLiteral("HH:mm"));
        tics << QStringLiteral("\"%1\" %2").arg(label).arg(minute);
    }
    return QStringLiteral("set xtics (%1)\n").arg(tics.join(QStringLiteral(", ")));
}

QString Report::chartScript(const QString &csvFileName, const QString &pngFileName) const
{
    const Scenario &scenario = m_simulation.scenario();
    const QStringList columns = csvColumns();
    const bool priced = !scenario.hourlyPrices.isEmpty();
    QString script;
    QTextStream gp(&script);
    gp << "set terminal pngcairo size 1400," << (priced ? 1400 : 1100) << " font 'sans,10'\n"
       << "set output " << quoted(pngFileName) << "\n"
       << "set datafile separator ','\n"
       << "set key outside right top\n"
       << "set grid\n"
       // The same margins in every panel line the time axes up.
       << "set lmargin at screen 0.06\nset rmargin at screen 0.80\nset bmargin 3\n"
       << "set offsets 0, 0, graph 0.05, 0\n"
       << "set xrange [0:" << scenario.durationMinutes << "]\n"
       << chartTics() << "set multiplot layout " << (priced ? 4 : 3) << ",1 title " << quoted(scenario.name) << "\n";
    const QString data = quoted(csvFileName);
    gp << chartPowerPanel(data, columns);
    gp << "set ylabel 'A'\nplot " << data << " using 1:" << columnNumber(columns, QStringLiteral("gridA_A"))
       << " with lines title 'grid phase A', '' using 1:" << columnNumber(columns, QStringLiteral("gridB_A"))
       << " with lines title 'grid phase B', '' using 1:" << columnNumber(columns, QStringLiteral("gridC_A"))
       << " with lines title 'grid phase C', '' using 1:" << columnNumber(columns, QStringLiteral("limit_A"))
       << " with lines lw 2 dt 2 title 'phase limit'\n";
    if (priced) {
        // What the plugin drew, over the prices it paid.
        QStringList chargers;
        for (const Scenario::Charger &charger : scenario.chargers)
            chargers << QStringLiteral("$%1").arg(columnNumber(columns, columnName(charger.name, "_W")));
        gp << "set ylabel 'ct/kWh'\nset y2label 'kW'\nset y2tics\nset ytics nomirror\n"
           << "plot " << data << " using 1:((" << chargers.join(QLatin1Char('+'))
           << ")/1000) axes x1y2 with filledcurves y=0 fs transparent solid 0.35 lc rgb '#2a9d3c' "
           << "title 'chargers (plugin) [kW]', '' using 1:($" << columnNumber(columns, QStringLiteral("price_EUR_MWh"))
           << "/10) with steps lw 2 lc rgb '#c0392b' title 'price'\n"
           << "unset y2label\nunset y2tics\nset ytics mirror\n";
    }
    gp << chartSocPanel(data, columns);
    gp << "unset multiplot\n";
    gp.flush();
    return script;
}

QString Report::chartPowerPanel(const QString &data, const QStringList &columns) const
{
    // Only what the household has gets a line and a legend entry.
    const Scenario &scenario = m_simulation.scenario();
    QStringList plots;
    const auto plot = [&](const QString &name, const QString &style, const QString &title) {
        plots << QStringLiteral("%1 using 1:($%2/1000) with %3 title %4")
                         .arg(plots.isEmpty() ? data : QStringLiteral("''"), columnNumber(columns, name), style,
                              quoted(title));
    };
    if (scenario.pvPeakPower > 0)
        plot(QStringLiteral("pv_W"), QStringLiteral("lines lw 2"), QStringLiteral("PV"));
    plot(QStringLiteral("house_W"), QStringLiteral("lines"), QStringLiteral("house"));
    if (scenario.hasBattery)
        plot(QStringLiteral("battery_W"), QStringLiteral("lines"), QStringLiteral("home battery"));
    plot(QStringLiteral("grid_W"), QStringLiteral("lines"), QStringLiteral("grid"));
    for (const Scenario::Charger &charger : scenario.chargers)
        plot(columnName(charger.name, "_W"), QStringLiteral("lines lw 2"), charger.name);
    for (const Scenario::Charger &charger : scenario.chargers)
        plot(columnName(charger.name, "_peer_W"), QStringLiteral("lines dt 3"),
             charger.name + QStringLiteral(" (peer)"));
    return QStringLiteral("set ylabel 'kW'\nplot ") + plots.join(QStringLiteral(", ")) + QStringLiteral("\n");
}

QString Report::chartSocPanel(const QString &data, const QStringList &columns) const
{
    const Scenario &scenario = m_simulation.scenario();
    QStringList socs;
    const auto socPlot = [&](const QString &name, const QString &style, const QString &title) {
        socs << QStringLiteral("%1 using 1:%2 with %3 title %4")
                        .arg(socs.isEmpty() ? data : QStringLiteral("''"), columnNumber(columns, name), style,
                             quoted(title));
    };
    for (const Scenario::Car &car : scenario.cars)
        socPlot(columnName(car.name, "_soc"), QStringLiteral("lines lw 2"), QStringLiteral("SoC ") + car.name);
    for (int j = 0; j < scenario.cars.count(); j++) {
        if (m_simulation.carEstimated(j))
            socPlot(columnName(scenario.cars.at(j).name, "_soc_estimate"), QStringLiteral("steps dt 2"),
                    QStringLiteral("SoC %1 (estimate)").arg(scenario.cars.at(j).name));
    }
    for (const Scenario::Car &car : scenario.cars)
        socPlot(columnName(car.name, "_peer_soc"), QStringLiteral("lines dt 3"),
                QStringLiteral("SoC %1 (peer)").arg(car.name));
    if (scenario.hasBattery)
        socPlot(QStringLiteral("battery_soc"), QStringLiteral("lines"), QStringLiteral("home battery SoC"));
    if (socs.isEmpty())
        return QString();
    return QStringLiteral("set ylabel '%'\nset yrange [0:100]\nplot ") + socs.join(QStringLiteral(", "))
           + QStringLiteral("\n");
}

bool Report::writeChart(const QString &csvFileName, const QString &pngFileName, QString *errorString) const
{
    const QString script = chartScript(csvFileName, pngFileName);
    QProcess gnuplot;
    gnuplot.start(QStringLiteral("gnuplot"), QStringList());
    if (!gnuplot.waitForStarted(5000)) {
        *errorString = QStringLiteral("gnuplot is not installed");
        return false;
    }
    gnuplot.write(script.toUtf8());
    gnuplot.closeWriteChannel();
    if (!gnuplot.waitForFinished(30000) || gnuplot.exitCode() != 0) {
        *errorString = QString::fromUtf8(gnuplot.readAllStandardError());
        return false;
    }
    return true;
}
