#include "restorer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "restore_content.h"
#include "restore_fs.h"
#include "walker.h"

namespace vornengine {

namespace {

struct Entry {
    std::string relative; // in the snapshot: what reports and exclusions name
    std::string placed;   // below the target
    Node node;
};

// A further name of a file with several links, linked to the first one restored.
struct HardLink {
    size_t entry, first;
    bool replacing;
};

// "a//b/" and "/a/b" name "a/b".
std::string normalizedPath(const std::string &path) {
    std::string normal;
    for (size_t start = 0; start <= path.size();) {
        const size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start) {
            normal += (normal.empty() ? "" : "/") + path.substr(start, slash - start);
        }
        start = slash + 1;
    }
    return normal;
}

class Restore {
public:
    Restore(Repository &repository, const RestoreRequest &request, const RestoreObserver &observer,
            RestoreSummary &summary)
        : m_repository(repository), m_request(request), m_observer(observer), m_summary(summary),
          m_selected(normalizedPath(request.path)) {}

    Status run(const Snapshot &snapshot) {
        Status status = collect(snapshot);
        if (!status.isOk()) {
            return status;
        }
        std::error_code error;
        std::filesystem::create_directories(m_request.target, error);
        if (error || !std::filesystem::is_directory(m_request.target)) {
            return Status::failed(m_request.target + ": " +
                                  (error ? error.message() : std::string("not a directory")));
        }
        m_done.assign(m_entries.size(), 0);
        placeEntries();
        if (!(status = fetchContent()).isOk()) {
            return status;
        }
        placeHardLinks();
        finishDirectories();
        // One flush for everything, instead of one per file.
        syncFileSystem(m_request.target);
        return Status::ok();
    }

private:
    std::string pathOf(const Entry &entry) const { return m_request.target + "/" + entry.placed; }

    Status collect(const Snapshot &snapshot) {
        auto visit = [this](const std::string &below, const Node &node, Visit &next) {
            return take(below, node, next);
        };
        if (m_selected.empty()) {
            return walkTree(m_repository, snapshot.tree, visit);
        }
        Node node;
        Status status = findNode(m_repository, snapshot.tree, m_selected, node);
        Visit next = Visit::Continue;
        if (status.isOk()) {
            status = take("", node, next);
        }
        if (status.isOk() && node.type == NodeType::Dir && next == Visit::Continue) {
            status = walkTree(m_repository, node.subtree, visit);
        }
        return status;
    }

    // Keeps the entry at `below` (under the selected path) when it is to be restored.
    Status take(const std::string &below, const Node &node, Visit &next) {
        if (m_repository.cancelled()) {
            return Status::interrupted();
        }
        const std::string relative = m_selected.empty() ? below
                                     : below.empty()    ? m_selected
                                                        : m_selected + "/" + below;
        if (m_request.excluded && m_request.excluded(relative, node.type == NodeType::Dir)) {
            next = Visit::SkipSubtree;
            return Status::ok();
        }
        if (node.type == NodeType::Socket) {
            return Status::ok(); // a socket belongs to the process that made it
        }
        std::string placed;
        if (!isSafeName(node.name) || !placeInTarget(m_selected, below, placed)) {
            problem(relative, "refused: its name could lead outside the target");
            next = Visit::SkipSubtree;
            return Status::ok();
        }
        m_entries.push_back(Entry{relative, placed, node});
        return Status::ok();
    }

    // Directories, links and other nodes now, in walk order so parents come first; files wait
    // for their content.
    void placeEntries() {
        std::string dropped; // a directory whose content cannot be restored
        for (size_t i = 0; i < m_entries.size(); ++i) {
            const Entry &entry = m_entries[i];
            if (!dropped.empty() && entry.placed.compare(0, dropped.size() + 1, dropped + "/") == 0) {
                continue;
            }
            const std::string path = pathOf(entry);
            const bool isDir = entry.node.type == NodeType::Dir;
            struct stat info;
            const bool exists = lstat(path.c_str(), &info) == 0;
            if (!exists && errno != ENOENT) {
                problem(entry.relative, strerror(errno));
                dropped = isDir ? entry.placed : dropped;
                continue;
            }
            const RestoreAction action = decideAction(m_request.overwrite, exists ? &info : nullptr, entry.node);
            if (action == RestoreAction::Blocked) {
                problem(entry.relative, "a directory is in the way");
            } else if (isDir) {
                if (!placeDirectory(i, exists ? &info : nullptr, action)) {
                    dropped = entry.placed;
                }
            } else if (action == RestoreAction::Skip) {
                count(m_summary.skipped);
                m_done[i] = 1; // what is there stands for it, also as the target of hard links
                firstLinkOf(i);
            } else if (entry.node.type == NodeType::File) {
                const bool replacing = action == RestoreAction::Replace;
                const auto first = firstLinkOf(i);
                if (first != i) {
                    m_links.push_back(HardLink{i, first, replacing});
                } else {
                    m_contents.push_back(ContentFile{path, &entry.node, replacing});
                    m_contentEntries.push_back(i);
                }
            } else {
                placeOther(i, action == RestoreAction::Replace);
            }
        }
    }

