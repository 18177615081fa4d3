// The process-wide last-error slot: a code and the source position that set it.
#include "vorn/platform.h"

#include <cstring>
#include <mutex>

namespace {

std::mutex g_mutex;
int g_code = VLIBC_ERR_NONE;
// The file name is copied: callers may pass a buffer that does not outlive the call.
char g_file[256] = "";
int g_line = 0;

} // namespace

extern "C" {

void VLIBCErrSetEx(int code, const char *file, int line) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_code = code;
    g_line = line;
    if (file) {
        strncpy(g_file, file, sizeof g_file - 1);
        g_file[sizeof g_file - 1] = '\0';
    } else {
        g_file[0] = '\0';
    }
}

int VLIBCErrGet(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_code;
}

const char *VLIBCErrorGetFile(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_file;
}

int VLIBCErrorGetLine(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_line;
}

} // extern "C"
