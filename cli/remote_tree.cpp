#include "remote_tree.h"

#include <list>

#include "target_records.h"
#include "vorn/backup/scoped_temp_file.h"

namespace vorncli {

using namespace VORN::Backup;

std::string agentFailure(const TransferAgent &agent) {
    const int code = agent.getError();
    return std::string(transferErrorText(code)) + " (error " + std::to_string(code) + ")";
}

bool listTarget(TransferAgent &agent, std::map<std::string, FileInfo> &blobs,
                std::string &error) {
    std::string marker;
    do {
        std::list<FileInfo> entries;
        if (!agent.listDirEx("", entries, marker, true)) {
            error = "listing the target: " + agentFailure(agent);
            return false;
        }
        for (const FileInfo &entry : entries) {
            if (entry.isRegType()) {
                blobs[entry.getRpath()] = entry;
            }
        }
    } while (!marker.empty());
    return true;
}

bool fetchManifest(TransferAgent &agent, ManifestEntries &entries, bool &found,
                   std::string &error) {
    found = false;
    if (!agent.isFileExist(MANIFEST_FILE_NAME)) {
        if (agent.getError() == TRANSFER_ERR_NOT_FOUND) {
            return true;
        }
        error = std::string(MANIFEST_FILE_NAME) + ": " + agentFailure(agent);
        return false;
    }
    ScopedTempFile copy;
    if (!copy.isValid()) {
        error = "no temporary file for the manifest";
        return false;
    }
    if (!agent.recvFile(MANIFEST_FILE_NAME, copy.getPath())) {
        error = std::string(MANIFEST_FILE_NAME) + ": " + agentFailure(agent);
        return false;
    }
    found = true;
    return loadManifest(copy.getPath(), entries, error);
}

bool storeManifest(TransferAgent &agent, const ManifestEntries &entries, std::string &error) {
    ScopedTempFile copy;
    if (!copy.isValid()) {
        error = "no temporary file for the manifest";
        return false;
    }
    if (!saveManifest(copy.getPath(), entries, error)) {
        return false;
    }
    if (!agent.sendFile(copy.getPath(), MANIFEST_FILE_NAME)) {
        error = std::string(MANIFEST_FILE_NAME) + ": " + agentFailure(agent);
        return false;
    }
    return true;
}

} // namespace vorncli
