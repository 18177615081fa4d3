#include "failure.h"

#include <json/json.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "agent_protocol.h"
#include "vorn/backup/errors.h"

namespace vorncli {

using namespace VORN::Backup;

namespace {

const std::map<int, FailureClass> TRANSFER_CLASSES = {
    {TRANSFER_ERR_CANCELLED, FailureClass::Interrupted},
    {TRANSFER_ERR_NOT_FOUND, FailureClass::NotFound},
    {TRANSFER_ERR_ACCESS_DENIED, FailureClass::Access},
    {TRANSFER_ERR_AUTH, FailureClass::Access},
    {TRANSFER_ERR_READ_ONLY, FailureClass::Access},
    {TRANSFER_ERR_NETWORK, FailureClass::Unavailable},
    {TRANSFER_ERR_TIMEOUT, FailureClass::Unavailable},
    {TRANSFER_ERR_RESOLVE, FailureClass::Unavailable},
};

const std::map<int, FailureClass> TARGET_CLASSES = {
    {TM_ERR_CANCELLED, FailureClass::Interrupted},
    {TM_ERR_NOT_FOUND, FailureClass::NotFound},
    {TM_ERR_ACCESS_REFUSED, FailureClass::Access},
    {TM_ERR_NETWORK, FailureClass::Unavailable},
    {TM_ERR_TIMEOUT, FailureClass::Unavailable},
    {TM_ERR_RESOLVE, FailureClass::Unavailable},
};

FailureClass classOf(const std::map<int, FailureClass> &classes, int code) {
    const auto it = classes.find(code);
    return it == classes.end() ? FailureClass::Failed : it->second;
}

bool contains(const std::string &text, const char *phrase) {
    return text.find(phrase) != std::string::npos;
}

// The agent's failed response in user words; `code` is its error code, `message` its text.
Failure explainResponse(int code, const std::string &message) {
    if (contains(message, INTEGRITY_FAILED)) {
        // A blob read back is checked against its stored MD5; an upload by the service.
        return {FailureClass::Integrity,
                std::string(INTEGRITY_FAILED) +
                    (contains(message, INTEGRITY_OF_DATA_READ)
                         ? ": the blob's stored MD5 does not match its content"
                         : ": the service received other data than was sent")};
    }
    if (contains(message, ARCHIVED_BLOB)) {
        return {FailureClass::Failed,
                "the blob is in the archive tier and must be rehydrated before it can be read"};
    }
    const std::string detail = message.empty() ? "" : ": " + message;
    switch (code) {
    case CODE_AUTHENTICATION_FAILED:
        // The agent names the credential and why it was refused.
        return {FailureClass::Access,
                message.empty() ? "the service refused the account name or key" : message};
    case CODE_CANCELLED:
        return {FailureClass::Interrupted, "interrupted"};
    case CODE_NETWORK_FAILURE:
        return {FailureClass::Unavailable, "cannot reach the service" + detail};
    case 403:
        return {FailureClass::Access, "access refused by the service" + detail};
    case 404:
        return {FailureClass::NotFound, "not found" + detail};
    default:
        if (code >= 500 && code <= 599) {
            return {FailureClass::Unavailable, "the service is unavailable" + detail};
        }
        return {FailureClass::Failed, message.empty() ? "failed" : message};
    }
}

bool parseResponse(const std::string &text, Json::Value &response) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), &response, nullptr) &&
           response.isObject() && response.isMember(KEY_SUCCESS);
}

// The newest log line that tells why an operation failed.
bool explainLog(const std::vector<std::string> &log, Failure &failure) {
    for (auto line = log.rbegin(); line != log.rend(); ++line) {
        const std::string::size_type brace = line->find('{');
        Json::Value response;
        if (contains(*line, "failed") && brace != std::string::npos &&
            parseResponse(line->substr(brace), response)) {
            failure = explainResponse(response.get(KEY_ERROR_CODE, CODE_GENERAL_FAILURE).asInt(),
                                      response.get(KEY_ERROR_MESSAGE, "").asString());
            return true;
        }
        if (contains(*line, "ready msg") || contains(*line, "agent start failed") ||
            contains(*line, "PipeOpen failed")) {
            failure = {FailureClass::Failed,
                       "the transfer agent could not be started (-vv shows what it said)"};
            return true;
        }
    }
    return false;
}

// The log explains the code when it agrees with it, or when the code says no more than
// "failed": both units then give the same fault the same class.
Failure combine(FailureClass kind, const char *words, const std::vector<std::string> &log) {
    Failure explained;
    if (explainLog(log, explained) &&
        (kind == FailureClass::Failed || explained.kind == kind)) {
        return explained;
    }
    if (kind == FailureClass::Unavailable) {
        return {kind, std::string("cannot reach the service: ") + words};
    }
    return {kind, words};
}

} // namespace

int exitStatus(FailureClass kind) {
    return static_cast<int>(kind);
}

Failure localFailure(const std::string &path, int errnoValue) {
    const FailureClass kind = errnoValue == ENOENT || errnoValue == ENOTDIR ? FailureClass::NotFound
                              : errnoValue == EACCES || errnoValue == EPERM || errnoValue == EROFS
                                  ? FailureClass::Access
                                  : FailureClass::Failed;
    return {kind, path + ": " + strerror(errnoValue)};
}

Failure transferFailure(int transferError, const std::vector<std::string> &log) {
    return combine(classOf(TRANSFER_CLASSES, transferError), transferErrorText(transferError), log);
}

Failure targetFailure(int targetError, const std::vector<std::string> &log) {
    return combine(classOf(TARGET_CLASSES, targetError), targetErrorText(targetError), log);
}

} // namespace vorncli
