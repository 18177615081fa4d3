// Where each global setting comes from (the command line, the environment, a profile, or the
// built-in default), and a command line whose options may stand before the command's name.
#ifndef VORN_CLI_OPTION_SOURCES_H
#define VORN_CLI_OPTION_SOURCES_H

#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace vorncli {

enum class Origin { Default, Profile, Environment, CommandLine };

struct SettingSource {
    Origin origin = Origin::Default;
    // The environment variable's name, or for a secret from a profile its "env:"/"file:" source.
    std::string detail;
};

// The settings in effect and where each came from, by option name without its dashes.
struct EffectiveSettings {
    std::string profile;     // the profile read, empty when none applies
    std::string profileFile; // the file profiles are read from
    SettingSource profileSource; // where the profile's name came from
    std::map<std::string, SettingSource> sources;
};

// `args` (without the program name) as the parser takes them: the global options first, then
// the command's name, then its own options and arguments, so that either kind may stand
// anywhere. A word that is the value of an option is never taken for the command; everything
// after "--" keeps its place.
std::vector<std::string> commandFirst(const CLI::App &app, const std::vector<std::string> &args);

// The global options of `app` that are settings a profile may hold, in the order of --help.
std::vector<const CLI::Option *> settingOptions(const CLI::App &app);
// True for an option that takes no value (--http, -v).
bool isFlagOption(const CLI::Option &option);
// Settings whose value is a secret: a profile gives "env:NAME" or "file:PATH" for them.
bool isSecretSetting(const std::string &name);

// After `app` parsed `args`: applies the profile `profileName` (or the "default" profile when
// the name is empty and the file has one) to every setting neither `args` nor the environment
// gave, and records where each setting came from. False with `error` set when the config file
// is unreadable, a named profile is missing, or a profile's setting is unknown, invalid, or a
// secret written out instead of its source.
bool applyProfile(CLI::App &app, const std::vector<std::string> &args,
                  const std::string &profileName, EffectiveSettings &settings, std::string &error);

} // namespace vorncli

#endif
