// SyslogCapture: the test binary's own syslog, recording every line the plug-in logs.
#ifndef VORN_TESTS_SYSLOG_CAPTURE_H
#define VORN_TESTS_SYSLOG_CAPTURE_H

#include <string>
#include <vector>

namespace vorntest {

struct LogLine {
    int priority;
    std::string text;
};

class SyslogCapture {
public:
    static void clear();
    static std::vector<LogLine> lines();
    // The first line containing `fragment`; priority -1 when none does.
    static LogLine find(const std::string &fragment);
};

} // namespace vorntest

#endif
