// Defining syslog here interposes it over libc's for the plug-in loaded into the test binary.
#include "syslog_capture.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include <syslog.h>

namespace vorntest {
namespace {

std::mutex g_mutex;
std::vector<LogLine> g_lines;

void record(int priority, const char *format, va_list args) {
    char buffer[8192];
    vsnprintf(buffer, sizeof buffer, format, args);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.push_back(LogLine{LOG_PRI(priority), buffer});
}

} // namespace

void SyslogCapture::clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

std::vector<LogLine> SyslogCapture::lines() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

LogLine SyslogCapture::find(const std::string &fragment) {
    for (const LogLine &line : lines()) {
        if (line.text.find(fragment) != std::string::npos) {
            return line;
        }
    }
    return LogLine{-1, ""};
}

} // namespace vorntest

extern "C" {

void syslog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vorntest::record(priority, format, args);
    va_end(args);
}

void vsyslog(int priority, const char *format, va_list args) {
    vorntest::record(priority, format, args);
}

void __syslog_chk(int priority, int, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vorntest::record(priority, format, args);
    va_end(args);
}

}
