#include "smartchargingmanager.h"

#include "devices/evchargerac.h"
#include "devices/rootmeter.h"
#include "plugin/tavroenergylogging.h"

#include "tavro/thingutils.h"

namespace {

using Issuer = ChargingAction::ChargingActionIssuer;

const double phaseVoltage = 230.0;

}

void SmartChargingManager::adjustEvChargers(const QDateTime &currentDateTime)
{
    qCDebug(dcTavroEnergy()) << "------ Adjusting chargers  ------";

    applyAcChargingShares(currentDateTime);

    const EvChargerAcs chargers = m_acChargingActions.keys();
    for (EvChargerAc *charger : chargers) {
        const ThingId id = charger->id();
        const ChargingState state = m_chargingStates.value(id, ChargingState(id));
        const ChargingConfiguration configuration = m_chargingConfigurations.value(id, ChargingConfiguration(id));
        qCDebug(dcTavroEnergy()) << charger->name() << state;

        if (state.targetPercentageReached()) {
            qCDebug(dcTavroEnergy()) << charger->name() << "has reached the target percentage and is done. Ignoring...";
            resetChargingStateTransient(id, ChargingState::WaitingReasonNone);
            continue;
        }
        if (configuration.chargingMode() == ChargingConfiguration::ChargingModeNormal) {
            qCDebug(dcTavroEnergy()) << charger->name() << "is set to manual mode. Ignoring...";
            resetChargingStateTransient(id, ChargingState::WaitingReasonNone);
            continue;
        }
        if (!charger->available()) {
            qCDebug(dcTavroEnergy()) << charger->name() << "is not available. Ignoring...";
            resetChargingStateTransient(id, ChargingState::WaitingReasonChargerUnavailable);
            continue;
        }
        if (!charger->pluggedIn()) {
            qCDebug(dcTavroEnergy()) << charger->name() << "is unplugged. Switching off charging.";
            charger->setChargingEnabled(false, currentDateTime, false, true);
            resetChargingStateTransient(id, ChargingState::WaitingReasonVehicleNotPluggedIn);
            continue;
        }

        qCDebug(dcTavroEnergy()) << "Final charging schedules" << charger->thing() << m_acChargingSchedules.value(charger);

        const QHash<Issuer, ChargingAction> actions = m_acChargingActions.value(charger);
        const ChargingAction timeRequirementAction = actions.value(ChargingAction::ChargingActionIssuerTimeRequirement);
        const ChargingAction surplusAction = actions.value(ChargingAction::ChargingActionIssuerSurplusCharging);
        const ChargingAction spotMarketAction = actions.value(ChargingAction::ChargingActionIssuerSpotMarketCharging);

        ChargingState::Mode mode = ChargingState::ModeIdle;
        if (timeRequirementAction.chargingEnabled()) {
            // A deadline charge takes what the meter has left, at least the minimum.
            setChargingStateBatteryLevelConsiderationActive(id, false);
            const ChargingProcessInfo info = m_acProcessInfos.value(charger);
            const uint effectivePhaseCount = qMax(1u, info.effectivePhaseCount);
            const double ownPerPhase = charger->currentPower() / effectivePhaseCount;

            // Without a root meter the limit cannot be measured; treat it
            // like an unset limit.
            double allowance = info.maxChargingCurrent;
            if (m_phasePowerLimit != 0 && m_rootMeter) {
                allowance = m_rootMeter->calculateAllowanceAmpere(info.effectivePhases, m_phasePowerLimit);
                const double rootPower = m_rootMeter->currentPower();
                qCDebug(dcTavroEnergy()).nospace() << "Current load on root meter: " << rootPower << "[W] ( "
                                                   << rootPower / phaseVoltage << "[A] ) Phases: A: "
                                                   << m_rootMeter->currentPhaseA() << "[A], B: "
                                                   << m_rootMeter->currentPhaseB() << "[A], C: "
                                                   << m_rootMeter->currentPhaseC() << "[A]";
            }

            const double perPhaseLimit = (allowance - 1.0) + ownPerPhase / phaseVoltage;
            double current = qMin(perPhaseLimit, static_cast<double>(info.maxChargingCurrent));
            qCDebug(dcTavroEnergy()) << charger->name() << "current upper limit:" << info.maxChargingCurrent
                                     << "A - Per phase upper limit:" << perPhaseLimit << "Using:" << current;
            current = qMax(current, static_cast<double>(charger->maxChargingCurrentMinValue()));
            current = ThingUtils::ensureValueClamping(current, QVariant::Double, info.minChargingCurrent,
                                                      info.maxChargingCurrent,
                                                      charger->maxChargingCurrentStepSize()).toDouble();

            ChargingAction &fitted = m_acChargingActions[charger][ChargingAction::ChargingActionIssuerTimeRequirement];
            fitted.setMaxChargingCurrent(current);
            executeChargingAction(charger, fitted, currentDateTime);
            mode = ChargingState::ModeTimeRequirement;
        } else if (surplusAction.chargingEnabled()) {
            setChargingStateBatteryLevelConsiderationActive(id, false);
            executeChargingAction(charger, surplusAction, currentDateTime);
            mode = ChargingState::ModeSurplusCharging;
        } else if (spotMarketAction.chargingEnabled()) {
            setChargingStateBatteryLevelConsiderationActive(id, false);
            executeChargingAction(charger, spotMarketAction, currentDateTime);
            mode = ChargingState::ModeSpotMarketCharging;
        } else {
            qCDebug(dcTavroEnergy()).nospace() << "Setting " << charger->name() << " to power OFF. Idle state.";
            auto infoIt = m_acProcessInfos.find(charger);
            if (infoIt != m_acProcessInfos.end() && infoIt->carLimitedToSinglePhase) {
                charger->setDesiredPhaseCount(1);
                infoIt->effectivePhaseCount = 1;
                infoIt->effectivePhases = Electricity::PhaseA;
            }
            for (Issuer issuer : {ChargingAction::ChargingActionIssuerSurplusCharging,
                                  ChargingAction::ChargingActionIssuerSpotMarketCharging,
                                  ChargingAction::ChargingActionIssuerTimeRequirement}) {
                const double current = actions.value(issuer).maxChargingCurrent();
                if (current > 0) {
                    charger->setMaxChargingCurrent(current, currentDateTime, false);
                    break;
                }
            }
            charger->setChargingEnabled(false, currentDateTime, false, true);
        }
        setChargingStateMode(id, mode);
    }
}

