#ifndef PROGRESSSTORE_H
#define PROGRESSSTORE_H

#include <QByteArray>
#include <QDateTime>
#include <QString>

class DcController;
class ManualSocEstimator;
class ShareRounds;
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
// new file renamed over the old one) when something changed, without
// waiting for the disk: a kill keeps what the last cycle wrote, a power cut
// may cost its last minutes. restore() runs at start. A missing, unreadable or damaged file is a day without progress
// (with a warning for the damaged one), as before there was any. Energy of
// an earlier day is dropped; sessions of chargers that are unplugged now
// and locks that ran out are not taken up. Collaborators are not owned.
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
    QByteArray content() const;

    ChargingContext &m_context;
    SpotMarketPlanner &m_spotMarket;
    DcController &m_dc;
    ShareRounds &m_shares;
    ManualSocEstimator &m_manualSoc;
    SurplusPlanner &m_surplus;

    QByteArray m_written;   // what the file holds, as far as this run knows
    bool m_failing = false; // the last write failed (warned once until one succeeds)
};

#endif // PROGRESSSTORE_H
