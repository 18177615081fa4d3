// TargetManagerAzure: the Azure container as a whole, the backup targets in it and task configs.
#ifndef VORN_PLUGIN_TARGET_AZURE_H
#define VORN_PLUGIN_TARGET_AZURE_H

#include <list>
#include <string>

#include "transfer_azure.h"
#include "vorn/backup/target_manager.h"

namespace VORN {
namespace Backup {

class TargetManagerAzure : public TargetManager {
public:
    explicit TargetManagerAzure(const Repository &repository);
    virtual ~TargetManagerAzure();

    bool setTransferOption(const Task &task) override;
    bool isValid() override;
    int getStatus(std::string &status) override;
    bool getAvailableOptions(OptionMap &options) override;
    bool getCandidateDir(std::string &dir) override;
    bool createTargetByDirName(const std::string &dirName, const std::string &linkKey) override;
    std::string createTarget(const std::string &baseName, const std::string &linkKey,
                             unsigned int flags) override;
    bool listTarget(std::list<TargetInfo> &targets) override;
    bool getTarget(const std::string &targetId, TargetInfo &info) override;
    bool removeTarget(const std::string &targetId) override;
    bool setTaskConfig(const std::string &targetId, int taskId) override;
    bool getTaskConfigTimestamp(const std::string &targetId, long &mtime) override;
    bool createRepository(unsigned int flags) override;
    bool removeRepository() override;
    bool createContainer() override;
    bool isSameRepository(const Repository &repository) override;
    bool findRepository(std::list<Repository> &repositories) override;
    bool findTarget(std::list<TargetInfo> &targets) override;

private:
    TransferAgentAzure m_transferAgent;
};

} // namespace Backup
} // namespace VORN

extern "C" {
VORN::Backup::TargetManager *getTargetManager(const VORN::Backup::Repository &repository);
}

#endif
