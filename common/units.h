#ifndef UNITS_H
#define UNITS_H

#include <QtGlobal>

// The units and constants of the charging arithmetic, written once.
namespace Units {

// V per phase wherever no measured voltage is at hand: every ampere/watt
// conversion of the plugin counts with it.
constexpr double phaseVoltage = 230.0;
// The same in whole volts, for a whole-ampere limit (uint arithmetic: the
// product wraps as the unsigned limit it is computed from).
constexpr uint wholePhaseVoltage = 230;

// A kept free at the meter when a command is fitted to the phase limit.
constexpr double phaseLimitMargin = 1.0;
// s before the configured end a target-time charge aims at.
constexpr int internalTargetOffset = 600;
// Percentage points a target must be out of reach by before the owner is
// told: the estimate is no measurement.
constexpr double unreachableMargin = 2.0;
// Share of the estimated charging time a deadline plan adds under a phase
// limit: the house may take more of the fuse than it did so far.
constexpr double deadlineTimeReserve = 0.15;
// s of spare time up to which a running deadline charge runs on rather
// than stop and restart on the next estimate.
constexpr qint64 deadlineRunOnSlack = 900;
// Percentage points the promised level of a target out of reach must move
// by before the owner is told again.
constexpr double promiseRepeatMargin = 3.0;

} // namespace Units

#endif // UNITS_H
