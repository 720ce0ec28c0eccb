#include "ownertimeline.h"

#include "types/chargingconfiguration.h"

#include <QtMath>

#include <algorithm>

namespace {

// Room for the wishes a run can send, so that none is allocated while it runs.
int expectedChanges(const Scenario &scenario)
{
    const double days = qMax(1, scenario.durationMinutes) / 1440.0;
    return 8 + scenario.actions.count() + (scenario.random.enabled ? qCeil(scenario.random.apiCallsPerDay * days) : 0);
}

}

OwnerTimeline::OwnerTimeline(const Scenario &scenario)
    : m_scenario(scenario),
      m_cars(static_cast<size_t>(scenario.cars.count())),
      m_levels(static_cast<size_t>(scenario.cars.count()))
{
    const size_t expected = static_cast<size_t>(expectedChanges(scenario));
    for (int j = 0; j < scenario.cars.count(); j++) {
        m_cars[j].reserve(expected);
        m_cars[j].push_back(Wish());
        setConfiguration(0, j, scenario.cars.at(j).configuration);
        m_levels[j].reserve(expected);
        m_levels[j].push_back(LevelEntry());
    }
    m_batteryLowerLimit.reserve(expected);
    m_batteryLowerLimit.push_back({0, -1});
    m_spotMarket.reserve(expected);
    m_spotMarket.push_back({0, false});
}

template<typename T>
int OwnerTimeline::indexAt(const std::vector<T> &changes, int minute)
{
    // The first change after minute, less one.
    const auto after = std::upper_bound(changes.cbegin() + 1, changes.cend(), minute,
                                        [](int value, const T &change) { return value < change.minute; });
    return static_cast<int>(after - changes.cbegin()) - 1;
}

int OwnerTimeline::Wish::nextDeadline(const QDateTime &start, int from) const
{
    if (endDateTime < 0)
        return -1;
    ChargingConfiguration rule;
    rule.setEndDateTime(QDateTime::fromSecsSinceEpoch(endDateTime));
    QList<int> days;
    for (int day = 1; day <= 7; day++) {
        if (repeatDays & (1u << (day - 1)))
            days.append(day);
    }
    rule.setRepeatDays(days);
    const QDateTime next = rule.nextEndTime(start.addSecs(from * 60LL));
    return next.isValid() ? static_cast<int>((start.secsTo(next) + 59) / 60) : -1;
}

void OwnerTimeline::setConfiguration(int minute, int car, const QVariantMap &configuration)
{
    std::vector<Wish> &wishes = m_cars[car];
    Wish wish = wishes.back();
    wish.minute = minute;
    const QString mode = configuration.value(QStringLiteral("chargingMode")).toString();
    if (mode == QLatin1String("ChargingModeNormal"))
        wish.mode = Mode::Normal;
    else if (mode == QLatin1String("ChargingModeEco"))
        wish.mode = Mode::Eco;
    else if (mode == QLatin1String("ChargingModeEcoWithTargetTime"))
        wish.mode = Mode::EcoWithTargetTime;
    wish.target = configuration.value(QStringLiteral("targetPercentage"), wish.target).toDouble();
    wish.stopAtTarget = configuration.value(QStringLiteral("stopOnTargetPercentage"), wish.stopAtTarget).toBool();
    if (configuration.contains(QStringLiteral("endDateTime"))) {
        // A time still written as a scenario's "$time:…" is no time yet.
        bool ok = false;
        const qint64 end = configuration.value(QStringLiteral("endDateTime")).toLongLong(&ok);
        wish.endDateTime = ok ? end : -1;
    }
    if (configuration.contains(QStringLiteral("repeatDays"))) {
        wish.repeatDays = 0;
        for (const QVariant &day : configuration.value(QStringLiteral("repeatDays")).toList()) {
            if (day.toInt() >= 1 && day.toInt() <= 7)
                wish.repeatDays |= static_cast<quint8>(1u << (day.toInt() - 1));
        }
    }
    if (wishes.back().minute == minute)
        wishes.back() = wish;
    else
        wishes.push_back(wish);
}

void OwnerTimeline::setManualValue(int minute, int car, const QString &stateName, const QVariant &value)
{
    std::vector<Wish> &wishes = m_cars[car];
    Wish wish = wishes.back();
    if (wish.mode != Mode::Normal)
        return;
    wish.minute = minute;
    if (stateName == QLatin1String("power"))
        wish.manualEnabled = value.toBool();
    else if (stateName == QLatin1String("maxChargingCurrent"))
        wish.manualCurrent = value.toDouble();
    else if (stateName == QLatin1String("chargingPower"))
        wish.manualPower = value.toDouble();
    else
        return;
    if (wishes.back().minute == minute)
        wishes.back() = wish;
    else
        wishes.push_back(wish);
}

void OwnerTimeline::setBatteryLowerLimit(int minute, double fraction)
{
    if (m_batteryLowerLimit.back().minute == minute)
        m_batteryLowerLimit.back().fraction = fraction;
    else
        m_batteryLowerLimit.push_back({minute, fraction});
}

void OwnerTimeline::setLevelEntered(int minute, int car, double percent)
{
    std::vector<LevelEntry> &entries = m_levels[car];
    if (entries.back().minute == minute)
        entries.back().level = percent;
    else
        entries.push_back({minute, percent});
}

void OwnerTimeline::setSpotMarket(int minute, bool enabled)
{
    if (m_spotMarket.back().minute == minute)
        m_spotMarket.back().on = enabled;
    else
        m_spotMarket.push_back({minute, enabled});
}

const OwnerTimeline::LevelEntry &OwnerTimeline::levelEnteredAt(int car, int minute) const
{
    const std::vector<LevelEntry> &entries = m_levels.at(car);
    return entries.at(indexAt(entries, minute));
}

bool OwnerTimeline::spotMarketAt(int minute) const
{
    return m_spotMarket.at(indexAt(m_spotMarket, minute)).on;
}

const OwnerTimeline::Wish &OwnerTimeline::wishAt(int car, int minute) const
{
    const std::vector<Wish> &wishes = m_cars.at(car);
    return wishes.at(indexAt(wishes, minute));
}

double OwnerTimeline::largestCeiling(int car, int from, int to) const
{
    double largest = wishAt(car, from).ceiling();
    for (const Wish &wish : m_cars.at(car)) {
        if (wish.minute > from && wish.minute < to)
            largest = qMax(largest, wish.ceiling());
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
    for (int j = 0; j < static_cast<int>(m_cars.size()); j++) {
        const Scenario::Car &car = m_scenario.cars.at(j);
        if (car.targetMinute >= 0 && car.targetMinute <= durationMinutes)
            found.append({j, car.targetMinute, car.targetPercentage});
        const std::vector<Wish> &wishes = m_cars.at(j);
        for (size_t i = 0; i < wishes.size(); i++) {
            const Wish &wish = wishes.at(i);
            if (wish.mode != Mode::EcoWithTargetTime)
                continue;
            const int from = wish.minute;
            const int to = qMin(durationMinutes, i + 1 < wishes.size() ? wishes.at(i + 1).minute : durationMinutes);
            // A target the owner replaced before it came is no target.
            for (int cursor = from; cursor <= to;) {
                const int minute = wish.nextDeadline(m_scenario.start, cursor);
                if (minute < 0 || minute > to)
                    break;
                if (minute > from)
                    found.append({j, minute, wish.target});
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
