#ifndef ROOTMETER_H
#define ROOTMETER_H

#include <QObject>

#include "tavro/electricity.h"
#include "tavro/typeutils.h"

class Thing;

// A typed view onto the household's grid meter. Positive power is import,
// negative is export. A state the meter lacks reads as 0.0. The adapter is a
// child of the meter thing and dies with it.
class RootMeter : public QObject
{
    Q_OBJECT
public:
    explicit RootMeter(Thing *thing);

    Thing *thing() const;

    // W, total over all phases.
    double currentPower() const;
    // W per phase.
    double currentPowerPhaseA() const;
    double currentPowerPhaseB() const;
    double currentPowerPhaseC() const;
    // A per phase.
    double currentPhaseA() const;
    double currentPhaseB() const;
    double currentPhaseC() const;

    // A that may still be added on the most loaded of the given phases before
    // limit (A per phase) is reached; an empty set means all three. Never
    // above limit (export does not raise it), negative when a phase is
    // already over it. Phases the meter cannot tell apart from a single-phase
    // total are skipped, except phase A, which then takes the total.
    double calculateAllowanceAmpere(Electricity::Phases phases, uint limit) const;

signals:
    // W; only for changes of "currentPower".
    void currentPowerChanged(double currentPower);

private:
    double doubleState(const QString &stateName) const;

    Thing *m_thing = nullptr;
};

#endif // ROOTMETER_H
