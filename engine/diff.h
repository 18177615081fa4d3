// Diff: what changed between two snapshots, entry by entry.
#ifndef VORN_ENGINE_DIFF_H
#define VORN_ENGINE_DIFF_H

#include <string>
#include <vector>

#include "repository.h"
#include "snapshot.h"
#include "status.h"

namespace vornengine {

struct DiffEntry {
    char kind;        // '+' added, '-' removed, 'M' content, 'T' type, 'm' metadata only
    std::string path; // "a/b" below the snapshots' roots
};

// Compares the trees of `a` (the older) and `b` together in name order, parents before their
// children, never loading a subtree whose id is the same in both: unchanged parts cost nothing.
// Everything below an added or removed directory is listed too. Content means a file's chunks,
// a link's target or a device's number; metadata means mode, owner, times and attributes.
// The index must be loaded.
Status diffSnapshots(Repository &repository, const Snapshot &a, const Snapshot &b,
                     std::vector<DiffEntry> &entries);

} // namespace vornengine

#endif
