#include "progressstore.h"
#include "smartcharging/chargingcontext.h"
#include "smartcharging/dccontroller.h"
#include "smartcharging/manualsocestimator.h"
#include "smartcharging/sharerounds.h"
#include "smartcharging/spotmarketplanner.h"
#include "smartcharging/surplusplanner.h"

#include "common/tavroenergylogging.h"
#include "config/atomicfile.h"
#include "devices/evchargerac.h"
#include "devices/evchargerdc.h"

#include "tavro/tavrosettings.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

const int formatVersion = 1;
// kWh a charger's count may move before it is written again: a kill may
// count this much of a daily share twice, and a charger at full power does
// not rewrite the file every minute.
const double energyStep = 0.2;
// What a sound file can hold: kWh of one charger in one day, a fairness count.
const double largestEnergy = 1e6;
const double largestCounter = 1e9;

QString timeText(const QDateTime &dateTime)
{
    return dateTime.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime timeFromText(const QJsonValue &value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
}

// A number the file may hold for key, or -1.
double boundedNumber(const QJsonObject &object, const QString &key, double largest)
{
    const double value = object.value(key).toDouble(-1);
    return std::isfinite(value) && value >= 0 && value <= largest ? value : -1;
}

} // namespace

QString ProgressStore::fileName()
{
    return TavroSettings::storagePath() + QStringLiteral("/energy-progress.json");
}

ProgressStore::Snapshot ProgressStore::snapshot() const
{
    Snapshot snapshot;
    snapshot.day = qMax(m_spotMarket.day(), m_dc.day());
    snapshot.energy = m_spotMarket.dailyEnergy();
    const QHash<ThingId, double> dcEnergy = m_dc.dailyEnergy();
    for (auto it = dcEnergy.constBegin(); it != dcEnergy.constEnd(); ++it)
        snapshot.energy[it.key()] += it.value();
    snapshot.fairness = m_shares.fairnessState();
    snapshot.sessions = m_manualSoc.sessions();
    for (EvChargerAc *charger : qAsConst(m_context.evChargersAc)) {
        if (charger->chargingEnabledLocked())
            snapshot.locks.insert(charger->id(), charger->chargingEnabledLockStart());
    }
    snapshot.reported = m_surplus.reportedUnreachableTargets();
    return snapshot;
}

bool ProgressStore::Snapshot::closeTo(const Snapshot &other) const
{
    if (day != other.day || fairness.counters != other.fairness.counters
        || fairness.lastRotations != other.fairness.lastRotations || fairness.served != other.fairness.served
        || sessions != other.sessions || locks != other.locks || reported != other.reported
        || energy.count() != other.energy.count())
        return false;
    for (auto it = energy.constBegin(); it != energy.constEnd(); ++it) {
        const auto written = other.energy.constFind(it.key());
        if (written == other.energy.constEnd() || qAbs(it.value() - written.value()) >= energyStep)
            return false;
    }
    return true;
}

