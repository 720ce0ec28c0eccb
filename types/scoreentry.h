#ifndef SCOREENTRY_H
#define SCOREENTRY_H

#include <QDateTime>
#include <QDebug>
#include <QMetaType>

#include "types/timeframe.h"

// One day-ahead spot market price slot. The value is the price as the
// provider delivers it (unconverted, e.g. Eur/MWh); the weighting ranks the
// slot among the others it was weighted with: 0.0 the most expensive, 1.0 the
// cheapest.
class ScoreEntry : public TimeFrame
{
    Q_GADGET
    Q_PROPERTY(QDateTime startDateTime READ startDateTime WRITE setStartDateTime)
    Q_PROPERTY(QDateTime endDateTime READ endDateTime WRITE setEndDateTime)
    // Carried over the APIs in single precision.
    Q_PROPERTY(float value READ valueFloat WRITE setValueFloat)
    Q_PROPERTY(float weighting READ weighting WRITE setWeighting)

public:
    ScoreEntry() = default;

    double value() const;
    void setValue(double value);

    float weighting() const;
    void setWeighting(float weighting);

    // Null frame, value 0.0 and weighting 0.0.
    bool isNull() const;

    // Frame, value and weighting all equal (exact floating point comparison).
    bool operator==(const ScoreEntry &other) const;
    bool operator!=(const ScoreEntry &other) const;

private:
    float valueFloat() const;
    void setValueFloat(float value);

    double m_value = 0.0;
    float m_weighting = 0.0;
};
Q_DECLARE_METATYPE(ScoreEntry)

uint qHash(const ScoreEntry &scoreEntry, uint seed = 0);

QDebug operator<<(QDebug debug, const ScoreEntry &scoreEntry);

#endif // SCOREENTRY_H
