// TransferAgentAzure: the host's file operations on one backup target of one Azure container.
#ifndef VORN_PLUGIN_TRANSFER_AZURE_H
#define VORN_PLUGIN_TRANSFER_AZURE_H

#include <list>
#include <string>

#include <boost/function.hpp>
#include <json/value.h>

#include "azure_client.h"
#include "vorn/backup/file_info.h"
#include "vorn/backup/plugin.h"
#include "vorn/backup/repository.h"
#include "vorn/backup/task.h"
#include "vorn/backup/transfer_agent.h"

namespace VORN {
namespace Backup {

class TransferAgentAzure : public TransferAgentCloud {
public:
    explicit TransferAgentAzure(const Repository &repository);
    virtual ~TransferAgentAzure();

    bool isValid() const override;
    bool setTransferOption(const Task &task) override;
    bool setCancelHook(boost::function<bool()> hook) override;
    bool sendFile(const std::string &localPath, const std::string &remotePath) override;
    bool sendFile(const std::string &localPath, const std::string &remotePath,
                  boost::function<bool(long long)> progress) override;
    bool recvFile(const std::string &remotePath, const std::string &localPath) override;
    bool recvFile(const std::string &remotePath, const std::string &localPath,
                  boost::function<bool(long long)> progress) override;
    using TransferAgent::recvFile;
    bool isExist(const std::string &path) override;
    bool isFileExist(const std::string &path) override;
    bool stat(const std::string &path, FileInfo &info) override;
    bool removeFile(const std::string &path) override;
    bool createDir(const std::string &path) override;
    bool removeDirRecursive(const std::string &path) override;
    bool listDir(const std::string &path, std::list<FileInfo> &entries) override;
    bool listDirEx(const std::string &path, std::list<FileInfo> &entries, std::string &marker,
                   bool recursive) override;
    bool sendFile(const std::string &localPath, const std::string &remotePath,
                  boost::function<bool(long long)> progress, FileInfo &info) override;

    // The container name; empty when the repository names none.
    std::string getContainer() const;

    // The target manager's view of the agent: start it, and the container requests, each
    // answered in `response`.
    bool startAgent();
    bool requestContainerProperties(Json::Value &response);
    bool requestContainerCreation(Json::Value &response);
    bool requestContainerList(Json::Value &response);
    // The response to the last request of a file operation.
    const Json::Value &lastResponse() const;

private:
    // The blob name of a path relative to the target: target id and path joined, trailing "/"
    // removed; the empty string names the container itself.
    std::string getBlobPath(const std::string &path) const;
    // Makes sure a ready agent runs, starting one when needed.
    bool checkAndCreateClient();
    // Decides whether `path` is a blob, a directory or the target root.
    bool remote_stat(const std::string &path, FileInfo &info, bool fileOnly);
    bool sendContainerRequest(const char *fn, const std::string &container, Json::Value &response);
    bool readyToSend(bool inputValid);
    bool cancelRequested();
    bool sendWhole(const std::string &absLocalPath, const std::string &remotePath,
                   long long size, boost::function<bool(long long)> &progress, FileInfo &info);
    bool sendBlocks(const std::string &absLocalPath, const std::string &remotePath,
                    long long size, boost::function<bool(long long)> &progress, FileInfo &info);
    // Fetch a blob of `size` bytes into the download file at `downloadPath`, checked for size.
    bool fetchWhole(const std::string &remotePath, const std::string &downloadPath, long long size);
    bool fetchRanges(const std::string &remotePath, const std::string &absLocalPath,
                     const std::string &downloadPath, long long size,
                     boost::function<bool(long long)> &progress);
    bool findDirectory(const std::string &path, FileInfo &info);

    AzureClient m_client;
    bool m_useHttps;
    Json::Value m_response;
};

} // namespace Backup
} // namespace VORN

extern "C" {
VORN::Backup::TransferAgent *getTransferAgent(const VORN::Backup::Repository &repository);
VORN::Backup::VersionManager *getVersionManager();
}

#endif
