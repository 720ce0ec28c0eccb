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
    m_startMSecs = notConverted;
}

QDateTime TimeFrame::endDateTime() const
{
    return m_endDateTime;
}

void TimeFrame::setEndDateTime(const QDateTime &endDateTime)
{
    m_endDateTime = endDateTime;
    m_endMSecs = notConverted;
}

qint64 TimeFrame::startMSecsSinceEpoch() const
{
    if (m_startMSecs == notConverted)
        m_startMSecs = m_startDateTime.toMSecsSinceEpoch();
    return m_startMSecs;
}

qint64 TimeFrame::endMSecsSinceEpoch() const
{
    if (m_endMSecs == notConverted)
        m_endMSecs = m_endDateTime.toMSecsSinceEpoch();
    return m_endMSecs;
}

qint64 TimeFrame::durationMinutes() const
{
    // Integer division truncates toward zero, also for negative spans.
    return (endMSecsSinceEpoch() - startMSecsSinceEpoch()) / 60000;
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
