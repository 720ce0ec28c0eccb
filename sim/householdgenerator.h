#ifndef HOUSEHOLDGENERATOR_H
#define HOUSEHOLDGENERATOR_H

#include <QJsonObject>
#include <QtGlobal>

// Random households, one per seed, to search for runs that beat the limit:
// one to three cars with one to three phases, 16 or 32 A, reporting their
// level or not, on AC chargers (with and without phase switching, one-phase)
// and bidirectional DC chargers; fuses from 16 to 40 A; house loads,
// appliances and noise; clear skies, ten-minute dips or passing clouds;
// home batteries with and without the owner's limits; prices by the hour
// or the quarter; eco, normal and target modes with deadlines (some on
// repeating days), plug-ins, plug-outs and owner changes during the run,
// and now and then the random owner and plug-ins of a soak. Runs are a few
// hours long, often across a sunset or a sunrise.
//
// The result is a scenario in the format of sim/scenarios/ (Scenario),
// deterministic in the seed, so a seed that once broke the limit can be
// kept as a scenario file.
class HouseholdGenerator
{
public:
    static QJsonObject generate(quint32 seed);
};

#endif // HOUSEHOLDGENERATOR_H
