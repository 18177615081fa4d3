// TransferAgent and TransferAgentCloud: the host's interface for storing and fetching files remotely.
#ifndef VORN_BACKUP_TRANSFER_AGENT_H
#define VORN_BACKUP_TRANSFER_AGENT_H

#include <list>
#include <string>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include "vorn/backup/errors.h"
#include "vorn/backup/file_info.h"
#include "vorn/backup/repository.h"
#include "vorn/backup/task.h"

namespace VORN {
namespace Backup {

typedef std::string VersionId;

// Receives the content of a fetched file in pieces.
class FileOutputer {
public:
    virtual ~FileOutputer();
    virtual bool write(const char *data, size_t length) = 0;
};

class TransferAgent {
public:
    explicit TransferAgent(const Repository &repository);
    virtual ~TransferAgent();

    virtual bool isValid() const = 0;
    virtual bool setTransferOption(const Task &task) = 0;
    virtual TransferError getError() const;
    virtual void setTargetId(const std::string &targetId);
    virtual std::string getTargetId() const;
    virtual void setVersionId(const VersionId &versionId);
    virtual VersionId getVersionId() const;
    virtual bool setCancelHook(boost::function<bool()> hook);
    virtual bool sendFile(const std::string &localPath, const std::string &remotePath) = 0;
    virtual bool sendFile(const std::string &localPath, const std::string &remotePath,
                          boost::function<bool(long long)> progress) = 0;
    virtual bool recvFile(const std::string &remotePath, const std::string &localPath) = 0;
    virtual bool recvFile(const std::string &remotePath, const std::string &localPath,
                          boost::function<bool(long long)> progress) = 0;
    // Fetches into a temporary file through the two-argument form and streams it to `out`.
    virtual bool recvFile(const std::string &remotePath, boost::shared_ptr<FileOutputer> out);
    virtual bool isExist(const std::string &path) = 0;
    virtual bool isFileExist(const std::string &path) = 0;
    virtual bool stat(const std::string &path, FileInfo &info) = 0;
    virtual bool removeFile(const std::string &path) = 0;
    virtual bool createDir(const std::string &path) = 0;
    virtual bool removeDirRecursive(const std::string &path) = 0;
    virtual bool listDir(const std::string &path, std::list<FileInfo> &entries) = 0;
    virtual bool listDirEx(const std::string &path, std::list<FileInfo> &entries,
                           std::string &marker, bool recursive) = 0;
    virtual bool sendFile(const std::string &localPath, const std::string &remotePath,
                          boost::function<bool(long long)> progress, FileInfo &info) = 0;

protected:
    const Repository &getRepository() const;
    // True when a cancel hook is installed and asks for cancellation.
    bool isCanceled() const;

    TransferError m_error;
    boost::function<bool()> m_cancelHook;

private:
    Repository m_repository;
    std::string m_targetId;
    VersionId m_versionId;
};

// Base of the cloud destinations; adds no data.
class TransferAgentCloud : public TransferAgent {
public:
    explicit TransferAgentCloud(const Repository &repository) : TransferAgent(repository) {}
    virtual ~TransferAgentCloud() {}
};

} // namespace Backup
} // namespace VORN

#endif
