// PluginLibrary: the destination plug-in, loaded with dlopen and used through its factories.
#ifndef VORN_CLI_PLUGIN_LIBRARY_H
#define VORN_CLI_PLUGIN_LIBRARY_H

#include <memory>
#include <string>

#include "vorn/backup/plugin.h"

namespace vorncli {

class PluginLibrary {
public:
    // $VORN_AZURE_PLUGIN, else the build tree's plug-in when this program runs from the build
    // tree, else the installed one.
    static std::string defaultPath();
    // True when this program is the one in the build tree it was built in, not an installed copy.
    static bool runningFromBuildTree();

    // Loads the library at `path` and checks that it exports the three factories; false with
    // `error` set when the library or one of them is missing. The library stays loaded for the
    // process's life, so objects it made may outlive this record.
    bool load(const std::string &path, std::string &error);

    std::unique_ptr<VORN::Backup::TransferAgent>
    makeTransferAgent(const VORN::Backup::Repository &repository) const;
    std::unique_ptr<VORN::Backup::TargetManager>
    makeTargetManager(const VORN::Backup::Repository &repository) const;

private:
    VORN::Backup::GetTransferAgentFn m_getTransferAgent = nullptr;
    VORN::Backup::GetTargetManagerFn m_getTargetManager = nullptr;
};

} // namespace vorncli

#endif
