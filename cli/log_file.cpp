#include "log_file.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace vorncli {

namespace {

std::mutex g_mutex;
FILE *g_log = nullptr;

std::string timestamp() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm parts;
    localtime_r(&now.tv_sec, &parts);
    char date[40];
    char zone[8];
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &parts);
    strftime(zone, sizeof zone, "%z", &parts);
    char text[96];
    snprintf(text, sizeof text, "%s.%03ld%s", date, static_cast<long>(now.tv_usec / 1000), zone);
    return text;
}

} // namespace

bool openLogFile(const std::string &path, int &errnoValue) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    FILE *file = fd < 0 ? nullptr : fdopen(fd, "a");
    if (!file) {
        errnoValue = errno;
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    setvbuf(file, nullptr, _IOLBF, 0);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_log) {
        fclose(g_log);
    }
    g_log = file;
    return true;
}

void logLine(const std::string &text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_log) {
        fprintf(g_log, "%s [%ld] %s\n", timestamp().c_str(), static_cast<long>(getpid()),
                text.c_str());
    }
}

} // namespace vorncli
