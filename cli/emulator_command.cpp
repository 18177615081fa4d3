// emulator: the pinned local storage emulator on loopback, for trying vorn-azure out or testing
// one's own scripts, keeping its data in a directory between runs.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "commands.h"
#include "connection.h"
#include "profiles.h"
#include "user_stream.h"

namespace vorncli {

namespace {

const int DEFAULT_PORT = 10000; // where vorn-azure looks without an endpoint

struct EmulatorArgs {
    int port = DEFAULT_PORT;
    std::string data;
};

std::string defaultDataDir() {
    const char *xdg = getenv("XDG_DATA_HOME");
    const std::string base = xdg && *xdg == '/' ? xdg : expandHome("~/.local/share");
    return base + "/vorn-azure/emulator";
}

// mkdir -p, private to the user.
bool makeDirectories(const std::string &path, int &errnoValue) {
    for (std::string::size_type slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            errnoValue = errno;
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
    }
}

// The emulator only reports a taken port in its own words, after it has started up.
bool portIsFree(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool free =
        fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return free;
}

// $VORN_AZURITE_BIN, the source tree's pinned emulator, else azurite-blob on the PATH.
std::string emulatorProgram() {
    const char *configured = getenv("VORN_AZURITE_BIN");
    if (configured && *configured) {
        return configured;
    }
    return access(VORN_SOURCE_AZURITE, X_OK) == 0 ? VORN_SOURCE_AZURITE : "azurite-blob";
}

int runEmulator(Session &session, const EmulatorArgs &args) {
    const std::string data = args.data.empty() ? defaultDataDir() : expandHome(args.data);
    int errnoValue = 0;
    if (!makeDirectories(data, errnoValue)) {
        return session.fail(localFailure(data, errnoValue));
    }
    if (!portIsFree(args.port)) {
        return session.fail("127.0.0.1:" + std::to_string(args.port) +
                            " is taken: an emulator may already run there (`vorn-azure status` "
                            "checks), or give --port");
    }
    const std::string endpoint =
        "http://127.0.0.1:" + std::to_string(args.port) + "/" + EMULATOR_ACCOUNT;
    fprintf(userStream(), "vorn-azure: emulator at %s, data in %s; Ctrl-C stops it\n",
            endpoint.c_str(), data.c_str());
    if (args.port != DEFAULT_PORT) {
        fprintf(userStream(), "vorn-azure: use it with --endpoint %s (or endpoint = %s in a "
                              "profile)\n",
                endpoint.c_str(), endpoint.c_str());
    }
    const std::string program = emulatorProgram();
    const std::string port = std::to_string(args.port);
    const char *const argv[] = {program.c_str(), "--blobHost", "127.0.0.1", "--blobPort",
                                port.c_str(), "--location", data.c_str(), "--disableTelemetry",
                                "--skipApiVersionCheck", "--loose", "--silent", nullptr};
    // The emulator takes over this process, and so the terminal and Ctrl-C.
    releaseStandardError();
    execvp(program.c_str(), const_cast<char *const *>(argv));
    const int error = errno;
    return session.fail({error == ENOENT ? FailureClass::NotFound : FailureClass::Failed,
                         program + ": " + strerror(error) +
                             (error == ENOENT ? " (the emulator is installed by ./dev setup in "
                                                "the source tree, or by npm install -g azurite)"
                                              : "")});
}

} // namespace

void addEmulatorCommand(CommandTable &commands) {
    Session &session = commands.session();
    auto args = std::make_shared<EmulatorArgs>();
    CLI::App *cmd = commands.add("emulator",
                                 "run the local storage emulator on 127.0.0.1 in the foreground",
                                 [&session, args] { return runEmulator(session, *args); });
    cmd->add_option("--port", args->port, "loopback port")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    cmd->add_option("--data", args->data,
                    "directory that keeps the emulator's data (default: "
                    "$XDG_DATA_HOME/vorn-azure/emulator)")
        ->type_name("DIR");
}

} // namespace vorncli
