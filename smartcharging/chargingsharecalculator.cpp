#include "chargingsharecalculator.h"

#include <QHash>

#include <algorithm>
#include <utility>

QList<ChargingShareCalculator::Result>
ChargingShareCalculator::calculate(const QList<Request> &requests, double availablePower, Strategy strategy) const
{
    // Every strategy currently shares the same fair allocation.
    Q_UNUSED(strategy)
    return calculateEqualPower(requests, availablePower);
}

static QList<ChargingShareCalculator::Result> emptyResults(const QList<ChargingShareCalculator::Request> &requests)
{
    QList<ChargingShareCalculator::Result> results;
    results.reserve(requests.count());
    for (const ChargingShareCalculator::Request &request : requests) {
        ChargingShareCalculator::Result result;
        result.thingId = request.thingId;
        results.append(result);
    }
    return results;
}

QList<ChargingShareCalculator::Result> ChargingShareCalculator::calculateEqualPower(const QList<Request> &requests,
                                                                                    double availablePower) const
{
    QList<Result> results = emptyResults(requests);
    if (availablePower <= 0 || requests.isEmpty())
        return results;

    QList<qint32> priorities;
    for (const Request &request : requests) {
        if (!priorities.contains(request.priority))
            priorities.append(request.priority);
    }
    std::sort(priorities.begin(), priorities.end());

    // The first result of every id, for joining the group results back.
    QHash<QString, int> firstIndex;
    firstIndex.reserve(results.count());
    for (int i = 0; i < results.count(); i++) {
        if (!firstIndex.contains(results.at(i).thingId))
            firstIndex.insert(results.at(i).thingId, i);
    }

    double remaining = availablePower;
    for (qint32 priority : priorities) {
        QList<Request> group;
        for (const Request &request : requests) {
            if (request.priority == priority)
                group.append(request);
        }

        double groupSum = 0;
        const QList<Result> groupResults = allocatePriorityGroup(group, remaining);
        for (const Result &groupResult : groupResults) {
            if (!groupResult.enabled)
                continue;
            const int index = firstIndex.value(groupResult.thingId, -1);
            if (index < 0)
                continue;
            results[index].enabled = true;
            results[index].allocatedPower = groupResult.allocatedPower;
            groupSum += groupResult.allocatedPower;
        }

        remaining -= groupSum;
        if (remaining <= 0)
            break;
    }
    return results;
}

namespace {

// A normalised copy of an eligible request, remembering its position in the
// group so duplicate ids cannot mix up the results.
struct Candidate {
    int index;
    ChargingShareCalculator::Request request;
    double granted = 0; // W
};

QList<Candidate> eligibleCandidates(const QList<ChargingShareCalculator::Request> &requests)
{
    QList<Candidate> candidates;
    for (int i = 0; i < requests.count(); i++) {
        ChargingShareCalculator::Request request = requests.at(i);
        if (request.minimumPower <= 0)
            request.minimumPower = 0;
        if (request.maximumPower <= 0)
            request.maximumPower = 0;
        if (request.maximumPower > 0 && request.minimumPower <= request.maximumPower)
            candidates.append({i, request});
    }
    return candidates;
}

// Admits minimums in the candidates' order; one that does not fit is
// skipped so a later, smaller minimum can still get in. *sum: W admitted.
// One on part of its minimum, or one that joins only beyond their room, only
// where the admitted leave budget over.
QList<Candidate> admitMinimums(const QList<Candidate> &candidates, double availablePower, double *sum)
{
    QList<Candidate> active;
    double room = 0; // W the admitted could take above their minimums
    for (Candidate candidate : qAsConst(candidates)) {
        double admission = candidate.request.admissionPower >= 0
                                   ? qMin(candidate.request.admissionPower, candidate.request.minimumPower)
                                   : candidate.request.minimumPower;
        const bool admittedTakeRest = room >= availablePower - *sum;
        if (admittedTakeRest)
            admission = candidate.request.minimumPower;
        if (*sum + admission <= availablePower && !(admittedTakeRest && candidate.request.joinsOnlyBeyondRoom)) {
            *sum += candidate.request.minimumPower;
            room += candidate.request.maximumPower - candidate.request.minimumPower;
            candidate.granted = candidate.request.minimumPower;
            active.append(candidate);
        }
    }
    return active;
}

// Spreads remaining (W) over the admitted above their minimums, each up to
// its maximum (water filling): equally, or where every one knows its room in
// proportion to it.
QList<Candidate> spreadRemaining(QList<Candidate> active, double remaining)
{
    const bool roomsKnown = std::all_of(active.cbegin(), active.cend(),
                                        [](const Candidate &candidate) { return candidate.request.roomEnergy > 0; });
    auto weight = [roomsKnown](const Candidate &candidate) { return roomsKnown ? candidate.request.roomEnergy : 1.0; };
    QList<Candidate> done;
    while (remaining > 0 && !active.isEmpty()) {
        double weights = 0;
        for (const Candidate &candidate : qAsConst(active))
            weights += weight(candidate);
        const double perWeight = remaining / weights;
        bool capped = false;
        for (int i = active.count() - 1; i >= 0; i--) {
            Candidate &candidate = active[i];
            if (candidate.request.maximumPower <= perWeight * weight(candidate) + candidate.granted) {
                remaining -= candidate.request.maximumPower - candidate.granted;
                candidate.granted = candidate.request.maximumPower;
                done.append(active.takeAt(i));
                capped = true;
            }
        }
        if (!capped) {
            for (Candidate &candidate : active)
                candidate.granted += perWeight * weight(candidate);
            remaining = 0;
        }
    }
    done.append(active);
    return done;
}

} // namespace

QList<ChargingShareCalculator::Result> ChargingShareCalculator::allocatePriorityGroup(const QList<Request> &requests,
                                                                                      double availablePower) const
{
    QList<Result> results = emptyResults(requests);
    QList<Candidate> candidates = eligibleCandidates(requests);
    if (availablePower <= 0 || candidates.isEmpty())
        return results;

    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate &a, const Candidate &b) {
        if (a.request.fairnessCounter != b.request.fairnessCounter)
            return a.request.fairnessCounter < b.request.fairnessCounter;
        return a.request.thingId < b.request.thingId;
    });

    double sum = 0;
    QList<Candidate> active = admitMinimums(candidates, availablePower, &sum);
    if (active.isEmpty())
        return results;

    const QList<Candidate> done = spreadRemaining(std::move(active), availablePower - sum);
    for (const Candidate &candidate : done) {
        if (candidate.granted > 0) {
            results[candidate.index].enabled = true;
            results[candidate.index].allocatedPower = candidate.granted;
        }
    }
    return results;
}
