// The records a target keeps beside the user's files: never backup data, never restored.
#ifndef VORN_CLI_TARGET_RECORDS_H
#define VORN_CLI_TARGET_RECORDS_H

#include <string>

#include "vorn/backup/backup_info_db.h"
#include "vorn/backup/task.h"

namespace vorncli {

// `relative` is a path below the target's root.
inline bool isTargetRecord(const std::string &relative) {
    return relative == VORN::Backup::BackupInfoDb::FILE_NAME ||
           relative == VORN::Backup::Task::CONFIG_FILE_NAME;
}

} // namespace vorncli

#endif
