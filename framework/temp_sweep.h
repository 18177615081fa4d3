// Owner-tagged names of temporary files, and the removal of those whose owner process is gone.
#ifndef VORN_FRAMEWORK_TEMP_SWEEP_H
#define VORN_FRAMEWORK_TEMP_SWEEP_H

#include <string>

namespace VORN {
namespace Backup {

// The mark that starts the owner part of a temporary file's name: "vorn-tmp.", followed by
// the owner tag, "." and six characters chosen by mkstemp.
extern const char *const TEMP_MARK;

// This process's owner tag, "<scope>.<pid>.<start>": 8 hex digits naming the boot and pid
// namespace, the process id and the process's start time in clock ticks since boot. The pair
// of pid and start time names one process even when the pid is later reused.
std::string tempOwnerTag();

// Removes the stale temporary files of this system in `dir`: those whose owner has exited or
// whose pid now belongs to another process, and those older than a day whose owner cannot be
// checked (made before a reboot, in another container or on another machine). Runs once per
// directory in a process, so that only the first temporary file made there pays for it.
void sweepTempDirOnce(const std::string &dir);

} // namespace Backup
} // namespace VORN

#endif
