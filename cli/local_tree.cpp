#include "local_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <openssl/evp.h>

#include "target_records.h"

namespace vorncli {

namespace {

std::string lastName(const std::string &relative) {
    const size_t slash = relative.rfind('/');
    return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

bool matchesAny(const std::vector<std::string> &patterns, const std::string &relative) {
    for (const std::string &pattern : patterns) {
        const std::string &subject =
            pattern.find('/') == std::string::npos ? lastName(relative) : relative;
        if (fnmatch(pattern.c_str(), subject.c_str(), 0) == 0) {
            return true;
        }
    }
    return false;
}

// Length of the UTF-8 sequence that starts at `text[0]`, 0 when it is not a valid one.
size_t utf8Length(const unsigned char *text, size_t left) {
    const unsigned char lead = text[0];
    size_t length;
    unsigned minimum;
    unsigned code;
    if (lead < 0x80) {
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (length > left) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (text[i] & 0x3F);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < minimum || code > 0x10FFFF || surrogate ? 0 : length;
}

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

class TreeWalker {
public:
    TreeWalker(const std::string &root, const Selection &selection, ManifestEntries &entries,
               std::vector<Problem> &problems)
        : m_root(root), m_selection(selection), m_entries(entries), m_problems(problems) {}

    // Walks the directory `relative` ("" for the root); false when it cannot be read.
    bool walk(const std::string &relative, std::string &error) {
        const std::string path = relative.empty() ? m_root : m_root + "/" + relative;
        std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(path.c_str()), closedir);
        if (!dir) {
            error = strerror(errno);
            return false;
        }
        bool empty = true;
        while (const dirent *item = readdir(dir.get())) {
            const std::string name = item->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            empty = false;
            visit(relative.empty() ? name : relative + "/" + name);
        }
        if (empty && !relative.empty() && m_selection.selects(relative)) {
            addEntry(relative);
        }
        return true;
    }

private:
    // Excluded paths are passed over before their names are judged, so that an excluded
    // directory is not walked and a bad name can be silenced by excluding it.
    void visit(const std::string &relative) {
        if (m_selection.excludes(relative)) {
            return;
        }
        struct stat st;
        if (lstat((m_root + "/" + relative).c_str(), &st) != 0) {
            m_problems.push_back({relative, strerror(errno)});
            return;
        }
        const bool directory = S_ISDIR(st.st_mode);
        if (!directory && !m_selection.selects(relative)) {
            return;
        }
        if (!isStorableName(relative)) {
            m_problems.push_back({relative, "skipped: the name is not UTF-8 text without control "
                                            "characters"});
            return;
        }
        if (isTargetRecord(relative)) {
            m_problems.push_back({relative, "name reserved for the target's own records"});
            return;
        }
        std::string error;
        if (!directory) {
            addEntry(relative);
        } else if (!walk(relative, error)) {
            m_problems.push_back({relative, error});
        }
    }

    void addEntry(const std::string &relative) {
        ManifestEntry entry;
        std::string error;
        if (describeLocal(m_root + "/" + relative, entry, error)) {
            m_entries[relative] = entry;
        } else {
            m_problems.push_back({relative, error});
        }
    }

    const std::string &m_root;
    const Selection &m_selection;
    ManifestEntries &m_entries;
    std::vector<Problem> &m_problems;
};

} // namespace

bool Selection::selects(const std::string &relative) const {
    return (include.empty() || matchesAny(include, relative)) && !excludes(relative);
}

bool Selection::excludes(const std::string &relative) const {
    return matchesAny(exclude, relative);
}

bool scanLocalTree(const std::string &root, const Selection &selection, ManifestEntries &entries,
                   std::vector<Problem> &problems, std::string &error) {
    struct stat st;
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = root + ": not a directory";
        return false;
    }
    TreeWalker walker(root, selection, entries, problems);
    if (!walker.walk("", error)) {
        error = root + ": " + error;
        return false;
    }
    return true;
}

bool describeLocal(const std::string &path, ManifestEntry &entry, std::string &error) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        error = errno == ENOENT ? "vanished before it was read" : strerror(errno);
        return false;
    }
    entry = ManifestEntry();
    entry.mode = st.st_mode & 07777;
    entry.mtimeNs = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    if (S_ISREG(st.st_mode)) {
        entry.type = EntryType::File;
        entry.size = st.st_size;
    } else if (S_ISLNK(st.st_mode)) {
        entry.type = EntryType::Symlink;
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        const ssize_t length = readlink(path.c_str(), &target[0], target.size());
        if (length < 0 || static_cast<size_t>(length) >= target.size()) {
            error = length < 0 ? strerror(errno) : "changed while read";
            return false;
        }
        target.resize(static_cast<size_t>(length));
        entry.linkTarget = target;
    } else if (S_ISDIR(st.st_mode)) {
        entry.type = EntryType::Directory;
    } else {
        error = "skipped: not a regular file, symbolic link or directory";
        return false;
    }
    return true;
}

bool isStorableName(const std::string &name) {
    const unsigned char *text = reinterpret_cast<const unsigned char *>(name.data());
    for (size_t at = 0; at < name.size();) {
        const size_t length = utf8Length(text + at, name.size() - at);
        if (length == 0 || isControl(text[at])) {
            return false;
        }
        at += length;
    }
    return true;
}

std::string printableName(const std::string &name) {
    const unsigned char *text = reinterpret_cast<const unsigned char *>(name.data());
    std::string shown;
    for (size_t at = 0; at < name.size();) {
        const size_t length = utf8Length(text + at, name.size() - at);
        if (length == 0 || isControl(text[at])) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", text[at]);
            shown += escaped;
            ++at;
        } else {
            shown.append(name, at, length);
            at += length;
        }
    }
    return shown;
}

bool fileMd5(const std::string &path, std::string &digest, std::string &error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno == ENOENT ? "vanished before it was read" : strerror(errno);
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr);
    char buffer[1 << 16];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
        EVP_DigestUpdate(context.get(), buffer, static_cast<size_t>(got));
    }
    const int readErrno = errno;
    close(fd);
    if (got < 0) {
        error = strerror(readErrno);
        return false;
    }
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), sum, &length);
    digest.clear();
    for (unsigned int i = 0; i < length; ++i) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", sum[i]);
        digest += hex;
    }
    return true;
}

} // namespace vorncli
