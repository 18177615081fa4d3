// The entry points a destination plug-in exports with plain C names, as the host looks them up.
#ifndef VORN_BACKUP_PLUGIN_H
#define VORN_BACKUP_PLUGIN_H

#include "vorn/backup/repository.h"
#include "vorn/backup/target_manager.h"
#include "vorn/backup/transfer_agent.h"

namespace VORN {
namespace Backup {

// Keeps older versions of files; a destination without versions returns none.
class VersionManager {
public:
    virtual ~VersionManager();
};

typedef TransferAgent *(*GetTransferAgentFn)(const Repository &);
typedef TargetManager *(*GetTargetManagerFn)(const Repository &);
typedef VersionManager *(*GetVersionManagerFn)();

} // namespace Backup
} // namespace VORN

#endif
