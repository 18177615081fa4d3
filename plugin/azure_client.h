// AzureClient: starts the azure_agent child process and judges its responses.
#ifndef VORN_PLUGIN_AZURE_CLIENT_H
#define VORN_PLUGIN_AZURE_CLIENT_H

#include <string>

#include <json/value.h>

#include "vorn/backup/agent_client.h"

namespace VORN {
namespace Backup {

// The credential the agent signs its requests with; each reaches the agent in its own
// environment variable, so the agent uses exactly the one it was given.
enum class CredentialKind { AccountKey, SasToken, EntraId };

class AzureClient : public AgentClient {
public:
    // A failed request is sent at most RETRY_ATTEMPTS times in all, with waits that double up
    // to RETRY_MAX_DELAY_SECONDS.
    static constexpr int RETRY_ATTEMPTS = 10;
    static constexpr int RETRY_MAX_DELAY_SECONDS = 5;

    AzureClient();
    virtual ~AzureClient();

    // The kind of `secretKey` for the connections that follow: the account key until set.
    // With EntraId the secret is not used; the agent gets its token through azure-identity.
    void setCredentialKind(CredentialKind kind);

    bool connect(const std::string &accessKey, const std::string &secretKey,
                 bool useHttps) override;
    bool isSuccessResponse(const Json::Value &response) const override;
    bool fillCanceledResponse(Json::Value &response) const override;

private:
    CredentialKind m_credentialKind;
};

} // namespace Backup
} // namespace VORN

#endif
