// TargetInfo: one backup target as the host lists it.
#ifndef VORN_BACKUP_TARGET_INFO_H
#define VORN_BACKUP_TARGET_INFO_H

#include <string>

namespace VORN {
namespace Backup {

// Five text fields followed by seven one-byte flags.
class TargetInfo {
public:
    TargetInfo();
    ~TargetInfo();

    std::string targetId;
    std::string name;
    std::string linkKey;
    std::string hostName;
    std::string description;

    bool online;
    bool encrypted;
    bool compressed;
    bool busy;
    bool readOnly;
    bool needRelink;
    bool versioned;
};

} // namespace Backup
} // namespace VORN

#endif
