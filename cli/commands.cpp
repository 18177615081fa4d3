#include "commands.h"

#include <chrono>
#include <cstdio>

#include "log_file.h"

namespace vorncli {

namespace {

// What the log file says a run works on: never a secret.
std::string runContext(const GlobalOptions &options) {
    const EffectiveSettings &settings = options.settings;
    std::string context = "container " + options.connection.container;
    if (!options.targetId.empty()) {
        context += ", target " + options.targetId;
    }
    if (!settings.profile.empty()) {
        context += ", profile " + settings.profile;
    }
    return context;
}

} // namespace

CommandTable::CommandTable(CLI::App &app, Session &session) : m_app(app), m_session(session) {}

CLI::App *CommandTable::add(const std::string &name, const std::string &description,
                            std::function<int()> run) {
    CLI::App *command = m_app.add_subcommand(name, description);
    m_entries.push_back({command, std::move(run)});
    return command;
}

Session &CommandTable::session() {
    return m_session;
}

CLI::App &CommandTable::app() {
    return m_app;
}

int CommandTable::runParsed() {
    for (const Entry &entry : m_entries) {
        if (entry.command->parsed()) {
            const std::string name = entry.command->get_name();
            const auto start = std::chrono::steady_clock::now();
            m_session.beginCommand(name);
            logLine(name + ": started (" + runContext(m_session.options()) + ")");
            const int status = entry.run();
            char ending[96];
            snprintf(ending, sizeof ending, ": exit status %d after %.2f s", status,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                         .count());
            logLine(name + ending);
            return status;
        }
    }
    return EXIT_FAILURE;
}

} // namespace vorncli
