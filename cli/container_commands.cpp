// Commands on the container as a whole, through the plug-in's target manager.
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "json_output.h"

namespace vorncli {

using namespace VORN::Backup;

namespace {

int runStatus(Session &session) {
    std::unique_ptr<TargetManager> manager = session.targetManager();
    if (!manager) {
        return session.status();
    }
    std::string status;
    if (manager->getStatus(status) != 1) {
        return session.failTarget(*manager, "container " + session.options().connection.container);
    }
    puts("reachable");
    printf("credential: %s\n", session.credentialInUse().c_str());
    return EXIT_SUCCESS;
}

int runCreateContainer(Session &session) {
    std::unique_ptr<TargetManager> manager = session.targetManager();
    if (!manager) {
        return session.status();
    }
    return manager->createContainer()
               ? EXIT_SUCCESS
               : session.failTarget(*manager, "container " + session.options().connection.container);
}

int runContainers(Session &session, bool json) {
    std::unique_ptr<TargetManager> manager = session.targetManager();
    if (!manager) {
        return session.status();
    }
    OptionMap options;
    if (!manager->getAvailableOptions(options)) {
        return session.failTarget(*manager);
    }
    Json::Value names;
    options.optGet(Repository::SZK_REMOTE_BUCKET, names);
    if (json) {
        printJson(names.isArray() ? names : Json::Value(Json::arrayValue));
        return EXIT_SUCCESS;
    }
    for (const Json::Value &name : names) {
        puts(name.asString().c_str());
    }
    return EXIT_SUCCESS;
}

} // namespace

void addContainerCommands(CommandTable &commands) {
    Session &session = commands.session();
    commands.add("status", "check that the container is reachable and tell the credential in use",
                 [&session] { return runStatus(session); });
    commands.add("create-container", "create the container",
                 [&session] { return runCreateContainer(session); });
    auto json = std::make_shared<bool>(false);
    commands.add("containers", "list the storage account's containers",
                 [&session, json] { return runContainers(session, *json); })
        ->add_flag("--json", *json, "as a JSON array");
}

} // namespace vorncli
