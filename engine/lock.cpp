#include "lock.h"

#include <json/json.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "format.h"
#include "json_text.h"

namespace vornengine {

namespace {

struct LockRecord {
    int64_t time = 0;
    bool exclusive = false;
    std::string hostname;
    int64_t pid = 0;
};

int64_t now() {
    return static_cast<int64_t>(time(nullptr));
}

bool isStale(const LockRecord &lock, const std::string &hostname) {
    if (now() - lock.time > LOCK_STALE_SECONDS) {
        return true;
    }
    return lock.hostname == hostname && lock.pid > 0 &&
           kill(static_cast<pid_t>(lock.pid), 0) != 0 && errno == ESRCH;
}

std::string describe(const LockRecord &lock) {
    return std::string(lock.exclusive ? "an exclusive" : "a shared") + " lock of " + lock.hostname +
           " (pid " + std::to_string(lock.pid) + ") since " + rfc3339(lock.time * 1000000000LL).substr(0, 19);
}

// A live lock that keeps `exclusive` from being taken; Failed naming it.
Status findConflict(Repository &repository, bool exclusive, const std::string &hostname,
                    const ObjectId &own) {
    std::vector<ObjectId> ids;
    Status status = repository.listIds(LOCKS_DIR, ids);
    for (const ObjectId &id : ids) {
        if (!status.isOk() || id == own) {
            continue;
        }
        std::string plain;
        Json::Value json;
        Status loaded = repository.loadRecord(LOCKS_DIR, id, plain);
        if (loaded.code() == Status::Code::NotFound) {
            continue; // released meanwhile
        }
        if (!loaded.isOk()) {
            return loaded;
        }
        LockRecord lock;
        if (parseJsonText(plain, json) && json.isObject()) {
            lock.time = json["time"].asInt64();
            lock.exclusive = json["exclusive"].asBool();
            lock.hostname = json["hostname"].asString();
            lock.pid = json["pid"].asInt64();
        }
        if (isStale(lock, hostname)) {
            if (exclusive) {
                repository.removeRecord(LOCKS_DIR, id); // nobody else will
            }
            continue;
        }
        if (exclusive || lock.exclusive) {
            return Status::failed("the target is in use: " + describe(lock) +
                                  "; try again when it is done");
        }
    }
    return status;
}

} // namespace

RepositoryLock::RepositoryLock(Repository &repository, bool exclusive, const std::string &hostname)
    : m_repository(repository), m_exclusive(exclusive), m_hostname(hostname) {}

Status RepositoryLock::acquire(Repository &repository, bool exclusive, const std::string &hostname,
                               std::unique_ptr<RepositoryLock> &lock) {
    Status status = findConflict(repository, exclusive, hostname, ObjectId());
    if (!status.isOk()) {
        return status;
    }
    std::unique_ptr<RepositoryLock> held(new RepositoryLock(repository, exclusive, hostname));
    if (!(status = held->store()).isOk()) {
        return status;
    }
    // Two hosts may have stored theirs at the same time: each then sees the other and backs off.
    if (!(status = findConflict(repository, exclusive, hostname, held->m_id)).isOk()) {
        return status; // the destructor removes ours
    }
    held->m_refresher = std::thread(&RepositoryLock::refreshLoop, held.get());
    lock = std::move(held);
    return Status::ok();
}

Status RepositoryLock::store() {
    Json::Value json(Json::objectValue);
    json["time"] = Json::Int64(now());
    json["exclusive"] = m_exclusive;
    json["hostname"] = m_hostname;
    json["pid"] = Json::Int64(getpid());
    ObjectId previous = m_id, id;
    Status status = m_repository.saveRecord(LOCKS_DIR, jsonText(json), id);
    if (!status.isOk()) {
        return status;
    }
    m_id = id;
    m_storedAt = now();
    if (!previous.isNull()) {
        m_repository.removeRecord(LOCKS_DIR, previous);
    }
    return Status::ok();
}

void RepositoryLock::refreshLoop() {
    std::unique_lock<std::mutex> guard(m_mutex);
    while (!m_wake.wait_for(guard, std::chrono::seconds(LOCK_REFRESH_SECONDS),
                            [this] { return m_stopping; })) {
        Status status = store();
        if (!status.isOk() && m_refreshFailure.isOk()) {
            m_refreshFailure = status;
        }
    }
}

Status RepositoryLock::confirm() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_refreshFailure.isOk()) {
        return m_refreshFailure.about("the lock could not be refreshed");
    }
    if (now() - m_storedAt > LOCK_STALE_SECONDS) {
        return Status::failed("the lock went stale while the work ran");
    }
    int64_t size = 0;
    Status status = m_repository.store().size(std::string(LOCKS_DIR) + "/" + m_id.hex(), size);
    if (status.code() == Status::Code::NotFound) {
        return Status::failed("the lock was removed by another host while the work ran");
    }
    return status;
}

RepositoryLock::~RepositoryLock() {
    if (m_refresher.joinable()) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_refresher.join();
    }
    if (!m_id.isNull()) {
        m_repository.removeRecord(LOCKS_DIR, m_id);
    }
}

} // namespace vornengine
