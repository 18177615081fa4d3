#include "preflight.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <strings.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace vorncli {

namespace {

struct Url {
    bool https = false;
    std::string host; // without IPv6 brackets
    std::string port;
    std::string path; // after the authority, without the leading "/"
};

// An endpoint that has passed the connection's own check: "http[s]://HOST[:PORT][/PATH]".
Url parseUrl(const std::string &text) {
    Url url;
    const std::string::size_type scheme = text.find("://");
    url.https = strncasecmp(text.c_str(), "https", 5) == 0;
    const std::string::size_type start = scheme + 3;
    const std::string::size_type slash = text.find('/', start);
    const std::string authority = text.substr(start, slash - start);
    url.path = slash == std::string::npos ? "" : text.substr(slash + 1);
    const std::string::size_type bracket = authority.find(']');
    const std::string::size_type colon =
        authority.find(':', bracket == std::string::npos ? 0 : bracket);
    url.host = authority.substr(0, colon);
    if (url.host.size() > 1 && url.host.front() == '[') {
        url.host = url.host.substr(1, url.host.size() - 2);
    }
    url.port = colon == std::string::npos ? (url.https ? "443" : "80") : authority.substr(colon + 1);
    return url;
}

bool isIpAddress(const std::string &host) {
    unsigned char address[sizeof(struct in6_addr)];
    return inet_pton(AF_INET, host.c_str(), address) == 1 ||
           inet_pton(AF_INET6, host.c_str(), address) == 1;
}

bool isLoopback(const std::string &host) {
    struct in_addr v4;
    return strcasecmp(host.c_str(), "localhost") == 0 || host == "::1" ||
           (inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127);
}

struct SocketCloser {
    void operator()(const int *fd) const {
        close(*fd);
        delete fd;
    }
};
typedef std::unique_ptr<int, SocketCloser> Socket;

// A connected socket, or null with `error` set to the system's reason.
Socket connectTo(const Url &url, int timeoutSeconds, int &error) {
    struct addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    if (getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &found) != 0) {
        error = EHOSTUNREACH;
        return nullptr;
    }
    Socket connected;
    error = ECONNREFUSED;
    for (const struct addrinfo *each = found; each && !connected; each = each->ai_next) {
        const int fd = socket(each->ai_family, each->ai_socktype | SOCK_CLOEXEC, each->ai_protocol);
        if (fd < 0) {
            continue;
        }
        Socket candidate(new int(fd));
        const struct timeval timeout = {timeoutSeconds, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (connect(fd, each->ai_addr, each->ai_addrlen) == 0) {
            connected = std::move(candidate);
        } else {
            error = errno;
        }
    }
    freeaddrinfo(found);
    return connected;
}

} // namespace

std::string serviceUrl(const Connection &connection) {
    if (!connection.endpoint.empty()) {
        return connection.endpoint;
    }
    return std::string(connection.useHttps ? "https" : "http") + "://" + connection.account +
           ".blob.core.windows.net";
}

bool checkContainerName(const std::string &name, Failure &failure) {
    const bool rightLength = name.size() >= 3 && name.size() <= 63;
    const bool rightCharacters = name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") ==
                                 std::string::npos;
    if (name == "$root" ||
        (rightLength && rightCharacters && name.front() != '-' && name.back() != '-' &&
         name.find("--") == std::string::npos)) {
        return true;
    }
    failure = {FailureClass::Usage,
               "container \"" + name + "\": a container name is 3 to 63 lower-case letters, "
               "digits and single hyphens, beginning and ending with a letter or digit"};
    return false;
}

bool checkAccountPath(const Connection &connection, Failure &failure) {
    if (connection.endpoint.empty()) {
        return true;
    }
    const Url url = parseUrl(connection.endpoint);
    if (!(isIpAddress(url.host) || strcasecmp(url.host.c_str(), "localhost") == 0) ||
        !url.path.empty()) {
        return true;
    }
    failure = {FailureClass::Usage,
               "endpoint \"" + connection.endpoint + "\" names no account: at an address like this "
               "the account follows the port, as in http://127.0.0.1:10000/" + connection.account};
    return false;
}

bool checkLoopbackListener(const Connection &connection, Failure &failure) {
    if (connection.endpoint.empty()) {
        return true;
    }
    const Url url = parseUrl(connection.endpoint);
    int error = 0;
    if (!isLoopback(url.host) || connectTo(url, 2, error)) {
        return true;
    }
    failure = {FailureClass::Unavailable,
               std::string(UNREACHED_SERVICE) + " at " + connection.endpoint + ": " + strerror(error) +
                   " (is the emulator running? `vorn-azure emulator` starts one)"};
    return false;
}

bool explainPlainHttp(const Connection &connection, Failure &failure) {
    const Url url = parseUrl(serviceUrl(connection));
    int error = 0;
    const Socket socket = url.https ? connectTo(url, 3, error) : nullptr;
    if (!socket) {
        return false;
    }
    const std::string request = "HEAD / HTTP/1.0\r\nHost: " + url.host + "\r\n\r\n";
    char answer[5] = {};
    if (send(*socket, request.data(), request.size(), MSG_NOSIGNAL) < 0 ||
        recv(*socket, answer, sizeof answer, MSG_WAITALL) != sizeof answer ||
        memcmp(answer, "HTTP/", sizeof answer) != 0) {
        return false;
    }
    failure = {FailureClass::Usage,
               serviceUrl(connection) + ": the server there speaks plain http, not https: give "
               "an http:// endpoint, or --http"};
    return true;
}

} // namespace vorncli
