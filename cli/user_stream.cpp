#include "user_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <thread>

namespace vorncli {

namespace {

FILE *g_user = stderr;
bool g_capturing = false;
// Kept by a detached thread, so that a process ending without releaseStandardError still ends.
std::promise<void> g_drained;

// Copies the pipe's content to the user stream, or drops it, until every writer closed it.
void drain(int fd, bool show) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            break;
        }
        if (got > 0 && show) {
            fwrite(buffer, 1, got, g_user);
            fflush(g_user);
        }
    }
    close(fd);
    g_drained.set_value();
}

} // namespace

FILE *userStream() {
    return g_user;
}

void captureStandardError(bool show) {
    fflush(stderr);
    // On any failure nothing is captured: everything stays on the terminal.
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return;
    }
    const int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    FILE *user = saved < 0 ? nullptr : fdopen(saved, "w");
    if (!user) {
        if (saved >= 0) {
            close(saved);
        }
        close(ends[0]);
        close(ends[1]);
        return;
    }
    setvbuf(user, nullptr, _IOLBF, 0);
    g_user = user;
    // The agents inherit descriptor 2, so it must not be close-on-exec.
    dup2(ends[1], STDERR_FILENO);
    close(ends[1]);
    std::thread(drain, ends[0], show).detach();
    g_capturing = true;
}

void releaseStandardError() {
    if (!g_capturing) {
        return;
    }
    g_capturing = false;
    fflush(stderr);
    // The read end sees its end once descriptor 2 no longer leads to the pipe.
    dup2(fileno(g_user), STDERR_FILENO);
    g_drained.get_future().wait();
}

} // namespace vorncli
