// vorn-azure: a command-line host for the Azure Blob plug-in, one command per host operation.
#include <syslog.h>

#include <cstdlib>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "interrupt.h"
#include "session.h"

namespace {

const int EXIT_USAGE = 2;

const char *const ENVIRONMENT_HELP =
    "\nThe account key is best given through AZURE_STORAGE_KEY or\n"
    "AZURE_STORAGE_CONNECTION_STRING (AccountName, AccountKey, BlobEndpoint,\n"
    "DefaultEndpointsProtocol, EndpointSuffix), where other users cannot see it.\n"
    "Without an account, key or connection string the local storage emulator's\n"
    "development account is used at http://127.0.0.1:10000/devstoreaccount1.";

void addGlobalOptions(CLI::App &app, vorncli::GlobalOptions &options, int &verbosity) {
    vorncli::ConnectionSettings &connection = options.connection;
    app.add_option("--account", connection.account, "storage account name")
        ->envname("AZURE_STORAGE_ACCOUNT");
    app.add_option("--key", connection.key, "storage account key")->envname("AZURE_STORAGE_KEY");
    app.add_option("--endpoint", connection.endpoint, "blob service URL")
        ->envname("AZURE_BLOB_ENDPOINT");
    connection.container = "backups";
    app.add_option("--container", connection.container, "container name")
        ->envname("VORN_AZURE_CONTAINER")
        ->capture_default_str();
    app.add_flag("--http", connection.http, "transfer without TLS (plain http)");
    app.add_option("--target", options.targetId, "target id the file commands work below");
    app.add_flag("-v,--verbose", verbosity, "show the plug-in's log lines; twice adds debug lines");
    app.add_flag("-q,--quiet", options.quiet, "no progress bar");
}

// The plug-in logs through syslog itself; -v mirrors its lines on standard error.
void setUpLogging(int verbosity) {
    openlog("vorn-azure", verbosity > 0 ? LOG_PERROR : 0, LOG_USER);
    setlogmask(LOG_UPTO(verbosity > 1 ? LOG_DEBUG : LOG_INFO));
}

} // namespace

int main(int argc, char **argv) {
    vorncli::Session session;
    int verbosity = 0;
    CLI::App app("Keeps backup data in Azure Blob Storage through the destination plug-in.",
                 "vorn-azure");
    app.require_subcommand(1);
    app.footer(ENVIRONMENT_HELP);
    addGlobalOptions(app, session.options(), verbosity);

    vorncli::CommandTable commands(app, session);
    vorncli::addContainerCommands(commands);
    vorncli::addTargetCommands(commands);
    vorncli::addFileCommands(commands);
    vorncli::addTreeCommands(commands);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        const int status = app.exit(error);
        return status == 0 ? EXIT_SUCCESS : EXIT_USAGE;
    }
    if (const char *connectionString = getenv("AZURE_STORAGE_CONNECTION_STRING")) {
        session.options().connection.connectionString = connectionString;
    }
    setUpLogging(verbosity);
    vorncli::installInterruptHandler();
    return commands.runParsed();
}
