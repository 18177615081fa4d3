#include "plugin_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace vorncli {

using namespace VORN::Backup;

namespace {

template <typename Fn>
bool findSymbol(void *handle, const char *name, Fn &fn, std::string &error) {
    fn = reinterpret_cast<Fn>(dlsym(handle, name));
    if (!fn) {
        error = std::string("the plug-in exports no ") + name;
        return false;
    }
    return true;
}

} // namespace

std::string PluginLibrary::defaultPath() {
    const char *configured = getenv("VORN_AZURE_PLUGIN");
    if (configured && *configured) {
        return configured;
    }
    return runningFromBuildTree() ? VORN_PLUGIN_BUILD_PATH : VORN_PLUGIN_INSTALL_PATH;
}

bool PluginLibrary::runningFromBuildTree() {
    char self[PATH_MAX];
    char built[PATH_MAX];
    if (!realpath("/proc/self/exe", self) || !realpath(VORN_BUILD_PROGRAM, built)) {
        return false;
    }
    return std::string(self) == built;
}

bool PluginLibrary::load(const std::string &path, std::string &error) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        error = std::string("cannot load the plug-in: ") + dlerror();
        return false;
    }
    // Every destination exports all three, though this host keeps no versions.
    GetVersionManagerFn getVersionManager;
    if (!findSymbol(handle, "getTransferAgent", m_getTransferAgent, error) ||
        !findSymbol(handle, "getTargetManager", m_getTargetManager, error) ||
        !findSymbol(handle, "getVersionManager", getVersionManager, error)) {
        dlclose(handle);
        return false;
    }
    return true;
}

std::unique_ptr<TransferAgent>
PluginLibrary::makeTransferAgent(const Repository &repository) const {
    return std::unique_ptr<TransferAgent>(m_getTransferAgent(repository));
}

std::unique_ptr<TargetManager>
PluginLibrary::makeTargetManager(const Repository &repository) const {
    return std::unique_ptr<TargetManager>(m_getTargetManager(repository));
}

} // namespace vorncli
