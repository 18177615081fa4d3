// Connection settings of vorn-azure: where the storage account is and how to sign in to it.
#ifndef VORN_CLI_CONNECTION_H
#define VORN_CLI_CONNECTION_H

#include <ctime>
#include <string>

#include "sas_token.h"
#include "vorn/backup/repository.h"
#include "vorn/backup/task.h"

namespace vorncli {

// What the user gave, from options, their environment variables and a connection string.
// A SAS token comes only from the environment or a file, never from a command-line value.
struct ConnectionSettings {
    std::string account;
    std::string key;
    std::string sasToken;     // AZURE_STORAGE_SAS_TOKEN: a token, or a URL carrying one
    std::string sasTokenFile; // --sas-token-file: a file holding the same
    std::string auth;         // --auth or AZURE_STORAGE_AUTH_MODE: key, sas, entra (login)
    std::string endpoint;
    std::string container;
    bool containerGiven = false; // by option or variable, not the default
    std::string connectionString;
    bool http = false;
};

// How requests are signed.
enum class CredentialKind { AccountKey, SasToken, EntraId };

// The settings resolved into one destination.
struct Connection {
    CredentialKind kind = CredentialKind::AccountKey;
    std::string account;
    std::string key;     // with AccountKey
    SasToken sasToken;   // with SasToken
    std::string endpoint; // empty: the agent derives it from the account
    std::string container;
    bool useHttps = true;
};

// What the agents of one command may use together: parallel connections, and memory for data
// moving ahead of the plug-in's requests.
struct AgentBudget {
    int streams = 16;
    int memoryMib = 64;
};

// One agent's share when `agents` agents share `budget`: an equal part, at least one stream and
// 1 MiB each.
AgentBudget shareOf(const AgentBudget &budget, int agents);

// Hands `share` to every agent started from now on, through the environment it inherits.
void exportAgentShare(const AgentBudget &share);

// The local emulator's well-known development account.
extern const char *const EMULATOR_ACCOUNT;
extern const char *const EMULATOR_KEY;
extern const char *const EMULATOR_ENDPOINT;

// Resolves `settings`: the connection string first, explicit settings over it. The kind of
// credential is the one --auth names, else the only one given; the emulator's development
// account only when no credential, account, connection string or --auth is given at all.
// False with `error` set (a usage error) when what is given cannot make one destination:
// a credential missing or two given without --auth, a malformed connection string or token,
// an endpoint that is not an http(s) URL.
bool resolveConnection(const ConnectionSettings &settings, Connection &connection,
                       std::string &error);

// Why the service would refuse the credential before it is tried, or "": a key that is not
// base64, a SAS token past its expiry at `now`.
std::string credentialProblem(const Connection &connection, time_t now);

// Which credential is in use, without any secret: "SAS token for ACCOUNT (container SAS, ...)".
std::string describeCredential(const Connection &connection);

// True for a key the agent can decode: standard base64 with its padding.
bool isBase64Key(const std::string &key);

// The repository record the plug-in works on.
VORN::Backup::Repository makeRepository(const Connection &connection);

// The task that carries the transfer option (https or http).
VORN::Backup::Task makeTransferTask(const Connection &connection);

} // namespace vorncli

#endif
