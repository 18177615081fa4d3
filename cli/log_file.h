// The --log-file record: timestamped lines of what a run did, for reading after the fact.
#ifndef VORN_CLI_LOG_FILE_H
#define VORN_CLI_LOG_FILE_H

#include <string>

namespace vorncli {

// Appends from now on to the file at `path` (created with mode 0600). False with `errnoValue`
// set when it cannot be opened.
bool openLogFile(const std::string &path, int &errnoValue);

// Writes "2024-05-01T12:00:00.123+0200 [PID] TEXT" when a log file is open; safe across
// threads. Callers pass only what may be read by anyone: never a secret.
void logLine(const std::string &text);

} // namespace vorncli

#endif
