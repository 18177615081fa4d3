// Registration of the whole-tree commands and what they share.
#include "tree_commands.h"

#include <cstdio>

#include "commands.h"
#include "user_stream.h"

namespace vorncli {

PathReport::PathReport(const std::string &command) : m_command(command) {}

void PathReport::fail(const std::string &relative, const std::string &reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_count;
    fprintf(userStream(), "vorn-azure: %s: %s: %s\n", m_command.c_str(),
            printableName(relative).c_str(), reason.c_str());
}

long long PathReport::count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

std::string transferFigures(const Progress &progress) {
    const double seconds = progress.seconds();
    char text[96];
    snprintf(text, sizeof text, "%lld bytes in %.2f s (%.1f MB/s)", progress.bytes(), seconds,
             seconds > 0 ? progress.bytes() / 1e6 / seconds : 0.0);
    return text;
}

namespace {

void addJobs(CLI::App *command, TreeOptions &options) {
    command->add_option("-j,--jobs", options.jobs, "files moved at once, each by its own agent")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
}

void addSelection(CLI::App *command, TreeOptions &options) {
    command->add_option("--include", options.selection.include,
                        "only paths matching GLOB (repeatable; a GLOB without / matches names)")
        ->type_name("GLOB");
    command->add_option("--exclude", options.selection.exclude,
                        "leave out paths matching GLOB (repeatable)")
        ->type_name("GLOB");
}

} // namespace

void addTreeCommands(CommandTable &commands) {
    Session &session = commands.session();

    auto backup = std::make_shared<TreeOptions>();
    CLI::App *cmd = commands.add("backup", "store the tree below LOCALDIR in the target, sending "
                                           "only what changed since the last backup",
                                 [&session, backup] { return runBackup(session, *backup); });
    cmd->add_option("LOCALDIR", backup->localDir, "local directory")->required();
    addJobs(cmd, *backup);
    addSelection(cmd, *backup);
    cmd->add_flag("--dry-run", backup->dryRun, "list what would be sent and removed, change nothing");
    cmd->add_flag("--checksum", backup->checksum,
                  "tell changed files by their MD5 instead of size and time");
    cmd->add_flag("--keep-deleted", backup->keepDeleted,
                  "keep files in the target that are gone from LOCALDIR");

    auto restore = std::make_shared<TreeOptions>();
    cmd = commands.add("restore", "fetch the target's tree into LOCALDIR, with modes and times",
                       [&session, restore] { return runRestore(session, *restore); });
    cmd->add_option("LOCALDIR", restore->localDir, "local directory (created when missing)")
        ->required();
    cmd->add_option("--path", restore->path, "only this file or directory of the target");
    addJobs(cmd, *restore);
    addSelection(cmd, *restore);

    auto verify = std::make_shared<TreeOptions>();
    cmd = commands.add("verify", "compare the target, or LOCALDIR, with the last backup's manifest",
                       [&session, verify] { return runVerify(session, *verify); });
    cmd->add_option("LOCALDIR", verify->localDir, "compare this local tree instead of the target");
    cmd->add_flag("--deep", verify->deep, "download every file and check its MD5");
    cmd->add_flag("--checksum", verify->checksum, "with LOCALDIR: compare local MD5s too");
    addJobs(cmd, *verify);
}

} // namespace vorncli
