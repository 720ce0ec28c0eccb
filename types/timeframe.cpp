#include "timeframe.h"

TimeFrame::TimeFrame(const QDateTime &startDateTime, const QDateTime &endDateTime)
    : m_startDateTime(startDateTime),
      m_endDateTime(endDateTime)
{
}

QDateTime TimeFrame::startDateTime() const
{
    return m_startDateTime;
}

void TimeFrame::setStartDateTime(const QDateTime &startDateTime)
{
    m_startDateTime = startDateTime;
}

QDateTime TimeFrame::endDateTime() const
{
    return m_endDateTime;
}

void TimeFrame::setEndDateTime(const QDateTime &endDateTime)
{
    m_endDateTime = endDateTime;
}

qint64 TimeFrame::durationMinutes() const
{
    // Integer division truncates toward zero, also for negative spans.
    return (m_endDateTime.toMSecsSinceEpoch() - m_startDateTime.toMSecsSinceEpoch()) / 60000;
}

bool TimeFrame::isValid() const
{
    return m_startDateTime.isValid() && m_endDateTime.isValid() && m_endDateTime >= m_startDateTime;
}

bool TimeFrame::isActive(const QDateTime &dateTime) const
{
    return m_startDateTime <= dateTime && dateTime < m_endDateTime;
}

bool TimeFrame::operator==(const TimeFrame &other) const
{
    return m_startDateTime == other.startDateTime() && m_endDateTime == other.endDateTime();
}

bool TimeFrame::operator!=(const TimeFrame &other) const
{
    return !operator==(other);
}

QDebug operator<<(QDebug debug, const TimeFrame &timeFrame)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "TimeFrame(" << timeFrame.startDateTime().toString("dd.MM.yyyy hh:mm:ss") << " - "
                    << timeFrame.endDateTime().toString("dd.MM.yyyy hh:mm:ss") << ")";
    return debug;
}

QDebug operator<<(QDebug debug, const QList<TimeFrame> &timeFrames)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "TimeFrames(" << timeFrames.count() << ")" << '\n';
    for (int i = 0; i < timeFrames.count(); i++)
        debug.nospace() << " - " << i << " -> " << timeFrames.at(i) << '\n';

    return debug;
}
