#include "agent_store.h"

#include <list>

#include "plugin_log.h"
#include "vorn/backup/file_info.h"

namespace vorncli {

using VORN::Backup::FileInfo;
using VORN::Backup::TransferAgent;
using vornengine::Status;

namespace {

const std::pair<FailureClass, Status::Code> CLASSES[] = {
    {FailureClass::Failed, Status::Code::Failed},
    {FailureClass::Usage, Status::Code::Usage},
    {FailureClass::NotFound, Status::Code::NotFound},
    {FailureClass::Access, Status::Code::Access},
    {FailureClass::Unavailable, Status::Code::Unavailable},
    {FailureClass::Integrity, Status::Code::Integrity},
    {FailureClass::Interrupted, Status::Code::Interrupted},
};

} // namespace

Status statusOf(const Failure &failure) {
    for (const auto &[kind, code] : CLASSES) {
        if (kind == failure.kind) {
            switch (code) {
            case Status::Code::Usage: return Status::usage(failure.reason);
            case Status::Code::NotFound: return Status::notFound(failure.reason);
            case Status::Code::Access: return Status::access(failure.reason);
            case Status::Code::Unavailable: return Status::unavailable(failure.reason);
            case Status::Code::Integrity: return Status::integrity(failure.reason);
            case Status::Code::Interrupted: return Status::interrupted();
            default: break;
            }
        }
    }
    return Status::failed(failure.reason);
}

Failure failureOf(const Status &status) {
    for (const auto &[kind, code] : CLASSES) {
        if (code == status.code()) {
            return {kind, status.message()};
        }
    }
    return {FailureClass::Failed, status.message()};
}

AgentStore::AgentStore(Session &session) : m_session(session) {}

bool AgentStore::open(int lanes) {
    for (int i = 0; i < std::max(lanes, 1); ++i) {
        Lane lane;
        lane.agent = m_session.transferAgent();
        if (!lane.agent) {
            return false;
        }
        m_agents.push_back(std::move(lane));
    }
    // Before any of them starts (each starts with its first request).
    exportAgentShare(shareOf(m_session.options().budget, static_cast<int>(m_agents.size())));
    return true;
}

Status AgentStore::withAgent(const std::function<bool(TransferAgent &)> &request) {
    Lane *lane = nullptr;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [&] {
            for (Lane &candidate : m_agents) {
                if (!candidate.busy && (!lane || (candidate.started && !lane->started))) {
                    lane = &candidate;
                }
            }
            return lane != nullptr;
        });
        lane->busy = true;
    }
    TransferAgent &agent = *lane->agent;
    forgetPluginLog();
    bool done;
    if (lane->started) {
        done = request(agent);
    } else {
        std::lock_guard<std::mutex> starting(m_startMutex);
        done = request(agent); // its first request starts the agent process
    }
    Status status = done ? Status::ok() : statusOf(transferFailure(agent.getError(), recentPluginLog()));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        lane->started = true;
        lane->busy = false;
    }
    m_idle.notify_one();
    return status;
}

Status AgentStore::put(const std::string &localPath, const std::string &name) {
    return withAgent([&](TransferAgent &agent) { return agent.sendFile(localPath, name); });
}

Status AgentStore::get(const std::string &name, const std::string &localPath) {
    return withAgent([&](TransferAgent &agent) { return agent.recvFile(name, localPath); });
}

Status AgentStore::size(const std::string &name, int64_t &bytes) {
    return withAgent([&](TransferAgent &agent) {
        FileInfo info(name);
        if (!agent.stat(name, info)) {
            return false;
        }
        bytes = info.getSize();
        return true;
    });
}

Status AgentStore::list(const std::string &dir, std::vector<vornengine::StoredFile> &files) {
    return withAgent([&](TransferAgent &agent) {
        std::string marker;
        do {
            std::list<FileInfo> entries;
            if (!agent.listDirEx(dir, entries, marker, true)) {
                // A directory exists only while it holds files: none is an empty listing.
                return agent.getError() == VORN::Backup::TRANSFER_ERR_NOT_FOUND;
            }
            for (const FileInfo &entry : entries) {
                if (entry.isRegType()) {
                    files.push_back({dir.empty() ? entry.getRpath() : dir + "/" + entry.getRpath(),
                                     entry.getSize()});
                }
            }
        } while (!marker.empty());
        return true;
    });
}

Status AgentStore::remove(const std::string &name) {
    return withAgent([&](TransferAgent &agent) { return agent.removeFile(name); });
}

} // namespace vorncli
