#include "randomcalls.h"

#include "tavro/tavroclock.h"

#include <QDateTime>

namespace {

QString thingId(const QString &kind, const QString &name)
{
    return QStringLiteral("$%1:%2").arg(kind, name);
}

QString energyError()
{
    return QStringLiteral("energyError");
}

}

RandomCalls::RandomCalls(const Scenario &scenario, QRandomGenerator &random)
    : m_scenario(scenario),
      m_random(random)
{
}

RandomCall RandomCalls::valid(const Household &household)
{
    const Scenario::Charger &charger = m_scenario.chargers.at(pick(m_scenario.chargers.count()));
    const int kind = pick(17);
    switch (kind) {
    case 0:
    case 1:
        // Modes and targets change most often, as owners do.
        return configuration(charger);
    case 2:
        if (!m_scenario.random.phaseLimits.isEmpty())
            return phaseLimit();
        Q_FALLTHROUGH();
    case 3:
        return setting(QStringLiteral("TavroEnergy.SetAcquisitionTolerance"),
                       {{QStringLiteral("acquisitionTolerance"), pick(101) / 100.0}});
    case 4:
        return setting(QStringLiteral("TavroEnergy.SetBatteryLevelLimits"),
                       {{QStringLiteral("batteryLevelLowerLimit"), (10 + pick(41)) / 100.0},
                        {QStringLiteral("batteryLevelUpperLimit"), (60 + pick(41)) / 100.0}});
    case 5:
        return setting(QStringLiteral("TavroEnergy.SetBatteryLevelConsideration"),
                       {{QStringLiteral("batteryLevelConsideration"), pick(101) / 100.0}});
    case 6:
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 12:
        return getter(kind - 6);
    case 13:
        if (!charger.dc)
            return handOperation(charger);
        Q_FALLTHROUGH();
    case 14:
        if (household.estimatedCar >= 0)
            return levelEntry(household);
        Q_FALLTHROUGH();
    case 15:
        return {QStringLiteral("Things.GetStateValues"),
                {{QStringLiteral("thingId"), thingId(QStringLiteral("charger"), charger.name)}},
                false,
                {QStringLiteral("thingError"), QStringLiteral("states")}};
    default:
        return spotMarket(household);
    }
}

RandomCall RandomCalls::configuration(const Scenario::Charger &charger)
{
    static const char *modes[] = {"ChargingModeNormal", "ChargingModeEco", "ChargingModeEcoWithTargetTime"};
    const uint target = 50 + pick(51);
    QVariantMap configuration{{QStringLiteral("evChargerId"), thingId(QStringLiteral("charger"), charger.name)},
                              {QStringLiteral("chargingMode"), QLatin1String(modes[pick(3)])},
                              {QStringLiteral("targetPercentage"), target},
                              {QStringLiteral("stopOnTargetPercentage"), pick(2) == 1}};
    const QDateTime now = TavroClock::currentDateTime();
    configuration.insert(QStringLiteral("endDateTime"), now.addSecs(3600LL * (2 + pick(13))).toSecsSinceEpoch());
    if (charger.dc)
        configuration.insert(QStringLiteral("dischargeFloorPercentage"), 20 + pick(21));
    return {QStringLiteral("TavroEnergy.SetChargingConfiguration"),
            {{QStringLiteral("chargingConfiguration"), configuration}},
            false,
            {energyError()}};
}

RandomCall RandomCalls::phaseLimit()
{
    const uint limit = m_scenario.random.phaseLimits.at(pick(m_scenario.random.phaseLimits.count()));
    return setting(QStringLiteral("TavroEnergy.SetPhasePowerLimit"), {{QStringLiteral("phasePowerLimit"), limit}});
}

RandomCall RandomCalls::setting(const QString &method, const QVariantMap &params) const
{
    return {method, params, false, {energyError()}};
}

RandomCall RandomCalls::getter(int which)
{
    switch (which) {
    case 0:
        return {QStringLiteral("TavroEnergy.GetChargingConfigurations"),
                {},
                false,
                {QStringLiteral("chargingConfigurations")}};
    case 1:
        return {QStringLiteral("TavroEnergy.GetChargingStates"), {}, false, {QStringLiteral("chargingStates")}};
    case 2:
        return {QStringLiteral("TavroEnergy.GetChargingSchedules"), {}, false, {QStringLiteral("chargingSchedules")}};
    case 3:
        return {QStringLiteral("TavroEnergy.GetSpotMarketScoreEntries"),
                {},
                false,
                {QStringLiteral("spotMarketScoreEntries")}};
    case 4:
        return {QStringLiteral("TavroEnergy.GetSpotMarketConfiguration"),
                {},
                false,
                {QStringLiteral("enabled"), QStringLiteral("available")}};
    case 5:
        return {QStringLiteral("TavroEnergy.GetAcquisitionTolerance"),
                {},
                false,
                {QStringLiteral("acquisitionTolerance")}};
    default:
        return {QStringLiteral("TavroEnergy.GetBatteryLevelLimits"),
                {},
                false,
                {QStringLiteral("batteryLevelLowerLimit"), QStringLiteral("batteryLevelUpperLimit")}};
    }
}

