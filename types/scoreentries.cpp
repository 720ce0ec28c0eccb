#include "scoreentries.h"

#include <algorithm>

ScoreEntries::ScoreEntries(const QList<ScoreEntry> &other)
    : QList<ScoreEntry>(other)
{
}

QVariant ScoreEntries::get(int index) const
{
    if (index < 0 || index >= count())
        return QVariant();

    return QVariant::fromValue(at(index));
}

void ScoreEntries::put(const QVariant &variant)
{
    append(variant.value<ScoreEntry>());
}

void ScoreEntries::sortByWeighting()
{
    std::sort(begin(), end(), [](const ScoreEntry &a, const ScoreEntry &b) { return a.weighting() > b.weighting(); });
}

void ScoreEntries::sortByStartDateTime()
{
    std::sort(begin(), end(),
              [](const ScoreEntry &a, const ScoreEntry &b) { return a.startDateTime() < b.startDateTime(); });
}

int ScoreEntries::availableFutureSchedules(const QDateTime &dateTime) const
{
    return static_cast<int>(std::count_if(
            constBegin(), constEnd(), [&dateTime](const ScoreEntry &entry) { return entry.endDateTime() > dateTime; }));
}

bool ScoreEntries::availableUpTo(const QDateTime &dateTime) const
{
    return std::any_of(constBegin(), constEnd(), [&dateTime](const ScoreEntry &entry) {
        return entry.startDateTime() <= dateTime && dateTime <= entry.endDateTime();
    });
}

ScoreEntry ScoreEntries::getScoreEntry(const QDateTime &dateTime) const
{
    for (const ScoreEntry &entry : *this) {
        if (entry.isActive(dateTime))
            return entry;
    }

    return ScoreEntry();
}

QDebug operator<<(QDebug debug, const ScoreEntries &scoreEntries)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "ScoreEntries(" << scoreEntries.count() << ")" << '\n';
    for (int i = 0; i < scoreEntries.count(); i++)
        debug.nospace() << " - " << i << " -> " << scoreEntries.at(i) << '\n';

    return debug;
}
