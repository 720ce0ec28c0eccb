#include "spotmarketmanager.h"

#include "config/energysettings.h"
#include "config/settingschange.h"
#include "common/tavroenergylogging.h"
#include "spotmarket/spotmarketdataprovider.h"
#include "spotmarket/spotmarketdataproviderawattar.h"
#include "spotmarket/spotmarketdataproviderenergycharts.h"

#include <QVector>
#include <QtMath>

#include <limits>

#include <algorithm>

namespace {

void sortByStart(QList<TimeFrame> &frames)
{
    std::sort(frames.begin(), frames.end(),
              [](const TimeFrame &a, const TimeFrame &b) { return a.startDateTime() < b.startDateTime(); });
}

// Moves a partial frame later so that it ends on the next multiple of
// slotMinutes within the hour, i.e. at the end of the slot it was cut from.
// A frame already ending there is returned unchanged.
// durationMinutes is the frame's own, passed in because every conversion of
// a local date-time to an instant costs a call into the C library's time
// zone code (a file check each time while TZ is unset).
TimeFrame alignedFrame(const TimeFrame &frame, uint slotMinutes, qint64 durationMinutes)
{
    const int overhang = frame.endDateTime().time().minute() % static_cast<int>(slotMinutes);
    if (overhang == 0)
        return frame;

    const QDateTime alignedEnd = frame.endDateTime().addSecs((static_cast<int>(slotMinutes) - overhang) * 60);
    return TimeFrame(alignedEnd.addSecs(-durationMinutes * 60), alignedEnd);
}

// Whole minutes between two instants (ms since the epoch), truncated like
// TimeFrame::durationMinutes().
qint64 wholeMinutes(qint64 startMSecs, qint64 endMSecs)
{
    return (endMSecs - startMSecs) / 60000;
}

// Lets the first frame of frames that touches frame absorb it. Returns false
// when no frame touches.
bool absorbInto(QList<TimeFrame> &frames, const TimeFrame &frame)
{
    for (TimeFrame &other : frames) {
        if (frame.endDateTime() == other.startDateTime()) {
            other.setStartDateTime(frame.startDateTime());
            return true;
        }
        if (frame.startDateTime() == other.endDateTime()) {
            other.setEndDateTime(frame.endDateTime());
            return true;
        }
    }
    return false;
}

// The joined frame when frame touches other, otherwise an invalid frame.
TimeFrame joined(const TimeFrame &frame, const TimeFrame &other)
{
    if (frame.endDateTime() == other.startDateTime())
        return TimeFrame(frame.startDateTime(), other.endDateTime());

    if (frame.startDateTime() == other.endDateTime())
        return TimeFrame(other.startDateTime(), frame.endDateTime());

    return TimeFrame();
}

// A price slot still to come, its instants taken once: converting a local
// date-time is costly.
struct Slot {
    ScoreEntry entry;
    qint64 startMSecs;
    qint64 endMSecs;
};

// The slots a plan may use, cut to now and to the deadline.
struct PlannableSlots {
    QVector<Slot> available;
    // The grid partial frames are aligned to: 60 for hourly slots, 15 for
    // quarter-hour products; a divisor of the hour.
    uint slotMinutes = 60;
    // No frame may end after the last minute that can be planned (0: none).
    qint64 latestEndMSecs = 0;
    uint totalMinutes = 0;
};

// The running slot counts from now; a slot ending exactly now is over: a
// frame in it would lie in the past. The slot running at the deadline
// counts up to it.
PlannableSlots plannableSlots(const ScoreEntries &scoreEntries, const QDateTime &currentDateTime, qint64 nowMSecs,
                              const QDateTime &deadline)
{
    const qint64 deadlineMSecs = deadline.isValid() ? deadline.toMSecsSinceEpoch() : std::numeric_limits<qint64>::max();
    PlannableSlots plannable;
    plannable.available.reserve(scoreEntries.count());
    qint64 shortestSlot = 60;
    for (const ScoreEntry &entry : scoreEntries) {
        if (!entry.isValid() || entry.endDateTime() <= currentDateTime)
            continue;

        // The entries keep their instants: the day's prices are planned with
        // many times per cycle.
        Slot slot{entry, entry.startMSecsSinceEpoch(), entry.endMSecsSinceEpoch()};
        if (slot.startMSecs >= deadlineMSecs)
            continue;
        const qint64 duration = wholeMinutes(slot.startMSecs, slot.endMSecs);
        if (duration > 0)
            shortestSlot = qMin(shortestSlot, duration);

        if (slot.entry.isActive(currentDateTime)) {
            slot.entry.setStartDateTime(currentDateTime);
            slot.startMSecs = nowMSecs;
        }
        if (slot.endMSecs > deadlineMSecs) {
            slot.entry.setEndDateTime(deadline);
            slot.endMSecs = deadlineMSecs;
        }
        plannable.latestEndMSecs = qMax(plannable.latestEndMSecs, slot.endMSecs);
        plannable.available.append(slot);
    }

    plannable.slotMinutes = static_cast<uint>(shortestSlot);
    while (60 % plannable.slotMinutes != 0)
        plannable.slotMinutes--;
    for (const Slot &slot : qAsConst(plannable.available))
        plannable.totalMinutes += static_cast<uint>(wholeMinutes(slot.startMSecs, slot.endMSecs));
    return plannable;
}

// The best weighted slots for minutes; all of them when they do not hold more.
// While charging, the running slot, when the plan takes any of it, is
// taken first and whole: the minutes it takes beyond the need come off the
// dearest slot still planned, while a running charge trimmed from its
// slot's end would pause until the next slot (two switches, a lock) as the
// estimate drops.
QList<TimeFrame> bestFrames(PlannableSlots &plannable, uint minutes, bool charging, qint64 nowMSecs)
{
    QList<TimeFrame> frames;
    if (minutes >= plannable.totalMinutes) {
        qCDebug(dcTavroEnergy()) << "Not enought score entries left in order to schedule" << minutes
                                 << "minutes. Using the leftover schedules beeing a total of" << plannable.totalMinutes
                                 << "minutes.";
        // The slot's own frame: its instants come along.
        for (const Slot &slot : qAsConst(plannable.available))
            frames.append(slot.entry);
        return frames;
    }

    // Best weighting first (the order ScoreEntries::sortByWeighting() gives).
    std::sort(plannable.available.begin(), plannable.available.end(),
              [](const Slot &a, const Slot &b) { return a.entry.weighting() > b.entry.weighting(); });
    if (charging) {
        qint64 before = 0;
        for (int i = 0; i < plannable.available.count() && before < minutes; i++) {
            const Slot &slot = plannable.available.at(i);
            if (slot.startMSecs <= nowMSecs && nowMSecs < slot.endMSecs) {
                std::rotate(plannable.available.begin(), plannable.available.begin() + i,
                            plannable.available.begin() + i + 1);
                break;
            }
            before += wholeMinutes(slot.startMSecs, slot.endMSecs);
        }
    }
    uint remainingMinutes = minutes;
    for (const Slot &slot : qAsConst(plannable.available)) {
        if (remainingMinutes == 0)
            break;

        // A slot fitting into the remaining minutes is taken whole,
        // whatever its length; otherwise its first remaining minutes.
        const qint64 slotMSecs = slot.endMSecs - slot.startMSecs;
        if (static_cast<qint64>(remainingMinutes) * 60000 >= slotMSecs) {
            frames.append(slot.entry);
            remainingMinutes -= static_cast<uint>(wholeMinutes(slot.startMSecs, slot.endMSecs));
        } else {
            frames.append(
                    TimeFrame(slot.entry.startDateTime(), slot.entry.startDateTime().addSecs(remainingMinutes * 60)));
            remainingMinutes = 0;
        }
    }
    return frames;
}

// Folds a frame shorter than the minimum (already taken out of result) into
// the shortest frame that can grow by its minutes at its end, but never into
// another frame (that would lose charging time) and never past the last
// plannable minute (a deadline would be missed); else into one that can grow
// at its start, not before now; else it stays as it is.
void foldShortFrame(QList<TimeFrame> &result, const TimeFrame &frame, const QDateTime &currentDateTime,
                    qint64 latestEndMSecs)
{
    const qint64 extensionSecs = frame.durationMinutes() * 60;
    const qint64 nowMSecs = currentDateTime.toMSecsSinceEpoch();
    auto collides = [&result](int index, const QDateTime &from, const QDateTime &to) {
        for (int j = 0; j < result.count(); j++) {
            if (j != index && result.at(j).startDateTime() < to && result.at(j).endDateTime() > from)
                return true;
        }
        return false;
    };
    int target = -1;
    bool atStart = false;
    for (int pass = 0; pass < 2 && target < 0; pass++) {
        for (int i = 0; i < result.count(); i++) {
            const TimeFrame &candidate = result.at(i);
            if (pass == 0) {
                const QDateTime grownEnd = candidate.endDateTime().addSecs(extensionSecs);
                if (grownEnd.toMSecsSinceEpoch() > latestEndMSecs || collides(i, candidate.endDateTime(), grownEnd))
                    continue;
            } else {
                const QDateTime grownStart = candidate.startDateTime().addSecs(-extensionSecs);
                if (grownStart.toMSecsSinceEpoch() < nowMSecs || collides(i, grownStart, candidate.startDateTime()))
                    continue;
            }
            if (target < 0 || candidate.durationMinutes() < result.at(target).durationMinutes())
                target = i;
        }
        atStart = pass == 1;
    }

    if (target < 0) {
        qCDebug(dcTavroEnergy()) << "Keeping short frame, no frame can take its" << frame.durationMinutes() << "minutes"
                                 << frame;
        result.append(frame);
    } else if (atStart) {
        qCDebug(dcTavroEnergy()) << "Folding short frame" << frame << "into the start of" << result.at(target);
        result[target].setStartDateTime(result.at(target).startDateTime().addSecs(-extensionSecs));
    } else {
        qCDebug(dcTavroEnergy()) << "Folding short frame" << frame << "into" << result.at(target);
        result[target].setEndDateTime(result.at(target).endDateTime().addSecs(extensionSecs));
    }
}

// At most one correction per plan, for the first frame that needs one: a
// running charge is not paused for a few minutes before its next frame, and
// a frame shorter than the minimum is folded into another.
void correctFirstFrame(QList<TimeFrame> &result, const QDateTime &currentDateTime, uint minimumScheduleDuration,
                       bool charging, qint64 latestEndMSecs)
{
    const QList<TimeFrame> fusedFrames = result;
    for (const TimeFrame &frame : fusedFrames) {
        const qint64 msecsToStart = charging ? currentDateTime.msecsTo(frame.startDateTime()) : 0;
        if (charging && msecsToStart <= 599999) {
            const qint64 seconds = qFloor(msecsToStart / 1000.0 + 0.5);
            const TimeFrame movedFrame(frame.startDateTime().addSecs(-seconds), frame.endDateTime().addSecs(-seconds));
            result.removeAll(frame);
            result.append(movedFrame);
            qCDebug(dcTavroEnergy()) << "Moving frame to current date time" << seconds / 60.0 << "minutes";
            return;
        }

        if (minimumScheduleDuration >= 2 && frame.durationMinutes() < static_cast<qint64>(minimumScheduleDuration)) {
            if (charging && frame.isActive(currentDateTime))
                return;
            result.removeAll(frame);
            if (result.isEmpty())
                result.append(frame);
            else
                foldShortFrame(result, frame, currentDateTime, latestEndMSecs);
            return;
        }
    }
}

// Aligning a partial frame moves it later within its hour; the last
// plannable minute still bounds it.
void clampToLatestEnd(QList<TimeFrame> &result, qint64 latestEndMSecs)
{
    for (int i = result.count() - 1; latestEndMSecs > 0 && i >= 0; i--) {
        if (result.at(i).endMSecsSinceEpoch() <= latestEndMSecs)
            continue;
        result[i].setEndDateTime(QDateTime::fromMSecsSinceEpoch(latestEndMSecs));
        if (result.at(i).durationMinutes() <= 0)
            result.removeAt(i);
    }
}

}

