#include "remote_path.h"

#include <sstream>

#include "selection.h"
#include "vorn/backup/path.h"

namespace vorncli {

namespace {

// A long path shown whole would bury the reason: its start and end are enough to recognize it.
std::string shortened(const std::string &path) {
    const std::string printable = printableName(path);
    return printable.size() <= 60 ? printable
                                  : printable.substr(0, 40) + "..." + printable.substr(printable.size() - 16);
}

bool hasControlCharacter(const std::string &text) {
    for (const unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            return true;
        }
    }
    return false;
}

} // namespace

bool plainRemotePath(const std::string &typed, const std::string &targetId, std::string &path,
                     Failure &failure) {
    path.clear();
    std::istringstream parts(typed);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part == "..") {
            failure = {FailureClass::Usage,
                       shortened(typed) + ": \"..\" has no meaning inside a target; give the path "
                       "from the target's top"};
            return false;
        }
        if (!part.empty() && part != ".") {
            path += (path.empty() ? "" : "/") + part;
        }
    }
    if (hasControlCharacter(path)) {
        failure = {FailureClass::Usage, shortened(typed) + ": a path holds no control characters"};
        return false;
    }
    const std::string::size_type room = VORN::Backup::MAX_BLOB_NAME - targetId.size() - 1;
    if (path.size() > room) {
        failure = {FailureClass::Usage,
                   shortened(path) + ": " + std::to_string(path.size()) +
                       " characters is too long: blob names hold " +
                       std::to_string(VORN::Backup::MAX_BLOB_NAME) + ", so paths in target " +
                       targetId + " hold at most " + std::to_string(room)};
        return false;
    }
    return true;
}

bool namesDirectory(const std::string &typed) {
    return typed.empty() || typed.back() == '/';
}

std::string baseName(const std::string &path) {
    const std::string::size_type end = path.find_last_not_of('/');
    if (end == std::string::npos) {
        return "";
    }
    const std::string::size_type slash = path.rfind('/', end);
    return path.substr(slash == std::string::npos ? 0 : slash + 1,
                       end - (slash == std::string::npos ? 0 : slash + 1) + 1);
}

} // namespace vorncli
