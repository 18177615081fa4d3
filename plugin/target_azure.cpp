#include "target_azure.h"

#include <cstdio>
#include <cstring>
#include <set>

#include "plugin_util.h"
#include "vorn/backup/backup_info_db.h"
#include "vorn/backup/cache.h"
#include "vorn/backup/path.h"
#include "vorn/backup/scoped_temp_file.h"
#include "vorn/backup/task.h"
#include "vorn/platform.h"

namespace VORN {
namespace Backup {

namespace {

const char *const UNIT = "target_azure";

const std::string INFO_DB_NAME = BackupInfoDb::FILE_NAME;
// Names of temporary files, without the random suffix.
const std::string CREATE_DB_TEMP_NAME = "azure_tm." + INFO_DB_NAME;
const std::string ADOPT_DB_TEMP_NAME = "cloud_tm." + INFO_DB_NAME;
const std::string TASK_CONFIG_TEMP_NAME = "TASK_CONFIG";
const char *const TASK_CONFIG_SECTION = "task_config";
const char *const CACHE_SECTION = "TaskConfig";
const int MAX_TARGET_SUFFIX = 255;
const int MAX_CANDIDATE_SUFFIX = 65534;
const int SQLITE_DISK_FULL = 13;

// The template of a temporary file called `name` and a random suffix, in the temporary directory.
std::string tempTemplate(const std::string &name) {
    return Path::join(Path::tempDir(), name + ".XXXXXX");
}

// Turns a failed agent response into the target manager's error code; true (and the code
// untouched) only for a success response.
bool checkTargetResponse(TM_ERROR_CODE &error, const Json::Value &response) {
    if (isAgentSuccess(response)) {
        return true;
    }
    error = hostErrorsOf(response).target;
    return false;
}

// Classifies the failed response to a request of the target manager's own. The code alone
// cannot say which permission or credential was refused, so the response goes to the debug log,
// where a host finds the reason to show.
bool checkOwnRequest(TM_ERROR_CODE &error, const char *fn, const Json::Value &response) {
    syslog(LOG_DEBUG, "%s:%d %s failed, %s", UNIT, __LINE__, fn, compactJson(response).c_str());
    return checkTargetResponse(error, response);
}

TM_ERROR_CODE targetErrorOf(TransferError error) {
    switch (error) {
    case TRANSFER_ERR_INVALID:
        return TM_ERR_INVALID_INPUT;
    case TRANSFER_ERR_CANCELLED:
        return TM_ERR_CANCELLED;
    case TRANSFER_ERR_NOT_FOUND:
        return TM_ERR_NOT_FOUND;
    case TRANSFER_ERR_ACCESS_DENIED:
    case TRANSFER_ERR_AUTH:
        return TM_ERR_ACCESS_REFUSED;
    case TRANSFER_ERR_NETWORK:
        return TM_ERR_NETWORK;
    case TRANSFER_ERR_TIMEOUT:
        return TM_ERR_TIMEOUT;
    case TRANSFER_ERR_RESOLVE:
        return TM_ERR_RESOLVE;
    default:
        return TM_ERR_GENERIC;
    }
}

// Records why a step of the transfer agent failed; always false. The agent's last response
// explains the failure when the step got that far. A step that failed before any request of
// its own (agent not started, input refused, cancelled), or that decided "not found" after a
// successful listing, leaves no response or an earlier success there: the agent's own error
// code is used then, so that a failed step is never reported as success or as a bare failure.
bool failStep(TM_ERROR_CODE &error, const TransferAgentAzure &agent) {
    const Json::Value &response = agent.lastResponse();
    if (response.isNull() || checkTargetResponse(error, response)) {
        error = targetErrorOf(agent.getError());
    }
    return false;
}

// Starts the agent when it does not run yet; no request was sent when that fails, so only the
// transfer agent's own error tells why.
bool startClient(TransferAgentAzure &agent, TM_ERROR_CODE &error) {
    if (agent.startAgent()) {
        return true;
    }
    error = targetErrorOf(agent.getError());
    return false;
}

// The names at the container root that begin with `prefix`, files and directories alike.
bool listTakenNames(TransferAgentAzure &agent, const std::string &prefix,
                    std::set<std::string> &taken) {
    std::list<FileInfo> entries;
    if (!agent.listDir("", entries)) {
        return false;
    }
    for (const FileInfo &entry : entries) {
        if (entry.getRpath().compare(0, prefix.size(), prefix) == 0) {
            taken.insert(withoutTrailingSlashes(entry.getRpath()));
        }
    }
    return true;
}

// The first of prefix1 .. prefix<last> not in `taken`; empty when all are.
std::string firstFreeName(const std::string &prefix, const std::set<std::string> &taken,
                          int last) {
    for (int n = 1; n <= last; ++n) {
        char number[16];
        memset(number, 0, sizeof number);
        snprintf(number, sizeof number, "%d", n);
        const std::string candidate = prefix + number;
        if (taken.count(candidate) == 0) {
            return candidate;
        }
    }
    return std::string();
}

// Writes a fresh info database recording `linkKey` at `path`.
bool writeInfoDb(const std::string &path, const std::string &linkKey, TM_ERROR_CODE &error) {
    BackupInfoDb db;
    if (!db.create(path, linkKey)) {
        LOG_ERROR("info_db.create failed, %d", db.getError());
        error = db.getError() == SQLITE_DISK_FULL ? TM_ERR_DISK_FULL : TM_ERR_GENERIC;
        return false;
    }
    if (!db.close()) {
        LOG_ERROR("info_db.close failed");
        error = TM_ERR_GENERIC;
        return false;
    }
    return true;
}

// Fetches the info database at `dbPath` and tells whether it records `linkKey`; a step that
// fails is logged and answers no.
bool recordsLinkKey(TransferAgentAzure &agent, const std::string &dbPath,
                    const std::string &linkKey) {
    const std::string container = agent.getContainer();
    ScopedTempFile copy("", true);
    if (!copy.isValid()) {
        return false;
    }
    if (!agent.recvFile(dbPath, copy.getPath())) {
        LOG_ERROR("recvFile(%s, %s) failed", container.c_str(), dbPath.c_str());
        return false;
    }
    // Only read, so it is released without close(), before the copy goes.
    BackupInfoDb db;
    if (!db.open(copy.getPath())) {
        LOG_ERROR("info_db.open failed, %d", db.getError());
        return false;
    }
    const std::string recorded = db.getLinkKey();
    if (recorded.empty()) {
        LOG_ERROR("[%s,%s] -> [%s] get linkkey failed", container.c_str(), dbPath.c_str(),
                  copy.getPath().c_str());
        return false;
    }
    return recorded == linkKey;
}

bool sameOption(const Repository &a, const Repository &b, const char *key) {
    Json::Value valueA, valueB;
    return a.getOptions().optGet(key, valueA) && b.getOptions().optGet(key, valueB) &&
           valueA == valueB;
}

} // namespace

TargetManagerAzure::TargetManagerAzure(const Repository &repository)
    : TargetManager(repository), m_transferAgent(repository) {}

TargetManagerAzure::~TargetManagerAzure() {}

bool TargetManagerAzure::setTransferOption(const Task &task) {
    return m_transferAgent.setTransferOption(task);
}

bool TargetManagerAzure::isValid() {
    return m_transferAgent.isValid();
}

int TargetManagerAzure::getStatus(std::string &status) {
    status.clear();
    if (!startClient(m_transferAgent, m_error)) {
        return -1;
    }
    Json::Value response;
    if (m_transferAgent.requestContainerProperties(response)) {
        return 1;
    }
    checkOwnRequest(m_error, "getContainerProperties", response);
    return -1;
}

bool TargetManagerAzure::createContainer() {
    if (!startClient(m_transferAgent, m_error)) {
        return false;
    }
    const std::string container = m_transferAgent.getContainer();
    if (container.empty()) {
        setError(TM_ERR_INVALID_INPUT);
        return false;
    }
    Json::Value response;
    if (m_transferAgent.requestContainerCreation(response)) {
        return true;
    }
    // An invalid name and an existing container are answers for the user, not faults.
    const int code = agentErrorCode(response);
    if (code == 400) {
        setError(TM_ERR_BAD_REQUEST);
        return false;
    }
    if (code == 409) {
        setError(TM_ERR_CONFLICT);
        return false;
    }
    LOG_ERROR("createContainer(%s) failed: %s", container.c_str(), compactJson(response).c_str());
    checkTargetResponse(m_error, response);
    return false;
}

bool TargetManagerAzure::getAvailableOptions(OptionMap &options) {
    if (!startClient(m_transferAgent, m_error)) {
        return false;
    }
    Json::Value response;
    if (!m_transferAgent.requestContainerList(response)) {
        return checkOwnRequest(m_error, "listContainers", response);
    }
    std::list<std::string> names;
    const Json::Value containers = response.get(KEY_CONTAINERS, Json::Value());
    if (containers.isArray()) {
        for (Json::ArrayIndex i = 0; i < containers.size(); ++i) {
            const Json::Value &element = containers[i];
            names.push_back(element.isObject() ? element.get(KEY_NAME, "").asString() : "");
        }
    }
    if (!options.optSet(Repository::SZK_REMOTE_BUCKET, names)) {
        LOG_ERROR("set remote bucket failed");
        setError(TM_ERR_GENERIC);
        return false;
    }
    return true;
}

bool TargetManagerAzure::getCandidateDir(std::string &dir) {
    char hostname[65];
    memset(hostname, 0, sizeof hostname);
    std::string prefix;
    if (VORNLnxGetHostname(hostname) < 0) {
        const char *file = VLIBCErrorGetFile();
        LOG_ERROR("VORNLnxGetHostname failed, [0x%04X %s:%d]",
                  static_cast<unsigned>(VLIBCErrGet()), file ? file : "", VLIBCErrorGetLine());
    } else {
        prefix = std::string(hostname, strnlen(hostname, sizeof hostname)) + "_";
    }
    if (prefix.empty()) {
        setError(TM_ERR_GENERIC);
        return false;
    }
    std::set<std::string> taken;
    if (!listTakenNames(m_transferAgent, prefix, taken)) {
        return failStep(m_error, m_transferAgent);
    }
    const std::string candidate = firstFreeName(prefix, taken, MAX_CANDIDATE_SUFFIX);
    if (candidate.empty()) {
        setError(TM_ERR_INVALID_INPUT);
        return false;
    }
    dir = candidate;
    return true;
}

bool TargetManagerAzure::createTargetByDirName(const std::string &dirName,
                                               const std::string &linkKey) {
    if (dirName.empty() || linkKey.empty()) {
        LOG_ERROR("invlid input");
        setError(TM_ERR_INVALID_INPUT);
        return false;
    }
    ScopedTempFile dbFile(tempTemplate(ADOPT_DB_TEMP_NAME), true);
    const std::string dbPath = dirName + "/" + INFO_DB_NAME;

    if (m_transferAgent.isExist(dbPath)) {
        if (recordsLinkKey(m_transferAgent, dbPath, linkKey)) {
            return true;
        }
        setError(TM_ERR_NOT_OWN_TARGET);
        return false;
    }
    if (m_transferAgent.getError() != TRANSFER_ERR_NOT_FOUND) {
        return failStep(m_error, m_transferAgent);
    }
    // Blobs below the name, or a blob of that very name, belong to someone else.
    if (m_transferAgent.isExist(dirName + "/")) {
        setError(TM_ERR_NOT_OWN_TARGET);
        return false;
    }
    if (!dbFile.isValid()) {
        LOG_ERROR("create temp file failed");
        setError(TM_ERR_GENERIC);
        return false;
    }
    if (!writeInfoDb(dbFile.getPath(), linkKey, m_error)) {
        return false;
    }
    return m_transferAgent.sendFile(dbFile.getPath(), dbPath) ||
           failStep(m_error, m_transferAgent);
}

std::string TargetManagerAzure::createTarget(const std::string &baseName,
                                             const std::string &linkKey, unsigned int) {
    if (baseName.empty() || linkKey.empty()) {
        LOG_ERROR("invlid input");
        setError(TM_ERR_INVALID_INPUT);
        return "";
    }
    std::set<std::string> taken;
    if (!listTakenNames(m_transferAgent, baseName, taken)) {
        failStep(m_error, m_transferAgent);
        return "";
    }
    ScopedTempFile dbFile(tempTemplate(CREATE_DB_TEMP_NAME), true);
    if (!dbFile.isValid()) {
        LOG_ERROR("create temp failed, %m");
        setError(TM_ERR_GENERIC);
        return "";
    }
    if (!writeInfoDb(dbFile.getPath(), linkKey, m_error)) {
        return "";
    }
    const std::string targetId = firstFreeName(baseName, taken, MAX_TARGET_SUFFIX);
    if (targetId.empty()) {
        return "";
    }
    if (!m_transferAgent.sendFile(dbFile.getPath(), targetId + "/" + INFO_DB_NAME)) {
        failStep(m_error, m_transferAgent);
        return "";
    }
    return targetId;
}

bool TargetManagerAzure::listTarget(std::list<TargetInfo> &targets) {
    std::list<FileInfo> entries;
    if (!m_transferAgent.listDir("", entries)) {
        return failStep(m_error, m_transferAgent);
    }
    for (std::list<FileInfo>::iterator it = entries.begin(); it != entries.end();) {
        if (!it->isDirType()) {
            it = entries.erase(it);
            continue;
        }
        const std::string dbPath = Path::join(it->getRpath(), INFO_DB_NAME);
        if (m_transferAgent.isFileExist(dbPath)) {
            ++it;
            continue;
        }
        if (m_transferAgent.getError() != TRANSFER_ERR_NOT_FOUND) {
            LOG_ERROR("check [%s] exist failed", dbPath.c_str());
            return failStep(m_error, m_transferAgent);
        }
        it = entries.erase(it);
    }
    targets.clear();
    for (const FileInfo &entry : entries) {
        TargetInfo info;
        info.targetId = withoutTrailingSlashes(entry.getRpath());
        targets.push_back(info);
    }
    return true;
}

bool TargetManagerAzure::getTarget(const std::string &, TargetInfo &info) {
    info.busy = false;
    return true;
}

bool TargetManagerAzure::removeTarget(const std::string &) {
    setError(TM_ERR_NOT_SUPPORTED);
    return false;
}

bool TargetManagerAzure::setTaskConfig(const std::string &targetId, int taskId) {
    const int repositoryId = getRepository().getId();
    TargetInfoCache cache(repositoryId, targetId);
    ScopedTempFile configFile(tempTemplate(TASK_CONFIG_TEMP_NAME), true);
    if (!configFile.isValid()) {
        LOG_ERROR("create temp file failed");
        setError(TM_ERR_GENERIC);
        return false;
    }
    Task task;
    if (!task.load(taskId)) {
        LOG_ERROR("task load failed. task id[%d]", taskId);
        setError(TM_ERR_INVALID_INPUT);
        return false;
    }
    if (!task.getOptions().optSectionExport(configFile.getPath(), TASK_CONFIG_SECTION, true)) {
        LOG_ERROR("task option export failed. task id[%d]", taskId);
        setError(TM_ERR_GENERIC);
        return false;
    }
    const std::string remotePath = targetId + "/" + Task::CONFIG_FILE_NAME;
    if (!m_transferAgent.sendFile(configFile.getPath(), remotePath)) {
        LOG_ERROR("send(%s,%s) failed, %s", m_transferAgent.getContainer().c_str(),
                  remotePath.c_str(), compactJson(m_transferAgent.lastResponse()).c_str());
        return failStep(m_error, m_transferAgent);
    }
    // The service's time of the stored blob, so that later comparisons with the remote copy
    // do not depend on the local clock.
    long mtime = 0;
    if (!getTaskConfigTimestamp(targetId, mtime)) {
        LOG_ERROR("get remote config mtime failed.");
        return false;
    }
    if (!task.save()) {
        LOG_ERROR("task save failed. task id[%d]", taskId);
        setError(TM_ERR_GENERIC);
        return false;
    }
    if (!cache.isValid()) {
        LOG_ERROR("cache not valid. [%d] [%s]", repositoryId, targetId.c_str());
        setError(TM_ERR_INVALID_INPUT);
        return false;
    }
    if (!cache.setSection(CACHE_SECTION, task.getOptions())) {
        LOG_ERROR("set task config to cache failed. [%d] [%s]", repositoryId, targetId.c_str());
        setError(TM_ERR_GENERIC);
        return false;
    }
    if (!cache.setTimestamp(CACHE_SECTION, mtime)) {
        LOG_ERROR("set timestamp failed. [%d] [%s] [%llu]", repositoryId, targetId.c_str(),
                  static_cast<unsigned long long>(static_cast<long long>(mtime)));
        setError(TM_ERR_GENERIC);
        return false;
    }
    return true;
}

bool TargetManagerAzure::getTaskConfigTimestamp(const std::string &targetId, long &mtime) {
    FileInfo info("");
    if (!m_transferAgent.stat(Path::join(targetId, Task::CONFIG_FILE_NAME), info)) {
        return failStep(m_error, m_transferAgent);
    }
    mtime = info.getMtime();
    return true;
}

bool TargetManagerAzure::createRepository(unsigned int) {
    std::string status;
    return getStatus(status) == 1;
}

bool TargetManagerAzure::removeRepository() {
    return true;
}

bool TargetManagerAzure::isSameRepository(const Repository &repository) {
    const Repository &own = getRepository();
    if (!own.hasOptions() || !repository.hasOptions()) {
        return false;
    }
    if (own.getTargetType() != repository.getTargetType() ||
        own.getTransferType() != repository.getTransferType() ||
        own.getTargetType() != Repository::SZV_TARGET_CLOUD) {
        return false;
    }
    // The secret is left out: the same account and container under a new secret is the same
    // destination.
    return sameOption(own, repository, Repository::SZK_REMOTE_KEY) &&
           sameOption(own, repository, Repository::SZK_REMOTE_BUCKET);
}

bool TargetManagerAzure::findRepository(std::list<Repository> &) {
    setError(TM_ERR_NOT_SUPPORTED);
    return false;
}

bool TargetManagerAzure::findTarget(std::list<TargetInfo> &targets) {
    return listTarget(targets);
}

} // namespace Backup
} // namespace VORN

extern "C" VORN::Backup::TargetManager *
getTargetManager(const VORN::Backup::Repository &repository) {
    return new VORN::Backup::TargetManagerAzure(repository);
}
