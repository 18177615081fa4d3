// Transfer agents for a tree command: one per job, each driven by its own thread.
#ifndef VORN_CLI_AGENT_POOL_H
#define VORN_CLI_AGENT_POOL_H

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "session.h"

namespace vorncli {

class AgentPool {
public:
    explicit AgentPool(Session &session);

    // Makes `jobs` agents (at least one), which share the session's agent budget; false (after
    // a report) when the session cannot.
    bool open(int jobs);

    // The first agent, for the command's own requests on the calling thread.
    VORN::Backup::TransferAgent &primary();

    // Calls work(agent, i) for every i below `count`, spread over the agents, one thread each;
    // returns when all are done.
    void forEach(size_t count,
                 const std::function<void(VORN::Backup::TransferAgent &, size_t)> &work);

private:
    void start(VORN::Backup::TransferAgent &agent);

    Session &m_session;
    std::vector<std::unique_ptr<VORN::Backup::TransferAgent>> m_agents;
    std::vector<char> m_started; // not vector<bool>: threads set their own element
    // Starting an agent sets process-wide environment variables: one start at a time.
    std::mutex m_startMutex;
};

} // namespace vorncli

#endif
