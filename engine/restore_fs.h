// The file system side of a restore: making entries under names restore chose, and giving them
// their recorded metadata, without following a link at the final name.
#ifndef VORN_ENGINE_RESTORE_FS_H
#define VORN_ENGINE_RESTORE_FS_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "status.h"
#include "tree.h"

namespace vornengine {

// A temporary name beside a destination, ".NAME.vorn-tmp.<owner>.XXXXXX", so that a leftover
// is recognised and swept. Whatever is at the name is removed at destruction unless placed.
class TempEntry {
public:
    TempEntry() = default;
    ~TempEntry();
    TempEntry(const TempEntry &) = delete;
    TempEntry &operator=(const TempEntry &) = delete;

    // Takes a new name beside `destination`, holding an empty file (mode 0600) made here.
    Status create(const std::string &destination);
    const std::string &path() const { return m_path; }
    // Frees the name for another kind of entry (a link, a fifo) that the caller makes there.
    void clear();
    // Renames the entry over `destination`: a link there is replaced, never followed.
    Status place(const std::string &destination);

private:
    std::string m_path;
    bool m_placed = false;
};

// Writes `n` bytes at `offset` of the regular file at `path` (never through a link).
Status writeAt(const std::string &path, const char *data, size_t n, int64_t offset);

// Flushes the data of the file at `path` to disk.
Status syncData(const std::string &path);

// Makes a symbolic link, fifo or device node at `path`; fails when anything is there.
Status makeOther(const std::string &path, const Node &node);

// Makes `path` a real directory that restore can write in, given what lstat found there
// (`existing`, null for nothing): a directory is kept, anything else removed first.
Status makeDirectory(const std::string &path, const struct stat *existing);

// Owner (only as root), mode (not for links), extended attributes (unsupported ones are left
// out), then the modification time, which the others would move.
Status applyMetadata(const std::string &path, const Node &node);

// Flushes the whole file system holding `path`.
void syncFileSystem(const std::string &path);

} // namespace vornengine

#endif
