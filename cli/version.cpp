#include "version.h"

#include "build_info.h"

namespace vorncli {

std::string versionText() {
    return std::string("vorn-azure ") + VORN_VERSION + " (git " + VORN_GIT_REVISION +
           ")\ntested with the Azure Storage SDK for Python " + VORN_TESTED_SDK +
           " and the Azurite emulator " + VORN_TESTED_EMULATOR;
}

} // namespace vorncli
