#include "file_util.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/reader.h>
#include <json/writer.h>

#include "vorn/backup/path.h"
#include "vorn/backup/scoped_temp_file.h"

namespace VORN {
namespace Backup {


JsonFileState readJsonFile(const std::string &path, Json::Value &value) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        return JsonFileState::MISSING;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return JsonFileState::UNREADABLE;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const std::string content = text.str();
    value = Json::Value();
    if (content.find_first_not_of(" \t\r\n") == std::string::npos) {
        return JsonFileState::READ;
    }
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(content.data(), content.data() + content.size(), &value, &errors)) {
        value = Json::Value();
        return JsonFileState::UNREADABLE;
    }
    return JsonFileState::READ;
}

bool writeJsonFile(const std::string &path, const Json::Value &value) {
    ScopedTempFile temp(path);
    if (!temp.isValid()) {
        return false;
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    const std::string text = Json::writeString(builder, value) + "\n";
    const int fd = open(temp.getPath().c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) {
        return false;
    }
    std::string::size_type done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<std::string::size_type>(n);
    }
    return ::close(fd) == 0 && temp.rename(path);
}

bool streamFile(const std::string &path, const std::function<bool(const char *, size_t)> &sink,
                const boost::function<bool()> &cancelHook, TransferError &error) {
    FILE *in = fopen64(path.c_str(), "rb");
    if (!in) {
        error = getTransferErrorByLibcFileIo(errno);
        return false;
    }
    std::vector<char> buffer(STREAM_BUFFER);
    bool ok = true;
    for (;;) {
        if (cancelHook && cancelHook()) {
            error = TRANSFER_ERR_CANCELLED;
            ok = false;
            break;
        }
        const size_t n = fread(buffer.data(), 1, buffer.size(), in);
        if (n > 0 && !sink(buffer.data(), n)) {
            ok = false;
            break;
        }
        if (n < buffer.size()) {
            if (ferror(in)) {
                error = getTransferErrorByLibcFileIo(errno);
                ok = false;
            }
            break;
        }
    }
    fclose(in);
    return ok;
}

bool makeDirectories(const std::string &dir) {
    if (dir.empty()) {
        return false;
    }
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    const std::string parent = Path::dirname(dir);
    if (parent != dir && !makeDirectories(parent)) {
        return false;
    }
    return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string dirFromEnvironment(const char *name, const char *homeRelative) {
    const char *value = getenv(name);
    if (value && *value) {
        return value;
    }
    const char *home = getenv("HOME");
    if (home && *home) {
        return Path::join(home, homeRelative);
    }
    return "";
}

} // namespace Backup
} // namespace VORN
