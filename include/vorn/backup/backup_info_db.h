// BackupInfoDb: the info database of a backup target (an SQLite file recording its link key).
#ifndef VORN_BACKUP_BACKUP_INFO_DB_H
#define VORN_BACKUP_BACKUP_INFO_DB_H

#include <string>

struct sqlite3;

namespace VORN {
namespace Backup {

class BackupInfoDb {
public:
    static constexpr const char *FILE_NAME = "vornbkpinfo.db";

    BackupInfoDb();
    ~BackupInfoDb();
    BackupInfoDb(const BackupInfoDb &) = delete;
    BackupInfoDb &operator=(const BackupInfoDb &) = delete;

    // Writes a fresh database at `path` (an existing file is overwritten) recording `linkKey`,
    // and keeps it open.
    bool create(const std::string &path, const std::string &linkKey);
    // Opens an existing database read-only.
    bool open(const std::string &path);
    bool close();

    // The recorded link key; empty when none is recorded or nothing is open.
    std::string getLinkKey() const;
    // SQLite's result code of the last failure (13 is "database or disk is full"); 0 when none.
    int getError() const;

private:
    bool fail(int code);

    sqlite3 *m_db;
    int m_error;
};

} // namespace Backup
} // namespace VORN

#endif
