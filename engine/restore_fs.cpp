#include "restore_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vorn/backup/scoped_temp_file.h"

namespace vornengine {

namespace {

Status systemFailure(const std::string &what) {
    return Status::failed(what + ": " + strerror(errno));
}

// chmod, but never through a link: one that took the entry's place since is refused.
int setMode(const std::string &path, mode_t mode) {
    if (fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0) {
        return 0;
    }
    // Without /proc the C library cannot do that; the check is then made just before.
    struct stat info;
    if ((errno == EOPNOTSUPP || errno == ENOSYS) && lstat(path.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        return chmod(path.c_str(), mode);
    }
    return -1;
}

} // namespace

Status TempEntry::create(const std::string &destination) {
    VORN::Backup::ScopedTempFile file(destination, false);
    if (!file.isValid()) {
        return systemFailure("cannot make a temporary file beside it");
    }
    m_path = file.getPath();
    return Status::ok();
}

TempEntry::~TempEntry() {
    if (!m_path.empty() && !m_placed) {
        unlink(m_path.c_str());
    }
}

void TempEntry::clear() {
    if (!m_path.empty()) {
        unlink(m_path.c_str());
    }
}

Status TempEntry::place(const std::string &destination) {
    if (rename(m_path.c_str(), destination.c_str()) != 0) {
        return errno == EISDIR ? Status::failed("a directory is in the way")
                               : systemFailure("cannot put it in place");
    }
    m_placed = true;
    return Status::ok();
}

Status writeAt(const std::string &path, const char *data, size_t n, int64_t offset) {
    const int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return systemFailure("cannot open its temporary file");
    }
    while (n > 0) {
        const ssize_t written = pwrite(fd, data, n, offset);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            const Status failure = systemFailure("cannot write");
            close(fd);
            return failure;
        }
        data += written;
        n -= static_cast<size_t>(written);
        offset += written;
    }
    return close(fd) == 0 ? Status::ok() : systemFailure("cannot write");
}

Status syncData(const std::string &path) {
    const int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return systemFailure("cannot open its temporary file");
    }
    // File systems that cannot sync answer EINVAL, which leaves nothing better to do.
    const bool synced = fdatasync(fd) == 0 || errno == EINVAL;
    const Status status = synced ? Status::ok() : systemFailure("cannot flush it to disk");
    close(fd);
    return status;
}

Status makeOther(const std::string &path, const Node &node) {
    int made = -1;
    switch (node.type) {
    case NodeType::Symlink: made = symlink(node.linkTarget.c_str(), path.c_str()); break;
    case NodeType::Fifo: made = mkfifo(path.c_str(), 0600); break;
    case NodeType::CharDevice: made = mknod(path.c_str(), S_IFCHR | 0600, node.rdev); break;
    case NodeType::BlockDevice: made = mknod(path.c_str(), S_IFBLK | 0600, node.rdev); break;
    default: return Status::failed(std::string("cannot make a ") + nodeTypeName(node.type) + " here");
    }
    return made == 0 ? Status::ok() : systemFailure(std::string("cannot make the ") + nodeTypeName(node.type));
}

Status makeDirectory(const std::string &path, const struct stat *existing) {
    if (existing && S_ISDIR(existing->st_mode)) {
        // One left read-only by an earlier restore must take new content; its mode comes last.
        const mode_t mode = existing->st_mode & 07777;
        return (mode & 0700) == 0700 || setMode(path, mode | 0700) == 0
                   ? Status::ok()
                   : systemFailure("cannot write in the directory");
    }
    if (existing && unlink(path.c_str()) != 0) {
        return systemFailure("cannot remove what is in the way");
    }
    // Owner-only until its content is in place; its own mode comes last.
    return mkdir(path.c_str(), 0700) == 0 ? Status::ok() : systemFailure("cannot make the directory");
}

Status applyMetadata(const std::string &path, const Node &node) {
    const bool root = geteuid() == 0;
    // The owner first: changing it clears set-id bits that the mode then puts back.
    if (root && lchown(path.c_str(), node.uid, node.gid) != 0) {
        return systemFailure("owner");
    }
    if (node.type != NodeType::Symlink && setMode(path, node.mode) != 0) {
        return systemFailure("mode");
    }
    for (const auto &[name, value] : node.xattrs) {
        if (lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) != 0 &&
            errno != ENOTSUP && errno != EOPNOTSUPP && (root || errno != EPERM)) {
            return systemFailure("extended attribute " + name);
        }
    }
    // Seconds rounded down, so that times before 1970 keep a nanosecond part in range.
    const int64_t seconds = node.mtimeNs / 1000000000LL - (node.mtimeNs % 1000000000LL < 0);
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(seconds),
                                static_cast<long>(node.mtimeNs - seconds * 1000000000LL)}};
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        return systemFailure("modification time");
    }
    return Status::ok();
}

void syncFileSystem(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        syncfs(fd);
        close(fd);
    }
}

} // namespace vornengine