QByteArray ProgressStore::Snapshot::content() const
{
    QHash<ThingId, QJsonObject> chargers;
    for (auto it = energy.constBegin(); it != energy.constEnd(); ++it)
        chargers[it.key()].insert(QStringLiteral("energyToday"), it.value());
    for (auto it = fairness.counters.constBegin(); it != fairness.counters.constEnd(); ++it) {
        if (it.value() > 0)
            chargers[it.key()].insert(QStringLiteral("fairness"), static_cast<double>(it.value()));
    }
    for (auto it = sessions.constBegin(); it != sessions.constEnd(); ++it)
        chargers[it.key()].insert(QStringLiteral("manualSocCar"), it.value().toString());
    for (auto it = locks.constBegin(); it != locks.constEnd(); ++it)
        chargers[it.key()].insert(QStringLiteral("powerLockStart"), timeText(it.value()));
    for (auto it = reported.constBegin(); it != reported.constEnd(); ++it) {
        if (it.value().isValid())
            chargers[it.key()].insert(QStringLiteral("unreachableReported"), timeText(it.value()));
    }

    QJsonObject chargerObject;
    for (auto it = chargers.constBegin(); it != chargers.constEnd(); ++it)
        chargerObject.insert(it.key().toString(), it.value());

    QJsonObject groups;
    for (auto it = fairness.lastRotations.constBegin(); it != fairness.lastRotations.constEnd(); ++it) {
        QJsonObject group;
        if (it.value().isValid())
            group.insert(QStringLiteral("lastRotation"), timeText(it.value()));
        QJsonArray served;
        for (const ThingId &id : fairness.served.value(it.key()))
            served.append(id.toString());
        group.insert(QStringLiteral("served"), served);
        groups.insert(QString::number(it.key()), group);
    }

    QJsonObject root;
    root.insert(QStringLiteral("version"), formatVersion);
    if (day.isValid())
        root.insert(QStringLiteral("day"), day.toString(Qt::ISODate));
    root.insert(QStringLiteral("chargers"), chargerObject);
    root.insert(QStringLiteral("shareGroups"), groups);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

void ProgressStore::store()
{
    // Compared before it is written out: most cycles change nothing.
    Snapshot current = snapshot();
    if (m_stored && current.closeTo(*m_stored))
        return;
    const QByteArray data = current.content();
    QString error;
    // Written every minute while a share is bought: a kill must not lose it,
    // a power cut may cost the last minutes.
    if (!AtomicFile::write(fileName(), data, &error, AtomicFile::SurvivesCrash)) {
        // Once per outage: this runs every minute.
        if (!m_failing)
            qCWarning(dcTavroEnergy()) << "Cannot write the day's progress to" << fileName() << ":" << error
                                       << "- a restart now would start the day afresh.";
        m_failing = true;
        return;
    }
    if (m_failing)
        qCInfo(dcTavroEnergy()) << "The day's progress is written to" << fileName() << "again.";
    m_failing = false;
    m_stored = std::move(current);
}

void ProgressStore::restore(const QDateTime &now)
{
    QJsonObject root;
    if (!readProgress(&root))
        return;
    QHash<ThingId, double> acEnergy;
    QHash<ThingId, double> dcEnergy;
    ShareRounds::Fairness fairness;
    restoreChargers(root.value(QStringLiteral("chargers")).toObject(), now, &acEnergy, &dcEnergy, &fairness);
    restoreShareGroups(root.value(QStringLiteral("shareGroups")).toObject(), now, &fairness);
    m_shares.restoreFairness(fairness);

    // Energy counts for its own day only; a day the clock went back from
    // still runs.
    const QDate day = QDate::fromString(root.value(QStringLiteral("day")).toString(), Qt::ISODate);
    if (day.isValid() && day >= now.toLocalTime().date()) {
        m_spotMarket.restoreDailyEnergy(day, acEnergy);
        m_dc.restoreDailyEnergy(day, dcEnergy);
    }
    qCDebug(dcTavroEnergy()) << "The day's progress of" << day << "taken up from" << fileName();
}

bool ProgressStore::readProgress(QJsonObject *root)
{
    QDir().mkpath(TavroSettings::storagePath());
    QFile file(fileName());
    if (!file.exists())
        return false;
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(dcTavroEnergy()) << "Cannot read the day's progress from" << fileName() << ":" << file.errorString()
                                   << "- the day starts afresh.";
        return false;
    }
    const QByteArray data = file.readAll();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    *root = document.object();
    if (error.error != QJsonParseError::NoError || !document.isObject()
        || root->value(QStringLiteral("version")).toInt() != formatVersion) {
        qCWarning(dcTavroEnergy()) << "The day's progress in" << fileName() << "is damaged"
                                   << (error.error != QJsonParseError::NoError ? error.errorString() : QString())
                                   << "- the day starts afresh.";
        return false;
    }
    return true;
}

void ProgressStore::restoreChargers(const QJsonObject &chargers, const QDateTime &now, QHash<ThingId, double> *acEnergy,
                                    QHash<ThingId, double> *dcEnergy, ShareRounds::Fairness *fairness)
{
    for (auto it = chargers.constBegin(); it != chargers.constEnd(); ++it) {
        const ThingId id(it.key());
        if (id.isNull())
            continue;
        const QJsonObject charger = it.value().toObject();
        const double energy = boundedNumber(charger, QStringLiteral("energyToday"), largestEnergy);
        if (energy > 0)
            (m_context.evChargersDc.contains(id) ? dcEnergy : acEnergy)->insert(id, energy);
        const double counter = boundedNumber(charger, QStringLiteral("fairness"), largestCounter);
        if (counter > 0)
            fairness->counters.insert(id, static_cast<uint>(counter));

        // A session belongs to the plug-in that runs now; one that ended
        // while the host was down is over.
        const ThingId carId(charger.value(QStringLiteral("manualSocCar")).toString());
        EvChargerAc *ac = m_context.evChargersAc.value(id);
        EvChargerDc *dc = m_context.evChargersDc.value(id);
        if (!carId.isNull() && ((ac && ac->pluggedIn()) || (dc && dc->pluggedIn())))
            m_manualSoc.restoreSession(id, carId);
        if (ac)
            ac->restoreChargingEnabledLock(timeFromText(charger.value(QStringLiteral("powerLockStart"))), now);
        const QDateTime reported = timeFromText(charger.value(QStringLiteral("unreachableReported")));
        if (reported.isValid())
            m_surplus.restoreReportedUnreachableTarget(id, reported);
    }
}

void ProgressStore::restoreShareGroups(const QJsonObject &groups, const QDateTime &now, ShareRounds::Fairness *fairness)
{
    for (auto it = groups.constBegin(); it != groups.constEnd(); ++it) {
        bool ok = false;
        const int group = it.key().toInt(&ok);
        if (!ok)
            continue;
        const QJsonObject object = it.value().toObject();
        const QDateTime lastRotation = timeFromText(object.value(QStringLiteral("lastRotation")));
        if (lastRotation.isValid() && lastRotation <= now)
            fairness->lastRotations.insert(group, lastRotation);
        QList<ThingId> served;
        for (const QJsonValue &id : object.value(QStringLiteral("served")).toArray()) {
            const ThingId chargerId(id.toString());
            if (!chargerId.isNull())
                served.append(chargerId);
        }
        fairness->served.insert(group, served);
    }
}
