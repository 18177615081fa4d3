#include "profiles.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

// Boost's INI reader: already a dependency (header-only), and kept up with Boost itself.
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

namespace vorncli {

const char *const DEFAULT_PROFILE = "default";

namespace {

const std::string ENV_PREFIX = "env:";
const std::string FILE_PREFIX = "file:";

bool startsWith(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string home() {
    const char *value = getenv("HOME");
    return value ? value : "";
}

} // namespace

std::string configFilePath() {
    const char *xdg = getenv("XDG_CONFIG_HOME");
    const std::string base = xdg && *xdg == '/' ? xdg : home() + "/.config";
    return base + "/vorn-azure/config";
}

bool readProfiles(const std::string &path, std::map<std::string, Profile> &profiles,
                  std::string &error) {
    profiles.clear();
    std::ifstream stream(path);
    if (!stream) {
        if (errno == ENOENT) {
            return true;
        }
        error = path + ": " + strerror(errno);
        return false;
    }
    boost::property_tree::ptree tree;
    try {
        boost::property_tree::ini_parser::read_ini(stream, tree);
    } catch (const boost::property_tree::ini_parser_error &failure) {
        error = path + ":" + std::to_string(failure.line()) + ": " + failure.message();
        return false;
    }
    for (const auto &[name, section] : tree) {
        if (section.empty()) {
            error = path + ": \"" + name + "\" is outside a [profile] section";
            return false;
        }
        Profile &profile = profiles[name];
        for (const auto &[setting, value] : section) {
            profile[setting] = value.data();
        }
    }
    return true;
}

bool isSecretSource(const std::string &text) {
    return (startsWith(text, ENV_PREFIX) && text.size() > ENV_PREFIX.size()) ||
           (startsWith(text, FILE_PREFIX) && text.size() > FILE_PREFIX.size());
}

bool readSecret(const std::string &source, std::string &secret, std::string &error) {
    secret.clear();
    if (startsWith(source, ENV_PREFIX)) {
        const char *value = getenv(source.c_str() + ENV_PREFIX.size());
        if (!value || !*value) {
            error = source + ": the variable is not set";
            return false;
        }
        secret = value;
        return true;
    }
    const std::string path = expandHome(source.substr(FILE_PREFIX.size()));
    std::ifstream stream(path);
    if (!stream) {
        error = source + ": " + strerror(errno);
        return false;
    }
    std::getline(stream, secret);
    while (!secret.empty() && (secret.back() == '\r' || secret.back() == ' ')) {
        secret.pop_back();
    }
    if (secret.empty()) {
        error = source + ": the file's first line is empty";
        return false;
    }
    return true;
}

std::string expandHome(const std::string &path) {
    return startsWith(path, "~/") ? home() + path.substr(1) : path;
}

} // namespace vorncli
