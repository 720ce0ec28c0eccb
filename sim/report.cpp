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

void Report::computePlugin()
{
    const Scenario &scenario = m_simulation.scenario();
    const QList<MinuteRecord> &records = m_simulation.records();
    m_plugin.cars.resize(scenario.cars.count());
    for (int j = 0; j < scenario.cars.count(); j++) {
        m_plugin.cars[j].name = scenario.cars.at(j).name;
        m_plugin.cars[j].targetPercentage = scenario.cars.at(j).targetPercentage;
    }
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
            }
            if (record.minute == car.targetMinute)
                figures.socAtTarget = record.carSoc.value(j);
            figures.finalSoc = record.carSoc.value(j);
        }
        for (int p = 0; p < 3; p++) {
            const double over = record.gridPhaseCurrent[p] - scenario.phasePowerLimit;
            if (over > 1e-6) {
                m_plugin.minutesOverLimit[p]++;
                m_plugin.largestOvershoot[p] = qMax(m_plugin.largestOvershoot[p], over);
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
    const QList<MinuteRecord> &records = m_simulation.records();
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
            if (record.minute == scenario.cars.at(j).targetMinute)
                figures.socAtTarget = soc[j];
            figures.finalSoc = soc[j];
        }
        for (int p = 0; p < 3; p++) {
            const double over = phaseCurrent[p] - scenario.phasePowerLimit;
            if (over > 1e-6) {
                m_baseline.minutesOverLimit[p]++;
                m_baseline.largestOvershoot[p] = qMax(m_baseline.largestOvershoot[p], over);
            }
        }
    }
}

void Report::computeLimit()
{
    const Scenario &scenario = m_simulation.scenario();
    const QList<MinuteRecord> &records = m_simulation.records();
    m_limit.cars.resize(scenario.cars.count());
    for (int j = 0; j < scenario.cars.count(); j++) {
        const Scenario::Car &car = scenario.cars.at(j);
        CarFigures &figures = m_limit.cars[j];
        figures.name = car.name;
        figures.targetPercentage = car.targetPercentage;
        const double lossFactor = 1.0 - car.lossPercent / 100.0;
        const double toFull = (100.0 - car.soc) / 100.0 * car.capacityKwh / lossFactor;
        const double target = car.targetMinute >= 0 ? car.targetPercentage : 0.0;
        const double neededByDeadline = qMax(0.0, (target - car.soc) / 100.0 * car.capacityKwh / lossFactor);

        // Surplus is shared equally between the cars plugged in that minute.
        double pvBeforeDeadline = 0;
        QVector<QPair<double, int>> priced;
        for (const MinuteRecord &record : records) {
            if (!pluggedAt(car, record.minute))
                continue;
            int pluggedCars = 0;
            for (const Scenario::Car &other : scenario.cars)
                pluggedCars += pluggedAt(other, record.minute) ? 1 : 0;
            const double surplus = qMax(0.0, record.pvPower - record.houseLoad) / qMax(1, pluggedCars);
            const double absorbed = surplus >= minPower(scenario, car) ? qMin(surplus, maxPower(scenario, car)) : 0.0;
            const double energy = qMin(absorbed / 60000.0, toFull - figures.pvEnergy);
            figures.pvEnergy += energy;
            const bool beforeDeadline = car.targetMinute < 0 || record.minute < car.targetMinute;
            if (beforeDeadline) {
                pvBeforeDeadline += energy;
                priced.append(qMakePair(record.price, record.minute));
            }
        }
        // The rest of what the deadline needs, in the cheapest minutes.
        std::sort(priced.begin(), priced.end());
        double missing = qMax(0.0, neededByDeadline - pvBeforeDeadline);
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
            figures.socAtTarget = qMin(100.0, car.soc + (pvBeforeDeadline + figures.gridEnergy) * lossFactor / car.capacityKwh * 100.0);
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
        row(QStringLiteral("  cost at spot price [EUR]"), number(p.cost, 2), number(b.cost, 2), number(l.cost, 2),
            ratio(p.cost, b.cost), ratio(p.cost, l.cost));
        if (p.socAtTarget >= 0) {
            row(QStringLiteral("  SoC at target time [%] (want %1)").arg(number(p.targetPercentage, 0)),
                number(p.socAtTarget), number(b.socAtTarget), number(l.socAtTarget), QString(), QString());
        }
        row(QStringLiteral("  SoC at the end [%]"), number(p.finalSoc), number(b.finalSoc), number(l.finalSoc),
            QString(), QString());
    }
    out << "Phases (limit " << scenario.phasePowerLimit << " A)\n";
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
    return text;
}

