// Restoring the content of files: each needed pack downloaded once, every piece checked before
// it is written, and a file put in place only once all of it was.
#ifndef VORN_ENGINE_RESTORE_CONTENT_H
#define VORN_ENGINE_RESTORE_CONTENT_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "repository.h"
#include "status.h"
#include "tree.h"

namespace vornengine {

struct ContentFile {
    std::string path;   // its place; its directory is a real one
    const Node *node;   // content and metadata
    bool replacing;     // something is at `path`: flushed to disk before it is replaced
};

// Called from several threads, once per file with either `failed` or `placed`.
struct ContentEvents {
    // Not placed, and why: Integrity when its stored data failed a check.
    std::function<void(size_t file, const Status &why)> failed;
    // In place; `metadata` says whether it got all of its metadata.
    std::function<void(size_t file, const Status &metadata)> placed;
    std::function<void(int64_t bytes)> written;
};

// Writes `files` through temporary files beside their places, reading packs on
// repository.lanes() threads, one pack per lane in memory at a time. A pack that does not
// match its name is not used at all. Ok even when files failed; Interrupted when the
// repository is cancelled between packs, and the failure of a store that cannot be read at all
// (Access, Unavailable); temporary files are gone either way.
Status writeContent(Repository &repository, const std::vector<ContentFile> &files,
                    const ContentEvents &events);

} // namespace vornengine

#endif
