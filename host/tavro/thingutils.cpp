#include "thingutils.h"

#include <QtMath>

QVariant ThingUtils::ensureValueClamping(const QVariant &value, QVariant::Type type, const QVariant &min,
                                         const QVariant &max, double stepSize)
{
    QVariant result = value;
    const bool numeric = type == QVariant::Int || type == QVariant::UInt || type == QVariant::Double
                         || type == QVariant::LongLong || type == QVariant::ULongLong;
    if (numeric) {
        double number = value.toDouble();
        if (stepSize > 0)
            number = qRound64(number / stepSize) * stepSize;
        if (min.isValid() && number < min.toDouble())
            number = min.toDouble();
        if (max.isValid() && number > max.toDouble())
            number = max.toDouble();
        result = number;
    }
    if (type != QVariant::Invalid)
        result.convert(static_cast<int>(type));
    return result;
}
