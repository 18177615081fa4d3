#include "vorn/backup/scoped_temp_file.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "vorn/backup/path.h"

namespace VORN {
namespace Backup {

namespace {

const std::string TEMPLATE_SUFFIX = "XXXXXX";
// Keeps "." + name + ".XXXXXX" within the usual 255-byte limit of a file name.
const std::string::size_type MAX_BASE_NAME = 200;

bool endsWith(const std::string &text, const std::string &suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string templateFor(const std::string &path) {
    if (endsWith(path, TEMPLATE_SUFFIX)) {
        return path;
    }
    if (path.empty()) {
        return Path::join(Path::tempDir(), "vorn-tmp." + TEMPLATE_SUFFIX);
    }
    const std::string base = Path::basename(path).substr(0, MAX_BASE_NAME);
    return Path::join(Path::dirname(path), "." + base + "." + TEMPLATE_SUFFIX);
}

} // namespace

ScopedTempFile::ScopedTempFile(const std::string &path, bool autoRemove)
    : m_valid(false), m_autoRemove(autoRemove) {
    const std::string templ = templateFor(path);
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

bool ScopedTempFile::rename(const std::string &to) {
    if (!m_valid || ::rename(m_path.c_str(), to.c_str()) != 0) {
        return false;
    }
    m_path = to;
    m_autoRemove = false;
    return true;
}

} // namespace Backup
} // namespace VORN
