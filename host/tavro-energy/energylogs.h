#ifndef ENERGYLOGS_H
#define ENERGYLOGS_H

#include "logentries.h"

#include <QObject>

// The energy logs announce every new sample. Only the one-minute rate is
// produced by this host; the enum keeps the coarser rates so that listeners
// can tell them apart.
class EnergyLogs : public QObject
{
    Q_OBJECT
public:
    enum SampleRate {
        SampleRateAny = 0,
        SampleRate1Min = 1,
        SampleRate15Mins = 15,
        SampleRate1Hour = 60,
        SampleRate3Hours = 180,
        SampleRate1Day = 1440
    };
    Q_ENUM(SampleRate)

    explicit EnergyLogs(QObject *parent = nullptr);

    void addPowerBalanceEntry(SampleRate sampleRate, const PowerBalanceLogEntry &entry);
    void addThingPowerEntry(SampleRate sampleRate, const ThingPowerLogEntry &entry);

signals:
    void powerBalanceEntryAdded(EnergyLogs::SampleRate sampleRate, const PowerBalanceLogEntry &entry);
    void thingPowerEntryAdded(EnergyLogs::SampleRate sampleRate, const ThingPowerLogEntry &entry);
};

Q_DECLARE_METATYPE(EnergyLogs::SampleRate)

#endif // ENERGYLOGS_H
