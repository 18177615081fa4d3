#include "manifest.h"

#include <sqlite3.h>

#include <memory>

namespace vorncli {

namespace {

const char *const SCHEMA = "CREATE TABLE IF NOT EXISTS entries ("
                           "path TEXT PRIMARY KEY, type INTEGER NOT NULL, size INTEGER NOT NULL,"
                           " mtime_ns INTEGER NOT NULL, mode INTEGER NOT NULL,"
                           " link_target TEXT NOT NULL, md5 TEXT NOT NULL, etag TEXT NOT NULL)";

struct DatabaseCloser {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

bool openDatabase(const std::string &path, int flags, Database &db, std::string &error) {
    sqlite3 *handle = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &handle, flags, nullptr);
    db.reset(handle);
    if (rc != SQLITE_OK) {
        error = "manifest: " + std::string(handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc));
        return false;
    }
    return true;
}

bool failed(sqlite3 *db, std::string &error) {
    error = std::string("manifest: ") + sqlite3_errmsg(db);
    return false;
}

std::string columnText(sqlite3_stmt *statement, int column) {
    const unsigned char *text = sqlite3_column_text(statement, column);
    return text ? reinterpret_cast<const char *>(text) : "";
}

} // namespace

long long fileCount(const ManifestEntries &entries) {
    long long files = 0;
    for (const auto &item : entries) {
        files += item.second.type == EntryType::File;
    }
    return files;
}

bool loadManifest(const std::string &path, ManifestEntries &entries, std::string &error) {
    Database db;
    if (!openDatabase(path, SQLITE_OPEN_READONLY, db, error)) {
        return false;
    }
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db.get(),
                           "SELECT path, type, size, mtime_ns, mode, link_target, md5, etag"
                           " FROM entries",
                           -1, &raw, nullptr) != SQLITE_OK) {
        return failed(db.get(), error);
    }
    Statement statement(raw);
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        ManifestEntry entry;
        const int type = sqlite3_column_int(raw, 1);
        if (type < 0 || type > static_cast<int>(EntryType::Directory)) {
            error = "manifest: unknown entry type";
            return false;
        }
        entry.type = static_cast<EntryType>(type);
        entry.size = sqlite3_column_int64(raw, 2);
        entry.mtimeNs = sqlite3_column_int64(raw, 3);
        entry.mode = static_cast<unsigned>(sqlite3_column_int(raw, 4));
        entry.linkTarget = columnText(raw, 5);
        entry.md5 = columnText(raw, 6);
        entry.etag = columnText(raw, 7);
        entries[columnText(raw, 0)] = entry;
    }
    return rc == SQLITE_DONE || failed(db.get(), error);
}

bool saveManifest(const std::string &path, const ManifestEntries &entries, std::string &error) {
    Database db;
    if (!openDatabase(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, db, error)) {
        return false;
    }
    if (sqlite3_exec(db.get(), SCHEMA, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return failed(db.get(), error);
    }
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db.get(), "INSERT INTO entries VALUES (?, ?, ?, ?, ?, ?, ?, ?)", -1,
                           &raw, nullptr) != SQLITE_OK) {
        return failed(db.get(), error);
    }
    Statement statement(raw);
    for (const auto &[relative, entry] : entries) {
        sqlite3_bind_text(raw, 1, relative.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(raw, 2, static_cast<int>(entry.type));
        sqlite3_bind_int64(raw, 3, entry.size);
        sqlite3_bind_int64(raw, 4, entry.mtimeNs);
        sqlite3_bind_int(raw, 5, static_cast<int>(entry.mode));
        sqlite3_bind_text(raw, 6, entry.linkTarget.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(raw, 7, entry.md5.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(raw, 8, entry.etag.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(raw) != SQLITE_DONE) {
            return failed(db.get(), error);
        }
        sqlite3_reset(raw);
    }
    return sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK ||
           failed(db.get(), error);
}

} // namespace vorncli
