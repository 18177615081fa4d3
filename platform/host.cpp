// The host name of this machine.
#include "vorn/platform.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

extern "C" int VORNLnxGetHostname(char *buffer) {
    // 64 characters is the Linux limit for a host name, plus the terminator.
    char name[65];
    memset(name, 0, sizeof name);
    if (!buffer || gethostname(name, sizeof name - 1) != 0) {
        VLIBCErrSetEx(buffer ? errno : EINVAL, "host", __LINE__);
        return -1;
    }
    memcpy(buffer, name, sizeof name);
    return 0;
}
