// Check: whether a target holds everything its snapshots need, and (reading the data) intact.
#ifndef VORN_ENGINE_CHECKER_H
#define VORN_ENGINE_CHECKER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "repository.h"
#include "status.h"

namespace vornengine {

// Each problem is one line that starts with the object it concerns: "data/ID: ...",
// "index/ID: ...", "snapshots/ID: ...", "keys/ID: ...", or "tree ID: ..." / "chunk ID: ..."
// for a blob that no pack the index names holds. Lines are sorted, each given once.
struct CheckReport {
    std::vector<std::string> missing; // needed, but not in the target
    std::vector<std::string> damaged; // in the target, but not what it claims to be
    int64_t keys = 0, indexRecords = 0, snapshots = 0, packs = 0; // packs: all in data/
    int64_t trees = 0, chunks = 0;  // distinct blobs the snapshots need
    int64_t unreferencedPacks = 0;  // named by no index record: left by interrupted runs
    int64_t bytesRead = 0;          // pack bytes downloaded to read the data
};

// Checks the target under a shared lock, on a repository opened but with no index loaded yet:
//  - every key, index and snapshot record decodes and matches its name (read from the target
//    itself, never from a local cache);
//  - every tree and chunk a snapshot needs is in a pack the index names;
//  - every pack the index names is in data/ with the size its entries imply;
//  - with `readData`, every pack the index names is downloaded: it matches its name, its header
//    decodes and agrees with the index, and every blob decodes and matches its id. Packs named
//    by no index record are counted only: nothing reads them, and prune removes them.
// Ok when the check ran to its end, whatever it found; a failure (unreachable, refused,
// interrupted) when it could not judge. One line per step goes to `progressLine`.
Status runCheck(Repository &repository, bool readData, CheckReport &report,
                const std::function<void(const std::string &)> &progressLine);

} // namespace vornengine

#endif
