// verify: the target (or a local tree) against the manifest of the last backup.
#include <cstdio>
#include <cstdlib>

#include "agent_pool.h"
#include "remote_tree.h"
#include "target_records.h"
#include "tree_commands.h"
#include "vorn/backup/scoped_temp_file.h"

namespace vorncli {

using namespace VORN::Backup;

namespace {

const char *typeName(EntryType type) {
    switch (type) {
    case EntryType::File:
        return "file";
    case EntryType::Symlink:
        return "symbolic link";
    case EntryType::Directory:
        return "directory";
    }
    return "entry";
}

// Every recorded file is a blob of the recorded size and ETag, and nothing else is stored.
void compareTarget(const ManifestEntries &entries, const std::map<std::string, FileInfo> &blobs,
                   PathReport &report) {
    for (const auto &[relative, entry] : entries) {
        if (entry.type != EntryType::File) {
            continue;
        }
        const auto blob = blobs.find(relative);
        if (blob == blobs.end()) {
            report.fail(relative, "missing from the target");
        } else if (blob->second.getSize() != entry.size) {
            report.fail(relative, "size " + std::to_string(blob->second.getSize()) +
                                      " in the target, " + std::to_string(entry.size) +
                                      " recorded");
        } else if (blob->second.getChecksum() != entry.etag) {
            report.fail(relative, "changed in the target since it was backed up");
        }
    }
    for (const auto &[relative, blob] : blobs) {
        if (!isTargetRecord(relative) && !entries.count(relative)) {
            report.fail(relative, "in the target but not in the manifest");
        }
    }
}

// Downloads every recorded file the target holds and compares its MD5 with the recorded one.
void compareContent(AgentPool &pool, const ManifestEntries &entries,
                    const std::map<std::string, FileInfo> &blobs, PathReport &report) {
    std::vector<const std::pair<const std::string, ManifestEntry> *> files;
    for (const auto &item : entries) {
        if (item.second.type == EntryType::File && blobs.count(item.first)) {
            files.push_back(&item);
        }
    }
    pool.forEach(files.size(), [&](TransferAgent &agent, size_t i) {
        const auto &[relative, entry] = *files[i];
        ScopedTempFile copy;
        std::string digest;
        std::string error;
        if (!copy.isValid()) {
            report.fail(relative, "no temporary file to download into");
        } else if (!agent.recvFile(relative, copy.getPath())) {
            report.fail(relative, agentFailure(agent));
        } else if (!fileMd5(copy.getPath(), digest, error)) {
            report.fail(relative, error);
        } else if (digest != entry.md5) {
            report.fail(relative, "content differs from the MD5 recorded at backup");
        }
    });
}

// The local tree holds every recorded entry as recorded, and nothing more.
void compareLocal(const TreeOptions &options, const ManifestEntries &entries,
                  PathReport &report) {
    ManifestEntries local;
    std::vector<Problem> problems;
    std::string error;
    if (!scanLocalTree(options.localDir, Selection(), local, problems, error)) {
        report.fail(options.localDir, error);
        return;
    }
    for (const Problem &problem : problems) {
        report.fail(problem.relative, problem.reason);
    }
    for (const auto &[relative, entry] : entries) {
        const auto found = local.find(relative);
        if (found == local.end()) {
            report.fail(relative, "missing from the local tree");
            continue;
        }
        const ManifestEntry &now = found->second;
        std::string digest;
        if (now.type != entry.type) {
            report.fail(relative, std::string("a ") + typeName(now.type) + ", recorded as a " +
                                      typeName(entry.type));
        } else if (now.size != entry.size || now.linkTarget != entry.linkTarget) {
            report.fail(relative, "differs from the backup");
        } else if (now.mtimeNs != entry.mtimeNs || now.mode != entry.mode) {
            report.fail(relative, "mode or time differs from the backup");
        } else if (options.checksum && entry.type == EntryType::File &&
                   (!fileMd5(options.localDir + "/" + relative, digest, error) ||
                    digest != entry.md5)) {
            report.fail(relative, digest.empty() ? error : "content differs from the backup");
        }
    }
    for (const auto &[relative, now] : local) {
        if (!entries.count(relative)) {
            report.fail(relative, "not in the backup");
        }
    }
}

} // namespace

int runVerify(Session &session, const TreeOptions &options) {
    PathReport report("verify");
    AgentPool pool(session);
    if (!pool.open(options.deep ? options.jobs : 1)) {
        return session.status();
    }
    ManifestEntries entries;
    bool found = false;
    std::string error;
    if (!fetchManifest(pool.primary(), entries, found, error)) {
        return session.fail(error);
    }
    if (!found) {
        return session.fail("the target holds no manifest: back it up first",
                            FailureClass::NotFound);
    }
    if (!options.localDir.empty()) {
        compareLocal(options, entries, report);
    } else {
        std::map<std::string, FileInfo> blobs;
        if (!listTarget(pool.primary(), blobs, error)) {
            return session.fail(error);
        }
        compareTarget(entries, blobs, report);
        if (options.deep) {
            compareContent(pool, entries, blobs, report);
        }
    }
    printf("verified %lld files, %lld mismatches\n", fileCount(entries), report.count());
    return report.count() ? EXIT_FAILURE : EXIT_SUCCESS;
}

} // namespace vorncli
