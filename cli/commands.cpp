#include "commands.h"

namespace vorncli {

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

int CommandTable::runParsed() {
    for (const Entry &entry : m_entries) {
        if (entry.command->parsed()) {
            m_session.beginCommand(entry.command->get_name());
            return entry.run();
        }
    }
    return EXIT_FAILURE;
}

} // namespace vorncli
