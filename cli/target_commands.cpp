// Commands on the backup targets in the container and the task configuration kept in a target.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <memory>
#include <vector>

#include "commands.h"
#include "json_output.h"
#include "vorn/backup/task.h"

namespace vorncli {

using namespace VORN::Backup;

namespace {

struct TwoNames {
    std::string first;
    std::string second;
};

struct TaskSettings {
    int taskId = 0;
    std::vector<std::string> assignments;
};

struct TaskConfigTarget {
    std::string targetId;
    int taskId = 0;
};

int runTargets(Session &session, bool json) {
    std::unique_ptr<TargetManager> manager = session.targetManager();
    if (!manager) {
        return session.status();
    }
    std::list<TargetInfo> targets;
    if (!manager->listTarget(targets)) {
        return session.failTarget(*manager);
    }
    Json::Value ids(Json::arrayValue);
    for (const TargetInfo &target : targets) {
        if (json) {
            ids.append(target.targetId);
        } else {
            puts(target.targetId.c_str());
        }
    }
    if (json) {
        printJson(ids);
    }
    return EXIT_SUCCESS;
}

int runCreateTarget(Session &session, const TwoNames &args) {
    std::unique_ptr<TargetManager> manager = session.targetManager();
    if (!manager) {
        return session.status();
    }
    const std::string id = manager->createTarget(args.first, args.second, 0);
    if (id.empty()) {
        return session.failTarget(*manager);
    }
    puts(id.c_str());
    return EXIT_SUCCESS;
}

int runCandidate(Session &session) {
    std::unique_ptr<TargetManager> manager = session.targetManager();
    if (!manager) {
        return session.status();
    }
    std::string dir;
    if (!manager->getCandidateDir(dir)) {
        return session.failTarget(*manager);
    }
    puts(dir.c_str());
    return EXIT_SUCCESS;
}

int runAdopt(Session &session, const TwoNames &args) {
    std::unique_ptr<TargetManager> manager = session.targetManager();
    if (!manager) {
        return session.status();
    }
    return manager->createTargetByDirName(args.first, args.second) ? EXIT_SUCCESS
                                                                   : session.failTarget(*manager);
}

// "true"/"false" become booleans and whole numbers integers, as the host's readers expect
// (the transfer option is read as a boolean); anything else stays text.
void setTaskOption(OptionMap &options, const std::string &key, const std::string &value) {
    if (value == "true" || value == "false") {
        options.optSet(key, value == "true");
        return;
    }
    char *end = nullptr;
    errno = 0;
    const long long number = strtoll(value.c_str(), &end, 10);
    if (!value.empty() && *end == '\0' && errno == 0) {
        options.optSet(key, number);
    } else {
        options.optSet(key, value);
    }
}

int runTaskCreate(Session &session, const TaskSettings &args) {
    Task task(args.taskId);
    for (const std::string &assignment : args.assignments) {
        const std::string::size_type eq = assignment.find('=');
        setTaskOption(task.getOptions(), assignment.substr(0, eq), assignment.substr(eq + 1));
    }
    if (!task.save()) {
        return session.fail("cannot save task " + std::to_string(args.taskId) + " in " +
                            Task::storeDir());
    }
    return EXIT_SUCCESS;
}

int runSetTaskConfig(Session &session, const TaskConfigTarget &args) {
    std::unique_ptr<TargetManager> manager = session.targetManager();
    if (!manager) {
        return session.status();
    }
    return manager->setTaskConfig(args.targetId, args.taskId) ? EXIT_SUCCESS
                                                              : session.failTarget(*manager);
}

int runTaskConfigTime(Session &session, const std::string &targetId) {
    std::unique_ptr<TargetManager> manager = session.targetManager();
    if (!manager) {
        return session.status();
    }
    long mtime = 0;
    if (!manager->getTaskConfigTimestamp(targetId, mtime)) {
        return session.failTarget(*manager);
    }
    printf("%ld\n", mtime);
    return EXIT_SUCCESS;
}

// KEY=VALUE with a non-empty key.
std::string checkAssignment(const std::string &text) {
    const std::string::size_type eq = text.find('=');
    return eq == std::string::npos || eq == 0 ? "expected KEY=VALUE, got \"" + text + "\"" : "";
}

} // namespace

void addTargetCommands(CommandTable &commands) {
    Session &session = commands.session();
    auto json = std::make_shared<bool>(false);
    commands.add("targets", "list the backup targets in the container",
                 [&session, json] { return runTargets(session, *json); })
        ->add_flag("--json", *json, "as a JSON array");

    auto create = std::make_shared<TwoNames>();
    CLI::App *cmd = commands.add("create-target", "create a target under a free id BASE<n>",
                                 [&session, create] { return runCreateTarget(session, *create); });
    cmd->add_option("BASE", create->first, "base of the new target's id")->required();
    cmd->add_option("LINKKEY", create->second, "link key recorded in the target")->required();

    commands.add("candidate", "propose a free target directory name from the host name",
                 [&session] { return runCandidate(session); });

    auto adopt = std::make_shared<TwoNames>();
    cmd = commands.add("adopt", "make directory DIR a target, or adopt it if LINKKEY matches",
                       [&session, adopt] { return runAdopt(session, *adopt); });
    cmd->add_option("DIR", adopt->first, "top-level directory of the container")->required();
    cmd->add_option("LINKKEY", adopt->second, "link key of the backup set")->required();

    auto task = std::make_shared<TaskSettings>();
    cmd = commands.add("task-create", "store a task and its options in the local task store",
                       [&session, task] { return runTaskCreate(session, *task); });
    cmd->add_option("TASK_ID", task->taskId, "task number")->required();
    cmd->add_option("OPTIONS", task->assignments,
                    "KEY=VALUE pairs (true, false and whole numbers are typed)")
        ->check(checkAssignment);

    auto config = std::make_shared<TaskConfigTarget>();
    cmd = commands.add("set-task-config", "store a task's options in a target",
                       [&session, config] { return runSetTaskConfig(session, *config); });
    cmd->add_option("TARGET", config->targetId, "target id")->required();
    cmd->add_option("TASK_ID", config->taskId, "task number")->required();

    auto timeTarget = std::make_shared<std::string>();
    cmd = commands.add("task-config-time",
                       "print the modification time of a target's task configuration",
                       [&session, timeTarget] { return runTaskConfigTime(session, *timeTarget); });
    cmd->add_option("TARGET", *timeTarget, "target id")->required();
}

} // namespace vorncli
