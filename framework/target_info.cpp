#include "vorn/backup/target_info.h"

namespace VORN {
namespace Backup {

TargetInfo::TargetInfo()
    : online(false), encrypted(false), compressed(false), busy(false), readOnly(false),
      needRelink(false), versioned(false) {}

TargetInfo::~TargetInfo() {}

} // namespace Backup
} // namespace VORN
