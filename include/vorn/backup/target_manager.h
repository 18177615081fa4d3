// TargetManager: the host's interface for a destination as a whole (container, targets, tasks).
#ifndef VORN_BACKUP_TARGET_MANAGER_H
#define VORN_BACKUP_TARGET_MANAGER_H

#include <list>
#include <string>

#include <json/value.h>

#include "vorn/backup/errors.h"
#include "vorn/backup/option_map.h"
#include "vorn/backup/repository.h"
#include "vorn/backup/target_info.h"
#include "vorn/backup/task.h"

namespace VORN {
namespace Backup {

enum PRIVILEGE_SUBJECT { PRIVILEGE_SUBJECT_REPOSITORY, PRIVILEGE_SUBJECT_TARGET };
enum TM_ACT { TM_ACT_READ, TM_ACT_WRITE, TM_ACT_ADMIN };
enum CAPABILITIES_TYPE { CAPABILITY_VERSIONING, CAPABILITY_PRIVILEGES, CAPABILITY_SPACE_QUERY };

struct PrivilegeInfo {
    unsigned int uid;
    TM_ACT act;
};

struct UserInfo {
    unsigned int uid;
    std::string name;
};

struct TargetProperty {
    std::string targetId;
    long long usedBytes;
};

// Operations a destination does not define answer with TM_ERR_NOT_SUPPORTED and false (or
// the neutral value of their type).
class TargetManager {
public:
    explicit TargetManager(const Repository &repository);
    virtual ~TargetManager();

    virtual bool setTransferOption(const Task &task);
    virtual std::string getLocalPath() const;
    virtual bool isValid();
    virtual int getStatus(std::string &status);
    virtual bool getAvailableOptions(OptionMap &options);
    virtual bool getCandidateDir(std::string &dir);
    virtual bool createTargetByDirName(const std::string &dirName, const std::string &linkKey);
    virtual std::string createTarget(const std::string &baseName, const std::string &linkKey,
                                     unsigned int flags);
    virtual bool listTarget(std::list<TargetInfo> &targets);
    virtual bool getTarget(const std::string &targetId, TargetInfo &info);
    virtual bool removeTarget(const std::string &targetId);
    virtual bool setTaskConfig(const std::string &targetId, int taskId);
    virtual bool getTaskConfigTimestamp(const std::string &targetId, long &mtime);
    virtual bool createRepository(unsigned int flags);
    virtual bool removeRepository();
    virtual bool createContainer();
    // The repository as JSON without its secrets, and back (`changed` tells whether any
    // option differs from what the repository held).
    virtual bool loadJsonByRepository(const Repository &repository, Json::Value &json);
    virtual bool loadRepositoryByJson(Repository &repository, const Json::Value &json,
                                      bool &changed);
    virtual bool isSameRepository(const Repository &repository);
    virtual bool findRepository(std::list<Repository> &repositories);
    virtual bool findTarget(std::list<TargetInfo> &targets);
    virtual long long getTargetSpace(const std::string &targetId);
    virtual long long getRepositorySpace();
    virtual bool getRepositoryCreator(std::string &host, std::string &user);
    virtual bool checkRepositoryAccessAuthority();
    virtual bool listUnloadedRepo(std::list<std::string> &repositories);
    virtual bool checkRepositoryPermission(unsigned int uid, TM_ACT act);
    virtual bool checkTargetPermission(unsigned int uid, const std::string &targetId, TM_ACT act);
    virtual bool addPrivilege(PRIVILEGE_SUBJECT subject, const std::string &name,
                              const std::list<PrivilegeInfo> &privileges);
    virtual bool removePrivilege(PRIVILEGE_SUBJECT subject, const std::string &name,
                                 const std::list<PrivilegeInfo> &privileges);
    virtual bool listPrivilegedUser(PRIVILEGE_SUBJECT subject, const std::string &name,
                                    bool inherited, TM_ACT act, std::list<UserInfo> &users);
    virtual bool listUserPrivilege(PRIVILEGE_SUBJECT subject, const std::string &name,
                                   unsigned int uid, std::list<TM_ACT> &acts);
    virtual bool getOwner(PRIVILEGE_SUBJECT subject, const std::string &name, unsigned int &uid,
                          std::string &user);
    virtual bool setOwner(PRIVILEGE_SUBJECT subject, const std::string &name, unsigned int uid);
    virtual bool getTargetProperty(const std::string &targetId, TargetProperty &property);
    virtual bool hasCapabilities(CAPABILITIES_TYPE capability);
    // The last error code, with its text in `message`.
    virtual int getError(std::string &message);

    void setError(TM_ERROR_CODE code);
    TM_ERROR_CODE getErrorCode() const;

protected:
    const Repository &getRepository() const;
    bool notSupported();

    TM_ERROR_CODE m_error;

private:
    Repository m_repository;
};

} // namespace Backup
} // namespace VORN

#endif
