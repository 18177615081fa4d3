// AzuriteServer: a private Azurite blob service on a free loopback port, for integration tests.
#ifndef VORN_TESTS_AZURITE_H
#define VORN_TESTS_AZURITE_H

#include <string>

#include <sys/types.h>

#include "vorn/backup/repository.h"

namespace vorntest {

// The emulator's well-known development account.
extern const char *const DEV_ACCOUNT;
extern const char *const DEV_KEY;

class AzuriteServer {
public:
    // Starts Azurite in memory (with --disableTelemetry) and waits until it accepts connections.
    AzuriteServer();
    // Stops it.
    ~AzuriteServer();

    int port() const;
    // "http://127.0.0.1:PORT/devstoreaccount1".
    std::string endpoint() const;

private:
    pid_t m_pid;
    int m_port;
};

// Installs the real agent under a VORN_SYSROOT tree and points it at `server` for the life of
// the object (AZURE_BLOB_ENDPOINT, VORN_SYSROOT, TMPDIR); restores the environment afterwards.
class RealAgentEnvironment {
public:
    explicit RealAgentEnvironment(const AzuriteServer &server);
    ~RealAgentEnvironment();

    const std::string &dir() const;
    std::string path(const std::string &name) const;

private:
    std::string m_dir;
    std::string m_savedSysroot, m_savedEndpoint, m_savedTmp;
    bool m_hadSysroot, m_hadEndpoint, m_hadTmp;
};

// A repository on the development account (or with `key` as its secret) and `container`.
VORN::Backup::Repository azuriteRepository(const std::string &container,
                                           const std::string &key = DEV_KEY);

} // namespace vorntest

#endif
