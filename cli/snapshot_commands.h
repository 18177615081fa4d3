// What the snapshot commands share: their common options and the registration of each group.
#ifndef VORN_CLI_SNAPSHOT_COMMANDS_H
#define VORN_CLI_SNAPSHOT_COMMANDS_H

#include <CLI/CLI.hpp>

#include "commands.h"
#include "selection.h"

namespace vorncli {

void addJobsOption(CLI::App *command, int &jobs, const char *what);
void addSelectionOptions(CLI::App *command, Selection &selection);

// restore
void addRestoreCommands(CommandTable &commands);
// diff, forget, prune, check
void addMaintenanceCommands(CommandTable &commands);

} // namespace vorncli

#endif