    // The first entry restored as the file `i` is a link of: `i` itself when it is the first.
    size_t firstLinkOf(size_t i) {
        const Node &node = m_entries[i].node;
        if (node.type != NodeType::File || node.links < 2) {
            return i;
        }
        return m_firstLinks.emplace(std::make_pair(node.device, node.inode), i).first->second;
    }

    // False when nothing below the directory can be restored.
    bool placeDirectory(size_t i, const struct stat *existing, RestoreAction action) {
        const Entry &entry = m_entries[i];
        if (action == RestoreAction::Skip) {
            count(m_summary.skipped);
            return S_ISDIR(existing->st_mode); // kept as it is; never entered when not a directory
        }
        const Status status = makeDirectory(pathOf(entry), existing);
        if (!status.isOk()) {
            problem(entry.relative, status.message());
            return false;
        }
        m_dirs.push_back(i);
        return true;
    }

    // Made at its place, or beside it and renamed over what is there.
    Status makeInPlace(const std::string &path, bool replacing,
                       const std::function<Status(const std::string &at)> &make) {
        if (!replacing) {
            return make(path);
        }
        TempEntry temp;
        Status status = temp.create(path);
        if (status.isOk()) {
            temp.clear();
            status = make(temp.path());
        }
        return status.isOk() ? temp.place(path) : status;
    }

    void placeOther(size_t i, bool replacing) {
        const Entry &entry = m_entries[i];
        Status metadata;
        const Status made = makeInPlace(pathOf(entry), replacing, [&](const std::string &at) {
            const Status status = makeOther(at, entry.node);
            metadata = status.isOk() ? applyMetadata(at, entry.node) : Status::ok();
            return status;
        });
        settled(i, made, metadata, m_summary.others);
    }

    // Content for every file waiting for it, each file settled as it is done.
    Status fetchContent() {
        ContentEvents events;
        events.failed = [this](size_t f, const Status &why) {
            settled(m_contentEntries[f], why, Status::ok(), m_summary.files);
        };
        events.placed = [this](size_t f, const Status &metadata) {
            settled(m_contentEntries[f], Status::ok(), metadata, m_summary.files);
        };
        events.written = [this](int64_t bytes) {
            count(m_summary.bytes, bytes);
            if (m_observer.written) {
                m_observer.written(bytes);
            }
        };
        return writeContent(m_repository, m_contents, events);
    }

    void placeHardLinks() {
        for (const HardLink &link : m_links) {
            const Entry &entry = m_entries[link.entry];
            const Entry &first = m_entries[link.first];
            if (!m_done[link.first]) {
                problem(entry.relative, "not restored: it is a hard link of " + first.relative + ", which was not");
                continue;
            }
            const std::string firstPath = pathOf(first);
            const Status made = makeInPlace(pathOf(entry), link.replacing, [&](const std::string &at) {
                return ::link(firstPath.c_str(), at.c_str()) == 0
                           ? Status::ok()
                           : Status::failed("cannot link it to " + first.relative + ": " + strerror(errno));
            });
            settled(link.entry, made, Status::ok(), m_summary.files);
        }
    }

    // Deepest first, after their content, which would move their times and may need a mode
    // that lets restore write.
    void finishDirectories() {
        for (auto i = m_dirs.rbegin(); i != m_dirs.rend(); ++i) {
            const Entry &entry = m_entries[*i];
            settled(*i, Status::ok(), applyMetadata(pathOf(entry), entry.node), m_summary.dirs);
        }
    }

    // The entry `i` is made (or `made` says why not); `metadata` says whether it got all of it.
    void settled(size_t i, const Status &made, const Status &metadata, int64_t &counter) {
        const Entry &entry = m_entries[i];
        if (!made.isOk()) {
            problem(entry.relative, made.message(), made.code() == Status::Code::Integrity);
            return;
        }
        m_done[i] = 1;
        if (!metadata.isOk()) {
            problem(entry.relative, "restored, but without its " + metadata.message());
        }
        count(counter);
        if (m_observer.restored) {
            m_observer.restored(entry.relative);
        }
    }

    void problem(const std::string &relative, const std::string &reason, bool integrity = false) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_summary.problems;
            m_summary.integrityProblems += integrity;
        }
        if (m_observer.problem) {
            m_observer.problem(relative, reason);
        }
    }

    void count(int64_t &counter, int64_t n = 1) {
        std::lock_guard<std::mutex> lock(m_mutex);
        counter += n;
    }

    Repository &m_repository;
    const RestoreRequest &m_request;
    const RestoreObserver &m_observer;
    RestoreSummary &m_summary;
    const std::string m_selected;
    std::mutex m_mutex; // the summary

    std::vector<Entry> m_entries;
    std::vector<char> m_done; // per entry: in place (or kept), so hard links may point at it
    std::vector<ContentFile> m_contents; // files waiting for their content
    std::vector<size_t> m_contentEntries; // and their entries
    std::map<std::pair<uint64_t, uint64_t>, size_t> m_firstLinks; // device and inode
    std::vector<HardLink> m_links;
    std::vector<size_t> m_dirs; // made or kept, to be finished
};

} // namespace

Status runRestore(Repository &repository, const Snapshot &snapshot, const RestoreRequest &request,
                  const RestoreObserver &observer, RestoreSummary &summary) {
    summary = RestoreSummary();
    Restore restore(repository, request, observer, summary);
    return restore.run(snapshot);
}

} // namespace vornengine
