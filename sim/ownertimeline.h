#ifndef OWNERTIMELINE_H
#define OWNERTIMELINE_H

#include "scenario.h"

#include <QVariantMap>
#include <QVector>

// What the owner asked for over a run, with the minute (after the start)
// from which each wish holds: every car's charging configuration (the
// TavroEnergy ChargingConfiguration members, "endDateTime" in s since the
// epoch) and the home battery's lower limit (fraction). The simulator
// records every change it sends the plugin, so that the peer and the limit
// work with the same wishes at the same minutes. Percentages in %.
class OwnerTimeline
{
public:
    // A target the owner set: percentage by minute (energy of the minutes
    // before it counts).
    struct Deadline {
        int car = 0;
        int minute = 0;
        double percentage = 0;
    };

    // The scenario's own configurations hold from minute 0; no battery limit.
    explicit OwnerTimeline(const Scenario &scenario);

    // Merged into what held before, member by member, as the plugin does.
    void setConfiguration(int minute, int car, const QVariantMap &configuration);
    // < 0: the battery has no priority.
    void setBatteryLowerLimit(int minute, double fraction);

    QVariantMap configurationAt(int car, int minute) const;
    bool normalModeAt(int car, int minute) const;
    // The SoC the car may usefully charge to: its target when it stops there, else 100.
    double ceilingAt(int car, int minute) const;
    // The largest ceiling in force in the minutes [from, to).
    double largestCeiling(int car, int from, int to) const;
    double batteryLowerLimitAt(int minute) const;

    // Every deadline of the first durationMinutes, in the order of their
    // minutes: the scenario's targets and the target times of the
    // configurations while they held (a repeating one on each of its days,
    // the plugin's rule for the next one); of two at one minute of one car
    // the higher percentage.
    QVector<Deadline> deadlines(int durationMinutes) const;

private:
    struct Change {
        int minute = 0;
        QVariantMap configuration; // the whole configuration from then on
    };
    struct LimitChange {
        int minute = 0;
        double fraction = -1;
    };
    // The change in force at minute in a list sorted by minute.
    template<typename T>
    static int indexAt(const QVector<T> &changes, int minute);
    static double ceilingOf(const QVariantMap &configuration);

    const Scenario &m_scenario;
    QVector<QVector<Change>> m_cars; // per car, by minute
    QVector<LimitChange> m_batteryLowerLimit;
};

#endif // OWNERTIMELINE_H
