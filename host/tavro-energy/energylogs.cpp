#include "energylogs.h"

EnergyLogs::EnergyLogs(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<EnergyLogs::SampleRate>();
    qRegisterMetaType<PowerBalanceLogEntry>();
    qRegisterMetaType<ThingPowerLogEntry>();
}

void EnergyLogs::addPowerBalanceEntry(SampleRate sampleRate, const PowerBalanceLogEntry &entry)
{
    emit powerBalanceEntryAdded(sampleRate, entry);
}

void EnergyLogs::addThingPowerEntry(SampleRate sampleRate, const ThingPowerLogEntry &entry)
{
    emit thingPowerEntryAdded(sampleRate, entry);
}
