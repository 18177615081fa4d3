// backup, restore and verify: the whole-tree commands, with what they share.
#ifndef VORN_CLI_TREE_COMMANDS_H
#define VORN_CLI_TREE_COMMANDS_H

#include <mutex>
#include <string>

#include "local_tree.h"
#include "progress.h"
#include "session.h"

namespace vorncli {

struct TreeOptions {
    std::string localDir;
    int jobs = 4;
    bool dryRun = false;
    bool checksum = false;
    bool keepDeleted = false;
    bool deep = false;
    std::string path; // restore: one file or subtree
    Selection selection;
};

// One line on standard error per path a command could not handle, counted; safe across threads.
class PathReport {
public:
    explicit PathReport(const std::string &command);
    void fail(const std::string &relative, const std::string &reason);
    long long count() const;

private:
    mutable std::mutex m_mutex;
    std::string m_command;
    long long m_count = 0;
};

// "B bytes in S s (R MB/s)" for a summary line.
std::string transferFigures(const Progress &progress);

int runBackup(Session &session, const TreeOptions &options);
int runRestore(Session &session, const TreeOptions &options);
int runVerify(Session &session, const TreeOptions &options);

} // namespace vorncli

#endif
