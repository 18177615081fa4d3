#include "vorn/backup/backup_info_db.h"

#include <cerrno>

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

namespace VORN {
namespace Backup {

namespace {

const char *const SCHEMA = "CREATE TABLE backup_info (name TEXT PRIMARY KEY NOT NULL, "
                           "value TEXT NOT NULL)";
const char *const LINK_KEY = "link_key";

// Empties the file so that SQLite starts a new database in it, whatever it held before.
int truncateFile(const std::string &path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno == ENOSPC || errno == EDQUOT ? SQLITE_FULL : SQLITE_CANTOPEN;
    }
    ::close(fd);
    return SQLITE_OK;
}

int insertLinkKey(sqlite3 *db, const std::string &linkKey) {
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, "INSERT INTO backup_info (name, value) VALUES (?1, ?2)", -1,
                                &stmt, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(stmt, 1, LINK_KEY, -1, SQLITE_STATIC);
        sqlite3_bind_text(stmt, 2, linkKey.data(), static_cast<int>(linkKey.size()),
                          SQLITE_TRANSIENT);
        rc = sqlite3_step(stmt) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
    }
    sqlite3_finalize(stmt);
    return rc;
}

} // namespace

BackupInfoDb::BackupInfoDb() : m_db(nullptr), m_error(SQLITE_OK) {}

BackupInfoDb::~BackupInfoDb() {
    close();
}

bool BackupInfoDb::fail(int code) {
    m_error = code & 0xff;
    if (m_db) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
    return false;
}

bool BackupInfoDb::create(const std::string &path, const std::string &linkKey) {
    close();
    m_error = SQLITE_OK;
    int rc = truncateFile(path);
    if (rc != SQLITE_OK) {
        return fail(rc);
    }
    rc = sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
        return fail(rc);
    }
    rc = sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_exec(m_db, SCHEMA, nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK) {
        rc = insertLinkKey(m_db, linkKey);
    }
    if (rc == SQLITE_OK) {
        rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
    }
    return rc == SQLITE_OK || fail(rc);
}

bool BackupInfoDb::open(const std::string &path) {
    close();
    m_error = SQLITE_OK;
    int rc = sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
        return fail(rc);
    }
    // SQLite opens lazily; reading the schema is what tells a database from another file.
    rc = sqlite3_exec(m_db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    return rc == SQLITE_OK || fail(rc);
}

bool BackupInfoDb::close() {
    if (!m_db) {
        return true;
    }
    const int rc = sqlite3_close(m_db);
    if (rc != SQLITE_OK) {
        m_error = rc & 0xff;
        return false;
    }
    m_db = nullptr;
    return true;
}

std::string BackupInfoDb::getLinkKey() const {
    if (!m_db) {
        return "";
    }
    sqlite3_stmt *stmt = nullptr;
    std::string key;
    if (sqlite3_prepare_v2(m_db, "SELECT value FROM backup_info WHERE name = ?1", -1, &stmt,
                           nullptr) == SQLITE_OK) {
        sqlite3_bind_text(stmt, 1, LINK_KEY, -1, SQLITE_STATIC);
        if (sqlite3_step(stmt) == SQLITE_ROW) {
            const unsigned char *text = sqlite3_column_text(stmt, 0);
            if (text) {
                key.assign(reinterpret_cast<const char *>(text),
                           static_cast<std::string::size_type>(sqlite3_column_bytes(stmt, 0)));
            }
        }
    }
    sqlite3_finalize(stmt);
    return key;
}

int BackupInfoDb::getError() const {
    return m_error;
}

} // namespace Backup
} // namespace VORN
