#include "vorn/backup/errors.h"

namespace VORN {
namespace Backup {

const char *transferErrorText(int code) {
    switch (code) {
    case TRANSFER_ERR_NONE: return "no error";
    case TRANSFER_ERR_GENERIC: return "failed";
    case TRANSFER_ERR_INVALID: return "invalid input";
    case TRANSFER_ERR_CANCELLED: return "cancelled";
    case TRANSFER_ERR_NOT_FOUND: return "not found";
    case TRANSFER_ERR_ACCESS_DENIED: return "access denied";
    case TRANSFER_ERR_FILE_TOO_LARGE: return "file too large";
    case TRANSFER_ERR_NETWORK: return "network failure";
    case TRANSFER_ERR_AUTH: return "rejected credentials";
    case TRANSFER_ERR_NO_SPACE: return "no space left";
    case TRANSFER_ERR_READ_ONLY: return "read-only file system";
    case TRANSFER_ERR_LOCAL_IO: return "local i/o error";
    case TRANSFER_ERR_TIMEOUT: return "timed out";
    case TRANSFER_ERR_RESOLVE: return "host name not resolved";
    }
    return "unknown error";
}

const char *targetErrorText(int code) {
    switch (code) {
    case TM_ERR_NONE: return "no error";
    case TM_ERR_GENERIC: return "failed";
    case TM_ERR_ACCESS_REFUSED: return "access denied";
    case TM_ERR_CONFLICT: return "already exists";
    case TM_ERR_BAD_REQUEST: return "bad request";
    case TM_ERR_NOT_FOUND: return "not found";
    case TM_ERR_CANCELLED: return "cancelled";
    case TM_ERR_INVALID_INPUT: return "invalid input";
    case TM_ERR_NETWORK: return "network failure";
    case TM_ERR_TIMEOUT: return "timed out";
    case TM_ERR_NOT_OWN_TARGET: return "not this backup set's target";
    case TM_ERR_RESOLVE: return "host name not resolved";
    case TM_ERR_DISK_FULL: return "disk full";
    case TM_ERR_NOT_SUPPORTED: return "not supported";
    }
    return "unknown error";
}

} // namespace Backup
} // namespace VORN
