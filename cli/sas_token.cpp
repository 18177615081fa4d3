#include "sas_token.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace vorncli {

namespace {

typedef std::map<std::string, std::string> Fields;

std::string percentDecoded(const std::string &text) {
    std::string out;
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        const bool escaped = text[i] == '%' && i + 2 < text.size() &&
                             isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                             isxdigit(static_cast<unsigned char>(text[i + 2]));
        if (escaped) {
            out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

Fields queryFields(const std::string &query) {
    Fields fields;
    std::string::size_type start = 0;
    while (start < query.size()) {
        std::string::size_type end = query.find('&', start);
        if (end == std::string::npos) {
            end = query.size();
        }
        const std::string part = query.substr(start, end - start);
        const std::string::size_type eq = part.find('=');
        if (eq != std::string::npos && fields.count(part.substr(0, eq)) == 0) {
            fields[part.substr(0, eq)] = percentDecoded(part.substr(eq + 1));
        }
        start = end + 1;
    }
    return fields;
}

std::string trimmed(const std::string &text) {
    const char *const SPACE = " \t\r\n";
    const std::string::size_type first = text.find_first_not_of(SPACE);
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(SPACE) - first + 1);
}

// "YYYY-MM-DD", optionally followed by "THH:MM[:SS[.fraction]]Z", as seconds since the epoch.
bool parseUtcTime(const std::string &text, time_t &when) {
    struct tm parts = {};
    int consumed = 0;
    if (sscanf(text.c_str(), "%4d-%2d-%2d%n", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
               &consumed) != 3) {
        return false;
    }
    if (static_cast<size_t>(consumed) < text.size() &&
        sscanf(text.c_str() + consumed, "T%2d:%2d:%2d", &parts.tm_hour, &parts.tm_min,
               &parts.tm_sec) < 2) {
        return false;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    when = timegm(&parts);
    return true;
}

const std::map<char, const char *> PERMISSION_NAMES = {
    {'r', "read"},   {'a', "add"},  {'c', "create"}, {'w', "write"},  {'d', "delete"},
    {'l', "list"},   {'x', "delete versions"},       {'t', "tags"},   {'f', "filter"},
    {'m', "move"},   {'e', "execute"}, {'i', "set immutability"}, {'y', "permanent delete"}};

std::string scopeOf(const SasToken &token) {
    if (token.resource == "c") {
        return "container SAS";
    }
    if (token.resource.empty()) {
        return "account SAS";
    }
    return "SAS of a single blob";
}

} // namespace

bool parseSasToken(const std::string &text, SasToken &token, std::string &url, std::string &error) {
    const std::string given = trimmed(text);
    const std::string::size_type query = given.find('?');
    const bool isUrl = given.find("://") != std::string::npos;
    if (isUrl && query == std::string::npos) {
        error = "the URL given for the SAS token carries no token (no \"?\" and query)";
        return false;
    }
    url = isUrl ? given.substr(0, query) : "";
    token = SasToken();
    const bool leadingMark = given.compare(0, 1, "?") == 0;
    token.text = isUrl ? given.substr(query + 1) : given.substr(leadingMark ? 1 : 0);
    const Fields fields = queryFields(token.text);
    if (token.text.empty() || !fields.count("sv") || !fields.count("sig")) {
        error = "the SAS token is malformed: it needs its sv= and sig= fields";
        return false;
    }
    const auto value = [&fields](const char *name) {
        const Fields::const_iterator it = fields.find(name);
        return it == fields.end() ? std::string() : it->second;
    };
    token.permissions = value("sp");
    token.expiry = value("se");
    token.start = value("st");
    token.resource = value("sr");
    token.resourceTypes = value("srt");
    return true;
}

bool hasExpired(const SasToken &token, time_t now) {
    time_t expiry;
    return parseUtcTime(token.expiry, expiry) && expiry <= now;
}

std::string describeSasToken(const SasToken &token) {
    std::string permissions;
    for (const char letter : token.permissions) {
        const auto name = PERMISSION_NAMES.find(letter);
        permissions += (permissions.empty() ? "" : ", ") +
                       (name == PERMISSION_NAMES.end() ? std::string(1, letter) : name->second);
    }
    const std::string expiry =
        token.expiry.empty() ? "never (a stored access policy may say)" : token.expiry;
    return scopeOf(token) + ", permissions " + (permissions.empty() ? "none" : permissions) +
           "; expires " + expiry;
}

} // namespace vorncli
