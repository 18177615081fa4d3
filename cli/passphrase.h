// Where an encrypted target's passphrase comes from: a file, VORN_PASSWORD, or the terminal;
// never the command line.
#ifndef VORN_CLI_PASSPHRASE_H
#define VORN_CLI_PASSPHRASE_H

#include <string>

#include "status.h"

namespace vorncli {

// The passphrase from `file` when given, else $VORN_PASSWORD, else a prompt on the terminal.
// Access, saying how to give one, when there is none of them (no terminal: at once).
vornengine::Status readPassphrase(const std::string &file, std::string &passphrase);

// A new passphrase from `file` when given, else asked twice on the terminal. `file` empty and
// no terminal: Access.
vornengine::Status readNewPassphrase(const std::string &file, std::string &passphrase);

} // namespace vorncli

#endif
