#include "vorn/backup/cache.h"

#include <cstdio>

#include <unistd.h>

#include "file_util.h"
#include "vorn/backup/path.h"

namespace VORN {
namespace Backup {

namespace {

const char *const OPTIONS = "options";
const char *const TIMESTAMP = "timestamp";
const std::string::size_type MAX_FILE_NAME = 255;

// A target id as one file name: letters, digits, "-" and "_" stay, every other byte is
// written as %XX, so that no id can reach outside the cache directory or collide.
std::string safeFileName(const std::string &id) {
    std::string out;
    for (unsigned char c : id) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

// The section's record; sections of another shape (a hand-edited file) read as empty.
Json::Value &sectionOf(Json::Value &root, const std::string &section) {
    Json::Value &record = root[section];
    if (!record.isObject()) {
        record = Json::Value(Json::objectValue);
    }
    return record;
}

} // namespace

BasicCache::BasicCache(const std::string &file) : m_file(file) {}

BasicCache::~BasicCache() {}

bool BasicCache::isValid() const {
    if (m_file.empty()) {
        return false;
    }
    if (access(m_file.c_str(), F_OK) == 0) {
        return access(m_file.c_str(), W_OK) == 0;
    }
    return access(Path::dirname(m_file).c_str(), W_OK | X_OK) == 0;
}

// The cache only holds what can be fetched again, so an unreadable file starts afresh.
bool BasicCache::load(Json::Value &root) const {
    if (readJsonFile(m_file, root) != JsonFileState::READ || !root.isObject()) {
        root = Json::Value(Json::objectValue);
    }
    return true;
}

bool BasicCache::store(const Json::Value &root) const {
    return !m_file.empty() && makeDirectories(Path::dirname(m_file)) &&
           writeJsonFile(m_file, root);
}

bool BasicCache::setEntry(const std::string &section, const char *member,
                          const Json::Value &value) {
    Json::Value root;
    load(root);
    sectionOf(root, section)[member] = value;
    return store(root);
}

Json::Value BasicCache::entry(const std::string &section, const char *member) const {
    Json::Value root;
    load(root);
    return sectionOf(root, section)[member];
}

bool BasicCache::setSection(const std::string &section, const OptionMap &options) {
    return setEntry(section, OPTIONS, options.toJson(false));
}

bool BasicCache::getSection(const std::string &section, OptionMap &options) const {
    const Json::Value stored = entry(section, OPTIONS);
    if (!stored.isObject()) {
        return false;
    }
    options = OptionMap(stored);
    return true;
}

bool BasicCache::setTimestamp(const std::string &section, long timestamp) {
    return setEntry(section, TIMESTAMP, static_cast<Json::Int64>(timestamp));
}

bool BasicCache::getTimestamp(const std::string &section, long &timestamp) const {
    const Json::Value stored = entry(section, TIMESTAMP);
    if (!stored.isInt64()) {
        return false;
    }
    timestamp = static_cast<long>(stored.asInt64());
    return true;
}

const std::string &BasicCache::getFile() const {
    return m_file;
}

std::string BasicCache::cacheDir() {
    return dirFromEnvironment("VORN_CACHE_DIR", ".cache/vorn");
}

namespace {

std::string targetCacheDir(int repositoryId) {
    const std::string base = BasicCache::cacheDir();
    return base.empty() ? "" : Path::join(base, "targets/" + std::to_string(repositoryId));
}

std::string targetCacheFile(int repositoryId, const std::string &targetId) {
    const std::string dir = targetCacheDir(repositoryId);
    const std::string name = safeFileName(targetId) + ".json";
    if (dir.empty() || targetId.empty() || name.size() > MAX_FILE_NAME) {
        return "";
    }
    return Path::join(dir, name);
}

} // namespace

TargetInfoCache::TargetInfoCache(int repositoryId, const std::string &targetId)
    : BasicCache(targetCacheFile(repositoryId, targetId)),
      m_valid(!getFile().empty() && makeDirectories(Path::dirname(getFile()))) {}

bool TargetInfoCache::isValid() const {
    return m_valid && BasicCache::isValid();
}

} // namespace Backup
} // namespace VORN
