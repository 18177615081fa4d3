// A backup run: one snapshot of a local directory, stored after everything it names.
#ifndef VORN_ENGINE_BACKUP_H
#define VORN_ENGINE_BACKUP_H

#include <string>
#include <vector>

#include "archiver.h"
#include "repository.h"
#include "snapshot.h"
#include "status.h"

namespace vornengine {

struct BackupRequest {
    std::string source; // an absolute directory
    std::vector<std::string> tags;
    std::string hostname, username;
    ExcludeRule excluded;
};

// The newest snapshot of the same host and paths: what an unchanged file is compared with.
const Snapshot *findParent(const std::vector<Snapshot> &snapshots, const std::string &hostname,
                           const std::vector<std::string> &paths);

// Takes a snapshot of request.source under a shared lock. Interrupted or failed, it leaves no
// snapshot, but the packs it stored are named in index records for the next run to reuse.
// NotFound when the source is not a directory.
Status runBackup(Repository &repository, const BackupRequest &request,
                 const BackupObserver &observer, Snapshot &snapshot);

} // namespace vornengine

#endif
