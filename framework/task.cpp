#include "vorn/backup/task.h"

#include <string>

#include "file_util.h"
#include "vorn/backup/path.h"

namespace VORN {
namespace Backup {

namespace {

const char *const ID = "id";
const char *const OPTIONS = "options";

std::string taskFile(int id) {
    const std::string dir = Task::storeDir();
    return dir.empty() ? "" : Path::join(dir, std::to_string(id) + ".json");
}

} // namespace

Task::Task() : m_id(-1) {}

Task::Task(int id) : m_id(id) {}

Task::~Task() {}

bool Task::load(int id) {
    const std::string file = taskFile(id);
    Json::Value root;
    if (id < 0 || file.empty() || readJsonFile(file, root) != JsonFileState::READ ||
        !root.isObject() || !root[OPTIONS].isObject()) {
        return false;
    }
    m_id = id;
    m_options = OptionMap(root[OPTIONS]);
    return true;
}

// Secrets stay in memory only: the store holds what toJson gives without them.
bool Task::save() const {
    const std::string file = taskFile(m_id);
    if (m_id < 0 || file.empty() || !makeDirectories(storeDir())) {
        return false;
    }
    Json::Value root(Json::objectValue);
    root[ID] = m_id;
    root[OPTIONS] = m_options.toJson(false);
    return writeJsonFile(file, root);
}

int Task::getId() const {
    return m_id;
}

OptionMap &Task::getOptions() {
    return m_options;
}

const OptionMap &Task::getOptions() const {
    return m_options;
}

std::string Task::storeDir() {
    const std::string base = dirFromEnvironment("VORN_CONFIG_DIR", ".config/vorn");
    return base.empty() ? "" : Path::join(base, "tasks");
}

} // namespace Backup
} // namespace VORN
