#include "vorn/backup/transfer_agent.h"

#include <cerrno>

#include "file_util.h"
#include "vorn/backup/path.h"
#include "vorn/backup/plugin.h"
#include "vorn/backup/scoped_temp_file.h"

namespace VORN {
namespace Backup {

FileOutputer::~FileOutputer() {}

VersionManager::~VersionManager() {}

TransferAgent::TransferAgent(const Repository &repository)
    : m_error(TRANSFER_ERR_NONE), m_repository(repository) {}

TransferAgent::~TransferAgent() {}

TransferError TransferAgent::getError() const {
    return m_error;
}

void TransferAgent::setTargetId(const std::string &targetId) {
    m_targetId = targetId;
}

std::string TransferAgent::getTargetId() const {
    return m_targetId;
}

void TransferAgent::setVersionId(const VersionId &versionId) {
    m_versionId = versionId;
}

VersionId TransferAgent::getVersionId() const {
    return m_versionId;
}

bool TransferAgent::setCancelHook(boost::function<bool()> hook) {
    m_cancelHook = hook;
    return true;
}

bool TransferAgent::recvFile(const std::string &remotePath, boost::shared_ptr<FileOutputer> out) {
    if (!out) {
        m_error = TRANSFER_ERR_INVALID;
        return false;
    }
    ScopedTempFile temp;
    if (!temp.isValid()) {
        m_error = getTransferErrorByLibcFileIo(errno);
        return false;
    }
    if (!recvFile(remotePath, temp.getPath())) {
        return false;
    }
    const auto forward = [this, &out](const char *data, size_t length) {
        if (!out->write(data, length)) {
            m_error = TRANSFER_ERR_GENERIC;
            return false;
        }
        return true;
    };
    return streamFile(temp.getPath(), forward, m_cancelHook, m_error);
}

const Repository &TransferAgent::getRepository() const {
    return m_repository;
}

bool TransferAgent::isCanceled() const {
    return m_cancelHook && m_cancelHook();
}

} // namespace Backup
} // namespace VORN
