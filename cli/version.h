// What --version prints: this build and the service software it was tested with.
#ifndef VORN_CLI_VERSION_H
#define VORN_CLI_VERSION_H

#include <string>

namespace vorncli {

// "vorn-azure 1.0.0 (git 1a2b3c4)" on the first line, then the tested SDK and emulator versions.
std::string versionText();

} // namespace vorncli

#endif
