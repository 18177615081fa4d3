// Store: the files of one target as the engine sees them, moved through local files.
#ifndef VORN_ENGINE_STORE_H
#define VORN_ENGINE_STORE_H

#include <cstdint>
#include <string>
#include <vector>

#include "status.h"

namespace vornengine {

struct StoredFile {
    std::string name; // relative to the target, e.g. "data/ab12..."
    int64_t size = 0;
};

// Names are relative to the target and use "/" between parts. Every method may be called from
// up to lanes() threads at once; each returns NotFound for a name that does not exist.
class Store {
public:
    virtual ~Store() = default;

    // Stores the local file at `localPath` under `name`, replacing what was there.
    virtual Status put(const std::string &localPath, const std::string &name) = 0;
    // Fetches `name` into `localPath` (created or replaced).
    virtual Status get(const std::string &name, const std::string &localPath) = 0;
    // The size of `name`.
    virtual Status size(const std::string &name, int64_t &bytes) = 0;
    // Every file below directory `dir` ("" for the whole target), in no particular order.
    virtual Status list(const std::string &dir, std::vector<StoredFile> &files) = 0;
    virtual Status remove(const std::string &name) = 0;
    // How many calls may run at once.
    virtual int lanes() const = 0;
};

} // namespace vornengine

#endif
