#include "temp_sweep.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include <dirent.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VORN {
namespace Backup {

const char *const TEMP_MARK = "vorn-tmp.";

namespace {

const std::string::size_type SCOPE_TAG_LENGTH = 8;
const std::string::size_type RANDOM_SUFFIX_LENGTH = 6;
// Past this age a file whose owner cannot be checked is taken as abandoned.
const time_t UNCHECKABLE_OWNER_MAX_AGE = 24 * 60 * 60;

enum class OwnerState { ALIVE, GONE, UNKNOWN };

struct Owner {
    std::string scope;
    pid_t pid;
    unsigned long long start;
};

// Names the boot and the pid namespace in which this process's pid means what it says: only
// owners tagged with the same scope can be looked up among the processes seen here.
const std::string &scopeTag() {
    static const std::string tag = [] {
        std::ifstream in("/proc/sys/kernel/random/boot_id");
        std::string scope;
        in >> scope;
        char pidNamespace[64];
        const ssize_t length = readlink("/proc/self/ns/pid", pidNamespace, sizeof pidNamespace);
        scope.append(pidNamespace, length > 0 ? static_cast<size_t>(length) : 0);
        // FNV-1a: short, and the same in every build.
        uint32_t hash = 2166136261u;
        for (const unsigned char c : scope) {
            hash = (hash ^ c) * 16777619u;
        }
        char text[SCOPE_TAG_LENGTH + 1];
        snprintf(text, sizeof text, "%08x", static_cast<unsigned>(hash));
        return std::string(text);
    }();
    return tag;
}

// Reads the state letter and start time of process `pid`; false when its record is unreadable.
bool readProcessStat(pid_t pid, char &state, unsigned long long &start) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses: the fields that follow start after
    // its last ')'. The start time is the 22nd field, the state the 3rd.
    const std::string::size_type close = text.rfind(')');
    if (close == std::string::npos) {
        return false;
    }
    std::istringstream fields(text.substr(close + 1));
    fields >> state;
    std::string skipped;
    for (int field = 4; field < 22; ++field) {
        fields >> skipped;
    }
    return static_cast<bool>(fields >> start);
}

bool isDigits(const std::string &text) {
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (!isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// Parses "<scope>.<pid>.<start>.<suffix>" after the last mark of `name`; false for any name
// that is not a temporary file of this system.
bool parseOwner(const std::string &name, Owner &owner) {
    const std::string mark = TEMP_MARK;
    const std::string::size_type at = name.rfind(mark);
    if (at == std::string::npos || (at != 0 && name[at - 1] != '.')) {
        return false;
    }
    std::vector<std::string> parts;
    std::istringstream rest(name.substr(at + mark.size()));
    for (std::string part; std::getline(rest, part, '.');) {
        parts.push_back(part);
    }
    if (parts.size() != 4 || parts[0].size() != SCOPE_TAG_LENGTH || !isDigits(parts[1]) ||
        !isDigits(parts[2]) || parts[3].size() != RANDOM_SUFFIX_LENGTH) {
        return false;
    }
    owner.scope = parts[0];
    owner.pid = static_cast<pid_t>(strtol(parts[1].c_str(), nullptr, 10));
    owner.start = strtoull(parts[2].c_str(), nullptr, 10);
    return true;
}

OwnerState stateOf(const Owner &owner) {
    if (owner.scope != scopeTag() || owner.pid <= 0) {
        return OwnerState::UNKNOWN;
    }
    if (kill(owner.pid, 0) != 0 && errno == ESRCH) {
        return OwnerState::GONE;
    }
    // A process that exists but whose record is hidden from this user cannot be checked.
    char state = 0;
    unsigned long long start = 0;
    if (!readProcessStat(owner.pid, state, start)) {
        return OwnerState::UNKNOWN;
    }
    // A zombie has exited; only its parent has yet to reap it.
    return start != owner.start || state == 'Z' ? OwnerState::GONE : OwnerState::ALIVE;
}

bool isStale(int dirFd, const std::string &name) {
    Owner owner;
    if (!parseOwner(name, owner)) {
        return false;
    }
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    switch (stateOf(owner)) {
    case OwnerState::GONE:
        return true;
    case OwnerState::UNKNOWN:
        return time(nullptr) - st.st_mtime > UNCHECKABLE_OWNER_MAX_AGE;
    case OwnerState::ALIVE:
        break;
    }
    return false;
}

void sweepTempDir(const std::string &dir) {
    std::unique_ptr<DIR, int (*)(DIR *)> handle(opendir(dir.c_str()), &closedir);
    if (!handle) {
        return;
    }
    const int dirFd = dirfd(handle.get());
    while (const dirent *entry = readdir(handle.get())) {
        const std::string name = entry->d_name;
        if (isStale(dirFd, name)) {
            unlinkat(dirFd, name.c_str(), 0);
        }
    }
}

} // namespace

std::string tempOwnerTag() {
    char state = 0;
    unsigned long long start = 0;
    readProcessStat(getpid(), state, start);
    return scopeTag() + "." + std::to_string(getpid()) + "." + std::to_string(start);
}

void sweepTempDirOnce(const std::string &dir) {
    static std::mutex lock;
    static std::set<std::string> swept;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!swept.insert(dir).second) {
            return;
        }
    }
    sweepTempDir(dir);
}

} // namespace Backup
} // namespace VORN
