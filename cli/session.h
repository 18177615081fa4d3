// Session: global options, the loaded plug-in and the one-line error reports of every command.
#ifndef VORN_CLI_SESSION_H
#define VORN_CLI_SESSION_H

#include <memory>
#include <string>

#include "connection.h"
#include "failure.h"
#include "option_sources.h"
#include "plugin_library.h"
#include "vorn/backup/target_manager.h"
#include "vorn/backup/transfer_agent.h"

namespace vorncli {

struct GlobalOptions {
    ConnectionSettings connection;
    AgentBudget budget;
    std::string targetId;
    std::string passwordFile; // an encrypted target's passphrase, never given on the command line
    bool quiet = false;
    int verbosity = 0;        // -v: one line per file acted on and the plug-in's log; -vv more
    std::string profile;      // --profile, or VORN_AZURE_PROFILE
    std::string logFile;      // --log-file
    EffectiveSettings settings;
};

class Session {
public:
    GlobalOptions &options();

    // Names the running command in every report that follows.
    void beginCommand(const std::string &name);

    // A transfer agent working inside the --target, with the transfer option and the Ctrl-C
    // cancel hook set; null (after a report) without a target or when the connection or the
    // plug-in fails.
    std::unique_ptr<VORN::Backup::TransferAgent> transferAgent();
    // A target manager on the destination, with the transfer option set; null as above.
    std::unique_ptr<VORN::Backup::TargetManager> targetManager();
    // True when the --target of `agent` exists in the container (a host target or a snapshot
    // target); false after a report (exit 3 naming `targets` and `create-target` when not). Commands that work inside a target
    // call it before their first change, except the one that creates the target.
    bool requireTarget(VORN::Backup::TransferAgent &agent);
    // transferAgent() for a target that must exist; null after a report.
    std::unique_ptr<VORN::Backup::TransferAgent> existingTargetAgent();

    // True when transfers draw a progress bar: the user stream is a terminal and not --quiet.
    bool showProgress() const;
    // One line about a file acted on ("sent a.txt as dir/a.txt (12 B)"): on the user stream
    // with -v, and in the --log-file.
    void note(const std::string &line) const;

    // Report a failure as "vorn-azure: COMMAND: [SUBJECT: ]what happened: why" and return
    // its class's exit status (130 whenever Ctrl-C stopped the operation).
    int failTransfer(const VORN::Backup::TransferAgent &agent, const std::string &subject = "");
    int failTarget(const VORN::Backup::TargetManager &manager, const std::string &subject = "");
    // A failure found by the command line itself.
    int fail(const std::string &message, FailureClass kind = FailureClass::Failed);
    int fail(const Failure &failure);
    // Which credential the plug-in was given, without any secret; "" before the first agent.
    std::string credentialInUse() const;
    // The exit status of the last failure reported, for a caller handed a null agent.
    int status() const;

private:
    bool open();
    bool checkDestination();
    // The plug-in's failure, with the endpoint named when the service was not reached, and the
    // reason found by asking the endpoint when the plug-in gave none.
    Failure pluginFailure(Failure failure);
    int report(const Failure &failure, const std::string &subject);

    GlobalOptions m_options;
    std::string m_command;
    bool m_opened = false;
    int m_status = 0;
    Connection m_connection;
    PluginLibrary m_plugin;
};

} // namespace vorncli

#endif
