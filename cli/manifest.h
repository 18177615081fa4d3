// The backup manifest: what a backup stored for each path, kept as an SQLite database.
#ifndef VORN_CLI_MANIFEST_H
#define VORN_CLI_MANIFEST_H

#include <map>
#include <string>

namespace vorncli {

enum class EntryType { File = 0, Symlink = 1, Directory = 2 };

struct ManifestEntry {
    EntryType type = EntryType::File;
    long long size = 0;
    long long mtimeNs = 0;
    unsigned mode = 0;
    std::string linkTarget; // symbolic links only
    std::string md5;        // files only, lower-case hex
    std::string etag;       // files only, as the service returned it
};

// By relative path ("/" separators); ordered so that parents come before their children.
using ManifestEntries = std::map<std::string, ManifestEntry>;

// How many of `entries` are regular files.
long long fileCount(const ManifestEntries &entries);

// Reads every entry of the database file `path` into `entries`.
bool loadManifest(const std::string &path, ManifestEntries &entries, std::string &error);
// Writes `entries` as a new database file at `path` (which must not hold another database).
bool saveManifest(const std::string &path, const ManifestEntries &entries, std::string &error);

} // namespace vorncli

#endif
