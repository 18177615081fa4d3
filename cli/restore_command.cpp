// restore: a snapshot, or one path of it, back into a local directory.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include "progress.h"
#include "restorer.h"
#include "snapshot_commands.h"
#include "snapshot_target.h"

namespace vorncli {

using vornengine::Status;

namespace {

struct RestoreArgs {
    std::string localDir;
    std::string snapshot = "latest";
    std::string path;
    std::string overwrite = "always";
    int jobs = 4;
    Selection selection;
};

const std::map<std::string, vornengine::Overwrite> OVERWRITE = {
    {"always", vornengine::Overwrite::Always},
    {"if-changed", vornengine::Overwrite::IfChanged},
    {"never", vornengine::Overwrite::Never},
};

int runRestore(Session &session, const RestoreArgs &args) {
    SnapshotTarget target(session);
    if (!target.open(args.jobs)) {
        return session.status();
    }
    vornengine::Repository &repository = target.repository();
    std::vector<vornengine::Snapshot> snapshots;
    vornengine::Snapshot snapshot;
    Status status = repository.loadSnapshots(snapshots);
    if (status.isOk()) {
        status = vornengine::findSnapshot(snapshots, args.snapshot, snapshot);
    }
    if (status.isOk()) {
        status = repository.loadIndex();
    }
    if (!status.isOk()) {
        return target.fail(status);
    }
    PathReport report("restore");
    Progress progress(0, session.showProgress());
    vornengine::RestoreRequest request;
    request.target = args.localDir;
    request.path = args.path;
    request.overwrite = OVERWRITE.at(args.overwrite);
    const Selection selection = args.selection;
    request.excluded = [selection](const std::string &relative, bool isDir) {
        return selection.leavesOut(relative, isDir);
    };
    vornengine::RestoreObserver observer;
    observer.problem = [&report](const std::string &relative, const std::string &reason) {
        report.fail(relative, reason);
    };
    observer.written = [&progress](int64_t bytes) { progress.add(bytes); };
    vornengine::RestoreSummary summary;
    status = vornengine::runRestore(repository, snapshot, request, observer, summary);
    progress.finish();
    if (!status.isOk()) {
        return target.fail(status);
    }
    printf("restored snapshot %s: %lld files, %lld directories, %lld others, %s", snapshot.id.hex().substr(0, 8).c_str(),
           static_cast<long long>(summary.files), static_cast<long long>(summary.dirs),
           static_cast<long long>(summary.others), humanSize(double(summary.bytes)).c_str());
    if (summary.skipped) {
        printf(", %lld left as they were", static_cast<long long>(summary.skipped));
    }
    if (summary.problems) {
        printf(", %lld failed", static_cast<long long>(summary.problems));
    }
    printf("\n");
    if (summary.integrityProblems) {
        return exitStatus(FailureClass::Integrity);
    }
    return summary.problems ? exitStatus(FailureClass::Failed) : EXIT_SUCCESS;
}

} // namespace

void addRestoreCommands(CommandTable &commands) {
    Session &session = commands.session();
    auto restore = std::make_shared<RestoreArgs>();
    CLI::App *cmd = commands.add("restore", "bring a snapshot back into LOCALDIR, with its metadata",
                                 [&session, restore] { return runRestore(session, *restore); });
    cmd->add_option("LOCALDIR", restore->localDir, "local directory (created when missing)")->required();
    cmd->add_option("--snapshot", restore->snapshot, "snapshot id, a unique prefix of one, or latest")
        ->capture_default_str();
    cmd->add_option("--path", restore->path, "only this file or directory of the snapshot");
    cmd->add_option("--overwrite", restore->overwrite, "files already in LOCALDIR: always, if-changed, never")
        ->check(CLI::IsMember({"always", "if-changed", "never"}))
        ->capture_default_str();
    addJobsOption(cmd, restore->jobs, "packs read at once, each through its own agent");
    addSelectionOptions(cmd, restore->selection);
}

} // namespace vorncli
