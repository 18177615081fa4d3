// Forget: which snapshots a retention policy keeps, and removing the records of the others.
#ifndef VORN_ENGINE_FORGET_H
#define VORN_ENGINE_FORGET_H

#include <string>
#include <vector>

#include "repository.h"
#include "retention.h"
#include "snapshot.h"
#include "status.h"

namespace vornengine {

struct ForgetDecision {
    Snapshot snapshot;
    std::vector<std::string> reasons; // the rules that keep it ("last", "daily", ...)
    bool keep = false;
};

// Applies `policy` to each group of snapshots with the same host and paths on its own, so one
// machine's frequent backups never push out another's. Decisions come group by group, newest
// first within a group. Usage for an empty policy: it would forget everything.
Status planForget(const std::vector<Snapshot> &snapshots, const RetentionPolicy &policy,
                  std::vector<ForgetDecision> &decisions);

// Plans under a shared lock taken as `hostname` and, unless `dryRun`, removes the records of
// the snapshots not kept, in parallel. Only snapshot records go: the data they alone named
// stays until a prune.
Status runForget(Repository &repository, const RetentionPolicy &policy, bool dryRun,
                 const std::string &hostname, std::vector<ForgetDecision> &decisions);

} // namespace vornengine

#endif