RandomCall RandomCalls::handOperation(const Scenario::Charger &charger)
{
    const bool power = pick(2) == 1;
    const QVariantList params =
            pick(2) == 1 ? QVariantList{QVariantMap{{QStringLiteral("paramName"), QStringLiteral("power")},
                                                    {QStringLiteral("value"), power}}}
                         : QVariantList{QVariantMap{{QStringLiteral("paramName"), QStringLiteral("maxChargingCurrent")},
                                                    {QStringLiteral("value"), 6 + pick(11)}}};
    return {QStringLiteral("Things.ExecuteAction"),
            {{QStringLiteral("thingId"), thingId(QStringLiteral("charger"), charger.name)},
             {QStringLiteral("actionTypeName"), params.first().toMap().value(QStringLiteral("paramName"))},
             {QStringLiteral("params"), params}},
            false,
            {QStringLiteral("thingError")}};
}

RandomCall RandomCalls::levelEntry(const Household &household) const
{
    return {QStringLiteral("Things.ExecuteAction"),
            {{QStringLiteral("thingId"),
              thingId(QStringLiteral("car"), m_scenario.cars.at(household.estimatedCar).name)},
             {QStringLiteral("actionTypeName"), QStringLiteral("batteryLevel")},
             {QStringLiteral("params"),
              QVariantList{QVariantMap{{QStringLiteral("paramName"), QStringLiteral("batteryLevel")},
                                       {QStringLiteral("value"), qRound(household.estimatedCarSoc)}}}}},
            false,
            {QStringLiteral("thingError")}};
}

RandomCall RandomCalls::spotMarket(const Household &household) const
{
    const bool enable = !household.spotMarketEnabled;
    QVariantMap params{{QStringLiteral("enabled"), enable}};
    if (enable)
        params.insert(QStringLiteral("providerId"), household.firstProviderId());
    return {QStringLiteral("TavroEnergy.SetSpotMarketConfiguration"), params, false, {energyError()}};
}

RandomCall RandomCalls::invalid()
{
    const Scenario::Charger &charger = m_scenario.chargers.at(pick(m_scenario.chargers.count()));
    const QString chargerId = thingId(QStringLiteral("charger"), charger.name);
    const int kind = pick(12);
    if (kind < 4)
        return invalidConfiguration(chargerId, kind);
    if (kind < 8)
        return invalidSetting(kind);
    return invalidOther(chargerId, kind);
}

RandomCall RandomCalls::invalidConfiguration(const QString &chargerId, int which)
{
    const auto configuration = [&](const QString &key, const QVariant &value) {
        return RandomCall{QStringLiteral("TavroEnergy.SetChargingConfiguration"),
                          {{QStringLiteral("chargingConfiguration"),
                            QVariantMap{{QStringLiteral("evChargerId"), chargerId}, {key, value}}}},
                          true,
                          {energyError()}};
    };
    switch (which) {
    case 0:
        return configuration(QStringLiteral("targetPercentage"), 101 + pick(100));
    case 1:
        return configuration(QStringLiteral("repeatDays"), QVariantList{pick(2) == 1 ? 0 : 8});
    case 2:
        return configuration(QStringLiteral("dailySpotMarketPercentage"), 101 + pick(100));
    default:
        return {QStringLiteral("TavroEnergy.SetChargingConfiguration"),
                {{QStringLiteral("chargingConfiguration"),
                  QVariantMap{{QStringLiteral("evChargerId"),
                               thingId(QStringLiteral("charger"), QStringLiteral("Nowhere"))},
                              {QStringLiteral("chargingMode"), QStringLiteral("ChargingModeEco")}}}},
                true,
                {energyError()}};
    }
}

RandomCall RandomCalls::invalidSetting(int which)
{
    switch (which) {
    case 4:
        return {QStringLiteral("TavroEnergy.SetAcquisitionTolerance"),
                {{QStringLiteral("acquisitionTolerance"), pick(2) == 1 ? -0.1 : 1.5}},
                true,
                {energyError()}};
    case 5:
        return {QStringLiteral("TavroEnergy.SetBatteryLevelLimits"),
                {{QStringLiteral("batteryLevelLowerLimit"), 0.8}, {QStringLiteral("batteryLevelUpperLimit"), 0.3}},
                true,
                {energyError()}};
    case 6:
        return {QStringLiteral("TavroEnergy.SetBatteryLevelConsideration"),
                {{QStringLiteral("batteryLevelConsideration"), 1.5}},
                true,
                {energyError()}};
    default:
        return {QStringLiteral("TavroEnergy.SetPhasePowerLimit"),
                {{QStringLiteral("phasePowerLimit"), QStringLiteral("sixteen")}},
                true,
                {}};
    }
}

RandomCall RandomCalls::invalidOther(const QString &chargerId, int which)
{
    switch (which) {
    case 8:
        return {QStringLiteral("TavroEnergy.SetFluxCapacitor"), {}, true, {}};
    case 9:
        return {QStringLiteral("Things.ExecuteAction"),
                {{QStringLiteral("thingId"), thingId(QStringLiteral("charger"), QStringLiteral("Nowhere"))},
                 {QStringLiteral("actionTypeName"), QStringLiteral("power")},
                 {QStringLiteral("params"),
                  QVariantList{QVariantMap{{QStringLiteral("paramName"), QStringLiteral("power")},
                                           {QStringLiteral("value"), true}}}}},
                true,
                {QStringLiteral("thingError")}};
    case 10:
        return {QStringLiteral("Things.ExecuteAction"),
                {{QStringLiteral("thingId"), chargerId},
                 {QStringLiteral("actionTypeName"), QStringLiteral("selfDestruct")}},
                true,
                {QStringLiteral("thingError")}};
    default:
        return {QStringLiteral("TavroEnergy.SetSpotMarketConfiguration"),
                {{QStringLiteral("enabled"), true}},
                true,
                {energyError()}};
    }
}
