// Path helpers, the host's path checks and the errno translations.
#ifndef VORN_BACKUP_PATH_H
#define VORN_BACKUP_PATH_H

#include <string>

#include "vorn/backup/errors.h"

namespace VORN {
namespace Backup {

class Path {
public:
    // `a` and `b` with one "/" between them; an empty piece gives the other unchanged.
    static std::string join(const std::string &a, const std::string &b);
    // The absolute form of `path` (relative to the working directory); symbolic links are kept.
    static std::string absPath(const std::string &path);
    // POSIX dirname/basename: dirname("a") is ".", basename("a/b") is "b".
    static std::string dirname(const std::string &path);
    static std::string basename(const std::string &path);
    // Where temporary files go: $TMPDIR when set, else "/tmp".
    static std::string tempDir();
};

// The longest blob name the service accepts.
const std::string::size_type MAX_BLOB_NAME = 1024;

// A remote path relative to the target: not absolute, no ".." component, no NUL, CR or LF,
// not longer than a blob name. With `isDir` the path names a directory, whose listing prefix
// takes one "/" more. The empty path (the target root) is valid.
bool isValidRelativePath(const std::string &path, bool isDir);
// A remote file: as above, and not empty unless `allowEmpty`; no trailing "/".
bool isValidFileRelativePath(const std::string &path, bool allowEmpty);
// A local file path: not empty, no NUL, not ending in "/"; with `mustExist` it must name an
// existing regular file.
bool isValidFileLocalPath(const std::string &path, bool mustExist);

// The transfer error for an errno left by stat/lstat, and by open/read/write.
TransferError getTransferErrorByLibcStat(int err);
TransferError getTransferErrorByLibcFileIo(int err);

} // namespace Backup
} // namespace VORN

#endif
