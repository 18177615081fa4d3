// Restore planning: where each entry of a snapshot lands, what happens to what is already there,
// and which pack gives each piece of each file. Decisions only; nothing here touches a disk.
#ifndef VORN_ENGINE_RESTORE_PLAN_H
#define VORN_ENGINE_RESTORE_PLAN_H

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "index.h"
#include "object_id.h"
#include "pack.h"
#include "tree.h"

namespace vornengine {

// What a restore does to an entry that exists already.
enum class Overwrite {
    Always,    // replace it
    IfChanged, // keep a regular file of the same size and mtime; replace anything else
    Never,     // keep it
};

// The path below the target where an entry lands. `selected` is the path asked for ("" for the
// whole snapshot), `below` the entry's path under it ("" for the selected entry itself): the
// selected entry keeps its own name, what lies below it keeps its place. False when a part of
// the result is not a name restore may create, as it could lead outside the target.
bool placeInTarget(const std::string &selected, const std::string &below, std::string &placed);

enum class RestoreAction {
    Create,  // nothing there: make it
    Replace, // take its place (a directory that is there already is kept and updated)
    Skip,    // leave what is there; a directory's content is still restored when it is one
    Blocked, // a directory stands where something else belongs
};

// What to do for `node` given what is at its place (`existing`, from lstat; null when nothing).
RestoreAction decideAction(Overwrite overwrite, const struct stat *existing, const Node &node);

// One piece of a file to write: which file (its position in the list given to planChunks) and
// where in it.
struct ChunkWrite {
    uint32_t file = 0;
    int64_t offset = 0;
};

// A blob of a pack and every place its bytes go.
struct BlobWrites {
    PackEntry entry;
    std::vector<ChunkWrite> writes;
};

// One pack to download, with what to take from it, in the order it is stored.
struct PackWork {
    ObjectId pack;
    std::vector<BlobWrites> blobs;
};

struct ChunkPlan {
    std::vector<PackWork> packs; // each needed pack once, in the order files first need them
    std::vector<uint32_t> writes;  // per file: how many writes it waits for
    std::vector<ObjectId> missing; // per file: a piece the index lacks (null when none)
};

// Plans the content of `files` (each its chunk ids, in order). A file with a piece the index
// does not know gets no writes at all, so it is never partly restored.
ChunkPlan planChunks(const std::vector<const std::vector<ObjectId> *> &files, const Index &index);

} // namespace vornengine

#endif
