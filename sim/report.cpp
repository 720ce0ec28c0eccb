#include "report.h"
#include "simulation.h"

#include <QFile>
#include <QProcess>
#include <QTextStream>
#include <QtMath>

#include <algorithm>

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

bool pluggedAt(const Scenario::Car &car, int minute)
{
    return minute >= car.plugInMinute && (car.plugOutMinute < 0 || minute < car.plugOutMinute);
}

double maxPower(const Scenario &scenario, const Scenario::Car &car)
{
    const int charger = chargerIndexOf(scenario, car);
    if (charger >= 0 && scenario.chargers.at(charger).dc)
        return qMin(car.dcMaxPower, 11000.0);
    return car.maxCurrent * voltage * car.phases;
}

double minPower(const Scenario &scenario, const Scenario::Car &car)
{
    const int charger = chargerIndexOf(scenario, car);
    if (charger >= 0 && scenario.chargers.at(charger).dc)
        return 1000.0;
    return car.minCurrent * voltage;
}

QString number(double value, int decimals = 1)
{
    return QString::number(value, 'f', decimals);
}

QString ratio(double numerator, double denominator)
{
    if (qAbs(denominator) < 1e-9)
        return QStringLiteral("-");
    return number(numerator / denominator, 2);
}

}

Report::Report(const Simulation &simulation) : m_simulation(simulation)
{
    computePlugin();
    computeBaseline();
    computeLimit();
}

bool Report::batteryLow(int recordIndex) const
{
    // The plugin decides at the end of a minute on the level it saw then;
    // its decision shows in the next minute.
    const double lowerLimit = m_simulation.batteryLowerLimit();
    if (!m_simulation.scenario().hasBattery || recordIndex == 0 || lowerLimit < 0)
        return false;
    return qRound(m_simulation.records().at(recordIndex - 1).batterySoc) < qRound(lowerLimit * 100.0);
}

void Report::computePlugin()
{
    const Scenario &scenario = m_simulation.scenario();
    const QVector<MinuteRecord> &records = m_simulation.records();
    m_plugin.cars.resize(scenario.cars.count());
    for (int j = 0; j < scenario.cars.count(); j++) {
        m_plugin.cars[j].name = scenario.cars.at(j).name;
        m_plugin.cars[j].targetPercentage = scenario.cars.at(j).targetPercentage;
    }
    int runOverLimit[3] = {0, 0, 0};
    for (int r = 0; r < records.count(); r++) {
        const MinuteRecord &record = records.at(r);
        const double surplus = qMax(0.0, record.pvPower - record.houseLoad);
        double total = 0;
        for (double power : record.chargerPower)
            total += qMax(0.0, power);
        const double pvToCars = qMin(total, surplus);
        for (int j = 0; j < scenario.cars.count(); j++) {
            const Scenario::Car &car = scenario.cars.at(j);
            CarFigures &figures = m_plugin.cars[j];
            const int charger = chargerIndexOf(scenario, car);
            if (record.carPluggedIn.value(j) && charger >= 0) {
                const double power = qMax(0.0, record.chargerPower.value(charger));
                const double pvPart = total > 0 ? power / total * pvToCars : 0;
                figures.energy += power / 60000.0;
                figures.pvEnergy += pvPart / 60000.0;
                figures.gridEnergy += (power - pvPart) / 60000.0;
                figures.cost += (power - pvPart) / 60000.0 * record.price / 1000.0;
                figures.dischargedEnergy += qMax(0.0, -record.chargerPower.value(charger)) / 60000.0;
                figures.lowestSoc = qMin(figures.lowestSoc, record.carSoc.value(j));
                if (batteryLow(r))
                    m_plugin.energyWhileBatteryLow += power / 60000.0;
            }
            // A record holds the state at the end of its minute.
            if (record.minute + 1 == car.targetMinute)
                figures.socAtTarget = record.carSoc.value(j);
            figures.finalSoc = record.carSoc.value(j);
            // The estimate is judged once the owner has entered the level.
            if (m_simulation.carEstimated(j) && record.minute >= m_simulation.carLevelEnteredMinute(j))
                figures.largestSocError = qMax(figures.largestSocError,
                                               qAbs(record.carReportedSoc.value(j) - record.carSoc.value(j)));
        }
        for (int p = 0; p < 3; p++) {
            const double over = record.gridPhaseCurrent[p] - record.phaseLimit;
            if (record.phaseLimit > 0 && over > 1e-6) { // 0: no limit set
                m_plugin.minutesOverLimit[p]++;
                m_plugin.largestOvershoot[p] = qMax(m_plugin.largestOvershoot[p], over);
                m_plugin.longestRunOverLimit = qMax(m_plugin.longestRunOverLimit, ++runOverLimit[p]);
            } else {
                runOverLimit[p] = 0;
            }
        }
        if (r > 0) {
            const MinuteRecord &previous = records.at(r - 1);
            for (int i = 0; i < record.chargerEnabled.count(); i++) {
                if (record.chargerEnabled.at(i) != previous.chargerEnabled.value(i))
                    m_plugin.switches++;
                const double before = previous.chargerPhases.value(i);
                const double now = record.chargerPhases.at(i);
                if (before > 0 && now > 0 && before != now)
                    m_plugin.phaseSwitches++;
            }
        }
    }
}

