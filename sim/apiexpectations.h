#ifndef APIEXPECTATIONS_H
#define APIEXPECTATIONS_H

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// What the plugin must answer through the API after the owner's calls it
// accepted: the phase limit, the acquisition tolerance and each charger's
// charging mode as last set. Refused calls change nothing.
class ApiExpectations
{
public:
    void setPhaseLimit(uint limit) { m_limit = limit; } // A
    void setTolerance(double tolerance) { m_tolerance = tolerance; }
    // endDateTime: s since the epoch, as set with the mode.
    void setMode(const QString &chargerId, const QString &mode, qint64 endDateTime);

    // What a getter's result says against what was set: a readable line
    // per mismatch, empty when it holds. chargerCount: chargers the
    // household has; now: s since the epoch (a target time that has passed
    // turns the mode into plain eco, as documented).
    QStringList check(const QString &method, const QVariantMap &result, int chargerCount, qint64 now);
    // The phase limit (A) the API reports after method against the one
    // set: a readable line on a mismatch, after which the reported one is
    // expected.
    QString checkPhaseLimit(double limit, const QString &method);

private:
    struct Mode {
        QString mode;           // "chargingMode" last set
        qint64 endDateTime = 0; // s since the epoch, last set
    };
    double m_tolerance = -1; // -1 until set
    uint m_limit = 0;
    QHash<QString, Mode> m_modes; // by charger id
};

#endif // APIEXPECTATIONS_H
