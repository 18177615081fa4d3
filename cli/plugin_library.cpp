#include "plugin_library.h"

#include <dlfcn.h>
#include <unistd.h>

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
    if (access(VORN_PLUGIN_BUILD_PATH, F_OK) == 0) {
        return VORN_PLUGIN_BUILD_PATH;
    }
    return VORN_PLUGIN_INSTALL_PATH;
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
