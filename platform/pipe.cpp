// Child processes with pipes on their standard input and output.
#include "vorn/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Where an absolute path is found: below $VORN_SYSROOT when the sysroot holds its directory.
// A file missing there stays missing, rather than the machine's own copy being taken in its place.
std::string resolvePath(const char *path) {
    const char *sysroot = getenv("VORN_SYSROOT");
    if (path[0] == '/' && sysroot && *sysroot) {
        const std::string rooted = std::string(sysroot) + path;
        struct stat st;
        if (::stat(rooted.substr(0, rooted.find_last_of('/')).c_str(), &st) == 0 &&
            S_ISDIR(st.st_mode)) {
            return rooted;
        }
    }
    return path;
}

void closeIfOpen(int &fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// In the child: puts `fd` on `target` without the close-on-exec flag. Only async-signal-safe
// calls are allowed here.
bool moveTo(int fd, int target) {
    if (fd == target) {
        return fcntl(fd, F_SETFD, 0) == 0;
    }
    return dup2(fd, target) == target;
}

void sleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Reaps `pid` if it exits within `timeoutMs`; true with its status when it did.
bool waitFor(pid_t pid, int timeoutMs, int &status) {
    const int stepMs = 5;
    for (int waited = 0;; waited += stepMs) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            if (r < 0) {
                status = 0; // reaped elsewhere; nothing left to wait for
            }
            return true;
        }
        if (r < 0 && errno != EINTR) {
            return false;
        }
        if (waited >= timeoutMs) {
            return false;
        }
        sleepMs(stepMs);
    }
}

} // namespace

extern "C" {

VORN_PIPE *VORNPipeOpen(VORN_PROCESS *process, const char *program, ...) {
    if (!program) {
        VLIBCErrSetEx(VLIBC_ERR_SPAWN, "pipe", __LINE__);
        return NULL;
    }
    // Everything the child needs is prepared before fork: after it only exec may follow.
    std::vector<std::string> args{resolvePath(program)};
    va_list ap;
    va_start(ap, program);
    for (const char *arg = va_arg(ap, const char *); arg; arg = va_arg(ap, const char *)) {
        args.push_back(resolvePath(arg));
    }
    va_end(ap);
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);

    int toChild[2] = {-1, -1}, fromChild[2] = {-1, -1}, status[2] = {-1, -1};
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0 ||
        pipe2(status, O_CLOEXEC) != 0) {
        for (int *p : {toChild, fromChild, status}) {
            closeIfOpen(p[0]);
            closeIfOpen(p[1]);
        }
        VLIBCErrSetEx(VLIBC_ERR_SPAWN, "pipe", __LINE__);
        return NULL;
    }

    const pid_t pid = fork();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (moveTo(toChild[0], STDIN_FILENO) && moveTo(fromChild[1], STDOUT_FILENO)) {
            execv(argv[0], argv.data());
        }
        const int err = errno;
        ssize_t ignored = write(status[1], &err, sizeof err);
        (void)ignored;
        _exit(127);
    }
    closeIfOpen(toChild[0]);
    closeIfOpen(fromChild[1]);
    closeIfOpen(status[1]);
    if (pid < 0) {
        closeIfOpen(toChild[1]);
        closeIfOpen(fromChild[0]);
        closeIfOpen(status[0]);
        VLIBCErrSetEx(VLIBC_ERR_SPAWN, "pipe", __LINE__);
        return NULL;
    }

    // The status pipe closes on a successful exec; an errno arrives when exec failed.
    int execErrno = 0;
    ssize_t n;
    while ((n = read(status[0], &execErrno, sizeof execErrno)) < 0 && errno == EINTR) {
    }
    closeIfOpen(status[0]);
    if (n > 0) {
        int ignored;
        while (waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
        }
        closeIfOpen(toChild[1]);
        closeIfOpen(fromChild[0]);
        errno = execErrno;
        VLIBCErrSetEx(VLIBC_ERR_SPAWN, "pipe", __LINE__);
        return NULL;
    }

    VORN_PIPE *handle = static_cast<VORN_PIPE *>(malloc(sizeof(VORN_PIPE)));
    if (!handle) {
        kill(pid, SIGKILL);
        int ignored;
        waitpid(pid, &ignored, 0);
        closeIfOpen(toChild[1]);
        closeIfOpen(fromChild[0]);
        VLIBCErrSetEx(VLIBC_ERR_SPAWN, "pipe", __LINE__);
        return NULL;
    }
    handle->toChild = toChild[1];
    handle->fromChild = fromChild[0];
    handle->pid = pid;
    if (process) {
        process->pid = pid;
    }
    return handle;
}

int VORNPipeClose(VORN_PIPE *pipe, int timeoutMs) {
    if (!pipe) {
        return -1;
    }
    closeIfOpen(pipe->toChild);
    int status = 0;
    int result = -1;
    if (waitFor(pipe->pid, timeoutMs < 0 ? 0 : timeoutMs, status)) {
        result = status;
    } else {
        // A child that ignores the end of its input gets a short grace period after SIGTERM.
        kill(pipe->pid, SIGTERM);
        if (!waitFor(pipe->pid, 500, status)) {
            kill(pipe->pid, SIGKILL);
            while (waitpid(pipe->pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    closeIfOpen(pipe->fromChild);
    free(pipe);
    return result;
}

} // extern "C"