void Report::computeBaseline()
{
    const Scenario &scenario = m_simulation.scenario();
    const QVector<MinuteRecord> &records = m_simulation.records();
    m_baseline.cars.resize(scenario.cars.count());
    QVector<double> soc(scenario.cars.count());
    QVector<int> charging(scenario.cars.count(), 0);
    for (int j = 0; j < scenario.cars.count(); j++) {
        soc[j] = scenario.cars.at(j).soc;
        m_baseline.cars[j].name = scenario.cars.at(j).name;
        m_baseline.cars[j].targetPercentage = scenario.cars.at(j).targetPercentage;
    }
    for (const MinuteRecord &record : records) {
        QVector<double> power(scenario.cars.count(), 0.0);
        double total = 0;
        double phaseCurrent[3];
        for (int p = 0; p < 3; p++)
            phaseCurrent[p] = (record.housePhasePower[p] - record.pvPower / 3) / voltage;
        for (int j = 0; j < scenario.cars.count(); j++) {
            const Scenario::Car &car = scenario.cars.at(j);
            const double lossFactor = 1.0 - car.lossPercent / 100.0;
            if (pluggedAt(car, record.minute) && soc[j] < 100.0) {
                const double toFull = (100.0 - soc[j]) / 100.0 * car.capacityKwh * 1000.0 / lossFactor * 60.0;
                power[j] = qMin(maxPower(scenario, car), toFull);
                soc[j] = qMin(100.0, soc[j] + power[j] * lossFactor / 60.0 / 1000.0 / car.capacityKwh * 100.0);
            }
            const bool isCharging = power[j] > 0;
            if (int(isCharging) != charging[j])
                m_baseline.switches++;
            charging[j] = isCharging ? 1 : 0;
            total += power[j];
            const int charger = chargerIndexOf(scenario, car);
            const uint phases = charger >= 0 && scenario.chargers.at(charger).dc ? 3 : car.phases;
            for (uint p = 0; p < phases && p < 3; p++)
                phaseCurrent[p] += power[j] / phases / voltage;
        }
        const double pvToCars = qMin(total, qMax(0.0, record.pvPower - record.houseLoad));
        for (int j = 0; j < scenario.cars.count(); j++) {
            CarFigures &figures = m_baseline.cars[j];
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
                m_baseline.minutesOverLimit[p]++;
                m_baseline.largestOvershoot[p] = qMax(m_baseline.largestOvershoot[p], over);
            }
        }
    }
}

