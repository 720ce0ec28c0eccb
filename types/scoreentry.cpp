#include "scoreentry.h"

#include <QHash>

double ScoreEntry::value() const
{
    return m_value;
}

void ScoreEntry::setValue(double value)
{
    m_value = value;
}

float ScoreEntry::weighting() const
{
    return m_weighting;
}

void ScoreEntry::setWeighting(float weighting)
{
    m_weighting = weighting;
}

bool ScoreEntry::isNull() const
{
    return startDateTime().isNull() && endDateTime().isNull() && m_value == 0.0 && m_weighting == 0.0f;
}

bool ScoreEntry::operator==(const ScoreEntry &other) const
{
    return TimeFrame::operator==(other) && m_value == other.value() && m_weighting == other.weighting();
}

bool ScoreEntry::operator!=(const ScoreEntry &other) const
{
    return !operator==(other);
}

float ScoreEntry::valueFloat() const
{
    return static_cast<float>(m_value);
}

void ScoreEntry::setValueFloat(float value)
{
    m_value = static_cast<double>(value);
}

namespace {
void combineHash(uint &hash, uint value)
{
    hash ^= value + 0x9e3779b9 + (hash << 6) + (hash >> 2);
}
}

uint qHash(const ScoreEntry &scoreEntry, uint seed)
{
    uint hash = seed;
    combineHash(hash, qHash(scoreEntry.startDateTime(), 0));
    combineHash(hash, qHash(scoreEntry.endDateTime(), 0));
    combineHash(hash, qHash(scoreEntry.value(), 0));
    combineHash(hash, qHash(scoreEntry.weighting(), 0));
    return hash;
}

QDebug operator<<(QDebug debug, const ScoreEntry &scoreEntry)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "ScoreEntry(" << scoreEntry.startDateTime().toString("dd.MM.yyyy hh:mm") << " - "
                    << scoreEntry.endDateTime().toString("dd.MM.yyyy hh:mm") << ", " << scoreEntry.weighting() << " | "
                    << scoreEntry.value() << ")";
    return debug;
}
