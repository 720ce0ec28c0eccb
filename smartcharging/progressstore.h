#ifndef PROGRESSSTORE_H
#define PROGRESSSTORE_H

#include "smartcharging/sharerounds.h"

#include "tavro/thing.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <optional>

class DcController;
class ManualSocEstimator;
class SpotMarketPlanner;
class SurplusPlanner;
struct ChargingContext;

// The day's progress, kept across a restart (also a hard one) in
// "energy-progress.json" in the host's storage path: the energy each charger
// got today towards its daily share (with the local day it counts for), the
// fairness counters and rotations of the share groups, the manual
// state-of-charge sessions of the plug-ins that run, the on/off locks of the
// AC chargers and the target times the owner was told are out of reach.
//
// store() runs after every update cycle and writes the file in one step (a
// new file renamed over the old one) when something changed (an energy
// count by 0.2 kWh or more), without waiting for the disk: a kill keeps what
// the last cycle wrote, a power cut may cost its last minutes. restore() runs at start. A missing, unreadable or
// damaged file is a day without progress (with a warning for the damaged one), as before there was any. Energy of an
// earlier day is dropped; sessions of chargers that are unplugged now and locks that ran out are not taken up.
// Collaborators are not owned.
class ProgressStore
{
public:
    ProgressStore(ChargingContext &context, SpotMarketPlanner &spotMarket, DcController &dc, ShareRounds &shares,
                  ManualSocEstimator &manualSoc, SurplusPlanner &surplus)
        : m_context(context),
          m_spotMarket(spotMarket),
          m_dc(dc),
          m_shares(shares),
          m_manualSoc(manualSoc),
          m_surplus(surplus)
    {
    }

    // Once the host's chargers are tracked; now: the host's time (local).
    void restore(const QDateTime &now);
    void store();

    static QString fileName();

private:
    // What the file holds, as the steps have it.
    struct Snapshot {
        QDate day;
        QHash<ThingId, double> energy; // kWh
        ShareRounds::Fairness fairness;
        QHash<ThingId, ThingId> sessions;
        QHash<ThingId, QDateTime> locks;
        QHash<ThingId, QDateTime> reported;
        // The same, but for energy counts that moved less than a step.
        bool closeTo(const Snapshot &other) const;
        QByteArray content() const;
    };
    Snapshot snapshot() const;
    // The file's root object; false (with a warning when it is unreadable
    // or damaged) for a day without progress.
    bool readProgress(QJsonObject *root);
    // Each charger's energy today (AC and DC apart), fairness counter,
    // manual state-of-charge session, on/off lock and reported target.
    void restoreChargers(const QJsonObject &chargers, const QDateTime &now, QHash<ThingId, double> *acEnergy,
                         QHash<ThingId, double> *dcEnergy, ShareRounds::Fairness *fairness);
    // Each share group's last rotation (none from the future) and served chargers.
    void restoreShareGroups(const QJsonObject &groups, const QDateTime &now, ShareRounds::Fairness *fairness);

    ChargingContext &m_context;
    SpotMarketPlanner &m_spotMarket;
    DcController &m_dc;
    ShareRounds &m_shares;
    ManualSocEstimator &m_manualSoc;
    SurplusPlanner &m_surplus;

    std::optional<Snapshot> m_stored; // what this run wrote last; none before
    bool m_failing = false;           // the last write failed (warned once until one succeeds)
};

#endif // PROGRESSSTORE_H
