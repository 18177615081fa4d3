// The vorn-azure commands, one for each host operation, and the table that dispatches them.
#ifndef VORN_CLI_COMMANDS_H
#define VORN_CLI_COMMANDS_H

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "session.h"

namespace vorncli {

class CommandTable {
public:
    CommandTable(CLI::App &app, Session &session);

    // Adds the subcommand `name`; `run` gives its exit status when it is the one parsed.
    CLI::App *add(const std::string &name, const std::string &description,
                  std::function<int()> run);
    Session &session();
    // Runs the parsed command (exactly one is required).
    int runParsed();

private:
    struct Entry {
        CLI::App *command;
        std::function<int()> run;
    };

    CLI::App &m_app;
    Session &m_session;
    std::vector<Entry> m_entries;
};

// status, create-container, containers
void addContainerCommands(CommandTable &commands);
// targets, create-target, candidate, adopt, task-create, set-task-config, task-config-time
void addTargetCommands(CommandTable &commands);
// put, get, stat, ls, mkdir, rm
void addFileCommands(CommandTable &commands);
// init, backup, snapshots, restore, diff, forget, prune, check
void addSnapshotCommands(CommandTable &commands);
// key list, key add, key remove, key passwd
void addKeyCommands(CommandTable &commands);
// ls --snapshot ID [PATH]: a snapshot's entries, as ls shows a target's
int listSnapshot(Session &session, const std::string &snapshot, const std::string &path,
                 bool recursive, bool longFormat, bool json);

} // namespace vorncli

#endif
