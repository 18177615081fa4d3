#include "transfer_azure.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include <sys/stat.h>

#include "plugin_util.h"
#include "vorn/backup/path.h"
#include "vorn/backup/scoped_temp_file.h"
#include "vorn/platform.h"

namespace VORN {
namespace Backup {

namespace {

const char *const UNIT = "transfer_azure";

// Ends the argument list of the variadic AgentClient::send.
const char *const END_OF_ARGS = nullptr;

// Ends an exchange: true when the request went through, otherwise logs the response and
// leaves the transfer error it stands for. Lookups fail routinely (a missing path is an answer),
// so they log at error priority only a response without a code; data transfers log every
// failure but absence and conflict at error priority.
bool checkTransferResponse(TransferError &error, bool sent, const Json::Value &response,
                           bool logAsError, const char *caller, int callerLine) {
    if (sent) {
        return true;
    }
    const int code = agentErrorCode(response);
    int priority;
    if (logAsError) {
        priority = (code == 404 || code == 409) ? LOG_DEBUG : LOG_ERR;
    } else {
        priority = code == -1 ? LOG_ERR : LOG_DEBUG;
    }
    syslog(priority, "%s:%d %s:%d failed, %s", UNIT, __LINE__, caller, callerLine,
           compactJson(response).c_str());
    error = hostErrorsOf(response).transfer;
    return false;
}

bool convertResponseToFileInfo(const Json::Value &response, FileInfo &info) {
    if (!response.isMember(KEY_PROPERTIES)) {
        return true;
    }
    const Json::Value &properties = response[KEY_PROPERTIES];
    if (properties.isMember(KEY_LAST_MODIFIED)) {
        info.setMtime(static_cast<long>(properties[KEY_LAST_MODIFIED].asInt64()));
    }
    if (properties.isMember(KEY_CONTENT_LENGTH)) {
        info.setSize(properties[KEY_CONTENT_LENGTH].asInt64());
    }
    if (properties.isMember(KEY_ETAG)) {
        info.setChecksum(properties[KEY_ETAG].asString());
    }
    return true;
}

// True when the file at `path` holds exactly `expected` bytes; a download reaches its
// destination only then.
bool hasDownloadedSize(const std::string &path, long long expected) {
    struct stat64 st;
    const bool examined = lstat64(path.c_str(), &st) == 0;
    const long long found = examined ? st.st_size : 0;
    if (!examined || found != expected) {
        LOG_ERROR("get a bad file %llu != %llu", static_cast<unsigned long long>(found),
                  static_cast<unsigned long long>(expected));
        return false;
    }
    return true;
}

typedef std::unique_ptr<FILE, int (*)(FILE *)> FileHandle;

// The credential the repository names, false when it names none the plug-in knows or lacks what
// that kind needs: the account always, the secret unless Microsoft Entra ID signs in.
bool repositoryCredential(const OptionMap &options, CredentialKind &kind) {
    const std::string auth =
        options.optString(Repository::SZK_REMOTE_AUTH, Repository::SZV_AUTH_KEY);
    if (auth == Repository::SZV_AUTH_KEY) {
        kind = CredentialKind::AccountKey;
    } else if (auth == Repository::SZV_AUTH_SAS) {
        kind = CredentialKind::SasToken;
    } else if (auth == Repository::SZV_AUTH_ENTRA) {
        kind = CredentialKind::EntraId;
    } else {
        return false;
    }
    return options.optGet(Repository::SZK_REMOTE_KEY) &&
           (kind == CredentialKind::EntraId || options.optGet(Repository::SZK_REMOTE_SECRET));
}

} // namespace

TransferAgentAzure::TransferAgentAzure(const Repository &repository)
    : TransferAgentCloud(repository), m_client(), m_useHttps(true), m_response() {}

TransferAgentAzure::~TransferAgentAzure() {}

bool TransferAgentAzure::isValid() const {
    CredentialKind kind;
    return !getContainer().empty() && repositoryCredential(getRepository().getOptions(), kind);
}

bool TransferAgentAzure::setTransferOption(const Task &task) {
    m_useHttps = task.getOptions().optBool(Task::SZK_TRANS_ENCRYPT, false);
    return true;
}

bool TransferAgentAzure::setCancelHook(boost::function<bool()> hook) {
    if (!TransferAgent::setCancelHook(hook)) {
        m_error = TRANSFER_ERR_GENERIC;
        return false;
    }
    // The client polls its copy while it starts the agent and while a request is under way.
    return m_client.setCancelHook(hook);
}

std::string TransferAgentAzure::getContainer() const {
    return getRepository().getOptions().optString(Repository::SZK_REMOTE_BUCKET, "");
}

std::string TransferAgentAzure::getBlobPath(const std::string &path) const {
    return withoutTrailingSlashes(Path::join(getTargetId(), path));
}

bool TransferAgentAzure::startAgent() {
    return checkAndCreateClient();
}

bool TransferAgentAzure::sendContainerRequest(const char *fn, const std::string &container,
                                              Json::Value &response) {
    return m_client.send(&response, KEY_FN, fn, KEY_CONTAINER, container.c_str(), END_OF_ARGS);
}

bool TransferAgentAzure::requestContainerProperties(Json::Value &response) {
    return sendContainerRequest(FN_GET_CONTAINER_PROPERTIES, getContainer(), response);
}

bool TransferAgentAzure::requestContainerCreation(Json::Value &response) {
    return sendContainerRequest(FN_CREATE_CONTAINER, getContainer(), response);
}

bool TransferAgentAzure::requestContainerList(Json::Value &response) {
    return m_client.send(&response, KEY_FN, FN_LIST_CONTAINERS, END_OF_ARGS);
}

const Json::Value &TransferAgentAzure::lastResponse() const {
    return m_response;
}

bool TransferAgentAzure::checkAndCreateClient() {
    if (m_client.isConnected()) {
        return true;
    }
    const OptionMap &options = getRepository().getOptions();
    CredentialKind kind;
    if (!repositoryCredential(options, kind)) {
        m_error = TRANSFER_ERR_INVALID;
        return false;
    }
    m_client.setCredentialKind(kind);
    const std::string secretKey = options.optSecret(Repository::SZK_REMOTE_SECRET, "");
    const std::string accessKey = options.optString(Repository::SZK_REMOTE_KEY, "");
    // A start refused before it began (a cancellation) sets no code; an old one must not
    // be taken for this start's.
    VLIBCErrSetEx(0, UNIT, __LINE__);
    if (!m_client.connect(accessKey, secretKey, m_useHttps)) {
        m_error = VLIBCErrGet() == ERR_SECRET_NOT_BASE64 ? TRANSFER_ERR_AUTH : TRANSFER_ERR_GENERIC;
        return false;
    }
    return true;
}

// True, with transfer error 4, when the cancel hook asks to stop.
bool TransferAgentAzure::cancelRequested() {
    if (!isCanceled()) {
        return false;
    }
    m_error = TRANSFER_ERR_CANCELLED;
    return true;
}

// The common start of every request: input that passed its checks (else transfer error 3)
// and a running agent.
bool TransferAgentAzure::readyToSend(bool inputValid) {
    if (!inputValid) {
        m_error = TRANSFER_ERR_INVALID;
        return false;
    }
    if (!checkAndCreateClient()) {
        LOG_ERROR("create client failed");
        return false;
    }
    return true;
}

bool TransferAgentAzure::remote_stat(const std::string &path, FileInfo &info, bool fileOnly) {
    const std::string container = getContainer();
    if (!readyToSend(!container.empty() && isValidRelativePath(path, false))) {
        return false;
    }
    info.clear();

    if (path.empty()) {
        if (getBlobPath(path).empty()) {
            if (!sendContainerRequest(FN_GET_CONTAINER_PROPERTIES, container, m_response)) {
                return checkTransferResponse(m_error, false, m_response, false, "remote_stat",
                                             __LINE__);
            }
            info.setDirType();
            return true;
        }
        // The target root is the target's directory at the top of the container.
        const std::string targetId = getTargetId();
        setTargetId("");
        const bool found = stat(targetId, info);
        setTargetId(targetId);
        return found;
    }

    if (cancelRequested()) {
        return false;
    }
    const std::string blob = getBlobPath(path);
    if (m_client.send(&m_response, KEY_FN, FN_GET_BLOB_PROPERTIES, KEY_CONTAINER,
                      container.c_str(), KEY_BLOB, blob.c_str(), END_OF_ARGS)) {
        info.setRegType();
        convertResponseToFileInfo(m_response, info);
        return true;
    }
    checkTransferResponse(m_error, false, m_response, false, "remote_stat", __LINE__);
    if (m_error != TRANSFER_ERR_NOT_FOUND || fileOnly) {
        return false;
    }
    return findDirectory(path, info);
}

// A directory has no blob of its own: it exists when its parent's listing shows it.
bool TransferAgentAzure::findDirectory(const std::string &path, FileInfo &info) {
    m_error = TRANSFER_ERR_NONE;
    const std::string trimmed = withoutTrailingSlashes(path);
    const std::string name = Path::basename(trimmed);
    std::string parent = Path::dirname(trimmed);
    if (parent == ".") {
        parent.clear();
    }
    if (name.empty() || name == ".") {
        LOG_ERROR("basename could not be empty");
        return false;
    }
    std::list<FileInfo> entries;
    if (!listDir(parent, entries)) {
        return false;
    }
    for (const FileInfo &entry : entries) {
        if (entry.isDirType() && entry.getRpath() == name) {
            info.setDirType();
            return true;
        }
    }
    m_error = TRANSFER_ERR_NOT_FOUND;
    return false;
}

bool TransferAgentAzure::stat(const std::string &path, FileInfo &info) {
    return remote_stat(path, info, false);
}

bool TransferAgentAzure::isExist(const std::string &path) {
    FileInfo scratch(path);
    return remote_stat(path, scratch, false);
}

bool TransferAgentAzure::isFileExist(const std::string &path) {
    FileInfo scratch(path);
    return remote_stat(path, scratch, true);
}

bool TransferAgentAzure::listDirEx(const std::string &path, std::list<FileInfo> &entries,
                                   std::string &marker, bool recursive) {
    const std::string container = getContainer();
    if (!readyToSend(!container.empty() && isValidRelativePath(path, true)) || cancelRequested()) {
        return false;
    }

    const std::string blob = getBlobPath(path);
    const std::string prefix = blob.empty() ? blob : blob + "/";
    Json::Value request(Json::objectValue);
    request[KEY_FN] = FN_LIST_BLOBS;
    request[KEY_CONTAINER] = container;
    request[KEY_PREFIX] = prefix;
    if (!marker.empty()) {
        request[KEY_MARKER] = marker;
    }
    if (!recursive) {
        request[KEY_DELIMITER] = "/";
    }
    if (!m_client.send(request, m_response)) {
        return checkTransferResponse(m_error, false, m_response, false, "listDirEx", __LINE__);
    }

    const Json::Value &page = m_response;
    if (page.isMember(KEY_NEXT_MARKER)) {
        marker = page[KEY_NEXT_MARKER].asString();
    } else {
        marker.clear();
    }
    if (page.get(KEY_COUNT, 0) == Json::Value(0)) {
        return true;
    }
    // Names below the prefix are cut by length; a shorter one cannot lie below it.
    for (const Json::Value &folder : page[KEY_FOLDERS]) {
        const std::string name = folder[KEY_NAME].asString();
        if (name.size() >= prefix.size()) {
            entries.push_back(FileInfo(withoutTrailingSlashes(name.substr(prefix.size()))));
            entries.back().setDirType();
        }
    }
    for (const Json::Value &file : page[KEY_FILES]) {
        const std::string name = file[KEY_NAME].asString();
        if (name.size() >= prefix.size()) {
            entries.push_back(FileInfo(name.substr(prefix.size())));
            entries.back().setRegType();
            convertResponseToFileInfo(file, entries.back());
        }
    }
    return true;
}

bool TransferAgentAzure::listDir(const std::string &path, std::list<FileInfo> &entries) {
    entries.clear();
    std::string marker;
    do {
        if (!listDirEx(path, entries, marker, false)) {
            return false;
        }
        if (cancelRequested()) {
            return false;
        }
    } while (!marker.empty());
    return true;
}

bool TransferAgentAzure::createDir(const std::string &path) {
    if (getContainer().empty() || !isValidRelativePath(path, false)) {
        m_error = TRANSFER_ERR_INVALID;
        return false;
    }
    if (cancelRequested()) {
        return false;
    }
    // A directory comes into being with the first blob stored below it.
    return true;
}

bool TransferAgentAzure::removeFile(const std::string &path) {
    const std::string container = getContainer();
    if (!readyToSend(!container.empty() && isValidFileRelativePath(path, false)) ||
        cancelRequested()) {
        return false;
    }
    const std::string blob = getBlobPath(path);
    const bool sent = m_client.send(&m_response, KEY_FN, FN_DELETE_BLOB, KEY_CONTAINER,
                                    container.c_str(), KEY_BLOB, blob.c_str(), END_OF_ARGS);
    return checkTransferResponse(m_error, sent, m_response, false, "removeFile", __LINE__);
}

// The service cannot delete a prefix: the tree is listed page by page and deleted blob by blob.
bool TransferAgentAzure::removeDirRecursive(const std::string &path) {
    std::string marker;
    std::list<FileInfo> entries;
    do {
        entries.clear();
        if (!listDirEx(path, entries, marker, true)) {
            return false;
        }
        if (cancelRequested()) {
            return false;
        }
        for (const FileInfo &entry : entries) {
            if (entry.isDirType()) {
                continue;
            }
            if (!removeFile(Path::join(path, entry.getRpath()))) {
                return false;
            }
            if (cancelRequested()) {
                return false;
            }
        }
    } while (!marker.empty());
    return true;
}

bool TransferAgentAzure::sendFile(const std::string &localPath, const std::string &remotePath) {
    return sendFile(localPath, remotePath, boost::function<bool(long long)>());
}

bool TransferAgentAzure::sendFile(const std::string &localPath, const std::string &remotePath,
                                  boost::function<bool(long long)> progress) {
    FileInfo scratch(remotePath);
    return sendFile(localPath, remotePath, progress, scratch);
}

bool TransferAgentAzure::sendFile(const std::string &localPath, const std::string &remotePath,
                                  boost::function<bool(long long)> progress, FileInfo &info) {
    const long long singleRequestLimit =
        m_useHttps ? SINGLE_REQUEST_LIMIT_HTTPS : SINGLE_REQUEST_LIMIT_HTTP;
    info.clear();
    if (!readyToSend(!getContainer().empty() && isValidFileLocalPath(localPath, false) &&
                     isValidFileRelativePath(remotePath, false))) {
        return false;
    }
    const std::string absLocalPath = Path::absPath(localPath);
    m_response.clear();

    struct stat64 st;
    if (lstat64(absLocalPath.c_str(), &st) != 0) {
        const int err = errno;
        LOG_ERROR("lstat failed, %m [%s]", absLocalPath.c_str());
        m_error = getTransferErrorByLibcStat(err);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        m_error = TRANSFER_ERR_INVALID;
        return false;
    }
    if (cancelRequested()) {
        return false;
    }
    const long long size = st.st_size;
    if (size < singleRequestLimit) {
        return sendWhole(absLocalPath, remotePath, size, progress, info);
    }
    return sendBlocks(absLocalPath, remotePath, size, progress, info);
}

bool TransferAgentAzure::sendWhole(const std::string &absLocalPath, const std::string &remotePath,
                                   long long size, boost::function<bool(long long)> &progress,
                                   FileInfo &info) {
    const std::string container = getContainer();
    const std::string blob = getBlobPath(remotePath);
    const bool sent = m_client.send(&m_response, KEY_FN, FN_CREATE_BLOCK_BLOB, KEY_CONTAINER,
                                    container.c_str(), KEY_BLOB, blob.c_str(), KEY_FILE_INPUT,
                                    absLocalPath.c_str(), END_OF_ARGS);
    if (sent) {
        if (progress) {
            progress(size);
        }
        convertResponseToFileInfo(m_response, info);
    }
    return checkTransferResponse(m_error, sent, m_response, true, "sendFile", __LINE__);
}

// Stages the file as numbered 4 MiB blocks through one reused block file, then commits them.
// Blocks already staged when a step fails are left to the service, which drops uncommitted ones.
bool TransferAgentAzure::sendBlocks(const std::string &absLocalPath, const std::string &remotePath,
                                    long long size, boost::function<bool(long long)> &progress,
                                    FileInfo &info) {
    const long long blockCount = (size + BLOCK_SIZE - 1) / BLOCK_SIZE;
    if (blockCount > MAX_BLOCKS) {
        LOG_ERROR("do not support part count > %lld", MAX_BLOCKS);
        m_error = TRANSFER_ERR_FILE_TOO_LARGE;
        return false;
    }
    const int blocks = static_cast<int>(blockCount);

    ScopedTempFile blockFile("", true);
    if (!blockFile.isValid()) {
        LOG_ERROR("create temp file failed, %m");
        m_error = TRANSFER_ERR_GENERIC;
        return false;
    }
    FileHandle source(fopen64(absLocalPath.c_str(), "r"), &fclose);
    if (!source) {
        const int err = errno;
        LOG_ERROR("open failed, %m [%s]", absLocalPath.c_str());
        m_error = getTransferErrorByLibcFileIo(err);
        return false;
    }

    Json::Value request(Json::objectValue);
    request[KEY_FN] = FN_CREATE_BLOB_BLOCK;
    request[KEY_CONTAINER] = getContainer();
    request[KEY_BLOB] = getBlobPath(remotePath);
    request[KEY_FILE_INPUT] = blockFile.getPath();
    long long remaining = size;
    for (int i = 0; i < blocks; ++i) {
        if (cancelRequested()) {
            return false;
        }
        const long long length = remaining <= BLOCK_SIZE ? remaining : BLOCK_SIZE;
        remaining -= length;
        if (!AgentClient::copyPartToFile(source.get(), blockFile.getPath(), length, m_cancelHook,
                                         m_error)) {
            return false;
        }
        request[KEY_COUNTER] = i;
        if (!m_client.send(request, m_response)) {
            return checkTransferResponse(m_error, false, m_response, true, "sendFile", __LINE__);
        }
        if (progress) {
            progress(length);
        }
    }

    request[KEY_FN] = FN_COMMIT_BLOB_BLOCKS;
    request[KEY_COUNTER] = blocks;
    if (!m_client.send(request, m_response)) {
        return checkTransferResponse(m_error, false, m_response, true, "sendFile", __LINE__);
    }
    convertResponseToFileInfo(m_response, info);
    return true;
}

bool TransferAgentAzure::recvFile(const std::string &remotePath, const std::string &localPath) {
    return recvFile(remotePath, localPath, boost::function<bool(long long)>());
}

// The data lands in a temporary file beside the destination, which it replaces only once its
// size equals the blob's; every failure removes it instead.
bool TransferAgentAzure::recvFile(const std::string &remotePath, const std::string &localPath,
                                  boost::function<bool(long long)> progress) {
    if (!readyToSend(!getContainer().empty() && isValidFileLocalPath(localPath, false) &&
                     isValidFileRelativePath(remotePath, false))) {
        return false;
    }
    FileInfo remote("");
    const std::string absLocalPath = Path::absPath(localPath);
    if (!stat(remotePath, remote)) {
        if (m_error != TRANSFER_ERR_NOT_FOUND) {
            LOG_ERROR("remote stat [%s] failed", remotePath.c_str());
        }
        return false;
    }
    if (!remote.isRegType()) {
        LOG_ERROR("could not download non regular file");
        m_error = TRANSFER_ERR_INVALID;
        return false;
    }
    if (cancelRequested()) {
        return false;
    }
    ScopedTempFile download(absLocalPath, true);
    if (!download.isValid()) {
        LOG_ERROR("create temp failed, %m");
        m_error = TRANSFER_ERR_GENERIC;
        return false;
    }

    const long long size = remote.getSize();
    if (size != 0 && size <= RANGE_SIZE) {
        if (!fetchWhole(remotePath, download.getPath(), size)) {
            return false;
        }
        if (!download.rename(absLocalPath)) {
            LOG_ERROR("rename temp failed, %m");
            m_error = TRANSFER_ERR_GENERIC;
            return false;
        }
        if (progress) {
            progress(size);
        }
        return true;
    }
    if (size > RANGE_SIZE &&
        !fetchRanges(remotePath, absLocalPath, download.getPath(), size, progress)) {
        return false;
    }
    if (!download.rename(absLocalPath)) {
        LOG_ERROR("rename failed, %m");
        m_error = TRANSFER_ERR_GENERIC;
        return false;
    }
    return true;
}

bool TransferAgentAzure::fetchWhole(const std::string &remotePath, const std::string &downloadPath,
                                    long long size) {
    const std::string container = getContainer();
    const std::string blob = getBlobPath(remotePath);
    if (!m_client.send(&m_response, KEY_FN, FN_GET_BLOB, KEY_CONTAINER, container.c_str(), KEY_BLOB,
                       blob.c_str(), KEY_FILE_OUTPUT, downloadPath.c_str(), END_OF_ARGS)) {
        return checkTransferResponse(m_error, false, m_response, true, "recvFile", __LINE__);
    }
    if (!hasDownloadedSize(downloadPath, size)) {
        m_error = TRANSFER_ERR_GENERIC;
        return false;
    }
    return true;
}

// Fetches consecutive 10 MiB ranges into one reused range file and appends each to the
// download file, so that at most one range is held besides it.
bool TransferAgentAzure::fetchRanges(const std::string &remotePath, const std::string &absLocalPath,
                                     const std::string &downloadPath, long long size,
                                     boost::function<bool(long long)> &progress) {
    ScopedTempFile rangeFile(absLocalPath + ".part", true);
    if (!rangeFile.isValid()) {
        LOG_ERROR("create temp failed");
        m_error = TRANSFER_ERR_GENERIC;
        return false;
    }
    FileHandle download(fopen64(downloadPath.c_str(), "w"), &fclose);
    if (!download) {
        LOG_ERROR("open failed, %m");
        m_error = TRANSFER_ERR_GENERIC;
        return false;
    }

    const std::string container = getContainer();
    const std::string blob = getBlobPath(remotePath);
    long long start = 0;
    long long end = RANGE_SIZE - 1;
    while (start < size) {
        if (cancelRequested()) {
            return false;
        }
        char startText[32];
        char endText[32];
        snprintf(startText, sizeof startText, "%llu", static_cast<unsigned long long>(start));
        snprintf(endText, sizeof endText, "%llu", static_cast<unsigned long long>(end));
        if (!m_client.send(&m_response, KEY_FN, FN_GET_BLOB, KEY_CONTAINER, container.c_str(),
                           KEY_BLOB, blob.c_str(), KEY_RANGE_START, startText, KEY_RANGE_END,
                           endText, KEY_FILE_OUTPUT, rangeFile.getPath().c_str(), END_OF_ARGS)) {
            return checkTransferResponse(m_error, false, m_response, false, "recvFile", __LINE__);
        }
        if (!AgentClient::appendFileToFp(rangeFile.getPath(), download.get(), m_cancelHook,
                                         m_error)) {
            LOG_ERROR("merge %llu-%llu to [%s] failed", static_cast<unsigned long long>(start),
                  static_cast<unsigned long long>(end), downloadPath.c_str());
            return false;
        }
        if (progress) {
            progress(end - start + 1);
        }
        start = end + 1;
        end += RANGE_SIZE;
        if (end >= size) {
            end = size - 1;
        }
    }
    download.reset();
    if (!hasDownloadedSize(downloadPath, size)) {
        m_error = TRANSFER_ERR_GENERIC;
        return false;
    }
    return true;
}

} // namespace Backup
} // namespace VORN

extern "C" {

VORN::Backup::TransferAgent *getTransferAgent(const VORN::Backup::Repository &repository) {
    return new VORN::Backup::TransferAgentAzure(repository);
}

VORN::Backup::VersionManager *getVersionManager() { return nullptr; }
}