SpotMarketManager::SpotMarketManager(QNetworkAccessManager *networkManager, QObject *parent)
    : QObject(parent),
      m_networkManager(networkManager)
{
    // Signal arguments of this class, also for queued connections and spies.
    qRegisterMetaType<SpotMarketDataProvider *>();
    qRegisterMetaType<ScoreEntries>();

    registerProvider(new SpotMarketDataProviderAwattar(m_networkManager,
                                                       SpotMarketDataProviderAwattar::AwattarCountryAustria, this));
    registerProvider(new SpotMarketDataProviderAwattar(m_networkManager,
                                                       SpotMarketDataProviderAwattar::AwattarCountryGermany, this));
    for (const QString &zone : SpotMarketDataProviderEnergyCharts::zones())
        registerProvider(new SpotMarketDataProviderEnergyCharts(m_networkManager, zone, this));

    bool enabled = false;
    {
        EnergySettings settings;
        settings.beginGroup("SpotMarket");
        enabled = settings.value("enabled", false).toBool();
        settings.endGroup();
    }
    setEnabled(enabled);
}

bool SpotMarketManager::enabled() const
{
    return m_enabled;
}

bool SpotMarketManager::available() const
{
    return m_currentProvider && m_currentProvider->available();
}

SpotMarketDataProvider *SpotMarketManager::currentProvider() const
{
    return m_currentProvider;
}

