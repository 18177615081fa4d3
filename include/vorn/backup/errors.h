// Error codes of the host framework: transfer errors and target-manager errors, with their texts.
#ifndef VORN_BACKUP_ERRORS_H
#define VORN_BACKUP_ERRORS_H

namespace VORN {
namespace Backup {

enum TransferError {
    TRANSFER_ERR_NONE = 0,
    TRANSFER_ERR_GENERIC = 1,
    TRANSFER_ERR_INVALID = 3,
    TRANSFER_ERR_CANCELLED = 4,
    TRANSFER_ERR_NOT_FOUND = 5,
    TRANSFER_ERR_ACCESS_DENIED = 6,
    TRANSFER_ERR_FILE_TOO_LARGE = 7,
    TRANSFER_ERR_NETWORK = 8,
    TRANSFER_ERR_AUTH = 10,
    TRANSFER_ERR_NO_SPACE = 11,
    TRANSFER_ERR_READ_ONLY = 12,
    TRANSFER_ERR_LOCAL_IO = 13,
    TRANSFER_ERR_TIMEOUT = 19,
    TRANSFER_ERR_RESOLVE = 20,
};

enum TM_ERROR_CODE {
    TM_ERR_NONE = 0,
    TM_ERR_GENERIC = 2,
    TM_ERR_ACCESS_REFUSED = 8,
    TM_ERR_CONFLICT = 12,
    TM_ERR_BAD_REQUEST = 15,
    TM_ERR_NOT_FOUND = 18,
    TM_ERR_CANCELLED = 23,
    TM_ERR_INVALID_INPUT = 24,
    TM_ERR_NETWORK = 25,
    TM_ERR_TIMEOUT = 27,
    TM_ERR_NOT_OWN_TARGET = 28,
    TM_ERR_RESOLVE = 29,
    TM_ERR_DISK_FULL = 1000,
    TM_ERR_NOT_SUPPORTED = 1003,
};

// What a code means, in a few words for a person ("not found", "network failure").
const char *transferErrorText(int code);
const char *targetErrorText(int code);

} // namespace Backup
} // namespace VORN

#endif
