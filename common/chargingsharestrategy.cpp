#include "chargingsharestrategy.h"

ChargingShareStrategy::Strategy ChargingShareStrategy::strategyFromString(const QString &text, Strategy defaultStrategy)
{
    static const Strategy strategies[] = {StrategyEqualPower, StrategyPriority, StrategyRoundRobin,
                                          StrategyWeightedPower};
    for (Strategy strategy : strategies) {
        if (text.compare(strategyToString(strategy), Qt::CaseInsensitive) == 0)
            return strategy;
    }
    return defaultStrategy;
}

QString ChargingShareStrategy::strategyToString(Strategy strategy)
{
    switch (strategy) {
    case StrategyPriority:
        return QStringLiteral("Priority");
    case StrategyRoundRobin:
        return QStringLiteral("RoundRobin");
    case StrategyWeightedPower:
        return QStringLiteral("WeightedPower");
    case StrategyEqualPower:
        break;
    }
    return QStringLiteral("EqualPower");
}
