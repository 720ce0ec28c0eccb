#ifndef OWNERTIMELINE_H
#define OWNERTIMELINE_H

#include "scenario.h"

#include <QVariantMap>
#include <QVector>

#include <vector>

// What the owner asked for over a run, with the minute (after the start)
// from which each wish holds: every car's charging wish, the home
// battery's lower limit (fraction), the levels he entered for cars that
// cannot report theirs and whether he gave the plugin a price source. The simulator records every change the
// plugin accepted, so that the peer and the limit work with the same
// wishes at the same minutes. Kept compact and reserved up front: a soak
// measures the heap while it runs. Percentages in %.
class OwnerTimeline
{
public:
    // The members of a charging configuration the peer and the limit read.
    enum class Mode : quint8 {
        Normal,
        Eco,
        EcoWithTargetTime
    };
    struct Wish {
        int minute = 0; // from which it holds
        Mode mode = Mode::Normal;
        double target = 80; // %
        bool stopAtTarget = false;
        qint64 endDateTime = -1; // s since the epoch, -1 none
        quint8 repeatDays = 0;   // bit d - 1 for weekday d (1 = Monday)
        // What the owner set on the charger by hand while it was in normal
        // mode; the plugin restores it whenever normal mode is entered.
        bool manualEnabled = false;
        double manualCurrent = 0; // A on AC, 0: none set by hand
        double manualPower = 0;   // W on DC, 0: none set by hand

        // The SoC the car may usefully charge to: its target when it stops there, else 100.
        double ceiling() const { return stopAtTarget ? qMin(100.0, target) : 100.0; }
        // The minute (after start) of the first target time at or after
        // the minute from, -1 none; with repeat days the next listed weekday at the
        // target's time of day (the plugin's own rule).
        int nextDeadline(const QDateTime &start, int from) const;
    };
    // A target the owner set: percentage by minute (energy of the minutes
    // before it counts).
    struct Deadline {
        int car = 0;
        int minute = 0;
        double percentage = 0;
    };

    // The scenario's own configurations hold from minute 0; no battery
    // limit, no level entered, the spot market off until it is switched on.
    explicit OwnerTimeline(const Scenario &scenario);

    // The TavroEnergy ChargingConfiguration members "chargingMode",
    // "targetPercentage", "stopOnTargetPercentage", "endDateTime" (s since
    // the epoch) and "repeatDays", merged into what held before as the
    // plugin does: members not given stay.
    void setConfiguration(int minute, int car, const QVariantMap &configuration);
    // The owner operated the car's charger by hand ("power",
    // "maxChargingCurrent" or, on DC, "chargingPower"); as in the plugin,
    // this is a manual value only while the charger is in normal mode.
    void setManualValue(int minute, int car, const QString &stateName, const QVariant &value);
    // < 0: the battery has no priority.
    void setBatteryLowerLimit(int minute, double fraction);
    // The owner typed the level (%) of a car that cannot report it.
    void setLevelEntered(int minute, int car, double percent);
    // The spot market (the day-ahead prices) was switched on or off.
    void setSpotMarket(int minute, bool enabled);

    const Wish &wishAt(int car, int minute) const;
    // The largest ceiling in force in the minutes [from, to).
    double largestCeiling(int car, int from, int to) const;
    double batteryLowerLimitAt(int minute) const;
    // The last level entered for the car at or before minute; level < 0: none yet.
    struct LevelEntry {
        int minute = 0;
        double level = -1; // %
    };
    const LevelEntry &levelEnteredAt(int car, int minute) const;
    bool spotMarketAt(int minute) const;

    // Every deadline of the first durationMinutes, in the order of their
    // minutes: the scenario's targets and the target times of the wishes
    // while they held (a repeating one on each of its days); of two at one
    // minute of one car the higher percentage.
    QVector<Deadline> deadlines(int durationMinutes) const;

private:
    struct LimitChange {
        int minute = 0;
        double fraction = -1;
    };
    struct SwitchChange {
        int minute = 0;
        bool on = false;
    };
    // The change in force at minute in a list sorted by minute.
    template<typename T>
    static int indexAt(const std::vector<T> &changes, int minute);

    const Scenario &m_scenario;
    std::vector<std::vector<Wish>> m_cars; // per car, by minute
    std::vector<LimitChange> m_batteryLowerLimit;
    std::vector<std::vector<LevelEntry>> m_levels; // per car, by minute
    std::vector<SwitchChange> m_spotMarket;
};

#endif // OWNERTIMELINE_H
