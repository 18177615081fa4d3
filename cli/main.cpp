// vorn-azure: a command-line host for the Azure Blob plug-in, one command per host operation.
#include <syslog.h>

#include <cstdio>
#include <cstdlib>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "failure.h"
#include "interrupt.h"
#include "plugin_log.h"
#include "session.h"
#include "user_stream.h"

namespace {

const char *const FOOTER =
    "\nSign in with one of: the account key, best given through AZURE_STORAGE_KEY or\n"
    "AZURE_STORAGE_CONNECTION_STRING (AccountName, AccountKey, BlobEndpoint,\n"
    "DefaultEndpointsProtocol, EndpointSuffix), where other users cannot see it; a SAS\n"
    "token in AZURE_STORAGE_SAS_TOKEN or --sas-token-file (the token, or the container\n"
    "URL that carries it), or SharedAccessSignature in the connection string; Microsoft\n"
    "Entra ID with --auth entra or AZURE_STORAGE_AUTH_MODE=login (a service principal\n"
    "in AZURE_CLIENT_ID, AZURE_TENANT_ID, AZURE_CLIENT_SECRET, a managed identity, or\n"
    "the Azure CLI's login). With none of these, nor an account, the local storage\n"
    "emulator's development account is used at http://127.0.0.1:10000/devstoreaccount1.\n"
    "\nThe agents of one command share --streams connections and --memory MiB for data moving\n"
    "ahead of the plug-in; with --jobs N each of the N agents gets 1/N of both.\n"
    "\nExit status: 0 ok, 1 failed, 2 usage, 3 not found, 4 credentials or access\n"
    "refused, 5 network or service unavailable (worth retrying later), 6 integrity\n"
    "check failed, 130 interrupted.";

void addGlobalOptions(CLI::App &app, vorncli::GlobalOptions &options, int &verbosity) {
    vorncli::ConnectionSettings &connection = options.connection;
    app.add_option("--account", connection.account, "storage account name")
        ->envname("AZURE_STORAGE_ACCOUNT");
    app.add_option("--key", connection.key, "storage account key")->envname("AZURE_STORAGE_KEY");
    app.add_option("--sas-token-file", connection.sasTokenFile,
                   "file holding a SAS token, or the container URL that carries one");
    app.add_option("--auth", connection.auth, "sign in with: key, sas or entra")
        ->envname("AZURE_STORAGE_AUTH_MODE");
    app.add_option("--endpoint", connection.endpoint, "blob service URL")
        ->envname("AZURE_BLOB_ENDPOINT");
    connection.container = "backups";
    app.add_option("--container", connection.container, "container name")
        ->envname("VORN_AZURE_CONTAINER")
        ->capture_default_str();
    app.add_flag("--http", connection.http, "transfer without TLS (plain http)");
    app.add_option("--target", options.targetId, "target id the file commands work inside");
    app.add_option("--password-file", options.passwordFile,
                   "file holding the passphrase of an encrypted snapshot target (else "
                   "VORN_PASSWORD, else asked on the terminal)")
        ->type_name("FILE");
    app.add_option("--streams", options.budget.streams,
                   "parallel connections of all agents together")
        ->check(CLI::Range(1, 1024))
        ->capture_default_str();
    app.add_option("--memory", options.budget.memoryMib,
                   "MiB held by data moving ahead, all agents together")
        ->type_name("MIB")
        ->check(CLI::Range(1, 1 << 20))
        ->capture_default_str();
    app.add_flag("-v,--verbose", verbosity,
                 "show the plug-in's log lines; twice adds debug lines and the agent's output");
    app.add_flag("-q,--quiet", options.quiet, "show failures only (no progress bar)");
    app.set_version_flag("--version", VORN_VERSION);
}

// What only the environment gives (values no command line should show), and whether the
// container was named or is the default.
void takeFromEnvironment(const CLI::App &app, vorncli::ConnectionSettings &connection) {
    if (const char *connectionString = getenv("AZURE_STORAGE_CONNECTION_STRING")) {
        connection.connectionString = connectionString;
    }
    if (const char *sasToken = getenv("AZURE_STORAGE_SAS_TOKEN")) {
        connection.sasToken = sasToken;
    }
    connection.containerGiven = app.get_option("--container")->count() > 0;
}

std::string commandList(const CLI::App &app) {
    std::string list;
    for (const CLI::App *command : app.get_subcommands({})) {
        list += (list.empty() ? "" : ", ") + command->get_name();
    }
    return list;
}

// CLI11's words for a missing or unknown command name no command; these do.
int reportUsage(CLI::App &app, const CLI::ParseError &error) {
    const bool noCommand = app.get_subcommands().empty();
    const std::vector<std::string> rest = app.remaining();
    if (noCommand && !rest.empty() && rest.front().compare(0, 1, "-") != 0) {
        fprintf(stderr, "vorn-azure: unknown command \"%s\"; the commands are: %s\n",
                rest.front().c_str(), commandList(app).c_str());
    } else if (noCommand && dynamic_cast<const CLI::RequiredError *>(&error)) {
        fprintf(stderr, "vorn-azure: a command is required: %s\n", commandList(app).c_str());
    } else {
        return app.exit(error) == 0 ? EXIT_SUCCESS : vorncli::exitStatus(vorncli::FailureClass::Usage);
    }
    return vorncli::exitStatus(vorncli::FailureClass::Usage);
}

// What reaches the terminal besides the commands' own output: the plug-in's log lines with
// -v (its debug lines with -vv), and with -vv what the plug-in and its agents write on
// standard error.
void setUpOutput(int verbosity) {
    vorncli::showPluginLog(verbosity > 1 ? LOG_DEBUG : verbosity > 0 ? LOG_INFO : -1);
    vorncli::captureStandardError(verbosity > 1);
}

} // namespace

int main(int argc, char **argv) {
    vorncli::Session session;
    int verbosity = 0;
    CLI::App app("Keeps backup data in Azure Blob Storage through the destination plug-in.",
                 "vorn-azure");
    app.require_subcommand(1);
    app.footer(FOOTER);
    // Global options are also taken after the command.
    app.fallthrough();
    addGlobalOptions(app, session.options(), verbosity);

    vorncli::CommandTable commands(app, session);
    vorncli::addContainerCommands(commands);
    vorncli::addTargetCommands(commands);
    vorncli::addFileCommands(commands);
    vorncli::addSnapshotCommands(commands);
    vorncli::addKeyCommands(commands);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        return reportUsage(app, error);
    }
    takeFromEnvironment(app, session.options().connection);
    setUpOutput(verbosity);
    vorncli::installInterruptHandler();
    const int status = commands.runParsed();
    vorncli::releaseStandardError();
    return status;
}
