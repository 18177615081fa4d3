// restore: the target's files, links and empty directories back into a local tree, with the
// modes and times the manifest recorded.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "agent_pool.h"
#include "interrupt.h"
#include "progress.h"
#include "remote_tree.h"
#include "target_records.h"
#include "tree_commands.h"

namespace vorncli {

using namespace VORN::Backup;
namespace fs = std::filesystem;

namespace {

// A listed name that stays inside the restore directory.
bool isContainedName(const std::string &name) {
    const fs::path path(name);
    if (name.empty() || path.is_absolute()) {
        return false;
    }
    for (const fs::path &part : path) {
        if (part == "..") {
            return false;
        }
    }
    return true;
}

bool isUnder(const std::string &relative, const std::string &top) {
    return top.empty() || relative == top ||
           (relative.size() > top.size() && relative.compare(0, top.size(), top) == 0 &&
            relative[top.size()] == '/');
}

// A target without a manifest: its files as they are, with the modes and times of new files.
ManifestEntries entriesOfListing(const std::map<std::string, FileInfo> &blobs) {
    ManifestEntries entries;
    for (const auto &[relative, blob] : blobs) {
        if (!isTargetRecord(relative)) {
            ManifestEntry entry;
            entry.size = blob.getSize();
            entries[relative] = entry;
        }
    }
    return entries;
}

bool makeParent(const std::string &path, std::string &error) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    if (ec) {
        error = ec.message();
    }
    return !ec;
}

// Mode (files and directories) and modification time as recorded; nothing for an entry
// that has none (restored from a listing).
bool applyMetadata(const std::string &path, const ManifestEntry &entry, std::string &error) {
    if (entry.mtimeNs == 0) {
        return true;
    }
    if (entry.type != EntryType::Symlink && chmod(path.c_str(), entry.mode) != 0) {
        error = strerror(errno);
        return false;
    }
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(entry.mtimeNs / 1000000000LL),
                                static_cast<long>(entry.mtimeNs % 1000000000LL)}};
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        error = strerror(errno);
        return false;
    }
    return true;
}

bool restoreLink(const std::string &path, const ManifestEntry &entry, std::string &error) {
    if (!makeParent(path, error)) {
        return false;
    }
    unlink(path.c_str());
    if (symlink(entry.linkTarget.c_str(), path.c_str()) != 0) {
        error = strerror(errno);
        return false;
    }
    return applyMetadata(path, entry, error);
}

bool restoreDirectory(const std::string &path, std::string &error) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) {
        error = ec.message();
    }
    return !ec;
}

bool restoreFile(TransferAgent &agent, const std::string &relative, const std::string &path,
                 const ManifestEntry &entry, Progress &progress, std::string &error) {
    if (!makeParent(path, error)) {
        return false;
    }
    if (!agent.recvFile(relative, path, progress.callback())) {
        error = agentFailure(agent);
        return false;
    }
    return applyMetadata(path, entry, error);
}

using PlannedEntry = std::pair<std::string, ManifestEntry>;

struct RestorePlan {
    std::vector<PlannedEntry> files;
    std::vector<PlannedEntry> others; // links and empty directories
    long long bytes = 0;
};

// The selected entries that stay inside the restore directory.
RestorePlan planRestore(const ManifestEntries &entries, const TreeOptions &options,
                        PathReport &report) {
    RestorePlan plan;
    for (const auto &[relative, entry] : entries) {
        if (!isUnder(relative, options.path) || !options.selection.selects(relative)) {
            continue;
        }
        if (!isContainedName(relative)) {
            report.fail(relative, "refused: it leads outside the directory");
        } else if (entry.type == EntryType::File) {
            plan.files.emplace_back(relative, entry);
            plan.bytes += entry.size;
        } else {
            plan.others.emplace_back(relative, entry);
        }
    }
    return plan;
}

// Links after the files, so that no file is written through a restored link; directory
// times last, since creating what is inside them moves them.
void restoreOthers(const RestorePlan &plan, const std::string &root, PathReport &report) {
    for (const auto &[relative, entry] : plan.others) {
        const std::string path = root + "/" + relative;
        std::string error;
        const bool done = entry.type == EntryType::Directory
                              ? restoreDirectory(path, error) && applyMetadata(path, entry, error)
                              : restoreLink(path, entry, error);
        if (!done) {
            report.fail(relative, error);
        }
    }
}

} // namespace

int runRestore(Session &session, const TreeOptions &options) {
    PathReport report("restore");
    AgentPool pool(session);
    if (!pool.open(options.jobs)) {
        return session.status();
    }
    std::map<std::string, FileInfo> blobs;
    ManifestEntries entries;
    bool found = false;
    std::string error;
    if (!listTarget(pool.primary(), blobs, error) ||
        (!blobs.empty() && !fetchManifest(pool.primary(), entries, found, error))) {
        return session.fail(error);
    }
    if (blobs.empty()) {
        return session.fail("target \"" + session.options().targetId + "\" not found",
                            FailureClass::NotFound);
    }
    if (!found) {
        entries = entriesOfListing(blobs);
    }
    const RestorePlan plan = planRestore(entries, options, report);
    if (plan.files.empty() && plan.others.empty() && !options.path.empty()) {
        return session.fail(options.path + ": not in the target", FailureClass::NotFound);
    }
    if (!restoreDirectory(options.localDir, error)) {
        return session.fail(options.localDir + ": " + error);
    }
    Progress progress(plan.bytes, session.showProgress());
    progress.setFileTotal(static_cast<long long>(plan.files.size()));
    std::atomic<long long> restored(0);
    pool.forEach(plan.files.size(), [&](TransferAgent &agent, size_t i) {
        const auto &[relative, entry] = plan.files[i];
        std::string why;
        if (restoreFile(agent, relative, options.localDir + "/" + relative, entry, progress,
                        why)) {
            ++restored;
        } else {
            progress.finish();
            report.fail(relative, why);
        }
        progress.fileDone();
    });
    progress.finish();
    if (interrupted()) {
        return session.fail("stopped");
    }
    restoreOthers(plan, options.localDir, report);
    printf("restored %lld files, %lld failed: %s\n", restored.load(), report.count(),
           transferFigures(progress).c_str());
    return report.count() ? EXIT_FAILURE : EXIT_SUCCESS;
}

} // namespace vorncli
