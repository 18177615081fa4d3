// ScopedTempFile: a uniquely named temporary file that is removed when it goes out of scope.
#ifndef VORN_BACKUP_SCOPED_TEMP_FILE_H
#define VORN_BACKUP_SCOPED_TEMP_FILE_H

#include <string>

namespace VORN {
namespace Backup {

// The file is made with mkstemp (mode 0600) from `path`:
//  - a path ending in "XXXXXX" is used as the template as given;
//  - an empty path gives a file in $TMPDIR, or "/tmp";
//  - any other path gives a hidden unique file in that path's own directory, so that a final
//    rename onto `path` stays on one file system and is atomic.
// The last two names carry the owner process, and the first file made in a directory sweeps
// from it the files that exited owners left behind.
class ScopedTempFile {
public:
    // With `autoRemove` false the file is left in place at destruction.
    explicit ScopedTempFile(const std::string &path = "", bool autoRemove = true);
    ~ScopedTempFile();
    ScopedTempFile(const ScopedTempFile &) = delete;
    ScopedTempFile &operator=(const ScopedTempFile &) = delete;

    bool isValid() const;
    const std::string &getPath() const;
    // Moves the file onto `to` durably: its data is synced before the rename and the directory
    // after. True on success; once moved the file is no longer removed, even when the final
    // directory sync fails.
    bool rename(const std::string &to);

private:
    std::string m_path;
    bool m_valid;
    bool m_autoRemove;
};

} // namespace Backup
} // namespace VORN

#endif
