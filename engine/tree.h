// Tree records: one directory of a snapshot, every entry with its metadata and content.
#ifndef VORN_ENGINE_TREE_H
#define VORN_ENGINE_TREE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "object_id.h"
#include "status.h"

namespace vornengine {

enum class NodeType { File, Dir, Symlink, Fifo, CharDevice, BlockDevice, Socket };

// One entry of a directory as it was when the snapshot was taken.
struct Node {
    std::string name; // any bytes but "/" and NUL; never "." or ".."
    NodeType type = NodeType::File;
    uint32_t mode = 0; // permission bits with set-id and sticky bits (st_mode & 07777)
    uint32_t uid = 0, gid = 0;
    std::string user, group; // names of uid and gid where the system knew them
    int64_t mtimeNs = 0;
    int64_t size = 0;         // files: bytes of content
    uint64_t device = 0;      // st_dev and st_ino: which files are hard links of one another
    uint64_t inode = 0;
    uint32_t links = 1;
    uint64_t rdev = 0;        // device nodes
    std::string linkTarget;   // symbolic links
    std::map<std::string, std::string> xattrs;
    std::vector<ObjectId> content; // files: the chunks, in order
    ObjectId subtree;              // directories: their own tree record
};

// The entries of one directory, sorted by name.
struct Tree {
    std::vector<Node> nodes;
};

const char *nodeTypeName(NodeType type);

// The record's plain text (JSON). Names, link targets and attribute values that are not valid
// UTF-8 are kept as hex, so any name the file system allows survives.
std::string encodeTree(const Tree &tree);
Status decodeTree(const std::string &text, Tree &tree);

// A name restore may create below a directory: not empty, ".", "..", nor holding "/" or NUL.
bool isSafeName(const std::string &name);

} // namespace vornengine

#endif
