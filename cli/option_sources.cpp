#include "option_sources.h"

#include <cstdlib>
#include <set>

#include "profiles.h"

namespace vorncli {

namespace {

// Global options that choose how a run behaves rather than where its data goes.
const std::set<std::string> NOT_SETTINGS = {"help", "version", "verbose", "profile"};
const std::set<std::string> SECRETS = {"key"};

std::string nameOf(const CLI::Option &option) {
    return option.get_lnames().empty() ? "" : option.get_lnames().front();
}


// The option called `word` ("--jobs", "-j") of the app or of any of its commands.
const CLI::Option *findOption(const CLI::App &app, const std::string &word) {
    if (const CLI::Option *own = app.get_option_no_throw(word)) {
        return own;
    }
    for (const CLI::App *command : app.get_subcommands({})) {
        if (const CLI::Option *found = command->get_option_no_throw(word)) {
            return found;
        }
    }
    return nullptr;
}

// "--jobs" of "--jobs=2", "-v" of "-vv", "-j" of "-j2".
std::string optionName(const std::string &arg) {
    if (arg.compare(0, 2, "--") == 0) {
        return arg.substr(0, arg.find('='));
    }
    return arg.substr(0, 2);
}

// True when the option's value is the next argument, not part of `arg` itself.
bool takesSeparateValue(const CLI::Option &option, const std::string &arg) {
    return !isFlagOption(option) && arg.find('=') == std::string::npos &&
           (arg.compare(0, 2, "--") == 0 || arg.size() == 2);
}

bool isCommandName(const CLI::App &app, const std::string &word) {
    for (const CLI::App *command : app.get_subcommands({})) {
        if (command->check_name(word)) {
            return true;
        }
    }
    return false;
}

// True when `args` before a "--" hold one of the option's names, alone or as "--name=VALUE".
bool givenIn(const CLI::Option &option, const std::vector<std::string> &args) {
    std::set<std::string> names;
    for (const std::string &name : option.get_lnames()) {
        names.insert("--" + name);
    }
    for (const std::string &name : option.get_snames()) {
        names.insert("-" + name);
    }
    for (const std::string &arg : args) {
        if (arg == "--") {
            break;
        }
        if (names.count(arg.substr(0, arg.find('=')))) {
            return true;
        }
    }
    return false;
}

// The command line's or the environment's, or the default until a profile gives the setting.
SettingSource sourceBeforeProfile(const CLI::Option &option, const std::vector<std::string> &args) {
    const std::string variable = option.get_envname();
    if (givenIn(option, args)) {
        return {Origin::CommandLine, ""};
    }
    if (!variable.empty() && getenv(variable.c_str()) && *getenv(variable.c_str())) {
        return {Origin::Environment, variable};
    }
    return {};
}

bool flagText(const std::string &text, std::string &normal) {
    static const std::set<std::string> YES = {"true", "yes", "on", "1"};
    static const std::set<std::string> NO = {"false", "no", "off", "0"};
    normal = YES.count(text) ? "true" : NO.count(text) ? "false" : "";
    return !normal.empty();
}

std::string settingNames(const CLI::App &app) {
    std::string list;
    for (const CLI::Option *option : settingOptions(app)) {
        list += (list.empty() ? "" : ", ") + nameOf(*option);
    }
    return list;
}

// The value a profile's `text` gives the option, or false with `error` set.
bool profileValue(const CLI::Option &option, const std::string &text, std::string &value,
                  std::string &error) {
    const std::string name = nameOf(option);
    if (isSecretSetting(name)) {
        if (!isSecretSource(text)) {
            error = name + ": a profile names where the secret is kept (env:NAME or file:PATH), "
                           "never the secret itself";
            return false;
        }
        return readSecret(text, value, error);
    }
    if (isFlagOption(option)) {
        if (!flagText(text, value)) {
            error = name + ": \"" + text + "\" is not true or false";
            return false;
        }
        return true;
    }
    value = expandHome(text);
    return true;
}

bool applySetting(CLI::App &app, const std::string &name, const std::string &text,
                  SettingSource &source, std::string &error) {
    CLI::Option *option = app.get_option_no_throw("--" + name);
    if (!option || NOT_SETTINGS.count(name)) {
        error = "unknown setting \"" + name + "\" (a profile may hold " + settingNames(app) + ")";
        return false;
    }
    if (option->count() > 0) {
        return true; // the command line or the environment gave it
    }
    std::string value;
    if (!profileValue(*option, text, value, error)) {
        return false;
    }
    try {
        option->add_result(value);
        option->run_callback();
    } catch (const CLI::Error &failure) {
        error = name + ": " + failure.what();
        return false;
    }
    source = {Origin::Profile, isSecretSetting(name) ? text : ""};
    return true;
}

} // namespace

std::vector<std::string> commandFirst(const CLI::App &app, const std::vector<std::string> &args) {
    std::vector<std::string> globals;
    std::vector<std::string> rest;
    const CLI::App *command = nullptr;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--") {
            rest.insert(rest.end(), args.begin() + i, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            if (!command && isCommandName(app, arg)) {
                command = app.get_subcommand(arg);
            } else {
                rest.push_back(arg);
            }
            continue;
        }
        const std::string name = optionName(arg);
        const CLI::Option *own = command ? command->get_option_no_throw(name) : nullptr;
        const CLI::Option *global = own ? nullptr : app.get_option_no_throw(name);
        const CLI::Option *option = own ? own : global ? global : findOption(app, name);
        std::vector<std::string> &into = global ? globals : rest;
        into.push_back(arg);
        if (option && takesSeparateValue(*option, arg) && i + 1 < args.size()) {
            into.push_back(args[++i]);
        }
    }
    if (!command) {
        return args;
    }
    globals.push_back(command->get_name());
    globals.insert(globals.end(), rest.begin(), rest.end());
    return globals;
}

