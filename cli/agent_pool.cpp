#include "agent_pool.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "interrupt.h"
#include "target_records.h"

namespace vorncli {

using VORN::Backup::TransferAgent;

AgentPool::AgentPool(Session &session) : m_session(session) {}

bool AgentPool::open(int jobs) {
    for (int i = 0; i < std::max(jobs, 1); ++i) {
        std::unique_ptr<TransferAgent> agent = m_session.transferAgent();
        if (!agent) {
            return false;
        }
        m_agents.push_back(std::move(agent));
    }
    // Before any of them starts (each starts with its first request).
    exportAgentShare(shareOf(m_session.options().budget, static_cast<int>(m_agents.size())));
    m_started.assign(m_agents.size(), false);
    m_started[0] = true; // the caller's own thread starts it with its first request
    return true;
}

TransferAgent &AgentPool::primary() {
    return *m_agents[0];
}

// The agent process starts with an agent's first request; a cheap one serves.
void AgentPool::start(TransferAgent &agent) {
    std::lock_guard<std::mutex> lock(m_startMutex);
    agent.isFileExist(MANIFEST_FILE_NAME);
}

void AgentPool::forEach(size_t count, const std::function<void(TransferAgent &, size_t)> &work) {
    std::atomic<size_t> next(0);
    const size_t threads = std::min(m_agents.size(), std::max<size_t>(count, 1));
    std::vector<std::thread> running;
    for (size_t t = 0; t < threads; ++t) {
        running.emplace_back([this, t, count, &next, &work] {
            TransferAgent &agent = *m_agents[t];
            if (!m_started[t]) {
                start(agent);
                m_started[t] = true;
            }
            for (size_t i; !interrupted() && (i = next++) < count;) {
                work(agent, i);
            }
        });
    }
    for (std::thread &thread : running) {
        thread.join();
    }
}

} // namespace vorncli
