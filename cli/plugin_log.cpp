// The executable defines the syslog family, so the plug-in's calls bind here (the executable
// exports its symbols) and nothing reaches the system log or the terminal unasked.
#include "plugin_log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <deque>

#include "log_file.h"
#include "user_stream.h"

namespace vorncli {

namespace {

// A failure's reason is among the last few lines; older ones are only history.
const size_t KEPT_LINES = 16;

int g_shownPriority = -1;
thread_local std::deque<std::string> t_lines;

void record(int priority, const char *format, va_list args) {
    char text[8192];
    vsnprintf(text, sizeof text, format, args);
    std::string line(text);
    while (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    if (LOG_PRI(priority) <= g_shownPriority) {
        fprintf(userStream(), "vorn-azure: %s\n", line.c_str());
    }
    logLine(line);
    t_lines.push_back(line);
    if (t_lines.size() > KEPT_LINES) {
        t_lines.pop_front();
    }
}

} // namespace

void showPluginLog(int upToPriority) {
    g_shownPriority = upToPriority;
}

std::vector<std::string> recentPluginLog() {
    return std::vector<std::string>(t_lines.begin(), t_lines.end());
}

void forgetPluginLog() {
    t_lines.clear();
}

} // namespace vorncli

extern "C" {

void vsyslog(int priority, const char *format, va_list args) {
    vorncli::record(priority, format, args);
}

void syslog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vorncli::record(priority, format, args);
    va_end(args);
}

void __vsyslog_chk(int priority, int, const char *format, va_list args) {
    vorncli::record(priority, format, args);
}

void __syslog_chk(int priority, int, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vorncli::record(priority, format, args);
    va_end(args);
}

}