std::vector<const CLI::Option *> settingOptions(const CLI::App &app) {
    std::vector<const CLI::Option *> settings;
    for (const CLI::Option *option : app.get_options()) {
        const std::string name = nameOf(*option);
        if (!name.empty() && !NOT_SETTINGS.count(name)) {
            settings.push_back(option);
        }
    }
    return settings;
}

bool isFlagOption(const CLI::Option &option) {
    // A counting flag (-vv) expects no value either, though its type has a size.
    return option.get_type_size_max() == 0 || option.get_expected_max() == 0;
}

bool isSecretSetting(const std::string &name) {
    return SECRETS.count(name) > 0;
}

bool applyProfile(CLI::App &app, const std::vector<std::string> &args,
                  const std::string &profileName, EffectiveSettings &settings, std::string &error) {
    settings = EffectiveSettings();
    settings.profileFile = configFilePath();
    for (const CLI::Option *option : settingOptions(app)) {
        settings.sources[nameOf(*option)] = sourceBeforeProfile(*option, args);
    }
    if (const CLI::Option *profileOption = app.get_option_no_throw("--profile")) {
        settings.profileSource = sourceBeforeProfile(*profileOption, args);
    }
    std::map<std::string, Profile> profiles;
    if (!readProfiles(settings.profileFile, profiles, error)) {
        return false;
    }
    const std::string name = profileName.empty() ? DEFAULT_PROFILE : profileName;
    const auto profile = profiles.find(name);
    if (profile == profiles.end()) {
        if (profileName.empty()) {
            return true;
        }
        std::string known;
        for (const auto &entry : profiles) {
            known += (known.empty() ? "" : ", ") + entry.first;
        }
        error = "no profile \"" + name + "\" in " + settings.profileFile +
                (known.empty() ? " (the file has none)" : " (it has: " + known + ")");
        return false;
    }
    settings.profile = name;
    for (const auto &[setting, text] : profile->second) {
        SettingSource ignored;
        SettingSource &source =
            settings.sources.count(setting) ? settings.sources[setting] : ignored;
        if (!applySetting(app, setting, text, source, error)) {
            error = "profile " + name + " in " + settings.profileFile + ": " + error;
            return false;
        }
    }
    return true;
}

} // namespace vorncli
