#include "energymanager.h"

#include "tavro/tavroclock.h"
#include "tavro/thingmanager.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(dcEnergyManager, "EnergyManager")

EnergyManager::EnergyManager(ThingManager *thingManager, QObject *parent)
    : QObject(parent),
      m_thingManager(thingManager),
      m_logs(new EnergyLogs(this))
{
    m_sampleTimer.setSingleShot(true);
    connect(&m_sampleTimer, &QTimer::timeout, this, [this]() {
        sampleMinute(TavroClock::currentDateTime());
        scheduleNextSample();
    });

    for (Thing *thing : m_thingManager->configuredThings())
        watchThing(thing);
    connect(m_thingManager, &ThingManager::thingAdded, this, [this](Thing *thing) {
        watchThing(thing);
        updatePowerBalance();
    });
    connect(m_thingManager, &ThingManager::thingRemoved, this, [this](const ThingId &thingId) {
        if (m_rootMeter && m_rootMeter->id() == thingId) {
            m_rootMeter = nullptr;
            qCInfo(dcEnergyManager()) << "Root meter removed";
            emit rootMeterChanged();
        }
        // The thing is still alive until the event loop deletes it; leave it
        // out of the balance now.
        updatePowerBalance();
    });
    updatePowerBalance();
}

EnergyManager::EnergyError EnergyManager::setRootMeter(const ThingId &rootMeterId)
{
    Thing *thing = m_thingManager->findConfiguredThing(rootMeterId);
    if (!thing || !thing->thingClass().interfaces().contains(QStringLiteral("energymeter")))
        return EnergyErrorInvalidParameter;
    if (m_rootMeter != thing) {
        m_rootMeter = thing;
        qCInfo(dcEnergyManager()) << "Root meter set to" << thing->name();
        emit rootMeterChanged();
        updatePowerBalance();
    }
    return EnergyErrorNoError;
}

void EnergyManager::watchThing(Thing *thing)
{
    const QStringList &interfaces = thing->thingClass().interfaces();
    if (!m_rootMeter && interfaces.contains(QStringLiteral("energymeter"))) {
        m_rootMeter = thing;
        qCInfo(dcEnergyManager()) << "Using" << thing->name() << "as root meter";
        emit rootMeterChanged();
    }
    const StateTypeId powerStateId = thing->thingClass().stateTypes().findByName(QStringLiteral("currentPower")).id();
    if (powerStateId.isNull())
        return;
    connect(thing, &Thing::stateValueChanged, this, [this, powerStateId](const StateTypeId &stateTypeId) {
        if (stateTypeId == powerStateId)
            updatePowerBalance();
    });
}

void EnergyManager::updatePowerBalance()
{
    double production = 0;
    double storage = 0;
    for (Thing *thing : m_thingManager->configuredThings()) {
        const QStringList &interfaces = thing->thingClass().interfaces();
        if (interfaces.contains(QStringLiteral("smartmeterproducer")))
            production += thing->stateValue(QStringLiteral("currentPower")).toDouble();
        else if (interfaces.contains(QStringLiteral("energystorage")))
            storage += thing->stateValue(QStringLiteral("currentPower")).toDouble();
    }
    const double acquisition = m_rootMeter ? m_rootMeter->stateValue(QStringLiteral("currentPower")).toDouble() : 0;
    // Producers report generation as negative power.
    const double consumption = acquisition - production - storage;
    if (qFuzzyCompare(1 + acquisition, 1 + m_acquisition) && qFuzzyCompare(1 + production, 1 + m_production)
        && qFuzzyCompare(1 + storage, 1 + m_storage) && qFuzzyCompare(1 + consumption, 1 + m_consumption))
        return;
    m_acquisition = acquisition;
    m_production = production;
    m_storage = storage;
    m_consumption = consumption;
    emit powerBalanceChanged();
}

void EnergyManager::sampleMinute(const QDateTime &timestamp)
{
    const QTime time = timestamp.time();
    const QDateTime minute(timestamp.date(), QTime(time.hour(), time.minute()), timestamp.timeSpec());
    m_logs->addPowerBalanceEntry(EnergyLogs::SampleRate1Min,
                                 PowerBalanceLogEntry(minute, m_consumption, m_production, m_acquisition, m_storage));
    for (Thing *thing : m_thingManager->configuredThings()) {
        if (!thing->hasState(QStringLiteral("currentPower")))
            continue;
        m_logs->addThingPowerEntry(
                EnergyLogs::SampleRate1Min,
                ThingPowerLogEntry(minute, thing->id(), thing->stateValue(QStringLiteral("currentPower")).toDouble()));
    }
}

void EnergyManager::startMinuteSampling()
{
    scheduleNextSample();
}

void EnergyManager::stopMinuteSampling()
{
    m_sampleTimer.stop();
}

void EnergyManager::scheduleNextSample()
{
    const QDateTime now = TavroClock::currentDateTime();
    const QTime time = now.time();
    const QDateTime nextMinute = QDateTime(now.date(), QTime(time.hour(), time.minute()), now.timeSpec()).addSecs(60);
    m_sampleTimer.start(static_cast<int>(qMax<qint64>(1, now.msecsTo(nextMinute))));
}
