#include "jsonrpcenergyhandler.h"
#include "energymanager.h"

#include "tavro/tavroclock.h"

namespace {

const char *const phaseNames[] = {"A", "B", "C"};

}

JsonRpcEnergyHandler::JsonRpcEnergyHandler(EnergyManager *energyManager, QObject *parent)
    : JsonHandler(parent),
      m_energyManager(energyManager)
{
    const QString doubleType = basicTypeToString(Double);
    registerObject(QStringLiteral("PhasePower"), {{QStringLiteral("phase"), basicTypeToString(String)},
                                                  {QStringLiteral("current"), doubleType},
                                                  {QStringLiteral("power"), doubleType}});
    registerObject(QStringLiteral("PowerBalance"),
                   {{QStringLiteral("time"), basicTypeToString(Time)},
                    {QStringLiteral("simulated"), basicTypeToString(Bool)},
                    {QStringLiteral("currentPowerAcquisition"), doubleType},
                    {QStringLiteral("currentPowerProduction"), doubleType},
                    {QStringLiteral("currentPowerStorage"), doubleType},
                    {QStringLiteral("currentPowerConsumption"), doubleType},
                    {QStringLiteral("o:phases"), QVariantList{QStringLiteral("$ref:PhasePower")}}});
    registerMethod(QStringLiteral("GetPowerBalance"),
                   QStringLiteral("Where the power flows now (W): grid (+ import), PV (- producing), home batteries "
                                  "(+ charging), the rest of the house with the chargers, and the root meter per "
                                  "phase (A, W). time is the host's clock (Unix seconds); simulated tells that it "
                                  "is set, not the system's."),
                   {}, {{QStringLiteral("powerBalance"), QStringLiteral("$ref:PowerBalance")}},
                   Types::PermissionScopeControlThings);
    registerNotification(QStringLiteral("PowerBalanceChanged"),
                         QStringLiteral("Emitted when the power balance changes (at most once per turn of the event "
                                        "loop) and with every one-minute sample of the host."),
                         {{QStringLiteral("powerBalance"), QStringLiteral("$ref:PowerBalance")}},
                         Types::PermissionScopeControlThings);

    m_notification.setSingleShot(true);
    m_notification.setInterval(0);
    connect(&m_notification, &QTimer::timeout, this, [this]() {
        emit PowerBalanceChanged({{QStringLiteral("powerBalance"), powerBalance()}});
    });
    connect(m_energyManager, &EnergyManager::powerBalanceChanged, this, &JsonRpcEnergyHandler::scheduleNotification);
    connect(m_energyManager->logs(), &EnergyLogs::powerBalanceEntryAdded, this,
            &JsonRpcEnergyHandler::scheduleNotification);
    connect(m_energyManager, &EnergyManager::rootMeterChanged, this, &JsonRpcEnergyHandler::watchRootMeter);
    watchRootMeter();
}

QString JsonRpcEnergyHandler::name() const
{
    return QStringLiteral("Energy");
}

void JsonRpcEnergyHandler::watchRootMeter()
{
    disconnect(m_rootMeterConnection);
    // The phases change without the total now and then.
    if (Thing *meter = m_energyManager->rootMeter())
        m_rootMeterConnection =
                connect(meter, &Thing::stateValueChanged, this, &JsonRpcEnergyHandler::scheduleNotification);
    scheduleNotification();
}

void JsonRpcEnergyHandler::scheduleNotification()
{
    if (!m_notification.isActive())
        m_notification.start();
}

QVariantMap JsonRpcEnergyHandler::powerBalance() const
{
    const QDateTime now = TavroClock::currentDateTime();
    QVariantMap balance{{QStringLiteral("time"), now.toSecsSinceEpoch()},
                        {QStringLiteral("simulated"), TavroClock::isSimulated()},
                        {QStringLiteral("currentPowerAcquisition"), m_energyManager->currentPowerAcquisition()},
                        {QStringLiteral("currentPowerProduction"), m_energyManager->currentPowerProduction()},
                        {QStringLiteral("currentPowerStorage"), m_energyManager->currentPowerStorage()},
                        {QStringLiteral("currentPowerConsumption"), m_energyManager->currentPowerConsumption()}};
    if (Thing *meter = m_energyManager->rootMeter()) {
        QVariantList phases;
        for (const char *phase : phaseNames) {
            const QString name = QLatin1String(phase);
            phases.append(QVariantMap{
                    {QStringLiteral("phase"), name},
                    {QStringLiteral("current"), meter->stateValue(QStringLiteral("currentPhase") + name).toDouble()},
                    {QStringLiteral("power"),
                     meter->stateValue(QStringLiteral("currentPowerPhase") + name).toDouble()}});
        }
        balance.insert(QStringLiteral("phases"), phases);
    }
    return balance;
}

JsonReply *JsonRpcEnergyHandler::GetPowerBalance(const QVariantMap &params)
{
    Q_UNUSED(params)
    return createReply({{QStringLiteral("powerBalance"), powerBalance()}});
}