void Report::computeLimit()
{
    const Scenario &scenario = m_simulation.scenario();
    const QVector<MinuteRecord> &records = m_simulation.records();
    const int carCount = scenario.cars.count();
    m_limit.cars.resize(carCount);
    // A car in normal mode gets full power at once; nothing beats the baseline there.
    QVector<bool> smart(carCount);
    QVector<double> toFull(carCount);
    QVector<double> pvBeforeDeadline(carCount, 0.0);
    for (int j = 0; j < carCount; j++) {
        const Scenario::Car &car = scenario.cars.at(j);
        const QString mode = car.configuration.value(QStringLiteral("chargingMode")).toString();
        smart[j] = !mode.isEmpty() && mode != QLatin1String("ChargingModeNormal");
        // A car that stops at its target takes no more than that.
        const bool stops = car.configuration.value(QStringLiteral("stopOnTargetPercentage")).toBool();
        const double ceiling = stops ? qMin(100.0, car.configuration.value(QStringLiteral("targetPercentage"), 80).toDouble()) : 100.0;
        toFull[j] = qMax(0.0, (ceiling - car.soc) / 100.0 * car.capacityKwh / (1.0 - car.lossPercent / 100.0));
        m_limit.cars[j].name = car.name;
        m_limit.cars[j].targetPercentage = car.targetPercentage;
    }

    // All the surplus the smart cars can absorb together: as soon as it
    // covers the smallest minimum, it is spread over them up to their
    // maximums (the minimums of the others relaxed, so this bounds any
    // controller from above).
    for (const MinuteRecord &record : records) {
        QVector<int> active;
        double smallestMinimum = -1;
        for (int j = 0; j < carCount; j++) {
            const Scenario::Car &car = scenario.cars.at(j);
            if (!smart[j] || !pluggedAt(car, record.minute) || toFull[j] - m_limit.cars[j].pvEnergy <= 1e-9)
                continue;
            active.append(j);
            const double minimum = minPower(scenario, car);
            smallestMinimum = smallestMinimum < 0 ? minimum : qMin(smallestMinimum, minimum);
        }
        double surplus = qMax(0.0, record.pvPower - record.houseLoad);
        if (active.isEmpty() || surplus < smallestMinimum)
            continue;
        QVector<double> granted(carCount, 0.0);
        while (surplus > 1e-9 && !active.isEmpty()) {
            const double share = surplus / active.count();
            QVector<int> open;
            for (int j : qAsConst(active)) {
                const double cap = qMin(maxPower(scenario, scenario.cars.at(j)),
                                        (toFull[j] - m_limit.cars[j].pvEnergy) * 60000.0) - granted[j];
                const double given = qMin(share, cap);
                granted[j] += given;
                surplus -= given;
                if (given < share - 1e-9 || cap - given <= 1e-9)
                    continue;
                open.append(j);
            }
            if (open.count() == active.count())
                break; // nobody was capped: the share is spread
            active = open;
        }
        for (int j = 0; j < carCount; j++) {
            m_limit.cars[j].pvEnergy += granted[j] / 60000.0;
            const int targetMinute = scenario.cars.at(j).targetMinute;
            if (targetMinute < 0 || record.minute < targetMinute)
                pvBeforeDeadline[j] += granted[j] / 60000.0;
        }
    }

    for (int j = 0; j < carCount; j++) {
        const Scenario::Car &car = scenario.cars.at(j);
        CarFigures &figures = m_limit.cars[j];
        if (!smart[j]) {
            figures = m_baseline.cars.at(j);
            continue;
        }
        const double lossFactor = 1.0 - car.lossPercent / 100.0;
        const double target = car.targetMinute >= 0 ? car.targetPercentage : 0.0;
        const double neededByDeadline = qMax(0.0, (target - car.soc) / 100.0 * car.capacityKwh / lossFactor);
        // The rest of what the deadline needs, in the cheapest minutes before it.
        QVector<QPair<double, int>> priced;
        for (const MinuteRecord &record : records) {
            if (pluggedAt(car, record.minute) && (car.targetMinute < 0 || record.minute < car.targetMinute))
                priced.append(qMakePair(record.price, record.minute));
        }
        std::sort(priced.begin(), priced.end());
        double missing = qMax(0.0, neededByDeadline - pvBeforeDeadline[j]);
        const double perMinute = maxPower(scenario, car) / 60000.0;
        for (const auto &slot : priced) {
            if (missing <= 1e-9)
                break;
            const double energy = qMin(perMinute, missing);
            figures.gridEnergy += energy;
            figures.cost += energy * slot.first / 1000.0;
            missing -= energy;
        }
        figures.energy = figures.pvEnergy + figures.gridEnergy;
        figures.finalSoc = qMin(100.0, car.soc + figures.energy * lossFactor / car.capacityKwh * 100.0);
        if (car.targetMinute >= 0)
            figures.socAtTarget = qMin(100.0, car.soc + (pvBeforeDeadline[j] + figures.gridEnergy) * lossFactor / car.capacityKwh * 100.0);
    }
}

