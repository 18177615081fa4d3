// Task: a backup task and its options, kept in the framework's task store.
#ifndef VORN_BACKUP_TASK_H
#define VORN_BACKUP_TASK_H

#include <string>

#include "vorn/backup/option_map.h"

namespace VORN {
namespace Backup {

// Tasks live as "<id>.json" in "$VORN_CONFIG_DIR/tasks" (default "$HOME/.config/vorn/tasks").
class Task {
public:
    static constexpr const char *SZK_TRANS_ENCRYPT = "trans_encrypt";
    // The blob at the top of a target that holds a task's configuration.
    static constexpr const char *CONFIG_FILE_NAME = "_Vorn_TaskConfig";

    Task();
    explicit Task(int id);
    ~Task();

    // Reads task `id` from the store; false when it does not exist or cannot be read.
    bool load(int id);
    // Writes the task back to the store (atomically).
    bool save() const;

    int getId() const;
    OptionMap &getOptions();
    const OptionMap &getOptions() const;

    static std::string storeDir();

private:
    int m_id;
    OptionMap m_options;
};

} // namespace Backup
} // namespace VORN

#endif
