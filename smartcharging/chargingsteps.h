#ifndef CHARGINGSTEPS_H
#define CHARGINGSTEPS_H

#include "smartcharging/acchargeradjuster.h"
#include "smartcharging/chargertracking.h"
#include "smartcharging/chargingconfigurator.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/configurationstore.h"
#include "smartcharging/dccontroller.h"
#include "smartcharging/householdbalance.h"
#include "smartcharging/manualsocestimator.h"
#include "smartcharging/overloadprotection.h"
#include "smartcharging/ownernotifier.h"
#include "smartcharging/processpreparation.h"
#include "smartcharging/progressstore.h"
#include "smartcharging/sharerounds.h"
#include "smartcharging/spotmarketplanner.h"
#include "smartcharging/surplusplanner.h"

// The shared context and every step of the smart charging cycle, wired to
// each other in the order they depend on one another (a step only knows the
// ones declared before it). The SmartChargingManager owns one and runs the
// cycle over it; tests and benchmarks drive single steps through it.
// Collaborators are not owned; requestUpdate runs a whole cycle at once.
struct ChargingSteps {
    ChargingSteps(EnergyManager *energyManager, ThingManager *thingManager, SpotMarketManager *spotMarketManager,
                  EnergyManagerConfiguration *configuration, ChargingConfigurator::UpdateRequest requestUpdate)
        : context(energyManager, thingManager, spotMarketManager, configuration),
          configurator(context, store, dc, manualSoc, overload, std::move(requestUpdate))
    {
    }

    ChargingContext context;
    OwnerNotifier notifier{context.thingManager};
    ConfigurationStore store{context};
    HouseholdBalance balance{context};
    ShareRounds shares{context, balance};
    AcChargerAdjuster adjuster{context, shares};
    ProcessPreparation preparation{context, adjuster, store};
    OverloadProtection overload{context, adjuster, shares, balance};
    SurplusPlanner surplus{context, balance, preparation, notifier};
    SpotMarketPlanner spotMarket{context, preparation, surplus};
    ManualSocEstimator manualSoc{context, preparation, notifier};
    DcController dc{context, balance, surplus, shares, preparation};
    ProgressStore progress{context, spotMarket, dc, shares, manualSoc, surplus};
    ChargerTracking tracking{context, store, preparation};
    ChargingConfigurator configurator;
};

#endif // CHARGINGSTEPS_H
