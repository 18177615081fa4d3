#include "vorn/backup/path.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace VORN {
namespace Backup {

std::string Path::join(const std::string &a, const std::string &b) {
    if (a.empty()) {
        return b;
    }
    if (b.empty()) {
        return a;
    }
    std::string::size_type end = a.find_last_not_of('/');
    const std::string head = end == std::string::npos ? "" : a.substr(0, end + 1);
    std::string::size_type start = b.find_first_not_of('/');
    const std::string tail = start == std::string::npos ? "" : b.substr(start);
    return head + "/" + tail;
}

std::string Path::absPath(const std::string &path) {
    std::string full = path;
    if (path.empty() || path[0] != '/') {
        std::vector<char> cwd(4096);
        while (!getcwd(cwd.data(), cwd.size())) {
            if (errno != ERANGE) {
                return path;
            }
            cwd.resize(cwd.size() * 2);
        }
        full = join(cwd.data(), path);
    }
    // Lexical clean-up of ".", ".." and repeated "/", as the shell's view of the path.
    std::vector<std::string> parts;
    std::string::size_type pos = 0;
    while (pos <= full.size()) {
        std::string::size_type next = full.find('/', pos);
        if (next == std::string::npos) {
            next = full.size();
        }
        const std::string part = full.substr(pos, next - pos);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = next + 1;
    }
    std::string out;
    for (const std::string &part : parts) {
        out += "/" + part;
    }
    return out.empty() ? "/" : out;
}

std::string Path::tempDir() {
    const char *dir = getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

std::string Path::dirname(const std::string &path) {
    std::string::size_type end = path.find_last_not_of('/');
    if (end == std::string::npos) {
        return path.empty() ? "." : "/";
    }
    const std::string::size_type slash = path.rfind('/', end);
    if (slash == std::string::npos) {
        return ".";
    }
    const std::string::size_type dirEnd = path.find_last_not_of('/', slash);
    return dirEnd == std::string::npos ? "/" : path.substr(0, dirEnd + 1);
}

std::string Path::basename(const std::string &path) {
    std::string::size_type end = path.find_last_not_of('/');
    if (end == std::string::npos) {
        return path.empty() ? "." : "/";
    }
    const std::string::size_type slash = path.rfind('/', end);
    const std::string::size_type start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(start, end - start + 1);
}

namespace {

bool hasForbiddenCharacter(const std::string &path) {
    return path.find_first_of(std::string("\0\r\n", 3)) != std::string::npos;
}

bool hasParentComponent(const std::string &path) {
    std::string::size_type pos = 0;
    while (pos <= path.size()) {
        std::string::size_type next = path.find('/', pos);
        if (next == std::string::npos) {
            next = path.size();
        }
        if (path.compare(pos, next - pos, "..") == 0) {
            return true;
        }
        pos = next + 1;
    }
    return false;
}

} // namespace

bool isValidRelativePath(const std::string &path, bool isDir) {
    if (path.empty()) {
        return true;
    }
    const std::string::size_type length = path.size() + (isDir ? 1 : 0);
    return path[0] != '/' && length <= MAX_BLOB_NAME && !hasForbiddenCharacter(path) &&
           !hasParentComponent(path);
}

bool isValidFileRelativePath(const std::string &path, bool allowEmpty) {
    if (path.empty()) {
        return allowEmpty;
    }
    return path.back() != '/' && isValidRelativePath(path, false);
}

bool isValidFileLocalPath(const std::string &path, bool mustExist) {
    if (path.empty() || path.back() == '/' || path.find('\0') != std::string::npos) {
        return false;
    }
    if (!mustExist) {
        return true;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

TransferError getTransferErrorByLibcStat(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return TRANSFER_ERR_NOT_FOUND;
    case EACCES:
    case EPERM:
        return TRANSFER_ERR_ACCESS_DENIED;
    case ENAMETOOLONG:
    case ELOOP:
    case EINVAL:
    case EISDIR:
        return TRANSFER_ERR_INVALID;
    case EROFS:
        return TRANSFER_ERR_READ_ONLY;
    case EIO:
        return TRANSFER_ERR_LOCAL_IO;
    default:
        return TRANSFER_ERR_GENERIC;
    }
}

// Only writing can run out of space; everything else reads as for stat.
TransferError getTransferErrorByLibcFileIo(int err) {
    return err == ENOSPC || err == EDQUOT ? TRANSFER_ERR_NO_SPACE
                                          : getTransferErrorByLibcStat(err);
}

} // namespace Backup
} // namespace VORN
