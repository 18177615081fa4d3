#include "vorn/backup/scoped_temp_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "temp_sweep.h"
#include "vorn/backup/path.h"

namespace VORN {
namespace Backup {

namespace {

const std::string TEMPLATE_SUFFIX = "XXXXXX";
// Keeps "." + name + "." + mark + owner tag + ".XXXXXX" within the usual 255-byte limit of a
// file name.
const std::string::size_type MAX_BASE_NAME = 180;

bool endsWith(const std::string &text, const std::string &suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string templateFor(const std::string &path) {
    if (endsWith(path, TEMPLATE_SUFFIX)) {
        return path;
    }
    // The owner's tag in the name lets a later process tell a leftover from a file in use.
    const std::string owned = TEMP_MARK + tempOwnerTag() + "." + TEMPLATE_SUFFIX;
    if (path.empty()) {
        return Path::join(Path::tempDir(), owned);
    }
    const std::string base = Path::basename(path).substr(0, MAX_BASE_NAME);
    return Path::join(Path::dirname(path), "." + base + "." + owned);
}

// Flushes the data or the entries of the file or directory at `path` to disk. File systems
// that cannot sync answer EINVAL, which leaves nothing better to do.
bool syncToDisk(const std::string &path, int flags) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0) {
        return false;
    }
    const bool synced = fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return synced;
}

} // namespace

ScopedTempFile::ScopedTempFile(const std::string &path, bool autoRemove)
    : m_valid(false), m_autoRemove(autoRemove) {
    const std::string templ = templateFor(path);
    sweepTempDirOnce(Path::dirname(templ));
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    // mkstemp creates the file with mode 0600 whatever the umask.
    const int fd = mkstemp(name.data());
    if (fd >= 0) {
        ::close(fd);
        m_path = name.data();
        m_valid = true;
    }
}

ScopedTempFile::~ScopedTempFile() {
    if (m_valid && m_autoRemove) {
        unlink(m_path.c_str());
    }
}

bool ScopedTempFile::isValid() const {
    return m_valid;
}

const std::string &ScopedTempFile::getPath() const {
    return m_path;
}

// The data reaches the disk before the rename makes it the content of `to`, and the new
// directory entry after, so that a crash leaves either the old file or the complete new one.
bool ScopedTempFile::rename(const std::string &to) {
    if (!m_valid || !syncToDisk(m_path, 0) || ::rename(m_path.c_str(), to.c_str()) != 0) {
        return false;
    }
    m_path = to;
    m_autoRemove = false;
    return syncToDisk(Path::dirname(to), O_DIRECTORY);
}

} // namespace Backup
} // namespace VORN
