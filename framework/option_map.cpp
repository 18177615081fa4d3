#include "vorn/backup/option_map.h"

#include "file_util.h"

namespace VORN {
namespace Backup {

OptionMap::OptionMap() : m_values(Json::objectValue), m_secrets(Json::objectValue) {}

OptionMap::OptionMap(const Json::Value &object) : OptionMap() {
    if (object.isObject()) {
        m_values = object;
    }
}

bool OptionMap::optGet(const std::string &key) const {
    return m_values.isMember(key) || m_secrets.isMember(key);
}

bool OptionMap::optGet(const std::string &key, Json::Value &value) const {
    if (m_values.isMember(key)) {
        value = m_values[key];
        return true;
    }
    if (m_secrets.isMember(key)) {
        value = m_secrets[key];
        return true;
    }
    return false;
}

std::string OptionMap::optString(const std::string &key, const std::string &def) const {
    const Json::Value &value = m_values[key];
    return value.isString() ? value.asString() : def;
}

std::string OptionMap::optSecret(const std::string &key, const std::string &def) const {
    const Json::Value &value = m_secrets.isMember(key) ? m_secrets[key] : m_values[key];
    return value.isString() ? value.asString() : def;
}

bool OptionMap::optBool(const std::string &key, bool def) const {
    const Json::Value &value = m_values[key];
    return value.isBool() ? value.asBool() : def;
}

long long OptionMap::optInt(const std::string &key, long long def) const {
    const Json::Value &value = m_values[key];
    return value.isInt64() ? value.asInt64() : def;
}

namespace {

// A key lives either among the plain values or among the secrets, never in both.
bool store(Json::Value &into, Json::Value &other, const std::string &key,
           const Json::Value &value) {
    if (key.empty()) {
        return false;
    }
    other.removeMember(key);
    into[key] = value;
    return true;
}

} // namespace

bool OptionMap::optSet(const std::string &key, const std::string &value) {
    return store(m_values, m_secrets, key, Json::Value(value));
}

bool OptionMap::optSet(const std::string &key, const char *value) {
    return value && optSet(key, std::string(value));
}

bool OptionMap::optSet(const std::string &key, bool value) {
    return store(m_values, m_secrets, key, Json::Value(value));
}

bool OptionMap::optSet(const std::string &key, long long value) {
    return store(m_values, m_secrets, key, Json::Value(static_cast<Json::Int64>(value)));
}

bool OptionMap::optSet(const std::string &key, const std::list<std::string> &values) {
    Json::Value array(Json::arrayValue);
    for (const std::string &value : values) {
        array.append(value);
    }
    return store(m_values, m_secrets, key, array);
}

bool OptionMap::optSetSecret(const std::string &key, const std::string &value) {
    return store(m_secrets, m_values, key, Json::Value(value));
}

bool OptionMap::optRemove(const std::string &key) {
    const bool present = optGet(key);
    m_values.removeMember(key);
    m_secrets.removeMember(key);
    return present;
}

bool OptionMap::optSectionExport(const std::string &path, const std::string &section,
                                 bool replace) const {
    if (section.empty()) {
        return false;
    }
    Json::Value root(Json::objectValue);
    if (!replace) {
        Json::Value existing;
        switch (readJsonFile(path, existing)) {
        case JsonFileState::UNREADABLE:
            // Another section's content would be lost by overwriting it.
            return false;
        case JsonFileState::READ:
            if (existing.isObject()) {
                root = existing;
            } else if (!existing.isNull()) {
                return false;
            }
            break;
        case JsonFileState::MISSING:
            break;
        }
    }
    root[section] = toJson(false);
    return writeJsonFile(path, root);
}

bool OptionMap::optSectionImport(const std::string &path, const std::string &section) {
    Json::Value root;
    if (readJsonFile(path, root) != JsonFileState::READ || !root.isObject() ||
        !root[section].isObject()) {
        return false;
    }
    m_values = root[section];
    m_secrets = Json::Value(Json::objectValue);
    return true;
}

Json::Value OptionMap::toJson(bool withSecrets) const {
    Json::Value out = m_values;
    if (withSecrets) {
        for (const std::string &key : m_secrets.getMemberNames()) {
            out[key] = m_secrets[key];
        }
    }
    return out;
}

std::list<std::string> OptionMap::keys() const {
    std::list<std::string> out;
    for (const std::string &key : m_values.getMemberNames()) {
        out.push_back(key);
    }
    for (const std::string &key : m_secrets.getMemberNames()) {
        out.push_back(key);
    }
    return out;
}

bool OptionMap::empty() const {
    return m_values.empty() && m_secrets.empty();
}

} // namespace Backup
} // namespace VORN
