// What the local file system says about one entry: its node without content.
#ifndef VORN_ENGINE_NODE_READER_H
#define VORN_ENGINE_NODE_READER_H

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <string>

#include "tree.h"

namespace vornengine {

// Owner names are looked up once per id.
class NodeReader {
public:
    // The node of `path` (not followed when a symbolic link) named `name`; false with `error`
    // (the system's words) when it cannot be examined.
    bool read(const std::string &path, const std::string &name, Node &node, std::string &error);

private:
    std::string userName(uid_t uid);
    std::string groupName(gid_t gid);

    std::mutex m_mutex;
    std::map<uid_t, std::string> m_users;
    std::map<gid_t, std::string> m_groups;
};

// The node's metadata from a stat record (everything but name, xattrs, link target, content).
void fillFromStat(const struct stat &info, Node &node);

} // namespace vornengine

#endif
