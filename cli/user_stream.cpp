#include "user_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <thread>

namespace vorncli {

namespace {

FILE *g_user = stderr;
std::thread g_drain;

// Copies the pipe's content to the user stream, or drops it, until every writer closed it.
void drain(int fd, bool show) {
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) != 0) {
        if (got > 0 && show) {
            fwrite(buffer, 1, got, g_user);
            fflush(g_user);
        }
    }
    close(fd);
}

} // namespace

FILE *userStream() {
    return g_user;
}

void captureStandardError(bool show) {
    fflush(stderr);
    const int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    int ends[2];
    if (saved < 0 || pipe2(ends, O_CLOEXEC) != 0) {
        return; // nothing captured: everything stays on the terminal
    }
    FILE *user = fdopen(saved, "w");
    if (!user) {
        close(saved);
        close(ends[0]);
        close(ends[1]);
        return;
    }
    setvbuf(user, nullptr, _IOLBF, 0);
    g_user = user;
    // The agents inherit descriptor 2, so it must not be close-on-exec.
    dup2(ends[1], STDERR_FILENO);
    close(ends[1]);
    g_drain = std::thread(drain, ends[0], show);
}

void releaseStandardError() {
    if (!g_drain.joinable()) {
        return;
    }
    fflush(stderr);
    // The read end sees its end once descriptor 2 no longer leads to the pipe.
    dup2(fileno(g_user), STDERR_FILENO);
    g_drain.join();
}

} // namespace vorncli
