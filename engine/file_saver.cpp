#include "file_saver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "node_reader.h"

namespace vornengine {

FileSaver::FileSaver(Repository &repository, Packer &packer)
    : m_repository(repository), m_packer(packer), m_chunker(repository.chunker()),
      m_buffer(2 * repository.config().chunker.max) {}

namespace {

int openForReading(const std::string &path) {
    // No access-time update where we may: a backup should not change what it reads.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOATIME);
    if (fd < 0 && errno == EPERM) {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    return fd;
}

} // namespace

Status FileSaver::save(const std::string &path, Node &node, bool &changed,
                       const std::function<void(int64_t)> &progress) {
    const int fd = openForReading(path);
    if (fd < 0) {
        return Status::failed(strerror(errno));
    }
    struct stat before, after;
    fstat(fd, &before);
    if (!S_ISREG(before.st_mode)) {
        close(fd);
        return Status::failed("changed into another kind of file while read");
    }
    node.content.clear();
    int64_t total = 0;
    size_t filled = 0;
    bool atEnd = false;
    Status status;
    while (status.isOk() && (!atEnd || filled > 0)) {
        while (!atEnd && filled < m_buffer.size()) {
            const ssize_t got = read(fd, m_buffer.data() + filled, m_buffer.size() - filled);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                status = Status::failed(strerror(errno));
                break;
            }
            atEnd = got == 0;
            filled += static_cast<size_t>(got);
            total += got;
            if (got > 0 && progress) {
                progress(got);
            }
        }
        size_t used = 0;
        while (status.isOk() && used < filled) {
            const size_t length = m_chunker.cut(m_buffer.data() + used, filled - used, atEnd);
            if (length == 0) {
                break;
            }
            const uint8_t *chunk = m_buffer.data() + used;
            const ObjectId id = m_repository.codec().contentId(chunk, length);
            m_packer.save(BlobType::Data, id, std::string(reinterpret_cast<const char *>(chunk), length));
            node.content.push_back(id);
            used += length;
            if (m_repository.cancelled()) {
                status = Status::interrupted();
            } else if (!m_packer.status().isOk()) {
                status = m_packer.status();
            }
        }
        memmove(m_buffer.data(), m_buffer.data() + used, filled - used);
        filled -= used;
    }
    fstat(fd, &after);
    close(fd);
    node.size = total;
    changed = after.st_size != before.st_size || after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
              after.st_mtim.tv_nsec != before.st_mtim.tv_nsec || total != before.st_size;
    return status;
}

} // namespace vornengine
