// What vorn-azure checks itself around the agent's work: names the service would refuse, and
// why an endpoint cannot be reached, so that such faults fail at once and say so.
#ifndef VORN_CLI_PREFLIGHT_H
#define VORN_CLI_PREFLIGHT_H

#include <string>

#include "connection.h"
#include "failure.h"

namespace vorncli {

// The URL requests go to: the given endpoint, or the account's public one.
std::string serviceUrl(const Connection &connection);

// A container name the service accepts: 3 to 63 lower-case letters, digits and single hyphens,
// beginning and ending with a letter or digit ("$root" too). False with a usage failure set.
bool checkContainerName(const std::string &name, Failure &failure);

// An endpoint whose host is an IP address or "localhost" (an emulator's) names the account in
// its path, as http://127.0.0.1:10000/devstoreaccount1 does. False with a usage failure set.
bool checkAccountPath(const Connection &connection, Failure &failure);

// A loopback endpoint where nothing listens: retrying would only wait for an emulator nobody
// started. False with an unavailable failure set that names the endpoint.
bool checkLoopbackListener(const Connection &connection, Failure &failure);

// Why a request to an https endpoint failed without a reason, when a plain-http server answers
// there instead of TLS: true with a usage failure set.
bool explainPlainHttp(const Connection &connection, Failure &failure);

} // namespace vorncli

#endif