QUuid SpotMarketManager::currentProviderId() const
{
    return m_currentProvider ? m_currentProvider->providerId() : QUuid();
}

SpotMarketProviderInfos SpotMarketManager::availableProviders() const
{
    return m_availableProviders;
}

bool SpotMarketManager::registerProvider(SpotMarketDataProvider *provider)
{
    if (!provider)
        return false;

    if (m_providers.contains(provider->providerId())) {
        qCWarning(dcTavroEnergy())
                << "SpotMarketManager: Try to register already registered provider. Ignoring request.";
        return false;
    }

    provider->setParent(this);
    m_providers.insert(provider->providerId(), provider);
    m_availableProviders.append(provider->info());
    connect(provider, &SpotMarketDataProvider::infoChanged, this, [this, provider]() {
        for (SpotMarketProviderInfo &info : m_availableProviders) {
            if (info.providerId == provider->providerId())
                info = provider->info();
        }
        emit availableProvidersChanged();
    });
    emit availableProvidersChanged();
    qCDebug(dcTavroEnergy()) << "SpotMarketManager: Registered" << provider;
    return true;
}

void SpotMarketManager::refreshAllProviders()
{
    for (const SpotMarketProviderInfo &info : qAsConst(m_availableProviders)) {
        SpotMarketDataProvider *provider = m_providers.value(info.providerId);
        if (provider && provider->enabled())
            provider->refreshData();
    }
}

