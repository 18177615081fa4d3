#include "passphrase.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "local_file.h"

namespace vorncli {

using vornengine::Status;

namespace {

const char *const HOW =
    "give --password-file FILE, set VORN_PASSWORD, or run on a terminal to be asked";

Status fromFile(const std::string &file, std::string &passphrase) {
    Status status = vornengine::readLocalFile(file, passphrase);
    if (!status.isOk()) {
        return status.code() == Status::Code::NotFound
                   ? Status::access("password file " + file + ": no such file")
                   : Status::access("password file " + file + ": cannot be read");
    }
    // The file's last line break is not part of the passphrase.
    while (!passphrase.empty() && (passphrase.back() == '\n' || passphrase.back() == '\r')) {
        passphrase.pop_back();
    }
    if (passphrase.empty()) {
        return Status::access("password file " + file + " is empty");
    }
    return Status::ok();
}

// One line read from the terminal without echo; false without a terminal.
bool prompt(const char *question, std::string &answer) {
    const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) {
        return false;
    }
    struct termios saved, quiet;
    const bool isTerminal = tcgetattr(tty, &saved) == 0;
    if (!isTerminal) {
        close(tty);
        return false;
    }
    quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(tty, TCSAFLUSH, &quiet);
    if (write(tty, question, strlen(question)) < 0) {
        // nothing to do: the answer is still read
    }
    answer.clear();
    char c;
    while (read(tty, &c, 1) == 1 && c != '\n') {
        answer += c;
    }
    tcsetattr(tty, TCSAFLUSH, &saved);
    if (write(tty, "\n", 1) < 0) {
        // as above
    }
    close(tty);
    return true;
}

} // namespace

Status readPassphrase(const std::string &file, std::string &passphrase) {
    if (!file.empty()) {
        return fromFile(file, passphrase);
    }
    if (const char *value = getenv("VORN_PASSWORD")) {
        passphrase = value;
        if (!passphrase.empty()) {
            return Status::ok();
        }
    }
    if (!prompt("passphrase for the target: ", passphrase)) {
        return Status::access(std::string("the target is encrypted and no passphrase was given: ") + HOW);
    }
    return passphrase.empty() ? Status::access("an empty passphrase opens nothing") : Status::ok();
}

Status readNewPassphrase(const std::string &file, std::string &passphrase) {
    if (!file.empty()) {
        return fromFile(file, passphrase);
    }
    std::string again;
    if (!prompt("new passphrase: ", passphrase) || !prompt("the new passphrase again: ", again)) {
        return Status::access("no new passphrase: give --new-password-file FILE or run on a terminal");
    }
    if (passphrase != again) {
        return Status::usage("the two passphrases differ");
    }
    return passphrase.empty() ? Status::usage("an empty passphrase protects nothing") : Status::ok();
}

} // namespace vorncli
