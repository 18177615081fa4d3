// The local side of a tree command: walking a directory into manifest entries, names the
// service can hold, include/exclude selection and file digests.
#ifndef VORN_CLI_LOCAL_TREE_H
#define VORN_CLI_LOCAL_TREE_H

#include <string>
#include <vector>

#include "manifest.h"

namespace vorncli {

// --include / --exclude patterns (fnmatch). A pattern with a "/" matches the whole relative
// path, one without matches the last name. Without includes every path is included; an
// excluded directory is left out with everything below it.
struct Selection {
    std::vector<std::string> include;
    std::vector<std::string> exclude;

    bool selects(const std::string &relative) const;
    bool excludes(const std::string &relative) const;
};

// A path that could not be taken, and why; one report line each.
struct Problem {
    std::string relative;
    std::string reason;
};

// Regular files, symbolic links and empty directories below `root`, by relative path, and
// the entries that cannot be backed up (unreadable directories, names the service cannot
// hold, other file types). False only when `root` itself is not a readable directory.
bool scanLocalTree(const std::string &root, const Selection &selection, ManifestEntries &entries,
                   std::vector<Problem> &problems, std::string &error);

// The manifest entry of `path` as it stands now (its digest and ETag left empty); false with
// `error` set when it cannot be examined or is of a kind that is not backed up.
bool describeLocal(const std::string &path, ManifestEntry &entry, std::string &error);

// Valid UTF-8 without control characters: a name blob storage keeps intact.
bool isStorableName(const std::string &name);

// `name` fit for one report line: control and non-UTF-8 bytes as \xNN.
std::string printableName(const std::string &name);

// The MD5 of the file's content in lower-case hex.
bool fileMd5(const std::string &path, std::string &digest, std::string &error);

} // namespace vorncli

#endif
