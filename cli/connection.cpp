#include "connection.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>

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

void applyConnectionString(const ConnectionFields &fields, Connection &connection) {
    if (strcasecmp(field(fields, "UseDevelopmentStorage").c_str(), "true") == 0) {
        connection.account = EMULATOR_ACCOUNT;
        connection.key = EMULATOR_KEY;
        connection.endpoint = EMULATOR_ENDPOINT;
        return;
    }
    connection.account = field(fields, "AccountName");
    connection.key = field(fields, "AccountKey");
    connection.endpoint = field(fields, "BlobEndpoint");
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
    if (!settings.connectionString.empty()) {
        ConnectionFields fields;
        if (!parseConnectionString(settings.connectionString, fields, error)) {
            return false;
        }
        applyConnectionString(fields, connection);
    }
    takeIfGiven(connection.account, settings.account);
    takeIfGiven(connection.key, settings.key);
    takeIfGiven(connection.endpoint, settings.endpoint);
    if (connection.account.empty() && connection.key.empty()) {
        connection.account = EMULATOR_ACCOUNT;
        connection.key = EMULATOR_KEY;
        if (connection.endpoint.empty()) {
            connection.endpoint = EMULATOR_ENDPOINT;
        }
    }
    if (connection.account.empty()) {
        error = "a storage key needs its account: give --account or AZURE_STORAGE_ACCOUNT";
        return false;
    }
    if (connection.key.empty()) {
        error = "no key for account " + connection.account +
                ": give AZURE_STORAGE_KEY, --key or AZURE_STORAGE_CONNECTION_STRING";
        return false;
    }
    connection.container = settings.container;
    if (settings.http && strncasecmp(connection.endpoint.c_str(), "https:", 6) == 0) {
        connection.endpoint.erase(4, 1); // --http asks for no TLS on an https endpoint too
    }
    connection.useHttps = !settings.http && !isPlainHttp(connection.endpoint);
    return connection.endpoint.empty() || checkEndpoint(connection.endpoint, error);
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
    options.optSetSecret(Repository::SZK_REMOTE_SECRET, connection.key);
    return Repository(1, Repository::SZV_TARGET_CLOUD, "azure", options);
}

Task makeTransferTask(const Connection &connection) {
    Task task;
    task.getOptions().optSet(Task::SZK_TRANS_ENCRYPT, connection.useHttps);
    return task;
}

} // namespace vorncli
