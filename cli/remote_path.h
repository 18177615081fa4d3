// Paths inside a target as the user types them, made plain and checked against what a blob
// name can hold before any request is sent.
#ifndef VORN_CLI_REMOTE_PATH_H
#define VORN_CLI_REMOTE_PATH_H

#include <string>

#include "failure.h"

namespace vorncli {

// `typed` with "." parts, repeated slashes and leading or trailing slashes dropped ("./a//b/"
// is "a/b"; "" and "/" are the target itself). False with a usage failure set when it holds a
// ".." part or a control character, or when the blob name below `targetId` would be longer
// than the service allows.
bool plainRemotePath(const std::string &typed, const std::string &targetId, std::string &path,
                     Failure &failure);

// True when `typed` names a directory by its form: empty, or ending in "/".
bool namesDirectory(const std::string &typed);

// The last part of a local path ("a/b.txt" gives "b.txt").
std::string baseName(const std::string &path);

} // namespace vorncli

#endif
