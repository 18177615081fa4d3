// Restorer: a snapshot, or one file or directory of it, back into a local directory, every piece
// of content checked before it reaches a file.
#ifndef VORN_ENGINE_RESTORER_H
#define VORN_ENGINE_RESTORER_H

#include <cstdint>
#include <functional>
#include <string>

#include "archiver.h"
#include "repository.h"
#include "restore_plan.h"
#include "snapshot.h"
#include "status.h"

namespace vornengine {

struct RestoreRequest {
    std::string target; // local directory; created when missing
    std::string path;   // "" = whole snapshot, else a file or directory in it ("a/b")
    ExcludeRule excluded; // applied to snapshot-relative paths
    Overwrite overwrite = Overwrite::Always;
};

// Members may be empty; they are called from several threads, so callers lock.
struct RestoreObserver {
    std::function<void(const std::string &relative, const std::string &reason)> problem;
    std::function<void(const std::string &relative)> restored; // one call per entry done
    std::function<void(int64_t bytes)> written;
};

// `problems` counts every entry reported; `integrityProblems` those of them whose stored data
// failed a check (damaged or replaced), a subset.
struct RestoreSummary {
    int64_t files = 0, dirs = 0, others = 0, bytes = 0, skipped = 0, problems = 0;
    int64_t integrityProblems = 0;
};

// Restores `snapshot` below request.target, reading each needed pack once, on
// repository.lanes() threads. The whole snapshot lands in the target as it is; a selected path
// lands as target/<its last name>, with what lies below it in place under that.
//
// The repository is open with its index loaded; a lock, when one is wanted, is the caller's.
// A file is written beside its place under a temporary name and renamed into place only once
// every piece has been checked against its id: a file with a damaged, missing or replaced piece
// is reported and never placed (a pack that does not match its name is not used at all). Names
// from the snapshot that could lead elsewhere are refused; a link found where a directory
// belongs is replaced (or, with Overwrite::Never, left with nothing written below it), so
// nothing is written through a link restore did not make. Directory modes and times are set
// after their content, owners only when running as root, extended attributes where the file
// system takes them. Sockets are left out.
//
// Ok even when some entries failed (each reported and counted); NotFound when request.path is
// not in the snapshot; Interrupted when repository.cancelled() (temporary files removed); the
// failure of a tree that cannot be read, or a store that cannot be reached, stops the run.
Status runRestore(Repository &repository, const Snapshot &snapshot, const RestoreRequest &request,
                  const RestoreObserver &observer, RestoreSummary &summary);

} // namespace vornengine

#endif
