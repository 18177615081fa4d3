#include "forget.h"

#include <map>
#include <memory>
#include <utility>

#include "format.h"
#include "lock.h"
#include "parallel.h"

namespace vornengine {

Status planForget(const std::vector<Snapshot> &snapshots, const RetentionPolicy &policy,
                  std::vector<ForgetDecision> &decisions) {
    if (policy.empty()) {
        return Status::usage("forget needs a policy (--keep-last, --keep-daily, ...): without one it "
                             "would forget every snapshot");
    }
    std::map<std::pair<std::string, std::vector<std::string>>, std::vector<Snapshot>> groups;
    for (const Snapshot &snapshot : snapshots) {
        groups[{snapshot.hostname, snapshot.paths}].push_back(snapshot);
    }
    decisions.clear();
    for (auto &group : groups) {
        std::vector<Snapshot> &members = group.second;
        sortNewestFirst(members);
        // Oldest first: of two snapshots in the same second, the one listed first is the newer.
        std::vector<int64_t> times;
        for (auto member = members.rbegin(); member != members.rend(); ++member) {
            times.push_back(member->timeNs / 1000000000);
        }
        const std::vector<std::vector<std::string>> kept = selectKept(times, policy);
        for (size_t i = 0; i < members.size(); ++i) {
            ForgetDecision decision;
            decision.snapshot = members[i];
            decision.reasons = kept[members.size() - 1 - i];
            decision.keep = !decision.reasons.empty();
            decisions.push_back(std::move(decision));
        }
    }
    return Status::ok();
}

Status runForget(Repository &repository, const RetentionPolicy &policy, bool dryRun,
                 const std::string &hostname, std::vector<ForgetDecision> &decisions) {
    if (policy.empty()) { // refused before the target is touched
        return planForget({}, policy, decisions);
    }
    std::unique_ptr<RepositoryLock> lock;
    Status status = RepositoryLock::acquire(repository, false, hostname, lock);
    std::vector<Snapshot> snapshots;
    if (status.isOk()) {
        status = repository.loadSnapshots(snapshots);
    }
    if (status.isOk()) {
        status = planForget(snapshots, policy, decisions);
    }
    if (!status.isOk() || dryRun) {
        return status;
    }
    std::vector<ObjectId> forgotten;
    for (const ForgetDecision &decision : decisions) {
        if (!decision.keep) {
            forgotten.push_back(decision.snapshot.id);
        }
    }
    return runParallel(
        forgotten.size(), repository.lanes(),
        [&](size_t i) {
            Status removed = repository.removeRecord(SNAPSHOTS_DIR, forgotten[i]);
            // Gone already (another forget ran at the same time): what was asked for holds.
            return removed.code() == Status::Code::NotFound ? Status::ok() : removed;
        },
        repository.cancelHook());
}

} // namespace vornengine
