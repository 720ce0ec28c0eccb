#ifndef CHARGINGCURRENT_H
#define CHARGINGCURRENT_H

#include <QtGlobal>
#include <QtMath>

// A charging current (A) brought into [minimum, maximum] and down onto the
// charger's step grid that starts at the minimum. Down, never to the
// nearest step: a current rounded up could take more than the fuse or the
// share leaves. A step of 0 means any value.
inline double floorChargingCurrent(double current, double minimum, double maximum, double step)
{
    current = qMax(minimum, qMin(current, maximum));
    step = qAbs(step);
    if (step > 0) {
        current = minimum + qFloor((current - minimum) / step + 0.000001) * step;
        current = qMax(minimum, qMin(current, maximum));
    }
    return current;
}

#endif // CHARGINGCURRENT_H
