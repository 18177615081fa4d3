// Repository: the destination record a plug-in works on (options, target type, transfer type, id).
#ifndef VORN_BACKUP_REPOSITORY_H
#define VORN_BACKUP_REPOSITORY_H

#include <string>

#include "vorn/backup/option_map.h"

namespace VORN {
namespace Backup {

class Repository {
public:
    static constexpr const char *SZK_REMOTE_BUCKET = "remote_bucket";
    static constexpr const char *SZK_REMOTE_KEY = "remote_key";
    static constexpr const char *SZK_REMOTE_SECRET = "remote_secret";
    // How the plug-in signs in: absent or "key" (the account key in SZK_REMOTE_SECRET), "sas"
    // (a SAS token in SZK_REMOTE_SECRET) or "entra" (Microsoft Entra ID, no secret option).
    static constexpr const char *SZK_REMOTE_AUTH = "remote_auth";
    static constexpr const char *SZV_AUTH_KEY = "key";
    static constexpr const char *SZV_AUTH_SAS = "sas";
    static constexpr const char *SZV_AUTH_ENTRA = "entra";
    static constexpr const char *SZV_TARGET_CLOUD = "cloud";

    // A repository without options (hasOptions() is false).
    Repository();
    Repository(int id, const std::string &targetType, const std::string &transferType,
               const OptionMap &options);

    int getId() const;
    const std::string &getTargetType() const;
    const std::string &getTransferType() const;
    // The option map; an empty one when the repository has none.
    const OptionMap &getOptions() const;
    bool hasOptions() const;

    void setId(int id);
    void setTargetType(const std::string &type);
    void setTransferType(const std::string &type);
    void setOptions(const OptionMap &options);

private:
    int m_id;
    std::string m_targetType;
    std::string m_transferType;
    OptionMap m_options;
    bool m_hasOptions;
};

} // namespace Backup
} // namespace VORN

#endif
