// OptionMap: a set of named options (text, bool, integer or a list of texts) of a task or repository.
#ifndef VORN_BACKUP_OPTION_MAP_H
#define VORN_BACKUP_OPTION_MAP_H

#include <json/value.h>
#include <list>
#include <string>

namespace VORN {
namespace Backup {

class OptionMap {
public:
    OptionMap();
    explicit OptionMap(const Json::Value &object);

    // Presence of a key; the second form also hands out its value.
    bool optGet(const std::string &key) const;
    bool optGet(const std::string &key, Json::Value &value) const;

    // The value of a key, or `def` when the key is absent or of another type.
    std::string optString(const std::string &key, const std::string &def = "") const;
    std::string optSecret(const std::string &key, const std::string &def = "") const;
    bool optBool(const std::string &key, bool def = false) const;
    long long optInt(const std::string &key, long long def = 0) const;

    bool optSet(const std::string &key, const std::string &value);
    bool optSet(const std::string &key, const char *value);
    bool optSet(const std::string &key, bool value);
    bool optSet(const std::string &key, long long value);
    bool optSet(const std::string &key, const std::list<std::string> &values);
    bool optSetSecret(const std::string &key, const std::string &value);
    bool optRemove(const std::string &key);

    // Writes the options (without secrets) as JSON object `section` into the file at `path`;
    // with `replace` the file holds only that section, otherwise other sections are kept.
    bool optSectionExport(const std::string &path, const std::string &section, bool replace) const;
    // Reads section `section` of such a file into this map, replacing its content.
    bool optSectionImport(const std::string &path, const std::string &section);

    // Every option except the secrets; `withSecrets` includes them too.
    Json::Value toJson(bool withSecrets = false) const;
    std::list<std::string> keys() const;
    bool empty() const;

private:
    Json::Value m_values;
    Json::Value m_secrets;
};

} // namespace Backup
} // namespace VORN

#endif
