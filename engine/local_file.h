// Whole local files in and out of memory, for records and packs on their way to the store.
#ifndef VORN_ENGINE_LOCAL_FILE_H
#define VORN_ENGINE_LOCAL_FILE_H

#include <string>

#include "status.h"

namespace vornengine {

Status readLocalFile(const std::string &path, std::string &bytes);
// Writes `bytes` to `path` (created mode 0600, or truncated).
Status writeLocalFile(const std::string &path, const std::string &bytes);

} // namespace vornengine

#endif
