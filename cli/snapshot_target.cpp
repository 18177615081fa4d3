#include "snapshot_target.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "interrupt.h"
#include "passphrase.h"
#include "selection.h"
#include "user_stream.h"

namespace vorncli {

using vornengine::Status;

SnapshotTarget::SnapshotTarget(Session &session) : m_session(session), m_store(session) {}

bool SnapshotTarget::openStore(int jobs) {
    return m_store.open(jobs);
}

bool SnapshotTarget::open(int jobs) {
    if (!openStore(jobs)) {
        return false;
    }
    m_repository.reset(new vornengine::Repository(m_store, cacheRoot()));
    m_repository->setCancel(&interrupted);
    const std::string passwordFile = m_session.options().passwordFile;
    Status status = m_repository->open([&passwordFile](std::string &passphrase) {
        return readPassphrase(passwordFile, passphrase);
    });
    if (status.code() == Status::Code::NotFound) {
        const std::string target = m_session.options().targetId;
        status = Status::notFound("target " + target +
                                  " holds no snapshots: create it with `vorn-azure --target " +
                                  target + " init` (`vorn-azure targets` lists the targets)");
    }
    if (!status.isOk()) {
        fail(status);
        return false;
    }
    return true;
}

int SnapshotTarget::fail(const Status &status, const std::string &subject) {
    Failure failure = failureOf(status);
    if (!subject.empty()) {
        failure.reason = subject + ": " + failure.reason;
    }
    return m_session.fail(failure);
}

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

std::string localHostName() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

std::string localUserName() {
    struct passwd entry, *result = nullptr;
    char buffer[4096];
    getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &result);
    return result ? result->pw_name : std::to_string(geteuid());
}

std::string cacheRoot() {
    const char *own = getenv("VORN_CACHE_DIR");
    if (own && *own) {
        return std::string(own) + "/snapshots";
    }
    const char *xdg = getenv("XDG_CACHE_HOME");
    std::string base = xdg && *xdg ? xdg : "";
    if (base.empty()) {
        const char *home = getenv("HOME");
        if (!home || !*home) {
            return "";
        }
        base = std::string(home) + "/.cache";
        mkdir(base.c_str(), 0700);
    }
    return base + "/vorn-azure";
}

} // namespace vorncli
