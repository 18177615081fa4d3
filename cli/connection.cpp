#include "connection.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "agent_protocol.h"

namespace vorncli {

using VORN::Backup::OptionMap;
using VORN::Backup::Repository;
using VORN::Backup::Task;

const char *const EMULATOR_ACCOUNT = "devstoreaccount1";
const char *const EMULATOR_KEY =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";
const char *const EMULATOR_ENDPOINT = "http://127.0.0.1:10000/devstoreaccount1";

namespace {

struct CaseInsensitiveLess {
    bool operator()(const std::string &a, const std::string &b) const {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};

typedef std::map<std::string, std::string, CaseInsensitiveLess> ConnectionFields;

// "Name=Value;Name=Value": a value may itself hold "=" (base64 keys end in it).
bool parseConnectionString(const std::string &text, ConnectionFields &fields, std::string &error) {
    std::string::size_type start = 0;
    while (start <= text.size()) {
        std::string::size_type end = text.find(';', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string part = text.substr(start, end - start);
        start = end + 1;
        if (part.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        const std::string::size_type eq = part.find('=');
        if (eq == std::string::npos || eq == 0) {
            // The part may be a key: name only the field's position, never its content.
            error = "malformed connection string (a field without a name or a \"=\")";
            return false;
        }
        fields[part.substr(0, eq)] = part.substr(eq + 1);
    }
    return true;
}

std::string field(const ConnectionFields &fields, const char *name, const std::string &def = "") {
    const ConnectionFields::const_iterator it = fields.find(name);
    return it == fields.end() ? def : it->second;
}

// The connection string's account, key and endpoint, and its SAS token into `sasText`.
void applyConnectionString(const ConnectionFields &fields, Connection &connection,
                           std::string &sasText) {
    if (strcasecmp(field(fields, "UseDevelopmentStorage").c_str(), "true") == 0) {
        connection.account = EMULATOR_ACCOUNT;
        connection.key = EMULATOR_KEY;
        connection.endpoint = EMULATOR_ENDPOINT;
        return;
    }
    connection.account = field(fields, "AccountName");
    connection.key = field(fields, "AccountKey");
    connection.endpoint = field(fields, "BlobEndpoint");
    sasText = field(fields, "SharedAccessSignature");
    if (connection.endpoint.empty() && !connection.account.empty()) {
        connection.endpoint = field(fields, "DefaultEndpointsProtocol", "https") + "://" +
                              connection.account + ".blob." +
                              field(fields, "EndpointSuffix", "core.windows.net");
    }
}

void takeIfGiven(std::string &value, const std::string &given) {
    if (!given.empty()) {
        value = given;
    }
}

bool isPlainHttp(const std::string &endpoint) {
    return strncasecmp(endpoint.c_str(), "http:", 5) == 0;
}

bool isDecimalPort(const std::string &text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const long port = strtol(text.c_str(), nullptr, 10);
    return port >= 1 && port <= 65535;
}

// "http[s]://HOST[:PORT][/PATH]": anything else would only be retried until it times out.
bool checkEndpoint(const std::string &endpoint, std::string &error) {
    const std::string::size_type scheme = endpoint.find("://");
    const std::string name = endpoint.substr(0, scheme);
    if (scheme == std::string::npos ||
        (strcasecmp(name.c_str(), "http") != 0 && strcasecmp(name.c_str(), "https") != 0)) {
        error = "endpoint \"" + endpoint + "\" is not an http:// or https:// URL";
        return false;
    }
    const std::string::size_type hostStart = scheme + 3;
    const std::string authority = endpoint.substr(hostStart, endpoint.find('/', hostStart) - hostStart);
    const std::string::size_type colon = authority.rfind(':');
    const bool bracketed = !authority.empty() && authority.back() == ']'; // IPv6 without a port
    if (authority.empty() || colon == 0 ||
        (colon != std::string::npos && !bracketed && !isDecimalPort(authority.substr(colon + 1)))) {
        error = "endpoint \"" + endpoint + "\" has no host or an invalid port";
        return false;
    }
    return true;
}

// A blob service URL taken apart. The emulator and other IP hosts put the account in the path
// ("http://127.0.0.1:10000/account/container"); the service puts it in the host name
// ("https://account.blob.core.windows.net/container").
struct StorageUrl {
    std::string endpoint;
    std::string account;
    std::string container;
};

bool isPathStyleHost(const std::string &host) {
    return host == "localhost" || host.compare(0, 1, "[") == 0 ||
           host.find_first_not_of("0123456789.") == std::string::npos;
}

StorageUrl splitStorageUrl(const std::string &url) {
    StorageUrl parts;
    const std::string::size_type scheme = url.find("://");
    if (scheme == std::string::npos) {
        return parts;
    }
    const std::string::size_type pathStart = url.find('/', scheme + 3);
    const std::string authority = url.substr(scheme + 3, pathStart - scheme - 3);
    std::vector<std::string> segments;
    std::istringstream path(pathStart == std::string::npos ? "" : url.substr(pathStart));
    for (std::string segment; std::getline(path, segment, '/');) {
        if (!segment.empty()) {
            segments.push_back(segment);
        }
    }
    const std::string host = authority.substr(0, authority.rfind(':') == std::string::npos ||
                                                         authority.back() == ']'
                                                     ? authority.size()
                                                     : authority.rfind(':'));
    parts.endpoint = url.substr(0, scheme + 3) + authority;
    size_t containerAt = 0;
    if (isPathStyleHost(host)) {
        if (!segments.empty()) {
            parts.account = segments[0];
            parts.endpoint += "/" + segments[0];
        }
        containerAt = 1;
    } else {
        parts.account = host.substr(0, host.find('.'));
    }
    if (segments.size() > containerAt) {
        parts.container = segments[containerAt];
    }
    return parts;
}

bool readTokenFile(const std::string &path, std::string &text, std::string &error) {
    std::ifstream file(path);
    std::ostringstream content;
    if (!file || !(content << file.rdbuf())) {
        // Only the file's name: never what it holds.
        error = "cannot read the SAS token file " + path + ": " + strerror(errno ? errno : EIO);
        return false;
    }
    text = content.str();
    return true;
}

// The token and, when it came as a URL, the account, endpoint and container that URL names.
bool takeSasToken(const std::string &text, Connection &connection, std::string &urlContainer,
                  std::string &error) {
    std::string url;
    if (!parseSasToken(text, connection.sasToken, url, error)) {
        return false;
    }
    if (!url.empty()) {
        const StorageUrl parts = splitStorageUrl(url);
        connection.endpoint = parts.endpoint;
        connection.account = parts.account;
        urlContainer = parts.container;
    }
    return true;
}

bool chooseKind(const std::string &auth, bool keyGiven, bool sasGiven, CredentialKind &kind,
                std::string &error) {
    if (auth.empty()) {
        if (keyGiven && sasGiven) {
            error = "both an account key and a SAS token are given: choose one with --auth key "
                    "or --auth sas";
            return false;
        }
        kind = sasGiven ? CredentialKind::SasToken : CredentialKind::AccountKey;
    } else if (auth == "key") {
        kind = CredentialKind::AccountKey;
    } else if (auth == "sas") {
        kind = CredentialKind::SasToken;
    } else if (auth == "entra" || auth == "login") {
        kind = CredentialKind::EntraId;
    } else {
        error = "unknown sign-in \"" + auth +
                "\" (--auth or AZURE_STORAGE_AUTH_MODE): key, sas, entra or login";
        return false;
    }
    return true;
}

// What the chosen kind needs beyond the credential itself: an account to name (for a token,
// the endpoint tells it) and, for Entra ID, TLS.
bool checkKindNeeds(Connection &connection, bool sasGiven, std::string &error) {
    switch (connection.kind) {
    case CredentialKind::AccountKey:
        if (connection.account.empty()) {
            error = "a storage key needs its account: give --account or AZURE_STORAGE_ACCOUNT";
            return false;
        }
        if (connection.key.empty()) {
            error = "no key for account " + connection.account +
                    ": give AZURE_STORAGE_KEY, --key or AZURE_STORAGE_CONNECTION_STRING";
            return false;
        }
        return true;
    case CredentialKind::SasToken:
        if (!sasGiven) {
            error = "--auth sas needs a token: give AZURE_STORAGE_SAS_TOKEN, --sas-token-file or "
                    "SharedAccessSignature= in AZURE_STORAGE_CONNECTION_STRING";
            return false;
        }
        break;
    case CredentialKind::EntraId:
        break;
    }
    if (connection.account.empty()) {
        connection.account = splitStorageUrl(connection.endpoint).account;
    }
    if (connection.account.empty()) {
        error = "signing in with a token needs the account: give --account, --endpoint or the "
                "URL that came with the SAS token";
        return false;
    }
    return true;
}

} // namespace

bool isBase64Key(const std::string &key) {
    static const char ALPHABET[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string::size_type body = key.find_last_not_of('=') + 1;
    return key.size() % 4 == 0 && key.size() - body <= 2 &&
           key.substr(0, body).find_first_not_of(ALPHABET) == std::string::npos;
}

bool resolveConnection(const ConnectionSettings &settings, Connection &connection,
                       std::string &error) {
    connection = Connection();
    std::string sasText;
    if (!settings.connectionString.empty()) {
        ConnectionFields fields;
        if (!parseConnectionString(settings.connectionString, fields, error)) {
            return false;
        }
        applyConnectionString(fields, connection, sasText);
    }
    if (!settings.sasTokenFile.empty()) {
        if (!readTokenFile(settings.sasTokenFile, sasText, error)) {
            return false;
        }
    } else {
        takeIfGiven(sasText, settings.sasToken);
    }
    std::string urlContainer;
    const bool sasGiven = !sasText.empty();
    if (sasGiven && !takeSasToken(sasText, connection, urlContainer, error)) {
        return false;
    }
    takeIfGiven(connection.account, settings.account);
    takeIfGiven(connection.key, settings.key);
    takeIfGiven(connection.endpoint, settings.endpoint);
    // Only when nothing at all says whose account this is: anything given is used or refused.
    if (settings.connectionString.empty() && settings.auth.empty() && !sasGiven &&
        connection.account.empty() && connection.key.empty()) {
        connection.account = EMULATOR_ACCOUNT;
        connection.key = EMULATOR_KEY;
        if (connection.endpoint.empty()) {
            connection.endpoint = EMULATOR_ENDPOINT;
        }
    }
    if (!chooseKind(settings.auth, !connection.key.empty(), sasGiven, connection.kind, error) ||
        !checkKindNeeds(connection, sasGiven, error)) {
        return false;
    }
    connection.container = settings.container;
    if (!urlContainer.empty()) {
        if (settings.containerGiven && settings.container != urlContainer) {
            error = "the SAS token's URL names container " + urlContainer + ", not " +
                    settings.container;
            return false;
        }
        connection.container = urlContainer;
    }
    if (settings.http && strncasecmp(connection.endpoint.c_str(), "https:", 6) == 0) {
        connection.endpoint.erase(4, 1); // --http asks for no TLS on an https endpoint too
    }
    connection.useHttps = !settings.http && !isPlainHttp(connection.endpoint);
    if (connection.kind == CredentialKind::EntraId && !connection.useHttps) {
        error = "Microsoft Entra ID signs in over https only, and the endpoint is plain http";
        return false;
    }
    return connection.endpoint.empty() || checkEndpoint(connection.endpoint, error);
}

std::string credentialProblem(const Connection &connection, time_t now) {
    if (connection.kind == CredentialKind::AccountKey && !isBase64Key(connection.key)) {
        return "the account key is not valid base64";
    }
    if (connection.kind == CredentialKind::SasToken && hasExpired(connection.sasToken, now)) {
        return "the SAS token expired at " + connection.sasToken.expiry + ": give a fresh one";
    }
    return "";
}

std::string describeCredential(const Connection &connection) {
    switch (connection.kind) {
    case CredentialKind::SasToken:
        return "SAS token for " + connection.account + " (" +
               describeSasToken(connection.sasToken) + ")";
    case CredentialKind::EntraId:
        return "Microsoft Entra ID for " + connection.account +
               " (a service principal in the environment, a managed identity or the Azure "
               "CLI's login)";
    case CredentialKind::AccountKey:
        break;
    }
    return "account key of " + connection.account;
}

AgentBudget shareOf(const AgentBudget &budget, int agents) {
    const int count = std::max(agents, 1);
    AgentBudget share;
    share.streams = std::max(budget.streams / count, 1);
    share.memoryMib = std::max(budget.memoryMib / count, 1);
    return share;
}

void exportAgentShare(const AgentBudget &share) {
    setenv(VORN::Backup::ENV_STREAMS, std::to_string(share.streams).c_str(), 1);
    setenv(VORN::Backup::ENV_MEMORY_MIB, std::to_string(share.memoryMib).c_str(), 1);
}

Repository makeRepository(const Connection &connection) {
    OptionMap options;
    options.optSet(Repository::SZK_REMOTE_BUCKET, connection.container);
    options.optSet(Repository::SZK_REMOTE_KEY, connection.account);
    switch (connection.kind) {
    case CredentialKind::AccountKey:
        options.optSetSecret(Repository::SZK_REMOTE_SECRET, connection.key);
        break;
    case CredentialKind::SasToken:
        options.optSet(Repository::SZK_REMOTE_AUTH, Repository::SZV_AUTH_SAS);
        options.optSetSecret(Repository::SZK_REMOTE_SECRET, connection.sasToken.text);
        break;
    case CredentialKind::EntraId:
        options.optSet(Repository::SZK_REMOTE_AUTH, Repository::SZV_AUTH_ENTRA);
        break;
    }
    return Repository(1, Repository::SZV_TARGET_CLOUD, "azure", options);
}

Task makeTransferTask(const Connection &connection) {
    Task task;
    task.getOptions().optSet(Task::SZK_TRANS_ENCRYPT, connection.useHttps);
    return task;
}

} // namespace vorncli
