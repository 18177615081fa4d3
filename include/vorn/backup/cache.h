// BasicCache and TargetInfoCache: the host's file-backed cache of sections and their timestamps.
#ifndef VORN_BACKUP_CACHE_H
#define VORN_BACKUP_CACHE_H

#include <string>

#include "vorn/backup/option_map.h"

namespace VORN {
namespace Backup {

// One JSON file of named sections, each an option map with a timestamp.
class BasicCache {
public:
    explicit BasicCache(const std::string &file);
    virtual ~BasicCache();

    // False when the cache file cannot be written.
    virtual bool isValid() const;

    bool setSection(const std::string &section, const OptionMap &options);
    bool getSection(const std::string &section, OptionMap &options) const;
    bool setTimestamp(const std::string &section, long timestamp);
    bool getTimestamp(const std::string &section, long &timestamp) const;

    const std::string &getFile() const;
    // "$VORN_CACHE_DIR", default "$HOME/.cache/vorn".
    static std::string cacheDir();

private:
    bool load(Json::Value &root) const;
    bool store(const Json::Value &root) const;
    // One member of a section, written back at once, or read (null when absent).
    bool setEntry(const std::string &section, const char *member, const Json::Value &value);
    Json::Value entry(const std::string &section, const char *member) const;

    std::string m_file;
};

// The cache record of one target of one repository.
class TargetInfoCache : public BasicCache {
public:
    TargetInfoCache(int repositoryId, const std::string &targetId);
    // False for an empty or unusable target id, or when the cache directory cannot be made.
    bool isValid() const override;

private:
    bool m_valid;
};

} // namespace Backup
} // namespace VORN

#endif
