// Pieces shared by the plug-in's units: log macro, sizes, platform codes, path and error helpers.
#ifndef VORN_PLUGIN_PLUGIN_UTIL_H
#define VORN_PLUGIN_PLUGIN_UTIL_H

#include <string>

#include <syslog.h>

#include <json/value.h>

#include "vorn/backup/errors.h"

// Every unit defines `UNIT`, its name as log lines show it.
#define LOG_ERROR(fmt, ...) syslog(LOG_ERR, "%s:%d " fmt, UNIT, __LINE__, ##__VA_ARGS__)

namespace VORN {
namespace Backup {

// Below the single-request limit a file is uploaded in one request; the agent reads it itself.
const long long SINGLE_REQUEST_LIMIT_HTTPS = 4LL << 20;
const long long SINGLE_REQUEST_LIMIT_HTTP = 32LL << 20;
// A larger upload goes as numbered blocks of BLOCK_SIZE, at most MAX_BLOCKS of them.
const long long BLOCK_SIZE = 4LL << 20;
const long long MAX_BLOCKS = 50000;
// The largest blob fetched in one request, and the length of every range of a larger one.
const long long RANGE_SIZE = 10LL << 20;

// Platform error left by AzureClient::connect when the agent refused the secret key.
const int ERR_SECRET_NOT_BASE64 = 0x300;

// `path` without its trailing "/"s; all slashes give the empty string.
std::string withoutTrailingSlashes(const std::string &path);

// True for a response that reports success.
bool isAgentSuccess(const Json::Value &response);
// The agent's error code of a response: 0 for a success, -1 for a failure without a code.
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
