#include "node_reader.h"

#include <grp.h>
#include <pwd.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vornengine {

namespace {

NodeType typeOf(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFDIR: return NodeType::Dir;
    case S_IFLNK: return NodeType::Symlink;
    case S_IFIFO: return NodeType::Fifo;
    case S_IFCHR: return NodeType::CharDevice;
    case S_IFBLK: return NodeType::BlockDevice;
    case S_IFSOCK: return NodeType::Socket;
    default: return NodeType::File;
    }
}

// Extended attributes where the file system has them; none where it has not.
void readXattrs(const std::string &path, Node &node) {
    const ssize_t length = llistxattr(path.c_str(), nullptr, 0);
    if (length <= 0) {
        return;
    }
    std::vector<char> names(static_cast<size_t>(length));
    const ssize_t got = llistxattr(path.c_str(), names.data(), names.size());
    for (ssize_t at = 0; at < got;) {
        const std::string name(&names[at]);
        at += static_cast<ssize_t>(name.size()) + 1;
        const ssize_t size = lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
        if (size < 0) {
            continue;
        }
        std::string value(static_cast<size_t>(size), '\0');
        const ssize_t read = lgetxattr(path.c_str(), name.c_str(), &value[0], value.size());
        if (read >= 0) {
            value.resize(static_cast<size_t>(read));
            node.xattrs[name] = value;
        }
    }
}

} // namespace

void fillFromStat(const struct stat &info, Node &node) {
    node.type = typeOf(info.st_mode);
    node.mode = info.st_mode & 07777;
    node.uid = info.st_uid;
    node.gid = info.st_gid;
    node.mtimeNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    node.size = node.type == NodeType::File ? info.st_size : 0;
    node.device = info.st_dev;
    node.inode = info.st_ino;
    node.links = static_cast<uint32_t>(info.st_nlink);
    node.rdev = (node.type == NodeType::CharDevice || node.type == NodeType::BlockDevice) ? info.st_rdev : 0;
}

bool NodeReader::read(const std::string &path, const std::string &name, Node &node,
                      std::string &error) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        error = strerror(errno);
        return false;
    }
    node = Node();
    node.name = name;
    fillFromStat(info, node);
    node.user = userName(info.st_uid);
    node.group = groupName(info.st_gid);
    if (node.type == NodeType::Symlink) {
        std::vector<char> target(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1);
        const ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length < 0) {
            error = strerror(errno);
            return false;
        }
        node.linkTarget.assign(target.data(), static_cast<size_t>(length));
    }
    readXattrs(path, node);
    return true;
}

std::string NodeReader::userName(uid_t uid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_users.find(uid);
    if (found != m_users.end()) {
        return found->second;
    }
    struct passwd entry, *result = nullptr;
    char buffer[4096];
    getpwuid_r(uid, &entry, buffer, sizeof buffer, &result);
    return m_users[uid] = result ? result->pw_name : "";
}

std::string NodeReader::groupName(gid_t gid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_groups.find(gid);
    if (found != m_groups.end()) {
        return found->second;
    }
    struct group entry, *result = nullptr;
    char buffer[4096];
    getgrgid_r(gid, &entry, buffer, sizeof buffer, &result);
    return m_groups[gid] = result ? result->gr_name : "";
}

} // namespace vornengine
