#include "ownertimeline.h"

#include "types/chargingconfiguration.h"

#include <algorithm>

OwnerTimeline::OwnerTimeline(const Scenario &scenario)
    : m_scenario(scenario),
      m_cars(scenario.cars.count())
{
    for (int j = 0; j < scenario.cars.count(); j++)
        m_cars[j].append({0, scenario.cars.at(j).configuration});
    m_batteryLowerLimit.append({0, -1});
}

template<typename T>
int OwnerTimeline::indexAt(const QVector<T> &changes, int minute)
{
    int index = 0;
    for (int i = 1; i < changes.count() && changes.at(i).minute <= minute; i++)
        index = i;
    return index;
}

void OwnerTimeline::setConfiguration(int minute, int car, const QVariantMap &configuration)
{
    QVector<Change> &changes = m_cars[car];
    QVariantMap merged = changes.last().configuration;
    for (auto it = configuration.constBegin(); it != configuration.constEnd(); ++it)
        merged.insert(it.key(), it.value());
    if (changes.last().minute == minute)
        changes.last().configuration = merged;
    else
        changes.append({minute, merged});
}

void OwnerTimeline::setBatteryLowerLimit(int minute, double fraction)
{
    if (m_batteryLowerLimit.last().minute == minute)
        m_batteryLowerLimit.last().fraction = fraction;
    else
        m_batteryLowerLimit.append({minute, fraction});
}

QVariantMap OwnerTimeline::configurationAt(int car, int minute) const
{
    const QVector<Change> &changes = m_cars.at(car);
    return changes.at(indexAt(changes, minute)).configuration;
}

bool OwnerTimeline::normalModeAt(int car, int minute) const
{
    const QString mode = configurationAt(car, minute).value(QStringLiteral("chargingMode")).toString();
    return mode.isEmpty() || mode == QLatin1String("ChargingModeNormal");
}

double OwnerTimeline::ceilingOf(const QVariantMap &configuration)
{
    if (!configuration.value(QStringLiteral("stopOnTargetPercentage")).toBool())
        return 100.0;
    return qMin(100.0, configuration.value(QStringLiteral("targetPercentage"), 80).toDouble());
}

double OwnerTimeline::ceilingAt(int car, int minute) const
{
    return ceilingOf(configurationAt(car, minute));
}

double OwnerTimeline::largestCeiling(int car, int from, int to) const
{
    const QVector<Change> &changes = m_cars.at(car);
    double largest = ceilingOf(changes.at(indexAt(changes, from)).configuration);
    for (const Change &change : changes) {
        if (change.minute > from && change.minute < to)
            largest = qMax(largest, ceilingOf(change.configuration));
    }
    return largest;
}

double OwnerTimeline::batteryLowerLimitAt(int minute) const
{
    return m_batteryLowerLimit.at(indexAt(m_batteryLowerLimit, minute)).fraction;
}

QVector<OwnerTimeline::Deadline> OwnerTimeline::deadlines(int durationMinutes) const
{
    QVector<Deadline> found;
    for (int j = 0; j < m_cars.count(); j++) {
        const Scenario::Car &car = m_scenario.cars.at(j);
        if (car.targetMinute >= 0 && car.targetMinute <= durationMinutes)
            found.append({j, car.targetMinute, car.targetPercentage});
        const QVector<Change> &changes = m_cars.at(j);
        for (int i = 0; i < changes.count(); i++) {
            const QVariantMap &configuration = changes.at(i).configuration;
            if (configuration.value(QStringLiteral("chargingMode")).toString()
                        != QLatin1String("ChargingModeEcoWithTargetTime")
                || !configuration.contains(QStringLiteral("endDateTime")))
                continue;
            const QVariant end = configuration.value(QStringLiteral("endDateTime"));
            bool ok = false;
            const qint64 seconds = end.toLongLong(&ok);
            if (!ok)
                continue; // not resolved to a time
            ChargingConfiguration rule;
            rule.setEndDateTime(QDateTime::fromSecsSinceEpoch(seconds));
            QList<int> days;
            for (const QVariant &day : configuration.value(QStringLiteral("repeatDays")).toList())
                days.append(day.toInt());
            rule.setRepeatDays(days);
            const int from = changes.at(i).minute;
            const int to = qMin(durationMinutes, i + 1 < changes.count() ? changes.at(i + 1).minute : durationMinutes);
            // A target the owner replaced before it came is no target.
            for (int cursor = from; cursor <= to;) {
                const QDateTime next = rule.nextEndTime(m_scenario.start.addSecs(cursor * 60LL));
                if (!next.isValid())
                    break;
                const int minute = static_cast<int>((m_scenario.start.secsTo(next) + 59) / 60);
                if (minute > to)
                    break;
                if (minute > from)
                    found.append({j, minute, configuration.value(QStringLiteral("targetPercentage"), 80).toDouble()});
                cursor = minute + 1;
            }
        }
    }
    std::sort(found.begin(), found.end(), [](const Deadline &a, const Deadline &b) {
        return a.minute != b.minute ? a.minute < b.minute : a.car < b.car;
    });
    QVector<Deadline> deadlines;
    for (const Deadline &deadline : qAsConst(found)) {
        if (!deadlines.isEmpty() && deadlines.last().car == deadline.car && deadlines.last().minute == deadline.minute)
            deadlines.last().percentage = qMax(deadlines.last().percentage, deadline.percentage);
        else
            deadlines.append(deadline);
    }
    return deadlines;
}
