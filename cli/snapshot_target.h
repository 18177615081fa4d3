// A snapshot target opened for one command: its agents, the engine's repository on them, and
// the one-line reports of the engine's failures.
#ifndef VORN_CLI_SNAPSHOT_TARGET_H
#define VORN_CLI_SNAPSHOT_TARGET_H

#include <memory>
#include <mutex>
#include <string>

#include "agent_store.h"
#include "repository.h"
#include "session.h"

namespace vorncli {

class SnapshotTarget {
public:
    explicit SnapshotTarget(Session &session);

    // Opens the --target with `jobs` agents and, when it is encrypted, unlocks it with the
    // passphrase. False after a report: a target that is not a snapshot target is NotFound and
    // the report names `init`.
    bool open(int jobs);
    // Only the agents, for `init`.
    bool openStore(int jobs);

    vornengine::Repository &repository() { return *m_repository; }
    AgentStore &store() { return m_store; }

    // Reports `status` ("vorn-azure: COMMAND: [SUBJECT: ]reason") and gives its exit status.
    int fail(const vornengine::Status &status, const std::string &subject = "");

private:
    Session &m_session;
    AgentStore m_store;
    std::unique_ptr<vornengine::Repository> m_repository;
};

// One line on the user stream per path a command could not handle, counted; thread-safe.
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

std::string localHostName();
std::string localUserName();
// $VORN_CACHE_DIR/snapshots, else $XDG_CACHE_HOME/vorn-azure, else ~/.cache/vorn-azure; ""
// without any of them.
std::string cacheRoot();

} // namespace vorncli

#endif
