// SAS tokens as vorn-azure reads them: the token, and the public fields that say what it allows.
#ifndef VORN_CLI_SAS_TOKEN_H
#define VORN_CLI_SAS_TOKEN_H

#include <ctime>
#include <string>

namespace vorncli {

struct SasToken {
    std::string text; // the whole token, a secret: only ever handed to the plug-in
    // Fields that are no secret, percent-decoded.
    std::string permissions;   // sp, letters such as "rwdl"
    std::string expiry;        // se
    std::string start;         // st
    std::string resource;      // sr of a service SAS ("c" container, "b" blob); empty otherwise
    std::string resourceTypes; // srt of an account SAS
};

// Reads a token given as "sv=...&sig=..." (a leading "?" allowed) or as the query of a URL.
// `url` receives the URL without its query, or "" for a bare token. False with `error` set
// when there is no token or it lacks its sv= or sig= field; `error` never quotes the text.
bool parseSasToken(const std::string &text, SasToken &token, std::string &url, std::string &error);

// True when the token's expiry (se) is not after `now`; false without a readable expiry.
bool hasExpired(const SasToken &token, time_t now);

// What the token allows, for people: "container SAS, permissions read, list; expires T".
std::string describeSasToken(const SasToken &token);

} // namespace vorncli

#endif
