#ifndef ENERGYMANAGER_H
#define ENERGYMANAGER_H

#include "energylogs.h"

#include "tavro/thing.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

class ThingManager;

// The host's energy manager: knows the grid root meter, keeps the household
// power balance and produces the one-minute log samples. Powers in W.
class EnergyManager : public QObject
{
    Q_OBJECT
public:
    enum EnergyError {
        EnergyErrorNoError = 0,
        EnergyErrorMissingParameter = 1,
        EnergyErrorInvalidParameter = 2
    };
    Q_ENUM(EnergyError)

    // Follows the thing manager: the first "energymeter" thing becomes the
    // root meter unless one is set explicitly.
    explicit EnergyManager(ThingManager *thingManager, QObject *parent = nullptr);

    // Null while there is no root meter.
    Thing *rootMeter() const { return m_rootMeter; }
    EnergyError setRootMeter(const ThingId &rootMeterId);

    double currentPowerConsumption() const { return m_consumption; }
    double currentPowerProduction() const { return m_production; }
    double currentPowerAcquisition() const { return m_acquisition; }
    double currentPowerStorage() const { return m_storage; }

    EnergyLogs *logs() const { return m_logs; }

    // Emits the one-minute samples (power balance, then every thing with a
    // "currentPower" state) stamped with the start of timestamp's minute.
    void sampleMinute(const QDateTime &timestamp);
    // Real-time mode: samples at every full minute of the host clock.
    void startMinuteSampling();
    void stopMinuteSampling();

signals:
    void rootMeterChanged();
    void powerBalanceChanged();

private:
    void watchThing(Thing *thing);
    void updatePowerBalance();
    void scheduleNextSample();

    ThingManager *m_thingManager = nullptr;
    QPointer<Thing> m_rootMeter;
    EnergyLogs *m_logs = nullptr;
    QTimer m_sampleTimer;
    double m_consumption = 0;
    double m_production = 0;
    double m_acquisition = 0;
    double m_storage = 0;
};

#endif // ENERGYMANAGER_H
