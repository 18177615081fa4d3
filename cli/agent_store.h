// AgentStore: the engine's Store on transfer agents of the plug-in, one request per agent at a
// time, with the plug-in's failures turned into the engine's classes.
#ifndef VORN_CLI_AGENT_STORE_H
#define VORN_CLI_AGENT_STORE_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "session.h"
#include "store.h"

namespace vorncli {

class AgentStore : public vornengine::Store {
public:
    explicit AgentStore(Session &session);

    // Makes `lanes` agents, which share the session's agent budget (each process starts with its
    // first request); false after a report.
    bool open(int lanes);

    vornengine::Status put(const std::string &localPath, const std::string &name) override;
    vornengine::Status get(const std::string &name, const std::string &localPath) override;
    vornengine::Status size(const std::string &name, int64_t &bytes) override;
    vornengine::Status list(const std::string &dir, std::vector<vornengine::StoredFile> &files) override;
    vornengine::Status remove(const std::string &name) override;
    int lanes() const override { return static_cast<int>(m_agents.size()); }

private:
    struct Lane {
        std::unique_ptr<VORN::Backup::TransferAgent> agent;
        bool started = false;
        bool busy = false;
    };
    // Runs `request` on an idle agent, started ones first; its failure in the engine's terms.
    vornengine::Status withAgent(const std::function<bool(VORN::Backup::TransferAgent &)> &request);

    Session &m_session;
    std::vector<Lane> m_agents;
    std::mutex m_mutex;
    std::condition_variable m_idle;
    // Starting an agent sets process-wide environment variables: one start at a time.
    std::mutex m_startMutex;
};

// The engine's class of failure for one of the command line's, and back.
vornengine::Status statusOf(const Failure &failure);
Failure failureOf(const vornengine::Status &status);

} // namespace vorncli

#endif
