#include "plugin_util.h"

namespace VORN {
namespace Backup {

namespace {

struct CodeRow {
    int code;
    HostErrors errors;
};

// Agent error codes: HTTP statuses of the service, negative ones the agent's own.
const CodeRow CODE_TABLE[] = {
    {CODE_AUTHENTICATION_FAILED, {TRANSFER_ERR_AUTH, TM_ERR_ACCESS_REFUSED}},
    {CODE_CANCELLED, {TRANSFER_ERR_CANCELLED, TM_ERR_CANCELLED}},
    {CODE_NETWORK_FAILURE, {TRANSFER_ERR_NETWORK, TM_ERR_NETWORK}},
    {CODE_BAD_REQUEST, {TRANSFER_ERR_INVALID, TM_ERR_GENERIC}},
    {400, {TRANSFER_ERR_INVALID, TM_ERR_GENERIC}},
    {403, {TRANSFER_ERR_ACCESS_DENIED, TM_ERR_ACCESS_REFUSED}},
    {404, {TRANSFER_ERR_NOT_FOUND, TM_ERR_NOT_FOUND}},
    {409, {TRANSFER_ERR_GENERIC, TM_ERR_CONFLICT}},
};

struct MessageRow {
    int code;
    const char *phrase;
    HostErrors errors;
};

// Codes whose message tells more: checked before CODE_TABLE, first match wins.
const MessageRow MESSAGE_TABLE[] = {
    {CODE_NETWORK_FAILURE, LOOKUP_FAILED, {TRANSFER_ERR_RESOLVE, TM_ERR_RESOLVE}},
    {CODE_NETWORK_FAILURE, TIMED_OUT, {TRANSFER_ERR_TIMEOUT, TM_ERR_TIMEOUT}},
    // The service's answer to a key of the wrong account.
    {400, KEY_OF_OTHER_ACCOUNT, {TRANSFER_ERR_INVALID, TM_ERR_ACCESS_REFUSED}},
};

const HostErrors GENERIC_ERRORS = {TRANSFER_ERR_GENERIC, TM_ERR_GENERIC};

std::string errorMessageOf(const Json::Value &response) {
    const Json::Value message =
        response.isObject() ? response.get(KEY_ERROR_MESSAGE, "") : Json::Value("");
    return message.isString() ? message.asString() : std::string();
}

} // namespace

bool isAgentSuccess(const Json::Value &response) {
    return response.isObject() && response.get(KEY_SUCCESS, false).asBool();
}

int agentErrorCode(const Json::Value &response) {
    if (isAgentSuccess(response)) {
        return 0;
    }
    const Json::Value code = response.isObject()
                                 ? response.get(KEY_ERROR_CODE, CODE_GENERAL_FAILURE)
                                 : Json::Value(CODE_GENERAL_FAILURE);
    return code.isInt() ? code.asInt() : CODE_GENERAL_FAILURE;
}

std::string withoutTrailingSlashes(const std::string &path) {
    const std::string::size_type last = path.find_last_not_of('/');
    return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

HostErrors hostErrorsOf(const Json::Value &response) {
    const int code = agentErrorCode(response);
    const std::string message = errorMessageOf(response);
    for (const MessageRow &row : MESSAGE_TABLE) {
        if (row.code == code && message.find(row.phrase) != std::string::npos) {
            return row.errors;
        }
    }
    for (const CodeRow &row : CODE_TABLE) {
        if (row.code == code) {
            return row.errors;
        }
    }
    return GENERIC_ERRORS;
}

} // namespace Backup
} // namespace VORN