QStringList Report::failedExpectations() const
{
    const Scenario &scenario = m_simulation.scenario();
    const QJsonObject expectations = scenario.expectations;
    QStringList failures;
    const QJsonObject cars = expectations.value(QStringLiteral("cars")).toObject();
    for (const CarFigures &figures : m_plugin.cars) {
        const QJsonObject expected = cars.value(figures.name).toObject();
        const double share = figures.energy > 1e-9 ? figures.pvEnergy / figures.energy : 0;
        if (expected.contains(QStringLiteral("minSurplusShare"))
                && share < expected.value(QStringLiteral("minSurplusShare")).toDouble())
            failures << QStringLiteral("%1: PV share %2 below %3").arg(figures.name, number(share, 2),
                                                                     number(expected.value(QStringLiteral("minSurplusShare")).toDouble(), 2));
        if (expected.value(QStringLiteral("reachTarget")).toBool() && figures.socAtTarget + 0.5 < figures.targetPercentage)
            failures << QStringLiteral("%1: %2 % at the target time, %3 % wanted").arg(figures.name, number(figures.socAtTarget),
                                                                                   number(figures.targetPercentage));
        if (expected.contains(QStringLiteral("minEnergy")) && figures.energy < expected.value(QStringLiteral("minEnergy")).toDouble())
            failures << QStringLiteral("%1: only %2 kWh delivered").arg(figures.name, number(figures.energy, 2));
        if (expected.contains(QStringLiteral("maxEnergy")) && figures.energy > expected.value(QStringLiteral("maxEnergy")).toDouble())
            failures << QStringLiteral("%1: %2 kWh delivered, at most %3 expected").arg(figures.name, number(figures.energy, 2),
                                                                                    number(expected.value(QStringLiteral("maxEnergy")).toDouble(), 2));
        if (expected.contains(QStringLiteral("maxCostRatioToBaseline"))) {
            const CarFigures *baseline = nullptr;
            for (const CarFigures &candidate : m_baseline.cars) {
                if (candidate.name == figures.name)
                    baseline = &candidate;
            }
            if (baseline && baseline->cost > 0
                    && figures.cost / baseline->cost > expected.value(QStringLiteral("maxCostRatioToBaseline")).toDouble())
                failures << QStringLiteral("%1: cost %2 EUR is %3 of the baseline's").arg(figures.name, number(figures.cost, 2),
                                                                                        ratio(figures.cost, baseline->cost));
        }
    }
    double largest = 0;
    int minutesOver = 0;
    for (int p = 0; p < 3; p++) {
        largest = qMax(largest, m_plugin.largestOvershoot[p]);
        minutesOver = qMax(minutesOver, m_plugin.minutesOverLimit[p]);
    }
    if (expectations.contains(QStringLiteral("maxOvershootAmpere"))
            && largest > expectations.value(QStringLiteral("maxOvershootAmpere")).toDouble())
        failures << QStringLiteral("largest overshoot %1 A").arg(number(largest, 2));
    if (expectations.contains(QStringLiteral("maxMinutesOverLimit"))
            && minutesOver > expectations.value(QStringLiteral("maxMinutesOverLimit")).toInt())
        failures << QStringLiteral("%1 minutes over the phase limit").arg(minutesOver);
    if (expectations.contains(QStringLiteral("minCarsCharged"))) {
        int charged = 0;
        for (const CarFigures &figures : m_plugin.cars)
            charged += figures.energy > 0.1 ? 1 : 0;
        if (charged < expectations.value(QStringLiteral("minCarsCharged")).toInt())
            failures << QStringLiteral("only %1 cars charged").arg(charged);
    }
    if (expectations.contains(QStringLiteral("maxSwitches"))
            && m_plugin.switches > expectations.value(QStringLiteral("maxSwitches")).toInt())
        failures << QStringLiteral("%1 on/off switches").arg(m_plugin.switches);
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
    out << "\n";
    const int startMinute = scenario.start.time().hour() * 60 + scenario.start.time().minute();
    for (const MinuteRecord &record : m_simulation.records()) {
        out << record.minute << "," << number((startMinute + record.minute) / 60.0, 3) << ","
            << number(record.pvPower) << "," << number(record.houseLoad) << "," << number(record.batteryPower) << ","
            << number(record.batterySoc) << "," << number(record.gridPower) << ","
            << number(record.gridPhaseCurrent[0], 2) << "," << number(record.gridPhaseCurrent[1], 2) << ","
            << number(record.gridPhaseCurrent[2], 2) << "," << scenario.phasePowerLimit << "," << number(record.price, 2);
        for (double power : record.chargerPower)
            out << "," << number(power);
        for (double soc : record.carSoc)
            out << "," << number(soc, 2);
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