bool SpotMarketManager::changeProvider(const QUuid &providerId)
{
    if (providerId.isNull() || !m_providers.contains(providerId)) {
        qCWarning(dcTavroEnergy()).noquote() << "SpotMarketManager: Requested to change provider to"
                                             << providerId.toString() << "but there is no such provider available.";
        return false;
    }

    if (m_currentProvider) {
        qCDebug(dcTavroEnergy()) << "SpotMarketManager: Unset current provider" << m_currentProvider;
        m_currentProvider->disable();
        // Only the three signals of the current provider: its info stays followed.
        disconnect(m_currentProvider, &SpotMarketDataProvider::availableChanged, this,
                   &SpotMarketManager::availableChanged);
        disconnect(m_currentProvider, &SpotMarketDataProvider::enabledChanged, this,
                   &SpotMarketManager::enabledChanged);
        disconnect(m_currentProvider, &SpotMarketDataProvider::scoreEntriesChanged, this,
                   &SpotMarketManager::onProviderScoreEntriesChanged);
        m_currentProvider = nullptr;
    }

    m_weightedScoreEntries.clear();

    SpotMarketDataProvider *provider = m_providers.value(providerId);
    qCDebug(dcTavroEnergy()) << "SpotMarketManager: Changing provider to" << provider;
    m_currentProvider = provider;
    emit currentProviderChanged(m_currentProvider);

    connect(m_currentProvider, &SpotMarketDataProvider::availableChanged, this, &SpotMarketManager::availableChanged);
    connect(m_currentProvider, &SpotMarketDataProvider::enabledChanged, this, &SpotMarketManager::enabledChanged);
    connect(m_currentProvider, &SpotMarketDataProvider::scoreEntriesChanged, this,
            &SpotMarketManager::onProviderScoreEntriesChanged);

    SettingsChange change;
    change.setValue(QStringLiteral("SpotMarket/providerId"), m_currentProvider->providerId().toString());
    change.commit();
    return true;
}

