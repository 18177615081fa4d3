// FileSaver: reads a file, cuts it into content-defined chunks and hands the new ones to the
// packer; the node gets the chunk ids in order.
#ifndef VORN_ENGINE_FILE_SAVER_H
#define VORN_ENGINE_FILE_SAVER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "chunker.h"
#include "packer.h"
#include "repository.h"
#include "status.h"
#include "tree.h"

namespace vornengine {

class FileSaver {
public:
    FileSaver(Repository &repository, Packer &packer);

    // Reads the file at `path` into node.content (and node.size). `changed` tells that the
    // file's size or time moved while it was read: the node then holds what was read. Failed
    // (with the system's words) when the file cannot be read; Interrupted when cancelled.
    Status save(const std::string &path, Node &node, bool &changed,
                const std::function<void(int64_t)> &progress);

private:
    Repository &m_repository;
    Packer &m_packer;
    Chunker m_chunker;
    std::vector<uint8_t> m_buffer;
};

} // namespace vornengine

#endif
