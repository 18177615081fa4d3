#include "session.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "agent_protocol.h"
#include "interrupt.h"
#include "plugin_log.h"
#include "user_stream.h"

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

// Run from the build tree, the agent is found through the build's own sysroot.
void useBuildSysrootWhenNotInstalled() {
    if (getenv("VORN_SYSROOT") || access(VORN_AGENT_INSTALL_PATH, F_OK) == 0) {
        return;
    }
    const std::string sysroot = VORN_BUILD_SYSROOT;
    if (access((sysroot + VORN_AGENT_INSTALL_PATH).c_str(), F_OK) == 0) {
        setenv("VORN_SYSROOT", sysroot.c_str(), 1);
    }
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
    // The agent would refuse to start, or the service the credential; say why before starting.
    const std::string problem = credentialProblem(m_connection, time(nullptr));
    if (!problem.empty()) {
        fail(problem, FailureClass::Access);
        return false;
    }
    if (!m_plugin.load(PluginLibrary::defaultPath(), error)) {
        fail(error);
        return false;
    }
    exportEndpoint(m_connection.endpoint);
    // One agent has the whole budget; a pool of them shares it.
    exportAgentShare(m_options.budget);
    useBuildSysrootWhenNotInstalled();
    m_opened = true;
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

int Session::failTransfer(const TransferAgent &agent, const std::string &subject) {
    return report(transferFailure(agent.getError(), recentPluginLog()), subject);
}

int Session::failTarget(const TargetManager &manager, const std::string &subject) {
    return report(targetFailure(manager.getErrorCode(), recentPluginLog()), subject);
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
    fprintf(userStream(), "vorn-azure: %s: %s%s\n", m_command.c_str(), prefix.c_str(),
            stopped ? "interrupted" : failure.reason.c_str());
    m_status = exitStatus(stopped ? FailureClass::Interrupted : failure.kind);
    return m_status;
}

} // namespace vorncli
