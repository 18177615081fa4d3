// Locks: who works on a target. Backups share it; prune needs it alone. A lock that has not
// been refreshed for LOCK_STALE_SECONDS, or whose process on this host is gone, is stale and
// ignored, so a crashed host never blocks the target for good.
#ifndef VORN_ENGINE_LOCK_H
#define VORN_ENGINE_LOCK_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "object_id.h"
#include "repository.h"
#include "status.h"

namespace vornengine {

class RepositoryLock {
public:
    // Stores this process's lock record, after checking (before and after storing it) that no
    // live lock conflicts: any other lock for an exclusive one, an exclusive one for a shared
    // one. Failed, naming the holder, when one does. A refresher thread keeps the record fresh.
    static Status acquire(Repository &repository, bool exclusive, const std::string &hostname,
                          std::unique_ptr<RepositoryLock> &lock);
    // Removes the record.
    ~RepositoryLock();

    // Ok while the record is still in place and was refreshed in time: work that depends on the
    // lock (writing a snapshot) checks this first.
    Status confirm();

private:
    RepositoryLock(Repository &repository, bool exclusive, const std::string &hostname);
    Status store();
    void refreshLoop();

    Repository &m_repository;
    bool m_exclusive;
    std::string m_hostname;
    ObjectId m_id;
    int64_t m_storedAt = 0;
    Status m_refreshFailure;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_refresher;
};

} // namespace vornengine

#endif
