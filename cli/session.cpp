#include "session.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "agent_protocol.h"
#include "interrupt.h"
#include "log_file.h"
#include "plugin_log.h"
#include "preflight.h"
#include "user_stream.h"
#include "format.h"
#include "vorn/backup/backup_info_db.h"

namespace vorncli {

using namespace VORN::Backup;

namespace {

// The agent reads its endpoint from the environment it inherits from the plug-in's host.
void exportEndpoint(const std::string &endpoint) {
    if (endpoint.empty()) {
        unsetenv(ENV_ENDPOINT);
    } else {
        setenv(ENV_ENDPOINT, endpoint.c_str(), 1);
    }
}

// Run from the build tree, the agent is the build's own, found through the build's sysroot,
// even when another is installed; VORN_SYSROOT says otherwise.
void useBuildSysrootInBuildTree() {
    if (getenv("VORN_SYSROOT") || !PluginLibrary::runningFromBuildTree()) {
        return;
    }
    setenv("VORN_SYSROOT", VORN_BUILD_SYSROOT, 1);
}

} // namespace

GlobalOptions &Session::options() {
    return m_options;
}

void Session::beginCommand(const std::string &name) {
    m_command = name;
}

bool Session::open() {
    if (m_opened) {
        return true;
    }
    std::string error;
    if (!resolveConnection(m_options.connection, m_connection, error)) {
        fail(error, FailureClass::Usage);
        return false;
    }
    if (!checkDestination()) {
        return false;
    }
    if (!m_plugin.load(PluginLibrary::defaultPath(), error)) {
        fail(error);
        return false;
    }
    exportEndpoint(m_connection.endpoint);
    // One agent has the whole budget; a pool of them shares it.
    exportAgentShare(m_options.budget);
    useBuildSysrootInBuildTree();
    m_opened = true;
    return true;
}

// Faults the service would only answer with a bare refusal, or the host retry for half a
// minute, are told before any agent starts.
bool Session::checkDestination() {
    // The agent would refuse to start, or the service the credential.
    const std::string problem = credentialProblem(m_connection, time(nullptr));
    if (!problem.empty()) {
        fail(problem, FailureClass::Access);
        return false;
    }
    Failure failure;
    if (!checkContainerName(m_connection.container, failure) ||
        !checkAccountPath(m_connection, failure) || !checkLoopbackListener(m_connection, failure)) {
        fail(failure);
        return false;
    }
    return true;
}

std::unique_ptr<TransferAgent> Session::transferAgent() {
    // Without a target the files would land at the container's top, beside the targets.
    if (m_options.targetId.empty()) {
        fail("this command works inside a target: give --target ID", FailureClass::Usage);
        return nullptr;
    }
    if (!open()) {
        return nullptr;
    }
    std::unique_ptr<TransferAgent> agent = m_plugin.makeTransferAgent(makeRepository(m_connection));
    if (!agent) {
        fail("the plug-in made no transfer agent");
        return nullptr;
    }
    agent->setTransferOption(makeTransferTask(m_connection));
    agent->setTargetId(m_options.targetId);
    agent->setCancelHook(&interrupted);
    forgetPluginLog();
    return agent;
}

// A target holds the host's info database, or (a snapshot target) the snapshot configuration.
bool Session::requireTarget(TransferAgent &agent) {
    if (agent.isFileExist(BackupInfoDb::FILE_NAME) ||
        (agent.getError() == TRANSFER_ERR_NOT_FOUND && agent.isFileExist(vornengine::CONFIG_NAME))) {
        return true;
    }
    if (agent.getError() != TRANSFER_ERR_NOT_FOUND) {
        failTransfer(agent, "target " + agent.getTargetId());
        return false;
    }
    fail({FailureClass::NotFound,
          "no target \"" + agent.getTargetId() + "\" in container " + m_connection.container +
              ": `vorn-azure targets` lists the targets, `vorn-azure create-target BASE LINKKEY` "
              "creates one"});
    return false;
}

std::unique_ptr<TransferAgent> Session::existingTargetAgent() {
    std::unique_ptr<TransferAgent> agent = transferAgent();
    return agent && requireTarget(*agent) ? std::move(agent) : nullptr;
}

std::unique_ptr<TargetManager> Session::targetManager() {
    if (!open()) {
        return nullptr;
    }
    std::unique_ptr<TargetManager> manager =
        m_plugin.makeTargetManager(makeRepository(m_connection));
    if (!manager) {
        fail("the plug-in made no target manager");
        return nullptr;
    }
    manager->setTransferOption(makeTransferTask(m_connection));
    forgetPluginLog();
    return manager;
}

bool Session::showProgress() const {
    return !m_options.quiet && isatty(fileno(userStream()));
}

void Session::note(const std::string &line) const {
    if (m_options.verbosity > 0) {
        fprintf(userStream(), "%s\n", line.c_str());
    }
    logLine(m_command + ": " + line);
}

int Session::failTransfer(const TransferAgent &agent, const std::string &subject) {
    return report(pluginFailure(transferFailure(agent.getError(), recentPluginLog())), subject);
}

int Session::failTarget(const TargetManager &manager, const std::string &subject) {
    return report(pluginFailure(targetFailure(manager.getErrorCode(), recentPluginLog())), subject);
}

Failure Session::pluginFailure(Failure failure) {
    const std::string unreached = UNREACHED_SERVICE;
    if (failure.kind == FailureClass::Unavailable &&
        failure.reason.compare(0, unreached.size(), unreached) == 0) {
        failure.reason.insert(unreached.size(), " at " + serviceUrl(m_connection));
    }
    Failure found;
    if (failure.kind == FailureClass::Failed && explainPlainHttp(m_connection, found)) {
        return found;
    }
    return failure;
}

int Session::fail(const std::string &message, FailureClass kind) {
    return report({kind, message}, "");
}

int Session::fail(const Failure &failure) {
    return report(failure, "");
}

std::string Session::credentialInUse() const {
    return m_opened ? describeCredential(m_connection) : "";
}

int Session::status() const {
    return m_status;
}

int Session::report(const Failure &failure, const std::string &subject) {
    forgetPluginLog();
    const bool stopped = interrupted() || failure.kind == FailureClass::Interrupted;
    const std::string prefix = subject.empty() ? "" : subject + ": ";
    const std::string line =
        m_command + ": " + prefix + (stopped ? "interrupted" : failure.reason.c_str());
    fprintf(userStream(), "vorn-azure: %s\n", line.c_str());
    logLine(line);
    m_status = exitStatus(stopped ? FailureClass::Interrupted : failure.kind);
    return m_status;
}

} // namespace vorncli
