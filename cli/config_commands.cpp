// config: the settings in effect and where each came from, and the profiles the config file holds.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "commands.h"
#include "preflight.h"
#include "profiles.h"

namespace vorncli {

namespace {

const char *const MASK = "********";

std::string sourceText(const SettingSource &source, const std::string &profile, bool set) {
    switch (source.origin) {
    case Origin::CommandLine:
        return "command line";
    case Origin::Environment:
        return "environment " + source.detail;
    case Origin::Profile:
        return "profile " + profile + (source.detail.empty() ? "" : " (" + source.detail + ")");
    case Origin::Default:
        break;
    }
    return set ? "default" : "not set";
}

std::string valueText(const CLI::Option &option) {
    const std::string name = option.get_lnames().front();
    if (isFlagOption(option)) {
        return option.count() > 0 && option.as<bool>() ? "true" : "false";
    }
    const std::string value = option.count() > 0 ? option.results().back() : option.get_default_str();
    return isSecretSetting(name) && !value.empty() ? MASK : value;
}

typedef std::vector<std::array<std::string, 3>> Table;

// The rows in columns as wide as their widest cell, two spaces apart.
void printTable(const Table &rows) {
    size_t name = 0;
    size_t value = 0;
    for (const auto &row : rows) {
        name = std::max(name, row[0].size());
        value = std::max(value, row[1].size());
    }
    for (const auto &row : rows) {
        printf("%-*s  %-*s  %s\n", static_cast<int>(name), row[0].c_str(), static_cast<int>(value),
               row[1].c_str(), row[2].c_str());
    }
}

int runShow(Session &session, const CLI::App &app) {
    const GlobalOptions &options = session.options();
    const EffectiveSettings &settings = options.settings;
    Table rows = {{"setting", "value", "source"},
                  {"profile", settings.profile.empty() ? "(none)" : settings.profile,
                   settings.profile.empty() ? "" : sourceText(settings.profileSource, "", true)},
                  {"config file", settings.profileFile, ""}};
    for (const CLI::Option *option : settingOptions(app)) {
        const std::string name = option->get_lnames().front();
        const std::string value = valueText(*option);
        const auto source = settings.sources.find(name);
        rows.push_back({name, value,
                        source == settings.sources.end()
                            ? ""
                            : sourceText(source->second, settings.profile, !value.empty())});
    }
    if (!options.connection.connectionString.empty()) {
        rows.push_back({"connection string", MASK, "environment AZURE_STORAGE_CONNECTION_STRING"});
    }
    printTable(rows);
    Connection connection;
    std::string error;
    if (!resolveConnection(options.connection, connection, error)) {
        return session.fail(error, FailureClass::Usage);
    }
    printf("in effect: account %s at %s, container %s\n", connection.account.c_str(),
           serviceUrl(connection).c_str(), connection.container.c_str());
    return EXIT_SUCCESS;
}

int runProfiles(Session &session) {
    std::map<std::string, Profile> profiles;
    std::string error;
    if (!readProfiles(configFilePath(), profiles, error)) {
        return session.fail(error, FailureClass::Usage);
    }
    for (const auto &entry : profiles) {
        puts(entry.first.c_str());
    }
    return EXIT_SUCCESS;
}

} // namespace

void addConfigCommands(CommandTable &commands) {
    Session &session = commands.session();
    const CLI::App &app = commands.app();
    // The subcommands are made after the command that dispatches to them.
    auto show = std::make_shared<CLI::App *>();
    auto path = std::make_shared<CLI::App *>();
    CLI::App *config = commands.add("config", "show the settings in effect and the saved profiles",
                                    [&session, &app, show, path] {
                                        if ((*show)->parsed()) {
                                            return runShow(session, app);
                                        }
                                        if ((*path)->parsed()) {
                                            puts(configFilePath().c_str());
                                            return EXIT_SUCCESS;
                                        }
                                        return runProfiles(session);
                                    });
    config->require_subcommand(1);
    *show = config->add_subcommand("show", "every setting in effect and where it came from "
                                           "(secrets masked)");
    *path = config->add_subcommand("path", "the config file's path");
    config->add_subcommand("profiles", "the names of the config file's profiles");
}

} // namespace vorncli
