#ifndef SCOREENTRIES_H
#define SCOREENTRIES_H

#include <QDateTime>
#include <QDebug>
#include <QList>
#include <QMetaType>
#include <QVariant>

#include "types/scoreentry.h"

// The price slots of a provider, in the order given by the caller.
class ScoreEntries : public QList<ScoreEntry>
{
    Q_GADGET
    Q_PROPERTY(int count READ count)

public:
    ScoreEntries() = default;
    ScoreEntries(const QList<ScoreEntry> &other);

    // An index outside the list gives an invalid QVariant.
    Q_INVOKABLE QVariant get(int index) const;
    // Appends the entry held by the variant; a variant that cannot be
    // converted appends a default (null) entry.
    Q_INVOKABLE void put(const QVariant &variant);

    // Best (highest weighting) first; entries with equal weighting end in no
    // defined order.
    void sortByWeighting();
    // Earliest start first; equal starts end in no defined order.
    void sortByStartDateTime();

    // Number of entries ending strictly after dateTime.
    int availableFutureSchedules(const QDateTime &dateTime) const;

    // True when some entry has start <= dateTime <= end (both ends inclusive).
    bool availableUpTo(const QDateTime &dateTime) const;

    // The first entry active at dateTime (start <= dateTime < end), or a null
    // entry.
    ScoreEntry getScoreEntry(const QDateTime &dateTime) const;
};
Q_DECLARE_METATYPE(ScoreEntries)

QDebug operator<<(QDebug debug, const ScoreEntries &scoreEntries);

#endif // SCOREENTRIES_H
