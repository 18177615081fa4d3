// Connection settings of vorn-azure: where the storage account is and how to sign in to it.
#ifndef VORN_CLI_CONNECTION_H
#define VORN_CLI_CONNECTION_H

#include <string>

#include "vorn/backup/repository.h"
#include "vorn/backup/task.h"

namespace vorncli {

// What the user gave, from options, their environment variables and a connection string.
struct ConnectionSettings {
    std::string account;
    std::string key;
    std::string endpoint;
    std::string container;
    std::string connectionString;
    bool http = false;
};

// The settings resolved into one destination.
struct Connection {
    std::string account;
    std::string key;
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

// Resolves `settings`: the connection string first, explicit settings over it, and the emulator
// when neither names an account nor a key. False with `error` set when the account or the key
// is missing, the connection string is malformed or the endpoint is not an http(s) URL.
bool resolveConnection(const ConnectionSettings &settings, Connection &connection,
                       std::string &error);

// True for a key the agent can decode: standard base64 with its padding.
bool isBase64Key(const std::string &key);

// The repository record the plug-in works on.
VORN::Backup::Repository makeRepository(const Connection &connection);

// The task that carries the transfer option (https or http).
VORN::Backup::Task makeTransferTask(const Connection &connection);

} // namespace vorncli

#endif
