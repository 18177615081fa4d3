#include "session.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "interrupt.h"
#include "vorn/backup/errors.h"

namespace vorncli {

using namespace VORN::Backup;

namespace {

// The agent reads its endpoint from the environment it inherits from the plug-in's host.
void exportEndpoint(const std::string &endpoint) {
    if (endpoint.empty()) {
        unsetenv("AZURE_BLOB_ENDPOINT");
    } else {
        setenv("AZURE_BLOB_ENDPOINT", endpoint.c_str(), 1);
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
    if (!resolveConnection(m_options.connection, m_connection, error) ||
        !m_plugin.load(PluginLibrary::defaultPath(), error)) {
        fail(error);
        return false;
    }
    exportEndpoint(m_connection.endpoint);
    useBuildSysrootWhenNotInstalled();
    m_opened = true;
    return true;
}

std::unique_ptr<TransferAgent> Session::transferAgent() {
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
    return manager;
}

bool Session::showProgress() const {
    return !m_options.quiet && isatty(STDERR_FILENO);
}

int Session::failTransfer(const TransferAgent &agent, const std::string &subject) {
    if (interrupted()) {
        return interruptedStatus();
    }
    const int code = agent.getError();
    const std::string prefix = subject.empty() ? "" : subject + ": ";
    fprintf(stderr, "vorn-azure: %s: %s%s (error %d)\n", m_command.c_str(), prefix.c_str(),
            transferErrorText(code), code);
    return EXIT_FAILURE;
}

int Session::failTarget(const TargetManager &manager) {
    if (interrupted()) {
        return interruptedStatus();
    }
    const int code = manager.getErrorCode();
    fprintf(stderr, "vorn-azure: %s: %s (error %d)\n", m_command.c_str(), targetErrorText(code),
            code);
    return EXIT_FAILURE;
}

int Session::fail(const std::string &message) {
    if (interrupted()) {
        return interruptedStatus();
    }
    fprintf(stderr, "vorn-azure: %s: %s\n", m_command.c_str(), message.c_str());
    return EXIT_FAILURE;
}

int Session::interruptedStatus() {
    fprintf(stderr, "vorn-azure: %s: interrupted\n", m_command.c_str());
    return EXIT_INTERRUPTED;
}

} // namespace vorncli