void SpotMarketManager::setEnabled(bool enabled)
{
    if (enabled) {
        qCDebug(dcTavroEnergy()) << "SpotMarketManager: Enable spot market manager";
        QUuid providerId;
        {
            EnergySettings settings;
            settings.beginGroup("SpotMarket");
            providerId = settings.value("providerId").toUuid();
            settings.endGroup();
        }

        if (!providerId.isNull()) {
            changeProvider(providerId);
        } else {
            // The first one registered, so the choice does not depend on hash order.
            qCDebug(dcTavroEnergy())
                    << "SpotMarketManager: Currently no spot market provider configured. Selecting the first available.";
            if (!m_availableProviders.isEmpty())
                changeProvider(m_availableProviders.first().providerId);
        }

        if (m_currentProvider) {
            m_currentProvider->enable();
            qCInfo(dcTavroEnergy()) << "SpotMarketManager: Enabled using" << m_currentProvider;
        }
    } else {
        qCDebug(dcTavroEnergy()) << "SpotMarketManager: Disable spot market manager.";
        if (m_currentProvider)
            m_currentProvider->disable();
    }

    if (m_enabled == enabled)
        return;

    m_enabled = enabled;
    SettingsChange change;
    change.setValue(QStringLiteral("SpotMarket/enabled"), m_enabled);
    change.commit();
    emit enabledChanged(m_enabled);
}

ScoreEntries SpotMarketManager::weightScoreEntries(const ScoreEntries &entries) const
{
    if (entries.isEmpty())
        return ScoreEntries();

    double minValue = entries.first().value();
    double maxValue = minValue;
    for (const ScoreEntry &entry : entries) {
        minValue = qMin(minValue, entry.value());
        maxValue = qMax(maxValue, entry.value());
    }

    ScoreEntries weightedEntries;
    for (const ScoreEntry &entry : entries) {
        ScoreEntry weightedEntry = entry;
        // All prices equal (also a single slot): every slot is as good as the best.
        if (qFuzzyCompare(minValue, maxValue)) {
            weightedEntry.setWeighting(1.0f);
        } else {
            weightedEntry.setWeighting(static_cast<float>((entry.value() - maxValue) / (minValue - maxValue)));
        }
        weightedEntries.append(weightedEntry);
    }

    weightedEntries.sortByStartDateTime();
    qCDebug(dcTavroEnergy()) << "Weigted" << weightedEntries.count() << "score entries"
                             << weightedEntries.first().startDateTime().toString("dd.MM.yyyy hh:mm") << "-"
                             << weightedEntries.last().endDateTime().toString("dd.MM.yyyy hh:mm")
                             << "Best price:" << minValue << "(1.0)"
                             << "Worst price:" << maxValue << "(0.0)";
    return weightedEntries;
}

ScoreEntries SpotMarketManager::weightedScoreEntries(const QDate &date) const
{
    if (!m_currentProvider)
        return ScoreEntries();

    if (date.isNull())
        return weightScoreEntries(m_currentProvider->scoreEntries());

    return m_weightedScoreEntries.value(date);
}

void SpotMarketManager::onProviderScoreEntriesChanged(const ScoreEntries &scoreEntries)
{
    QHash<QDate, ScoreEntries> days;
    for (const ScoreEntry &entry : scoreEntries)
        days[entry.startDateTime().date()].append(entry);

    for (auto it = days.constBegin(); it != days.constEnd(); ++it) {
        m_weightedScoreEntries.insert(it.key(), weightScoreEntries(it.value()));
        int weightedTotal = 0;
        for (const ScoreEntries &dayEntries : qAsConst(m_weightedScoreEntries))
            weightedTotal += dayEntries.count();

        qCDebug(dcTavroEnergy()) << "SpotMarketManager: Weighted day" << it.key().toString("dd.MM.yyyy") << "with"
                                 << it.value().count() << "entries (provider total" << scoreEntries.count()
                                 << "weighted total" << weightedTotal << ")";
    }

    if (!scoreEntries.isEmpty()) {
        // Days before the first delivered slot are over.
        const QDate firstDate = scoreEntries.first().startDateTime().date();
        for (auto it = m_weightedScoreEntries.begin(); it != m_weightedScoreEntries.end();) {
            if (it.key() < firstDate) {
                it = m_weightedScoreEntries.erase(it);
            } else {
                ++it;
            }
        }
    }

    qCDebug(dcTavroEnergy()) << "SpotMarketManager: Score entries updated";
    emit scoreEntriesUpdated();
}

