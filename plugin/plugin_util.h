// Pieces shared by the plug-in's units: log macro, platform codes, path and error helpers.
#ifndef VORN_PLUGIN_PLUGIN_UTIL_H
#define VORN_PLUGIN_PLUGIN_UTIL_H

#include <string>

#include <syslog.h>

#include <json/value.h>

#include "agent_protocol.h"
#include "vorn/backup/errors.h"

// Every unit defines `UNIT`, its name as log lines show it.
#define LOG_ERROR(fmt, ...) syslog(LOG_ERR, "%s:%d " fmt, UNIT, __LINE__, ##__VA_ARGS__)

namespace VORN {
namespace Backup {

// Platform error left by AzureClient::connect when the agent refused the secret key.
const int ERR_SECRET_NOT_BASE64 = 0x300;

// `path` without its trailing "/"s; all slashes give the empty string.
std::string withoutTrailingSlashes(const std::string &path);

// True for a response that reports success.
bool isAgentSuccess(const Json::Value &response);
// The agent's error code of a response: 0 for a success, CODE_GENERAL_FAILURE for a failure
// without a code.
int agentErrorCode(const Json::Value &response);

// The host errors a failed agent response stands for, for the transfer agent and for the
// target manager.
struct HostErrors {
    TransferError transfer;
    TM_ERROR_CODE target;
};
HostErrors hostErrorsOf(const Json::Value &response);

} // namespace Backup
} // namespace VORN

#endif
