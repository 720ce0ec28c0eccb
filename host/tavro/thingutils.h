#ifndef THINGUTILS_H
#define THINGUTILS_H

#include <QVariant>

namespace ThingUtils {

// Converts value to type, clamps it into [min, max] where those are valid
// and rounds it to the nearest multiple of stepSize (when > 0).
QVariant ensureValueClamping(const QVariant &value, QVariant::Type type, const QVariant &min, const QVariant &max,
                             double stepSize);

}

#endif // THINGUTILS_H