QList<TimeFrame> SpotMarketManager::scheduleChargingTime(const QDateTime &currentDateTime, ScoreEntries scoreEntries,
                                                         uint minutes, uint minimumScheduleDuration, bool charging,
                                                         const QDateTime &deadline) const
{
    const qint64 nowMSecs = currentDateTime.toMSecsSinceEpoch();
    PlannableSlots plannable = plannableSlots(scoreEntries, currentDateTime, nowMSecs, deadline);
    QList<TimeFrame> result = fuseTimeFrames(bestFrames(plannable, minutes, charging, nowMSecs), plannable.slotMinutes);
    correctFirstFrame(result, currentDateTime, minimumScheduleDuration, charging, plannable.latestEndMSecs);
    clampToLatestEnd(result, plannable.latestEndMSecs);
    sortByStart(result);
    return result;
}

QList<TimeFrame> SpotMarketManager::scheduleCharingTimeForToday(const QDateTime &currentDateTime, uint minutes,
                                                                uint minimumScheduleDuration, bool charging) const
{
    return scheduleChargingTime(currentDateTime, m_weightedScoreEntries.value(currentDateTime.date()), minutes,
                                minimumScheduleDuration, charging);
}

QList<TimeFrame> SpotMarketManager::fuseTimeFrames(const QList<TimeFrame> &frames, uint slotMinutes) const
{
    if (frames.count() < 2)
        return frames;

    if (slotMinutes == 0)
        slotMinutes = 60;

    // Each frame's length once: converting a local date-time is costly.
    QVector<qint64> durations;
    durations.reserve(frames.count());
    for (const TimeFrame &frame : frames)
        durations.append(frame.durationMinutes());

    QList<TimeFrame> fusedFrames;
    for (int i = 0; i < frames.count(); i++) {
        if (durations.at(i) < static_cast<qint64>(slotMinutes))
            continue;

        if (!absorbInto(fusedFrames, frames.at(i)))
            fusedFrames.append(frames.at(i));
    }

    QList<TimeFrame> leftovers;
    for (int i = 0; i < frames.count(); i++) {
        const TimeFrame &frame = frames.at(i);
        if (durations.at(i) >= static_cast<qint64>(slotMinutes))
            continue;

        if (absorbInto(fusedFrames, frame))
            continue;

        const TimeFrame aligned = alignedFrame(frame, slotMinutes, durations.at(i));
        if (aligned != frame && absorbInto(fusedFrames, aligned))
            continue;

        leftovers.append(frame);
    }

    if (!leftovers.isEmpty())
        fusedFrames.append(fusePartialTimeFrames(leftovers, slotMinutes));

    sortByStart(fusedFrames);
    return fusedFrames;
}

QList<TimeFrame> SpotMarketManager::fusePartialTimeFrames(const QList<TimeFrame> &frames, uint slotMinutes) const
{
    if (slotMinutes == 0)
        slotMinutes = 60;

    QList<TimeFrame> result;
    QVector<bool> consumed(frames.count(), false);

    // Joins the frame with the first unconsumed other one it touches.
    auto joinWithOther = [&](int i, const TimeFrame &frame) {
        for (int j = 0; j < frames.count(); j++) {
            if (j == i || consumed.at(j))
                continue;

            const TimeFrame joinedFrame = joined(frame, frames.at(j));
            if (joinedFrame.isValid()) {
                result.append(joinedFrame);
                consumed[i] = true;
                consumed[j] = true;
                return true;
            }
        }
        return false;
    };

    for (int i = 0; i < frames.count(); i++) {
        if (consumed.at(i))
            continue;

        const TimeFrame &frame = frames.at(i);
        if (joinWithOther(i, frame))
            continue;

        const TimeFrame aligned = alignedFrame(frame, slotMinutes, frame.durationMinutes());
        if (aligned != frame && joinWithOther(i, aligned))
            continue;

        result.append(frame);
        consumed[i] = true;
    }

    return result;
}
