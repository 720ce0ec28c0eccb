#ifndef CHARGINGSHARESTRATEGY_H
#define CHARGINGSHARESTRATEGY_H

#include <QString>

// The share strategies the tuning file names, and their text forms. A base
// of ChargingShareCalculator, so that the configuration can read a strategy
// without depending on the calculator.
class ChargingShareStrategy
{
public:
    // Stored in the tuning file by its text form. The allocation is the
    // same for every value; the strategy only travels with the call.
    enum Strategy {
        StrategyEqualPower = 0,
        StrategyPriority = 1,
        StrategyRoundRobin = 2,
        StrategyWeightedPower = 3
    };

    // Case-insensitive match against the four text forms; anything else
    // (also an empty text) gives defaultStrategy.
    static Strategy strategyFromString(const QString &text, Strategy defaultStrategy);
    // A value outside the enum gives "EqualPower".
    static QString strategyToString(Strategy strategy);
};

#endif // CHARGINGSHARESTRATEGY_H
