// Internal helpers of the framework: JSON files, streamed file copies and directories.
#ifndef VORN_FRAMEWORK_FILE_UTIL_H
#define VORN_FRAMEWORK_FILE_UTIL_H

#include <cstddef>
#include <functional>
#include <string>

#include <boost/function.hpp>
#include <json/value.h>

#include "vorn/backup/errors.h"

namespace VORN {
namespace Backup {

enum class JsonFileState { MISSING, READ, UNREADABLE };

// Reads the JSON text at `path`; an empty file reads as null.
JsonFileState readJsonFile(const std::string &path, Json::Value &value);
// Replaces the file at `path` with `value` through a temporary file and a durable rename
// (mode 0600).
bool writeJsonFile(const std::string &path, const Json::Value &value);
// The piece size of file copies: bounded memory, still few system calls.
const size_t STREAM_BUFFER = 1 << 20;

// Hands the content of the file at `path` to `sink` in pieces of STREAM_BUFFER, asking
// `cancelHook` before each. A refusing sink sets `error` itself.
bool streamFile(const std::string &path, const std::function<bool(const char *, size_t)> &sink,
                const boost::function<bool()> &cancelHook, TransferError &error);
// Creates `dir` and its missing parents (mode 0700); true when it exists afterwards.
bool makeDirectories(const std::string &dir);
// $name when set and not empty, else $HOME followed by `homeRelative`; "" without either.
std::string dirFromEnvironment(const char *name, const char *homeRelative);

} // namespace Backup
} // namespace VORN

#endif
