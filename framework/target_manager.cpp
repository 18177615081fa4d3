#include "vorn/backup/target_manager.h"

namespace VORN {
namespace Backup {

namespace {

const char *const ID = "id";
const char *const TARGET_TYPE = "target_type";
const char *const TRANSFER_TYPE = "transfer_type";
const char *const OPTIONS = "options";

} // namespace

TargetManager::TargetManager(const Repository &repository)
    : m_error(TM_ERR_NONE), m_repository(repository) {}

TargetManager::~TargetManager() {}

bool TargetManager::notSupported() {
    m_error = TM_ERR_NOT_SUPPORTED;
    return false;
}

bool TargetManager::setTransferOption(const Task &) { return notSupported(); }
// Const: it cannot record an error; the empty path says there is none.
std::string TargetManager::getLocalPath() const { return ""; }
bool TargetManager::isValid() { return notSupported(); }

int TargetManager::getStatus(std::string &status) {
    status.clear();
    notSupported();
    return -1;
}

bool TargetManager::getAvailableOptions(OptionMap &) { return notSupported(); }
bool TargetManager::getCandidateDir(std::string &) { return notSupported(); }
bool TargetManager::createTargetByDirName(const std::string &, const std::string &) {
    return notSupported();
}

std::string TargetManager::createTarget(const std::string &, const std::string &, unsigned int) {
    notSupported();
    return "";
}

bool TargetManager::listTarget(std::list<TargetInfo> &) { return notSupported(); }
bool TargetManager::getTarget(const std::string &, TargetInfo &) { return notSupported(); }
bool TargetManager::removeTarget(const std::string &) { return notSupported(); }
bool TargetManager::setTaskConfig(const std::string &, int) { return notSupported(); }
bool TargetManager::getTaskConfigTimestamp(const std::string &, long &) { return notSupported(); }
bool TargetManager::createRepository(unsigned int) { return notSupported(); }
bool TargetManager::removeRepository() { return notSupported(); }
bool TargetManager::createContainer() { return notSupported(); }

bool TargetManager::loadJsonByRepository(const Repository &repository, Json::Value &json) {
    json = Json::Value(Json::objectValue);
    json[ID] = repository.getId();
    json[TARGET_TYPE] = repository.getTargetType();
    json[TRANSFER_TYPE] = repository.getTransferType();
    json[OPTIONS] = repository.getOptions().toJson(false);
    return true;
}

bool TargetManager::loadRepositoryByJson(Repository &repository, const Json::Value &json,
                                         bool &changed) {
    changed = false;
    if (!json.isObject() || !json[OPTIONS].isObject() ||
        (json.isMember(ID) && !json[ID].isInt()) ||
        (json.isMember(TARGET_TYPE) && !json[TARGET_TYPE].isString()) ||
        (json.isMember(TRANSFER_TYPE) && !json[TRANSFER_TYPE].isString())) {
        m_error = TM_ERR_INVALID_INPUT;
        return false;
    }
    const OptionMap &old = repository.getOptions();
    OptionMap options(json[OPTIONS]);
    // The JSON form carries no secrets: the ones the repository holds are kept.
    const Json::Value plain = old.toJson(false);
    for (const std::string &key : old.keys()) {
        if (!plain.isMember(key) && !options.optGet(key)) {
            options.optSetSecret(key, old.optSecret(key));
        }
    }
    changed = !repository.hasOptions() || options.toJson(false) != plain;
    repository.setId(json.get(ID, repository.getId()).asInt());
    repository.setTargetType(json.get(TARGET_TYPE, repository.getTargetType()).asString());
    repository.setTransferType(json.get(TRANSFER_TYPE, repository.getTransferType()).asString());
    repository.setOptions(options);
    return true;
}

bool TargetManager::isSameRepository(const Repository &) { return notSupported(); }
bool TargetManager::findRepository(std::list<Repository> &) { return notSupported(); }
bool TargetManager::findTarget(std::list<TargetInfo> &) { return notSupported(); }

long long TargetManager::getTargetSpace(const std::string &) {
    notSupported();
    return -1;
}

long long TargetManager::getRepositorySpace() {
    notSupported();
    return -1;
}

bool TargetManager::getRepositoryCreator(std::string &, std::string &) { return notSupported(); }
bool TargetManager::checkRepositoryAccessAuthority() { return notSupported(); }
bool TargetManager::listUnloadedRepo(std::list<std::string> &) { return notSupported(); }
bool TargetManager::checkRepositoryPermission(unsigned int, TM_ACT) { return notSupported(); }
bool TargetManager::checkTargetPermission(unsigned int, const std::string &, TM_ACT) {
    return notSupported();
}
bool TargetManager::addPrivilege(PRIVILEGE_SUBJECT, const std::string &,
                                 const std::list<PrivilegeInfo> &) {
    return notSupported();
}
bool TargetManager::removePrivilege(PRIVILEGE_SUBJECT, const std::string &,
                                    const std::list<PrivilegeInfo> &) {
    return notSupported();
}
bool TargetManager::listPrivilegedUser(PRIVILEGE_SUBJECT, const std::string &, bool, TM_ACT,
                                       std::list<UserInfo> &) {
    return notSupported();
}
bool TargetManager::listUserPrivilege(PRIVILEGE_SUBJECT, const std::string &, unsigned int,
                                      std::list<TM_ACT> &) {
    return notSupported();
}
bool TargetManager::getOwner(PRIVILEGE_SUBJECT, const std::string &, unsigned int &,
                             std::string &) {
    return notSupported();
}
bool TargetManager::setOwner(PRIVILEGE_SUBJECT, const std::string &, unsigned int) {
    return notSupported();
}
bool TargetManager::getTargetProperty(const std::string &, TargetProperty &) {
    return notSupported();
}
bool TargetManager::hasCapabilities(CAPABILITIES_TYPE) { return notSupported(); }

int TargetManager::getError(std::string &message) {
    message = targetErrorText(m_error);
    return m_error;
}

void TargetManager::setError(TM_ERROR_CODE code) {
    m_error = code;
}

TM_ERROR_CODE TargetManager::getErrorCode() const {
    return m_error;
}

const Repository &TargetManager::getRepository() const {
    return m_repository;
}

} // namespace Backup
} // namespace VORN
