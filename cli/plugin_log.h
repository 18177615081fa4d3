// The plug-in's log: its syslog lines, captured in this process, shown on request, written to the
// --log-file, and kept as the reason for the next failure report.
#ifndef VORN_CLI_PLUGIN_LOG_H
#define VORN_CLI_PLUGIN_LOG_H

#include <string>
#include <vector>

namespace vorncli {

// Lines of this syslog priority or more urgent are shown on the user stream (-1: none).
void showPluginLog(int upToPriority);

// The lines the calling thread logged since its last forgetPluginLog, oldest first; only the
// most recent ones are kept.
std::vector<std::string> recentPluginLog();
void forgetPluginLog();

} // namespace vorncli

#endif
