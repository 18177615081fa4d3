// init, backup and snapshots, and the registration of every snapshot command.
#include <json/json.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "backup.h"
#include "commands.h"
#include "json_output.h"
#include "passphrase.h"
#include "progress.h"
#include "selection.h"
#include "snapshot_commands.h"
#include "snapshot_target.h"
#include "user_stream.h"

namespace vorncli {

using vornengine::Status;

namespace {

struct InitArgs {
    bool noEncryption = false;
};

struct BackupArgs {
    std::string localDir;
    std::vector<std::string> tags;
    int jobs = 4;
    bool json = false;
    Selection selection;
};

std::string absolute(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : path;
}

int runInit(Session &session, const InitArgs &args) {
    SnapshotTarget target(session);
    std::unique_ptr<VORN::Backup::TargetManager> manager = session.targetManager();
    if (!manager || !target.openStore(1)) {
        return session.status();
    }
    const std::string id = session.options().targetId;
    VORN::Backup::TargetInfo info;
    if (!manager->getTarget(id, info) && !manager->createTargetByDirName(id, id)) {
        return session.failTarget(*manager, id);
    }
    std::string passphrase;
    if (!args.noEncryption) {
        const std::string &file = session.options().passwordFile;
        Status status = !file.empty() || getenv("VORN_PASSWORD")
                            ? readPassphrase(file, passphrase)
                            : readNewPassphrase("", passphrase);
        if (!status.isOk()) {
            return target.fail(status);
        }
    }
    Status status = vornengine::Repository::initialize(target.store(), passphrase,
                                                       vornengine::KeyInfo::current());
    if (!status.isOk()) {
        return target.fail(status, id);
    }
    printf("target %s is ready for snapshots (%s)\n", id.c_str(),
           args.noEncryption ? "not encrypted" : "encrypted; keep the passphrase: without it the "
                                                 "backups cannot be read");
    return EXIT_SUCCESS;
}

Json::Value summaryJson(const vornengine::Snapshot &snapshot) {
    const vornengine::BackupSummary &s = snapshot.summary;
    Json::Value json(Json::objectValue);
    json["snapshot"] = snapshot.id.hex();
    json["files_new"] = Json::Int64(s.filesNew);
    json["files_changed"] = Json::Int64(s.filesChanged);
    json["files_unchanged"] = Json::Int64(s.filesUnchanged);
    json["dirs"] = Json::Int64(s.dirs);
    json["bytes_read"] = Json::Int64(s.bytesRead);
    json["bytes_added"] = Json::Int64(s.bytesAdded);
    json["problems"] = Json::Int64(s.problems);
    json["seconds"] = s.seconds;
    return json;
}

int runBackup(Session &session, const BackupArgs &args) {
    SnapshotTarget target(session);
    if (!target.open(args.jobs)) {
        return session.status();
    }
    PathReport report("backup");
    Progress progress(0, session.showProgress() && !args.json);
    vornengine::BackupRequest request;
    request.source = absolute(args.localDir);
    request.tags = args.tags;
    request.hostname = localHostName();
    request.username = localUserName();
    const Selection selection = args.selection;
    request.excluded = [selection](const std::string &relative, bool isDir) {
        return selection.leavesOut(relative, isDir);
    };
    vornengine::BackupObserver observer;
    observer.problem = [&report](const std::string &relative, const std::string &reason) {
        report.fail(relative, reason);
    };
    observer.read = [&progress](int64_t bytes) { progress.add(bytes); };
    vornengine::Snapshot snapshot;
    const Status status = vornengine::runBackup(target.repository(), request, observer, snapshot);
    progress.finish();
    if (!status.isOk()) {
        return target.fail(status);
    }
    const vornengine::BackupSummary &s = snapshot.summary;
    if (args.json) {
        printJson(summaryJson(snapshot));
    } else {
        printf("snapshot %s saved\n", snapshot.id.hex().substr(0, 8).c_str());
        printf("files: %lld new, %lld changed, %lld unchanged; read %s, added %s to the target "
               "in %.1f s\n",
               static_cast<long long>(s.filesNew), static_cast<long long>(s.filesChanged),
               static_cast<long long>(s.filesUnchanged), humanSize(double(s.bytesRead)).c_str(),
               humanSize(double(s.bytesAdded)).c_str(), s.seconds);
    }
    return s.problems ? exitStatus(FailureClass::Failed) : EXIT_SUCCESS;
}

int runSnapshots(Session &session, bool json) {
    SnapshotTarget target(session);
    if (!target.open(4)) {
        return session.status();
    }
    std::vector<vornengine::Snapshot> snapshots;
    const Status status = target.repository().loadSnapshots(snapshots);
    if (!status.isOk()) {
        return target.fail(status);
    }
    vornengine::sortNewestFirst(snapshots);
    if (json) {
        Json::Value list(Json::arrayValue);
        for (auto it = snapshots.rbegin(); it != snapshots.rend(); ++it) {
            Json::Value entry(Json::objectValue);
            entry["id"] = it->id.hex();
            entry["short_id"] = it->id.hex().substr(0, 8);
            entry["time"] = vornengine::rfc3339(it->timeNs);
            entry["hostname"] = it->hostname;
            entry["username"] = it->username;
            entry["tree"] = it->tree.hex();
            entry["paths"] = Json::Value(Json::arrayValue);
            for (const std::string &path : it->paths) {
                entry["paths"].append(path);
            }
            entry["tags"] = Json::Value(Json::arrayValue);
            for (const std::string &tag : it->tags) {
                entry["tags"].append(tag);
            }
            entry["summary"] = summaryJson(*it);
            entry["summary"].removeMember("snapshot");
            list.append(entry);
        }
        printJson(list);
        return EXIT_SUCCESS;
    }
    // Oldest first, as a log reads.
    for (auto it = snapshots.rbegin(); it != snapshots.rend(); ++it) {
        std::string paths, tags;
        for (const std::string &path : it->paths) {
            paths += (paths.empty() ? "" : ",") + path;
        }
        for (const std::string &tag : it->tags) {
            tags += (tags.empty() ? " [" : ",") + tag;
        }
        printf("%s  %s  %s  %s%s%s\n", it->id.hex().substr(0, 8).c_str(),
               vornengine::rfc3339(it->timeNs).substr(0, 19).c_str(), it->hostname.c_str(),
               paths.c_str(), tags.c_str(), tags.empty() ? "" : "]");
    }
    return EXIT_SUCCESS;
}

} // namespace

void addJobsOption(CLI::App *command, int &jobs, const char *what) {
    command->add_option("-j,--jobs", jobs, what)->check(CLI::Range(1, 64))->capture_default_str();
}

void addSelectionOptions(CLI::App *command, Selection &selection) {
    command->add_option("--include", selection.include,
                        "only paths matching GLOB (repeatable; a GLOB without / matches names)")
        ->type_name("GLOB");
    command->add_option("--exclude", selection.exclude, "leave out paths matching GLOB (repeatable)")
        ->type_name("GLOB");
}

void addSnapshotCommands(CommandTable &commands) {
    Session &session = commands.session();

    auto init = std::make_shared<InitArgs>();
    CLI::App *cmd = commands.add("init", "make the --target a snapshot target (created when missing), "
                                         "encrypted unless told otherwise",
                                 [&session, init] { return runInit(session, *init); });
    cmd->add_flag("--no-encryption", init->noEncryption,
                  "store snapshots unencrypted (the choice cannot change later)");

    auto backup = std::make_shared<BackupArgs>();
    cmd = commands.add("backup", "take a snapshot of LOCALDIR: only new content is stored",
                       [&session, backup] { return runBackup(session, *backup); });
    cmd->add_option("LOCALDIR", backup->localDir, "local directory")->required();
    cmd->add_option("--tag", backup->tags, "a tag for the snapshot (repeatable)");
    cmd->add_flag("--json", backup->json, "print the summary as one JSON object");
    addJobsOption(cmd, backup->jobs, "uploads at once, each through its own agent");
    addSelectionOptions(cmd, backup->selection);

    auto json = std::make_shared<bool>(false);
    cmd = commands.add("snapshots", "list the snapshots of the target, oldest first",
                       [&session, json] { return runSnapshots(session, *json); });
    cmd->add_flag("--json", *json, "as a JSON array");

    addRestoreCommands(commands);
    addMaintenanceCommands(commands);
}

} // namespace vorncli
