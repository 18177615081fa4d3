#include "azurite.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vorntest {

const char *const DEV_ACCOUNT = "devstoreaccount1";
const char *const DEV_KEY =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("no free loopback port");
    }
    close(fd);
    return ntohs(addr.sin_port);
}

bool accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(port);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

void remember(const char *name, std::string &saved, bool &had) {
    const char *value = getenv(name);
    had = value != nullptr;
    saved = value ? value : "";
}

void restore(const char *name, const std::string &saved, bool had) {
    if (had) {
        setenv(name, saved.c_str(), 1);
    } else {
        unsetenv(name);
    }
}

} // namespace

AzuriteServer::AzuriteServer() : m_pid(-1), m_port(freePort()) {
    const std::string port = std::to_string(m_port);
    m_pid = fork();
    if (m_pid == 0) {
        execl(AZURITE_BIN, AZURITE_BIN, "--blobHost", "127.0.0.1", "--blobPort", port.c_str(),
              "--inMemoryPersistence", "--disableTelemetry", "--skipApiVersionCheck", "--silent",
              "--loose", static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 300; ++i) {
        if (accepts(m_port)) {
            return;
        }
        int status;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("Azurite did not start on port " + port);
}

AzuriteServer::~AzuriteServer() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status;
        waitpid(m_pid, &status, 0);
    }
}

int AzuriteServer::port() const {
    return m_port;
}

std::string AzuriteServer::endpoint() const {
    return "http://127.0.0.1:" + std::to_string(m_port) + "/" + DEV_ACCOUNT;
}

RealAgentEnvironment::RealAgentEnvironment(const AzuriteServer &server) {
    char templ[] = "/tmp/vorn-itest-XXXXXX";
    if (!mkdtemp(templ)) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_dir = templ;
    const fs::path script =
        fs::path(m_dir + "/root/usr/vorn/vornbackup/addon/azure_blob/python/azure_agent.py");
    fs::create_directories(script.parent_path());
    fs::create_symlink(REAL_AGENT_SOURCE, script);
    fs::create_directories(m_dir + "/tmp");
    remember("VORN_SYSROOT", m_savedSysroot, m_hadSysroot);
    remember("AZURE_BLOB_ENDPOINT", m_savedEndpoint, m_hadEndpoint);
    remember("TMPDIR", m_savedTmp, m_hadTmp);
    setenv("VORN_SYSROOT", (m_dir + "/root").c_str(), 1);
    setenv("AZURE_BLOB_ENDPOINT", server.endpoint().c_str(), 1);
    setenv("TMPDIR", (m_dir + "/tmp").c_str(), 1);
}

RealAgentEnvironment::~RealAgentEnvironment() {
    restore("VORN_SYSROOT", m_savedSysroot, m_hadSysroot);
    restore("AZURE_BLOB_ENDPOINT", m_savedEndpoint, m_hadEndpoint);
    restore("TMPDIR", m_savedTmp, m_hadTmp);
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
}

const std::string &RealAgentEnvironment::dir() const {
    return m_dir;
}

std::string RealAgentEnvironment::path(const std::string &name) const {
    return m_dir + "/" + name;
}

VORN::Backup::Repository azuriteRepository(const std::string &container, const std::string &key) {
    VORN::Backup::OptionMap options;
    options.optSet(VORN::Backup::Repository::SZK_REMOTE_BUCKET, container);
    options.optSet(VORN::Backup::Repository::SZK_REMOTE_KEY, std::string(DEV_ACCOUNT));
    options.optSetSecret(VORN::Backup::Repository::SZK_REMOTE_SECRET, key);
    return VORN::Backup::Repository(1, VORN::Backup::Repository::SZV_TARGET_CLOUD, "azure",
                                    options);
}

} // namespace vorntest