QString Report::table() const
{
    const Scenario &scenario = m_simulation.scenario();
    QString text;
    QTextStream out(&text);
    const auto row = [&out](const QString &label, const QString &plugin, const QString &baseline,
                            const QString &limit, const QString &vsBaseline, const QString &vsLimit) {
        out << qSetFieldWidth(34) << Qt::left << label << qSetFieldWidth(10) << Qt::right << plugin << baseline << limit
            << qSetFieldWidth(14) << vsBaseline << vsLimit << qSetFieldWidth(0) << "\n";
    };
    out << "Scenario: " << scenario.name << "\n";
    row(QString(), QStringLiteral("plugin"), QStringLiteral("baseline"), QStringLiteral("limit"),
        QStringLiteral("plugin/base"), QStringLiteral("plugin/limit"));
    for (int j = 0; j < m_plugin.cars.count(); j++) {
        const CarFigures &p = m_plugin.cars.at(j);
        const CarFigures &b = m_baseline.cars.at(j);
        const CarFigures &l = m_limit.cars.at(j);
        out << "Car " << p.name << "\n";
        row(QStringLiteral("  energy delivered [kWh]"), number(p.energy, 2), number(b.energy, 2), number(l.energy, 2),
            ratio(p.energy, b.energy), ratio(p.energy, l.energy));
        row(QStringLiteral("  from PV surplus [kWh]"), number(p.pvEnergy, 2), number(b.pvEnergy, 2), number(l.pvEnergy, 2),
            ratio(p.pvEnergy, b.pvEnergy), ratio(p.pvEnergy, l.pvEnergy));
        const auto share = [](const CarFigures &f) { return f.energy > 1e-9 ? 100.0 * f.pvEnergy / f.energy : 0.0; };
        row(QStringLiteral("  PV share [%]"), number(share(p)), number(share(b)), number(share(l)),
            ratio(share(p), share(b)), ratio(share(p), share(l)));
        row(QStringLiteral("  grid energy [kWh]"), number(p.gridEnergy, 2), number(b.gridEnergy, 2), number(l.gridEnergy, 2),
            ratio(p.gridEnergy, b.gridEnergy), ratio(p.gridEnergy, l.gridEnergy));
        if (!scenario.hourlyPrices.isEmpty())
            row(QStringLiteral("  cost at spot price [EUR]"), number(p.cost, 2), number(b.cost, 2), number(l.cost, 2),
                ratio(p.cost, b.cost), ratio(p.cost, l.cost));
        if (p.socAtTarget >= 0) {
            row(QStringLiteral("  SoC at target time [%] (want %1)").arg(number(p.targetPercentage, 0)),
                number(p.socAtTarget), number(b.socAtTarget), number(l.socAtTarget), QString(), QString());
        }
        row(QStringLiteral("  SoC at the end [%]"), number(p.finalSoc), number(b.finalSoc), number(l.finalSoc),
            QString(), QString());
        const int charger = chargerIndexOf(scenario, scenario.cars.at(j));
        if (p.dischargedEnergy > 0 || (charger >= 0 && scenario.chargers.at(charger).dc)) {
            row(QStringLiteral("  discharged [kWh]"), number(p.dischargedEnergy, 2), number(0, 2), QStringLiteral("-"),
                QString(), QString());
            row(QStringLiteral("  lowest SoC plugged in [%]"), number(p.lowestSoc), QStringLiteral("-"), QStringLiteral("-"),
                QString(), QString());
        }
        if (p.largestSocError >= 0)
            row(QStringLiteral("  SoC estimate error after entry [%]"), number(p.largestSocError), QStringLiteral("-"),
                QStringLiteral("-"), QString(), QString());
    }
    // The limit as it was set during the run, e.g. "16 A; 20 A from 16:00".
    QStringList limits;
    const QVector<MinuteRecord> &records = m_simulation.records();
    for (int r = 0; r < records.count(); r++) {
        if (r > 0 && records.at(r).phaseLimit == records.at(r - 1).phaseLimit)
            continue;
        QString text = records.at(r).phaseLimit > 0 ? QStringLiteral("%1 A").arg(records.at(r).phaseLimit) : QStringLiteral("none");
        if (r > 0)
            text += QStringLiteral(" from ") + scenario.clockText(records.at(r).minute);
        limits << text;
    }
    out << "Phases (limit " << limits.join(QStringLiteral("; ")) << ")\n";
    const char *names[] = {"A", "B", "C"};
    for (int p = 0; p < 3; p++) {
        row(QStringLiteral("  %1: minutes over the limit").arg(QLatin1String(names[p])),
            QString::number(m_plugin.minutesOverLimit[p]), QString::number(m_baseline.minutesOverLimit[p]),
            QStringLiteral("0"), QString(), QString());
        row(QStringLiteral("  %1: largest overshoot [A]").arg(QLatin1String(names[p])),
            number(m_plugin.largestOvershoot[p], 2), number(m_baseline.largestOvershoot[p], 2), QStringLiteral("0.00"),
            QString(), QString());
    }
    row(QStringLiteral("On/off switches"), QString::number(m_plugin.switches), QString::number(m_baseline.switches),
        QStringLiteral("-"), QString(), QString());
    row(QStringLiteral("Phase switches"), QString::number(m_plugin.phaseSwitches), QStringLiteral("0"),
        QStringLiteral("-"), QString(), QString());
    if (scenario.hasBattery && m_simulation.batteryLowerLimit() >= 0) {
        out << "Home battery (lower limit " << number(m_simulation.batteryLowerLimit() * 100, 0) << " %)\n";
        row(QStringLiteral("  to cars while below it [kWh]"), number(m_plugin.energyWhileBatteryLow, 2),
            QStringLiteral("-"), QStringLiteral("-"), QString(), QString());
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
    if (scenario.random.enabled) {
        // The heap figures go to stderr: they differ between builds.
        const SoakFigures &soak = m_simulation.soak();
        out << "Soak (random seed " << scenario.random.seed << ")\n"
            << "  API calls: " << soak.apiCalls << " (" << soak.invalidCalls << " invalid), malformed answers: "
            << soak.malformedReplies << ", unexpected outcomes: " << soak.unexpectedOutcomes << "\n"
            << "  plug events: " << soak.plugEvents << ", appliance runs: " << soak.bursts << "\n"
            << "  longest run over the limit: " << m_plugin.longestRunOverLimit << " min\n"
            << "  car SoC seen: " << number(soak.lowestSoc) << " % to " << number(soak.highestSoc) << " %\n";
    }
    return text;
}

QStringList Report::failedExpectations() const
{
    const Scenario &scenario = m_simulation.scenario();
    const QJsonObject expectations = scenario.expectations;
    QStringList failures = m_simulation.actionFailures();

    // A misspelt key would silently check nothing.
    const QStringList globalKeys = {QStringLiteral("cars"), QStringLiteral("maxOvershootAmpere"),
                                    QStringLiteral("maxMinutesOverLimit"), QStringLiteral("minCarsCharged"),
                                    QStringLiteral("maxSwitches"), QStringLiteral("maxPhaseSwitches"),
                                    QStringLiteral("minFairnessRatio"), QStringLiteral("maxEnergyWhileBatteryLow"),
                                    QStringLiteral("maxMinutesOverLimitInARow"), QStringLiteral("maxHeapGrowthKiB"),
                                    QStringLiteral("minApiCalls"), QStringLiteral("minPlugEvents")};
    const QStringList carKeys = {QStringLiteral("minSurplusShare"), QStringLiteral("reachTarget"),
                                 QStringLiteral("minEnergy"), QStringLiteral("maxEnergy"),
                                 QStringLiteral("maxCostRatioToBaseline"), QStringLiteral("maxCostRatioToLimit"),
                                 QStringLiteral("minFinalSoc"),
                                 QStringLiteral("maxFinalSoc"), QStringLiteral("minDischargedEnergy"),
                                 QStringLiteral("minLowestSoc"), QStringLiteral("maxSocEstimateError")};
    for (const QString &key : expectations.keys()) {
        if (!globalKeys.contains(key))
            failures << QStringLiteral("unknown expectation \"%1\"").arg(key);
    }
    const QJsonObject cars = expectations.value(QStringLiteral("cars")).toObject();
    for (const QString &name : cars.keys()) {
        bool known = false;
        for (const CarFigures &figures : m_plugin.cars)
            known = known || figures.name == name;
        if (!known)
            failures << QStringLiteral("expectation for an unknown car \"%1\"").arg(name);
        for (const QString &key : cars.value(name).toObject().keys()) {
            if (!carKeys.contains(key))
                failures << QStringLiteral("%1: unknown expectation \"%2\"").arg(name, key);
        }
    }

    // "min…" fails below the value, "max…" above it.
    const auto check = [&failures](const QJsonObject &expected, const QString &key, double value, const QString &what,
                                   int decimals) {
        if (!expected.contains(key))
            return;
        const double limit = expected.value(key).toDouble();
        const bool isMinimum = key.startsWith(QLatin1String("min"));
        if (isMinimum ? value < limit : value > limit)
            failures << QStringLiteral("%1 %2, %3 %4 expected").arg(what, number(value, decimals),
                                                                    isMinimum ? QStringLiteral("at least") : QStringLiteral("at most"),
                                                                    number(limit, decimals));
    };

    for (int j = 0; j < m_plugin.cars.count(); j++) {
        const CarFigures &figures = m_plugin.cars.at(j);
        const QJsonObject expected = cars.value(figures.name).toObject();
        const QString prefix = figures.name + QStringLiteral(": ");
        const double share = figures.energy > 1e-9 ? figures.pvEnergy / figures.energy : 0;
        check(expected, QStringLiteral("minSurplusShare"), share, prefix + QStringLiteral("PV share"), 2);
        if (expected.value(QStringLiteral("reachTarget")).toBool() && figures.socAtTarget + 0.5 < figures.targetPercentage)
            failures << QStringLiteral("%1: %2 % at the target time, %3 % wanted").arg(figures.name, number(figures.socAtTarget),
                                                                                   number(figures.targetPercentage));
        check(expected, QStringLiteral("minEnergy"), figures.energy, prefix + QStringLiteral("energy delivered [kWh]"), 2);
        check(expected, QStringLiteral("maxEnergy"), figures.energy, prefix + QStringLiteral("energy delivered [kWh]"), 2);
        check(expected, QStringLiteral("minFinalSoc"), figures.finalSoc, prefix + QStringLiteral("SoC at the end [%]"), 1);
        check(expected, QStringLiteral("maxFinalSoc"), figures.finalSoc, prefix + QStringLiteral("SoC at the end [%]"), 1);
        check(expected, QStringLiteral("minDischargedEnergy"), figures.dischargedEnergy,
              prefix + QStringLiteral("discharged [kWh]"), 2);
        check(expected, QStringLiteral("minLowestSoc"), figures.lowestSoc, prefix + QStringLiteral("lowest SoC [%]"), 1);
        if (expected.contains(QStringLiteral("maxSocEstimateError"))) {
            if (figures.largestSocError < 0)
                failures << prefix + QStringLiteral("reports its own SoC; there is no estimate to check");
            check(expected, QStringLiteral("maxSocEstimateError"), figures.largestSocError,
                  prefix + QStringLiteral("largest SoC estimate error [%]"), 1);
        }
        if (expected.contains(QStringLiteral("maxCostRatioToLimit"))) {
            const CarFigures &limit = m_limit.cars.at(j);
            if (limit.cost > 0)
                check(expected, QStringLiteral("maxCostRatioToLimit"), figures.cost / limit.cost,
                      prefix + QStringLiteral("cost relative to the limit"), 2);
        }
        if (expected.contains(QStringLiteral("maxCostRatioToBaseline"))) {
            const CarFigures &baseline = m_baseline.cars.at(j);
            if (baseline.cost > 0)
                check(expected, QStringLiteral("maxCostRatioToBaseline"), figures.cost / baseline.cost,
                      prefix + QStringLiteral("cost relative to the baseline"), 2);
        }
    }

    double largest = 0;
    int minutesOver = 0;
    for (int p = 0; p < 3; p++) {
        largest = qMax(largest, m_plugin.largestOvershoot[p]);
        minutesOver = qMax(minutesOver, m_plugin.minutesOverLimit[p]);
    }
    check(expectations, QStringLiteral("maxOvershootAmpere"), largest, QStringLiteral("largest overshoot [A]"), 2);
    check(expectations, QStringLiteral("maxMinutesOverLimit"), minutesOver, QStringLiteral("minutes over the phase limit"), 0);
    int charged = 0;
    double least = -1;
    double most = 0;
    for (const CarFigures &figures : m_plugin.cars) {
        charged += figures.energy > 0.1 ? 1 : 0;
        least = least < 0 ? figures.energy : qMin(least, figures.energy);
        most = qMax(most, figures.energy);
    }
    check(expectations, QStringLiteral("minCarsCharged"), charged, QStringLiteral("cars charged"), 0);
    check(expectations, QStringLiteral("minFairnessRatio"), most > 0 ? least / most : 0,
          QStringLiteral("least / most energy of the cars"), 2);
    check(expectations, QStringLiteral("maxSwitches"), m_plugin.switches, QStringLiteral("on/off switches"), 0);
    check(expectations, QStringLiteral("maxPhaseSwitches"), m_plugin.phaseSwitches, QStringLiteral("phase switches"), 0);
    check(expectations, QStringLiteral("maxEnergyWhileBatteryLow"), m_plugin.energyWhileBatteryLow,
          QStringLiteral("energy to cars while the home battery was below its lower limit [kWh]"), 2);
    check(expectations, QStringLiteral("maxMinutesOverLimitInARow"), m_plugin.longestRunOverLimit,
          QStringLiteral("minutes in a row over the phase limit"), 0);

    const SoakFigures &soak = m_simulation.soak();
    check(expectations, QStringLiteral("minApiCalls"), soak.apiCalls, QStringLiteral("random API calls"), 0);
    check(expectations, QStringLiteral("minPlugEvents"), soak.plugEvents, QStringLiteral("random plug events"), 0);
    if (expectations.contains(QStringLiteral("maxHeapGrowthKiB"))) {
        if (soak.heapAfterFirstDay < 0 || soak.heapAtEnd < 0)
            failures << QStringLiteral("heap in use not measured (a run of two days or more on glibc or AddressSanitizer is needed)");
        else
            check(expectations, QStringLiteral("maxHeapGrowthKiB"), (soak.heapAtEnd - soak.heapAfterFirstDay) / 1024.0,
                  QStringLiteral("heap growth from the end of day 1 (%1 bytes) to the end (%2 bytes) [KiB]")
                          .arg(soak.heapAfterFirstDay).arg(soak.heapAtEnd), 1);
    }
    if (scenario.random.enabled) {
        if (soak.malformedReplies > 0 || soak.unexpectedOutcomes > 0 || soak.socOutOfRange > 0)
            failures << QStringLiteral("%1 malformed answers, %2 unexpected outcomes, %3 car-minutes with a SoC outside 0…100 %")
                        .arg(soak.malformedReplies).arg(soak.unexpectedOutcomes).arg(soak.socOutOfRange);
        failures += soak.problems;
    }
    return failures;
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
    out << "minute,hour,pv_W,house_W,battery_W,battery_soc,grid_W,gridA_A,gridB_A,gridC_A,limit_A,price_EUR_MWh";
    for (const Scenario::Charger &charger : scenario.chargers)
        out << "," << QString(charger.name).replace(QLatin1Char(' '), QLatin1Char('_')) << "_W";
    for (const Scenario::Car &car : scenario.cars)
        out << "," << QString(car.name).replace(QLatin1Char(' '), QLatin1Char('_')) << "_soc";
    for (int j = 0; j < scenario.cars.count(); j++) {
        if (m_simulation.carEstimated(j))
            out << "," << QString(scenario.cars.at(j).name).replace(QLatin1Char(' '), QLatin1Char('_')) << "_soc_estimate";
    }
    out << "\n";
    const int startMinute = scenario.startOffsetMinutes();
    for (const MinuteRecord &record : m_simulation.records()) {
        out << record.minute << "," << number((startMinute + record.minute) / 60.0, 3) << ","
            << number(record.pvPower) << "," << number(record.houseLoad) << "," << number(record.batteryPower) << ","
            << number(record.batterySoc) << "," << number(record.gridPower) << ","
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
        out << "\n";
    }
    return true;
}

bool Report::writeChart(const QString &csvFileName, const QString &pngFileName, QString *errorString) const
{
    const Scenario &scenario = m_simulation.scenario();
    const int chargers = scenario.chargers.count();
    const int cars = scenario.cars.count();
    QString script;
    QTextStream gp(&script);
    gp << "set terminal pngcairo size 1400,1100 font 'sans,10'\n"
       << "set output '" << pngFileName << "'\n"
       << "set datafile separator ','\n"
       << "set key outside right top\n"
       << "set grid\n"
       << "set xlabel 'hour'\n"
       << "set multiplot layout 3,1 title '" << QString(scenario.name).replace(QLatin1Char('\''), QLatin1Char(' ')) << "'\n"
       << "set ylabel 'W'\n"
       << "plot '" << csvFileName << "' using 2:3 with lines lw 2 title 'PV', "
       << "'' using 2:4 with lines title 'house', '' using 2:5 with lines title 'home battery', "
       << "'' using 2:7 with lines title 'grid'";
    for (int i = 0; i < chargers; i++)
        gp << ", '' using 2:" << 13 + i << " with lines lw 2 title '" << scenario.chargers.at(i).name << "'";
    gp << "\nset ylabel 'A'\n"
       << "plot '" << csvFileName << "' using 2:8 with lines title 'grid phase A', '' using 2:9 with lines title 'grid phase B', "
       << "'' using 2:10 with lines title 'grid phase C', '' using 2:11 with lines lw 2 dt 2 title 'phase limit'\n"
       << "set ylabel '%'\nset y2label 'EUR/MWh'\nset y2tics\nset yrange [0:100]\n"
       << "plot '" << csvFileName << "' using 2:12 axes x1y2 with steps title 'price', '' using 2:6 with lines title 'home battery SoC'";
    for (int j = 0; j < cars; j++)
        gp << ", '' using 2:" << 13 + chargers + j << " with lines lw 2 title 'SoC " << scenario.cars.at(j).name << "'";
    int estimateColumn = 13 + chargers + cars;
    for (int j = 0; j < cars; j++) {
        if (m_simulation.carEstimated(j))
            gp << ", '' using 2:" << estimateColumn++ << " with steps dt 2 title 'SoC " << scenario.cars.at(j).name
               << " (estimate)'";
    }
    gp << "\nunset multiplot\n";

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
