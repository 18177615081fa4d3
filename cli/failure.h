// Failure classes: what the user is told about a failed operation, and the exit status for it.
#ifndef VORN_CLI_FAILURE_H
#define VORN_CLI_FAILURE_H

#include <string>
#include <vector>

namespace vorncli {

// Each class has its own exit status, so scripts can tell them apart.
enum class FailureClass {
    Failed = 1,
    Usage = 2,
    NotFound = 3,
    Access = 4,      // credentials or access refused
    Unavailable = 5, // network or service unavailable: worth retrying later
    Integrity = 6,
    Interrupted = 130, // 128 + SIGINT, as a shell reports it
};

struct Failure {
    FailureClass kind = FailureClass::Failed;
    std::string reason; // in the user's words
};

// How every reason for a service out of reach begins, so that its endpoint can be added.
extern const char *const UNREACHED_SERVICE;

int exitStatus(FailureClass kind);

// A local file's system error, "PATH: No such file or directory", classed by its errno.
Failure localFailure(const std::string &path, int errnoValue);

// A transfer agent's or target manager's error code, explained by the plug-in's last log lines
// (oldest first) when they tell more: the agent's response, or why the agent did not start.
Failure transferFailure(int transferError, const std::vector<std::string> &log);
Failure targetFailure(int targetError, const std::vector<std::string> &log);

} // namespace vorncli

#endif
