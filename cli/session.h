// Session: global options, the loaded plug-in and the one-line error reports of every command.
#ifndef VORN_CLI_SESSION_H
#define VORN_CLI_SESSION_H

#include <memory>
#include <string>

#include "connection.h"
#include "failure.h"
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

    // True when transfers draw a progress bar: the user stream is a terminal and not --quiet.
    bool showProgress() const;

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
