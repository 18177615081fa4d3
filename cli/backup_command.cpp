// backup: the local tree into the target, sending only what changed since the manifest.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "agent_pool.h"
#include "interrupt.h"
#include "plugin_log.h"
#include "progress.h"
#include "remote_tree.h"
#include "tree_commands.h"

namespace vorncli {

using namespace VORN::Backup;

namespace {

// What one backup run does to each path.
struct BackupPlan {
    ManifestEntries kept;            // recorded without a transfer
    std::vector<std::string> send;   // files to upload
    std::vector<std::string> remove; // files gone from the tree
    long long sendBytes = 0;
};

bool unchanged(const ManifestEntry &now, const ManifestEntry &before, bool byChecksum) {
    if (now.type != before.type || now.size != before.size) {
        return false;
    }
    return byChecksum ? now.md5 == before.md5 : now.mtimeNs == before.mtimeNs;
}

// An entry that keeps what was stored before and takes the file's metadata as it is now.
ManifestEntry refreshed(const ManifestEntry &now, const ManifestEntry &before) {
    ManifestEntry entry = now;
    entry.md5 = before.md5;
    entry.etag = before.etag;
    return entry;
}

BackupPlan makePlan(const std::string &root, ManifestEntries &local, const ManifestEntries &prior,
                    const TreeOptions &options, PathReport &report) {
    BackupPlan plan;
    for (auto &[relative, now] : local) {
        const auto before = prior.find(relative);
        if (now.type != EntryType::File) {
            plan.kept[relative] = now;
            if (before != prior.end() && before->second.type == EntryType::File) {
                plan.remove.push_back(relative); // a file that became a link or a directory
            }
            continue;
        }
        if (before != prior.end() && options.checksum) {
            std::string error;
            if (!fileMd5(root + "/" + relative, now.md5, error)) {
                report.fail(relative, error);
                plan.kept[relative] = before->second;
                continue;
            }
        }
        if (before != prior.end() && unchanged(now, before->second, options.checksum)) {
            plan.kept[relative] = refreshed(now, before->second);
        } else {
            plan.send.push_back(relative);
            plan.sendBytes += now.size;
        }
    }
    for (const auto &[relative, before] : prior) {
        if (local.count(relative) || plan.kept.count(relative)) {
            continue;
        }
        if (options.keepDeleted) {
            plan.kept[relative] = before;
        } else if (before.type == EntryType::File) {
            plan.remove.push_back(relative);
        }
    }
    return plan;
}

enum class SendOutcome : char {
    Stored,
    Untouched, // the blob, if any, still holds what was stored before
    Uncertain, // the blob was written while the file changed
    Refused,   // untouched, and the service refuses the credential: every other file would be too
};

// Uploads one file and gives its manifest entry. A file that changed while it was read is
// refused, so that an entry always describes the bytes stored.
SendOutcome sendOne(TransferAgent &agent, const std::string &root, const std::string &relative,
                    Progress &progress, ManifestEntry &entry, std::string &error) {
    const std::string path = root + "/" + relative;
    ManifestEntry after;
    FileInfo stored(relative);
    if (!describeLocal(path, entry, error) || !fileMd5(path, entry.md5, error)) {
        return SendOutcome::Untouched;
    }
    if (entry.type != EntryType::File) {
        error = "changed while read";
        return SendOutcome::Untouched;
    }
    if (!agent.sendFile(path, relative, progress.callback(), stored)) {
        const Failure failure = transferFailure(agent.getError(), recentPluginLog());
        const bool refused = failure.kind == FailureClass::Access;
        error = refused ? failure.reason : agentFailure(agent);
        return refused ? SendOutcome::Refused : SendOutcome::Untouched;
    }
    if (!describeLocal(path, after, error) || after.size != entry.size ||
        after.mtimeNs != entry.mtimeNs) {
        error = "changed while read";
        return SendOutcome::Uncertain;
    }
    entry.etag = stored.getChecksum();
    return SendOutcome::Stored;
}

// Adds what each upload stored to the plan's entries (or what was stored before, when the
// upload left the blob as it was); the number of files stored.
long long recordOutcomes(BackupPlan &plan, const ManifestEntries &prior,
                         const std::vector<SendOutcome> &outcome,
                         const std::vector<ManifestEntry> &sent) {
    long long stored = 0;
    for (size_t i = 0; i < plan.send.size(); ++i) {
        const auto before = prior.find(plan.send[i]);
        if (outcome[i] == SendOutcome::Stored) {
            plan.kept[plan.send[i]] = sent[i];
            ++stored;
        } else if (outcome[i] != SendOutcome::Uncertain && before != prior.end()) {
            plan.kept[plan.send[i]] = before->second;
        }
    }
    return stored;
}

long long removeBlobs(TransferAgent &agent, const std::vector<std::string> &paths,
                      PathReport &report) {
    long long removed = 0;
    for (const std::string &relative : paths) {
        if (agent.removeFile(relative)) {
            ++removed;
        } else {
            report.fail(relative, "not removed: " + agentFailure(agent));
        }
    }
    return removed;
}

void printPlan(const BackupPlan &plan) {
    for (const std::string &relative : plan.send) {
        printf("would send %s\n", printableName(relative).c_str());
    }
    for (const std::string &relative : plan.remove) {
        printf("would remove %s\n", printableName(relative).c_str());
    }
    printf("dry run: would send %zu files (%lld bytes), remove %zu\n", plan.send.size(),
           plan.sendBytes, plan.remove.size());
}

} // namespace

int runBackup(Session &session, const TreeOptions &options) {
    PathReport report("backup");
    ManifestEntries local;
    std::vector<Problem> problems;
    std::string error;
    if (!scanLocalTree(options.localDir, options.selection, local, problems, error)) {
        return session.fail(error);
    }
    for (const Problem &problem : problems) {
        report.fail(problem.relative, problem.reason);
    }
    AgentPool pool(session);
    if (!pool.open(options.jobs)) {
        return session.status();
    }
    ManifestEntries prior;
    bool found = false;
    if (!fetchManifest(pool.primary(), prior, found, error)) {
        return session.fail(error);
    }
    BackupPlan plan = makePlan(options.localDir, local, prior, options, report);
    if (options.dryRun) {
        printPlan(plan);
        return report.count() ? EXIT_FAILURE : EXIT_SUCCESS;
    }

    Progress progress(plan.sendBytes, session.showProgress());
    progress.setFileTotal(static_cast<long long>(plan.send.size()));
    std::vector<ManifestEntry> sent(plan.send.size());
    std::vector<SendOutcome> outcome(plan.send.size(), SendOutcome::Untouched);
    std::atomic<bool> refused(false);
    std::once_flag refusalTold;
    std::string refusal;
    pool.forEach(plan.send.size(), [&](TransferAgent &agent, size_t i) {
        if (refused) {
            return;
        }
        std::string why;
        outcome[i] = sendOne(agent, options.localDir, plan.send[i], progress, sent[i], why);
        if (outcome[i] == SendOutcome::Refused) {
            // An expired token or a missing permission: the run ends with the service's reason.
            std::call_once(refusalTold, [&] { refusal = why; });
            refused = true;
            return;
        }
        if (outcome[i] != SendOutcome::Stored) {
            progress.finish();
            report.fail(plan.send[i], why);
        }
        progress.fileDone();
    });
    progress.finish();
    if (interrupted()) {
        return session.fail("stopped; the manifest still describes the previous backup");
    }
    if (refused) {
        return session.fail("stopped: " + refusal + "; the manifest still describes the previous backup",
                            FailureClass::Access);
    }
    const long long skipped = fileCount(plan.kept);
    const long long sentFiles = recordOutcomes(plan, prior, outcome, sent);
    // The manifest goes first, so it never names a blob about to be removed.
    if (!storeManifest(pool.primary(), plan.kept, error)) {
        return session.fail(error);
    }
    const long long removed = removeBlobs(pool.primary(), plan.remove, report);
    printf("backed up %lld files, %lld failed: sent %lld (%s), skipped %lld, removed %lld\n",
           fileCount(plan.kept), report.count(), sentFiles, transferFigures(progress).c_str(),
           skipped, removed);
    return report.count() ? EXIT_FAILURE : EXIT_SUCCESS;
}

} // namespace vorncli
