// Prune: removes the stored blobs no snapshot needs, rewriting packs that are only partly used.
//
// Why a lock and not a mark with a grace period: a backup reuses any blob the index names, so a
// blob that prune finds unused may be named by a snapshot that a backup on another host is about
// to write. Prune therefore takes the target's lock alone (exclusive) while every backup holds it
// shared: a backup either finished its snapshot before prune looked, or starts after prune is
// done and sees the index prune left. The price is that backups wait (or are refused) while a
// prune runs; a crashed host does not block the target for good, because its lock goes stale
// after LOCK_STALE_SECONDS (at once on its own host when its process is gone), and a backup whose
// lock went stale writes no snapshot. A grace period instead would need clocks that agree across
// hosts, state kept between runs and space freed only a run later.
//
// Order of work, so that a crash at any moment leaves every snapshot restorable:
//   1. read the index and every snapshot; mark every tree and data blob the snapshots need;
//   2. remove packs that no index record names (left by interrupted runs: nothing refers to them);
//   3. copy the used blobs of partly used packs into new packs;
//   4. store index records naming every kept and new pack, then remove the old index records;
//   5. only then remove the packs no index record names any more.
// The first removal is made alone, and it is always a harmless one (a leftover pack, or an old
// index record once its replacements are stored): a target that refuses removals (Access) stops
// the prune before anything of value is gone.
#ifndef VORN_ENGINE_PRUNE_H
#define VORN_ENGINE_PRUNE_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "object_id.h"
#include "repository.h"
#include "status.h"

namespace vornengine {

struct PruneSummary {
    int64_t snapshots = 0;
    int64_t blobsUsed = 0;      // distinct trees and chunks the snapshots need
    int64_t packsKept = 0;      // left as they are
    int64_t packsRewritten = 0; // partly used: their used blobs copied, then removed
    int64_t packsRemoved = 0;   // nothing in them used
    int64_t packsLeftover = 0;  // named by no index record: removed
    int64_t packsWritten = 0;   // new packs holding the copied blobs
    int64_t blobsRemoved = 0;   // copies gone with removed and rewritten packs
    int64_t bytesFreed = 0;     // stored bytes gone, less those of the new packs
    int64_t bytesRepacked = 0;  // stored bytes copied into new packs
    int64_t indexRecordsWritten = 0, indexRecordsRemoved = 0;
};

// The summary as a line or two for a person; `dryRun` words it as what would happen.
std::string describe(const PruneSummary &summary, bool dryRun);

// The blobs that snapshots need.
struct UsedBlobs {
    std::unordered_set<ObjectId, ObjectIdHash> trees, data;
};

// Every pack in data/ as the target lists it, with its size.
Status listPacks(Repository &repository, std::map<ObjectId, int64_t> &packs);

// Adds every tree and chunk below the trees `roots` to `used`, loading each tree once however
// many snapshots share it, several at a time (the index must be loaded). A tree that cannot be
// loaded goes to `unreadable`, and the walk goes on without what lies below it. Fails only
// when cancelled.
Status markUsed(Repository &repository, const std::vector<ObjectId> &roots, UsedBlobs &used,
                const std::function<void(const ObjectId &tree, const Status &why)> &unreadable);

// Prunes the target under an exclusive lock taken as `hostname`. `dryRun` plans and counts
// without changing anything. Refuses (Integrity, before any change) when a snapshot needs a
// tree or chunk the target does not hold intact: check tells what is wrong. Each step reports
// one line to `progressLine`. The repository's index is stale afterwards.
Status runPrune(Repository &repository, const std::string &hostname, bool dryRun,
                PruneSummary &summary, const std::function<void(const std::string &)> &progressLine);

} // namespace vornengine

#endif