void SmartChargingManager::executeChargingAction(EvChargerAc *charger, const ChargingAction &action,
                                                 const QDateTime &currentDateTime)
{
    const ChargingProcessInfo info = m_acProcessInfos.value(charger);
    uint phases = action.desiredPhaseCount();
    if (info.carLimitedToSinglePhase) {
        phases = 1;
        qCDebug(dcTavroEnergy()) << "Limitations: the charger supports phase switching and 3 phase charging, but the car "
                                    "is configured to support only one phase. Switching to single phase charging.";
    }

    // A restart waits for the on/off lock unless forced; nothing at all is
    // sent then, so the charger keeps its present setpoint.
    const bool restarting = !charger->chargingEnabled() && action.chargingEnabled();
    if (!action.force() && restarting && charger->chargingEnabledLocked()) {
        qCDebug(dcTavroEnergy()).nospace() << "Not restarting " << charger->name()
                                           << ": charging enabled is still locked. Keeping current power state and setpoint unchanged. Issuer: "
                                           << action.issuerString();
        return;
    }

    const bool switchPhases = info.phaseSwitchingPossible || info.carLimitedToSinglePhase;
    const QString phaseText = switchPhases ? QStringLiteral("Switch phases to: %1, ").arg(phases) : QString();
    qCDebug(dcTavroEnergy()).nospace().noquote()
            << "Executing action " << charger->name() << " to power: " << (action.chargingEnabled() ? "ON," : "OFF,")
            << " Carging current: " << action.maxChargingCurrent() << "A, " << phaseText
            << "Issuer: " << action.issuerString() << ", forced: " << (action.force() ? "true" : "false");

    // Fixed order: phases, then current, then on/off, so the charger never
    // starts with a stale phase count or current.
    if (switchPhases) {
        charger->setDesiredPhaseCount(static_cast<int>(phases));
        auto infoIt = m_acProcessInfos.find(charger);
        if (infoIt != m_acProcessInfos.end()) {
            infoIt->effectivePhaseCount = phases;
            infoIt->effectivePhases = phases == 1 ? Electricity::Phases(Electricity::PhaseA)
                                                  : Electricity::Phases(Electricity::PhaseAll);
        }
    }

    bool applyLock = true;
    if (action.issuer() != ChargingAction::ChargingActionIssuerOverloadProtection)
        applyLock = m_chargingConfigurations.value(charger->id()).chargingMode() != ChargingConfiguration::ChargingModeNormal;

    charger->setMaxChargingCurrent(action.maxChargingCurrent(), currentDateTime, action.force());
    charger->setChargingEnabled(action.chargingEnabled(), currentDateTime, action.force(), applyLock);
}
