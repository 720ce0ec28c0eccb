#ifndef TIMEFRAME_H
#define TIMEFRAME_H

#include <QDateTime>
#include <QDebug>
#include <QList>

#include <limits>

// A half-open interval [start, end) of wall-clock time. Charging schedules and
// spot market price slots derive from it. Plain value class without meta-object.
class TimeFrame
{
public:
    TimeFrame() = default;
    TimeFrame(const QDateTime &startDateTime, const QDateTime &endDateTime);

    QDateTime startDateTime() const;
    void setStartDateTime(const QDateTime &startDateTime);

    QDateTime endDateTime() const;
    void setEndDateTime(const QDateTime &endDateTime);

    // The ends as ms since the epoch. Taken once per frame and kept with it
    // (copies too): converting a local date-time costs a call into the C
    // library's time-zone code, a file check each time while TZ is unset.
    qint64 startMSecsSinceEpoch() const;
    qint64 endMSecsSinceEpoch() const;

    // Whole minutes between start and end, truncated toward zero; negative
    // when the end lies before the start.
    qint64 durationMinutes() const;

    // Both ends valid and end >= start (a zero length frame is valid).
    bool isValid() const;

    // start <= dateTime < end
    bool isActive(const QDateTime &dateTime) const;

    // Equal start and equal end (compares instants).
    bool operator==(const TimeFrame &other) const;
    bool operator!=(const TimeFrame &other) const;

private:
    static constexpr qint64 notConverted = std::numeric_limits<qint64>::min();

    QDateTime m_startDateTime;
    QDateTime m_endDateTime;
    mutable qint64 m_startMSecs = notConverted;
    mutable qint64 m_endMSecs = notConverted;
};

QDebug operator<<(QDebug debug, const TimeFrame &timeFrame);
QDebug operator<<(QDebug debug, const QList<TimeFrame> &timeFrames);

#endif // TIMEFRAME_H
