#include "local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vornengine {

namespace {

Status systemFailure(const std::string &path) {
    return Status::failed(path + ": " + strerror(errno));
}

} // namespace

Status readLocalFile(const std::string &path, std::string &bytes) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? Status::notFound(path + ": no such file") : systemFailure(path);
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        const Status status = systemFailure(path);
        close(fd);
        return status;
    }
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = read(fd, &bytes[done], bytes.size() - done);
        if (got <= 0) {
            const Status status = got < 0 ? systemFailure(path) : Status::failed(path + ": shrank while read");
            close(fd);
            return status;
        }
        done += static_cast<size_t>(got);
    }
    close(fd);
    return Status::ok();
}

Status writeLocalFile(const std::string &path, const std::string &bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return systemFailure(path);
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0) {
            const Status status = systemFailure(path);
            close(fd);
            return status;
        }
        done += static_cast<size_t>(put);
    }
    return close(fd) == 0 ? Status::ok() : systemFailure(path);
}

} // namespace vornengine
