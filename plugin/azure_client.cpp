#include "azure_client.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plugin_util.h"
#include "vorn/platform.h"

namespace VORN {
namespace Backup {

namespace {

const char *const UNIT = "azure_client";

const char *const INTERPRETER = "/usr/bin/python";
const char *const AGENT_SCRIPT = "/usr/vorn/vornbackup/addon/azure_blob/python/azure_agent.py";
const char *const START_LOCALE = "en_US.utf8";
const size_t PROXY_BUFFER_SIZE = 2048;
const int ERR_AGENT_NOT_READY = 0x2A00;

// The variable that carries each kind of credential; the Entra ID one only says "use it".
const char *credentialVariable(CredentialKind kind) {
    switch (kind) {
    case CredentialKind::SasToken:
        return ENV_SAS_TOKEN;
    case CredentialKind::EntraId:
        return ENV_USE_ENTRA_ID;
    case CredentialKind::AccountKey:
        break;
    }
    return ENV_SECRET_KEY;
}

bool unsetAgentEnv() {
    unsetenv(ENV_ACCESS_KEY);
    unsetenv(ENV_SECRET_KEY);
    unsetenv(ENV_SAS_TOKEN);
    unsetenv(ENV_USE_ENTRA_ID);
    unsetenv(ENV_SCHEME);
    unsetenv(ENV_USER_AGENT);
    unsetenv(ENV_PROXY_ADDR);
    unsetenv(ENV_PROXY_AUTH);
    return true;
}

// The agent learns its settings only from the environment it inherits, never from its
// command line, so that the secret does not show in the process list.
bool setAgentEnv(const char *accessKey, const char *secretKey, bool useHttps,
                 CredentialKind kind) {
    char proxyAddr[PROXY_BUFFER_SIZE];
    char proxyAuth[PROXY_BUFFER_SIZE];
    memset(proxyAddr, 0, sizeof proxyAddr);
    memset(proxyAuth, 0, sizeof proxyAuth);

    if (secretKey == nullptr || accessKey == nullptr) {
        LOG_ERROR("bad parameters");
        unsetAgentEnv();
        return false;
    }
    setenv(ENV_ACCESS_KEY, accessKey, 1);
    setenv(credentialVariable(kind), kind == CredentialKind::EntraId ? "1" : secretKey, 1);
    setenv(ENV_SCHEME, useHttps ? "https" : "http", 1);

    const std::string userAgent = AgentClient::getVornUserAgent();
    if (userAgent.empty()) {
        LOG_ERROR("azure_user_agent failed");
        unsetAgentEnv();
        return false;
    }
    setenv(ENV_USER_AGENT, userAgent.c_str(), 1);

    if (VORNProxyGetAddr(useHttps ? 1 : 0, proxyAddr, sizeof proxyAddr) == 1) {
        setenv(ENV_PROXY_ADDR, proxyAddr, 1);
        if (VORNProxyGetAuth(proxyAuth, sizeof proxyAuth) == 1) {
            setenv(ENV_PROXY_AUTH, proxyAuth, 1);
        }
    }
    return true;
}

bool isRetryableResponse(const Json::Value &response) {
    if (!response.isObject()) {
        return false;
    }
    if (response.get(KEY_SUCCESS, false).asBool()) {
        LOG_ERROR("why success stat need retry?");
        return false;
    }
    const int code = response.get(KEY_ERROR_CODE, CODE_GENERAL_FAILURE).asInt();
    if (code == 302) {
        return false;
    }
    if (code >= 400 && code <= 499) {
        return false;
    }
    if (code >= 500 && code <= 599) {
        return true;
    }
    return code == CODE_NETWORK_FAILURE;
}

// Remembers LANG, or that it was unset, and puts it back.
class SavedLang {
public:
    SavedLang() {
        const char *value = getenv("LANG");
        m_wasSet = value != nullptr;
        if (m_wasSet) {
            m_value = value;
        }
    }
    void restore() const {
        if (m_wasSet) {
            setenv("LANG", m_value.c_str(), 1);
        } else {
            unsetenv("LANG");
        }
    }

private:
    bool m_wasSet;
    std::string m_value;
};

} // namespace

AzureClient::AzureClient() : m_credentialKind(CredentialKind::AccountKey) {
    setRetryPolicy(RETRY_ATTEMPTS, RETRY_MAX_DELAY_SECONDS,
                   boost::function<bool(const Json::Value &)>(isRetryableResponse));
}

AzureClient::~AzureClient() {}

void AzureClient::setCredentialKind(CredentialKind kind) {
    m_credentialKind = kind;
}

bool AzureClient::connect(const std::string &accessKey, const std::string &secretKey,
                          bool useHttps) {
    if (m_cancelHook && m_cancelHook()) {
        return false;
    }
    close();
    // The agent's first line decides the outcome even when the environment could not be
    // prepared: a failed preparation has already removed every variable again.
    setAgentEnv(accessKey.c_str(), secretKey.c_str(), useHttps, m_credentialKind);

    const SavedLang savedLang;
    setenv("LANG", START_LOCALE, 1);
    m_pipe = VORNPipeOpen(&m_process, INTERPRETER, AGENT_SCRIPT, static_cast<char *>(nullptr));
    savedLang.restore();

    std::string line;
    if (m_pipe == nullptr) {
        LOG_ERROR("VORNPipeOpen failed");
        VLIBCErrSetEx(ERR_AGENT_NOT_READY, UNIT, __LINE__);
    } else {
        fprintf(stderr, "%s:%d pipe opened\n", UNIT, __LINE__);
        if (!readString(line)) {
            LOG_ERROR("could not read ready msg from azure_agent");
            VLIBCErrSetEx(ERR_AGENT_NOT_READY, UNIT, __LINE__);
        } else if (line.find(BAD_KEY_MARKER) != std::string::npos) {
            VLIBCErrSetEx(ERR_SECRET_NOT_BASE64, UNIT, __LINE__);
        } else if (line != READY_LINE) {
            LOG_ERROR("agent start failed: %s", line.c_str());
            VLIBCErrSetEx(ERR_AGENT_NOT_READY, UNIT, __LINE__);
        } else {
            unsetAgentEnv();
            fprintf(stderr, "%s:%d agent ready\n", UNIT, __LINE__);
            return true;
        }
    }
    unsetAgentEnv();
    close();
    return false;
}

bool AzureClient::isSuccessResponse(const Json::Value &response) const {
    return isAgentSuccess(response);
}

bool AzureClient::fillCanceledResponse(Json::Value &response) const {
    response = Json::Value(Json::objectValue);
    response[KEY_SUCCESS] = false;
    response[KEY_ERROR_MESSAGE] = USER_CANCELED;
    response[KEY_ERROR_CODE] = CODE_CANCELLED;
    return true;
}

} // namespace Backup
} // namespace VORN
