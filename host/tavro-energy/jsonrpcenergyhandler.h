#ifndef JSONRPCENERGYHANDLER_H
#define JSONRPCENERGYHANDLER_H

#include "tavro/jsonhandler.h"

#include <QTimer>

class EnergyManager;

// The host namespace "Energy": where the power flows now, as the host's
// energy manager keeps it, and the host's clock (the simulator's clock when
// it drives the time). Powers in W, currents in A.
//
//   GetPowerBalance {} → {powerBalance: PowerBalance}
//   notification PowerBalanceChanged {powerBalance}
//
// PowerBalance: time (the host's now, Unix seconds), simulated (the clock
// is set, not the system's), currentPowerAcquisition (grid, + import),
// currentPowerProduction (PV, - producing), currentPowerStorage (home
// batteries, + charging), currentPowerConsumption (the rest: the house, the
// chargers included), and o:phases of the root meter [{phase "A", "B" or
// "C", current, power}] (left out without a root meter).
//
// The notification follows every change of these, at most once per turn of
// the event loop, and every one-minute sample of the host (so the clock
// moves on the client's side even while nothing else does). Both need
// PermissionScopeControlThings.
class JsonRpcEnergyHandler : public JsonHandler
{
    Q_OBJECT
public:
    // Not owned; it must outlive the handler.
    explicit JsonRpcEnergyHandler(EnergyManager *energyManager, QObject *parent = nullptr);

    QString name() const override;

    Q_INVOKABLE JsonReply *GetPowerBalance(const QVariantMap &params);

    QVariantMap powerBalance() const;

signals:
    void PowerBalanceChanged(const QVariantMap &params);

private:
    void watchRootMeter();
    void scheduleNotification();

    EnergyManager *m_energyManager = nullptr;
    QMetaObject::Connection m_rootMeterConnection;
    QTimer m_notification;
};

#endif // JSONRPCENERGYHANDLER_H
