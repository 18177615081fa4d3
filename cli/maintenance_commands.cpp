// forget, prune, check, diff and ls --snapshot: the snapshot commands that change or read no
// local tree.
#include <json/json.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "checker.h"
#include "diff.h"
#include "forget.h"
#include "json_output.h"
#include "progress.h"
#include "prune.h"
#include "retention.h"
#include "snapshot_commands.h"
#include "snapshot_target.h"
#include "user_stream.h"
#include "walker.h"

namespace vorncli {

using vornengine::Status;

namespace {

struct ForgetArgs {
    vornengine::RetentionPolicy policy;
    bool dryRun = false;
};

struct MaintenanceArgs {
    bool dryRun = false;
    bool readData = false;
    int jobs = 8;
};

// A snapshot named on the command line, with the snapshots and the index loaded.
bool findNamed(SnapshotTarget &target, const std::string &ref, vornengine::Snapshot &snapshot) {
    std::vector<vornengine::Snapshot> snapshots;
    Status status = target.repository().loadSnapshots(snapshots);
    if (status.isOk()) {
        status = vornengine::findSnapshot(snapshots, ref, snapshot);
    }
    if (status.isOk()) {
        status = target.repository().loadIndex();
    }
    if (!status.isOk()) {
        target.fail(status);
        return false;
    }
    return true;
}

int runForget(Session &session, const ForgetArgs &args) {
    SnapshotTarget target(session);
    if (!target.open(8)) {
        return session.status();
    }
    std::vector<vornengine::ForgetDecision> decisions;
    const Status status = vornengine::runForget(target.repository(), args.policy, args.dryRun,
                                                localHostName(), decisions);
    for (const vornengine::ForgetDecision &decision : decisions) {
        std::string reasons;
        for (const std::string &reason : decision.reasons) {
            reasons += (reasons.empty() ? "" : ", ") + reason;
        }
        printf("%s %s  %s  %s%s\n",
               decision.keep ? "keep  " : (args.dryRun ? "would remove" : "remove"),
               decision.snapshot.id.hex().substr(0, 8).c_str(),
               vornengine::rfc3339(decision.snapshot.timeNs).substr(0, 19).c_str(),
               decision.snapshot.hostname.c_str(), reasons.empty() ? "" : ("  (" + reasons + ")").c_str());
    }
    return status.isOk() ? EXIT_SUCCESS : target.fail(status);
}

int runPrune(Session &session, const MaintenanceArgs &args) {
    SnapshotTarget target(session);
    if (!target.open(args.jobs)) {
        return session.status();
    }
    vornengine::PruneSummary summary;
    const Status status = vornengine::runPrune(
        target.repository(), localHostName(), args.dryRun, summary,
        [&session](const std::string &line) {
            if (!session.options().quiet) {
                fprintf(userStream(), "%s\n", line.c_str());
            }
        });
    if (!status.isOk()) {
        return target.fail(status);
    }
    printf("%s\n", vornengine::describe(summary, args.dryRun).c_str());
    return EXIT_SUCCESS;
}

int runCheck(Session &session, const MaintenanceArgs &args) {
    SnapshotTarget target(session);
    if (!target.open(args.jobs)) {
        return session.status();
    }
    vornengine::CheckReport report;
    const Status status = vornengine::runCheck(target.repository(), args.readData, report,
                                               [](const std::string &) {});
    for (const std::string &line : report.missing) {
        fprintf(userStream(), "vorn-azure: check: missing: %s\n", line.c_str());
    }
    for (const std::string &line : report.damaged) {
        fprintf(userStream(), "vorn-azure: check: damaged: %s\n", line.c_str());
    }
    if (!status.isOk()) {
        return target.fail(status);
    }
    if (!report.damaged.empty()) {
        return exitStatus(FailureClass::Integrity);
    }
    if (!report.missing.empty()) {
        return exitStatus(FailureClass::Failed);
    }
    printf("no problems found%s\n", args.readData ? " (every stored object read and checked)" : "");
    return EXIT_SUCCESS;
}

int runDiff(Session &session, const std::pair<std::string, std::string> &ids) {
    SnapshotTarget target(session);
    vornengine::Snapshot first, second;
    if (!target.open(4) || !findNamed(target, ids.first, first) ||
        !findNamed(target, ids.second, second)) {
        return session.status();
    }
    std::vector<vornengine::DiffEntry> entries;
    const Status status = vornengine::diffSnapshots(target.repository(), first, second, entries);
    if (!status.isOk()) {
        return target.fail(status);
    }
    for (const vornengine::DiffEntry &entry : entries) {
        printf("%c %s\n", entry.kind, printableName(entry.path).c_str());
    }
    return EXIT_SUCCESS;
}

void addPolicyOption(CLI::App *cmd, const char *name, int &count, const char *what) {
    cmd->add_option(name, count, what)->check(CLI::Range(0, 1000000))->type_name("N");
}

} // namespace

int listSnapshot(Session &session, const std::string &ref, const std::string &path,
                 bool recursive, bool longFormat, bool json) {
    SnapshotTarget target(session);
    vornengine::Snapshot snapshot;
    if (!target.open(4) || !findNamed(target, ref, snapshot)) {
        return session.status();
    }
    vornengine::Repository &repository = target.repository();
    vornengine::ObjectId tree = snapshot.tree;
    std::string prefix;
    if (!path.empty()) {
        vornengine::Node node;
        Status status = vornengine::findNode(repository, snapshot.tree, path, node);
        if (!status.isOk()) {
            return target.fail(status);
        }
        if (node.type != vornengine::NodeType::Dir) {
            printf("%s\n", printableName(path).c_str());
            return EXIT_SUCCESS;
        }
        tree = node.subtree;
        prefix = path;
    }
    Json::Value list(Json::arrayValue);
    const Status status = vornengine::walkTree(
        repository, tree,
        [&](const std::string &relative, const vornengine::Node &node, vornengine::Visit &next) {
            next = recursive ? vornengine::Visit::Continue : vornengine::Visit::SkipSubtree;
            const std::string shown = prefix.empty() ? relative : prefix + "/" + relative;
            if (json) {
                Json::Value entry(Json::objectValue);
                entry["path"] = shown;
                entry["type"] = vornengine::nodeTypeName(node.type);
                entry["size"] = Json::Int64(node.size);
                entry["mode"] = node.mode;
                entry["mtime"] = vornengine::rfc3339(node.mtimeNs);
                list.append(entry);
            } else if (longFormat) {
                printf("%-8s %04o %8s %s  %s\n", vornengine::nodeTypeName(node.type), node.mode,
                       humanSize(double(node.size)).c_str(),
                       vornengine::rfc3339(node.mtimeNs).substr(0, 19).c_str(), printableName(shown).c_str());
            } else {
                printf("%s\n", printableName(shown).c_str());
            }
            return Status::ok();
        });
    if (!status.isOk()) {
        return target.fail(status);
    }
    if (json) {
        printJson(list);
    }
    return EXIT_SUCCESS;
}

void addMaintenanceCommands(CommandTable &commands) {
    Session &session = commands.session();

    auto forget = std::make_shared<ForgetArgs>();
    CLI::App *cmd = commands.add("forget", "remove the snapshot records a retention policy does not keep "
                                           "(the data goes with prune)",
                                 [&session, forget] { return runForget(session, *forget); });
    vornengine::RetentionPolicy &policy = forget->policy;
    addPolicyOption(cmd, "--keep-last", policy.last, "keep the N newest snapshots");
    addPolicyOption(cmd, "--keep-hourly", policy.hourly, "keep the newest of each of the last N hours");
    addPolicyOption(cmd, "--keep-daily", policy.daily, "keep the newest of each of the last N days");
    addPolicyOption(cmd, "--keep-weekly", policy.weekly, "keep the newest of each of the last N weeks");
    addPolicyOption(cmd, "--keep-monthly", policy.monthly, "keep the newest of each of the last N months");
    addPolicyOption(cmd, "--keep-yearly", policy.yearly, "keep the newest of each of the last N years");
    cmd->add_flag("--dry-run", forget->dryRun, "show what would be removed, remove nothing");

    auto prune = std::make_shared<MaintenanceArgs>();
    cmd = commands.add("prune", "remove the data no snapshot needs (the target is locked meanwhile)",
                       [&session, prune] { return runPrune(session, *prune); });
    cmd->add_flag("--dry-run", prune->dryRun, "show what would be removed, remove nothing");
    addJobsOption(cmd, prune->jobs, "requests at once, each through its own agent");

    auto check = std::make_shared<MaintenanceArgs>();
    cmd = commands.add("check", "verify the target: every piece a snapshot needs is there "
                                "(--read-data: and intact)",
                       [&session, check] { return runCheck(session, *check); });
    cmd->add_flag("--read-data", check->readData, "download every stored object and check it");
    addJobsOption(cmd, check->jobs, "downloads at once, each through its own agent");

    auto ids = std::make_shared<std::pair<std::string, std::string>>();
    cmd = commands.add("diff", "what changed between two snapshots: + added, - removed, M content, "
                               "T type, m metadata",
                       [&session, ids] { return runDiff(session, *ids); });
    cmd->add_option("ID1", ids->first, "the older snapshot")->required();
    cmd->add_option("ID2", ids->second, "the newer snapshot")->required();
}

} // namespace vorncli
