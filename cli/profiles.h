// Saved settings: named profiles in the user's config file, and the sources their secrets name.
#ifndef VORN_CLI_PROFILES_H
#define VORN_CLI_PROFILES_H

#include <map>
#include <string>

namespace vorncli {

// One [NAME] section of the config file: setting name -> text, as written.
typedef std::map<std::string, std::string> Profile;

// The profile used when none is named.
extern const char *const DEFAULT_PROFILE;

// $XDG_CONFIG_HOME/vorn-azure/config, else ~/.config/vorn-azure/config.
std::string configFilePath();

// Every profile of the INI file at `path` ("[name]" sections of "setting = value" lines, "#" or
// ";" comments); a missing file holds none. False with `error` set, naming the file and line,
// when it cannot be read or parsed, or holds a setting outside a section. Errors never quote a
// line, which might hold a secret.
bool readProfiles(const std::string &path, std::map<std::string, Profile> &profiles,
                  std::string &error);

// A profile never holds a secret, only where to find it: "env:NAME" (an environment variable)
// or "file:PATH" (the first line of a file; "~/" is the home directory). True when `text` has
// one of these forms.
bool isSecretSource(const std::string &text);
// The secret `source` leads to; false with `error` set (naming the source, never the secret)
// when the variable is unset or empty or the file cannot be read or is empty.
bool readSecret(const std::string &source, std::string &secret, std::string &error);

// `path` with a leading "~/" replaced by the home directory.
std::string expandHome(const std::string &path);

} // namespace vorncli

#endif
