// DirectoryStore: a target kept in a local directory, so the engine runs end to end in tests
// without a service.
#ifndef VORN_TESTS_DIRECTORY_STORE_H
#define VORN_TESTS_DIRECTORY_STORE_H

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "store.h"

namespace enginetest {

class DirectoryStore : public vornengine::Store {
public:
    explicit DirectoryStore(const std::string &root, int lanes = 2) : m_root(root), m_lanes(lanes) {}

    vornengine::Status put(const std::string &localPath, const std::string &name) override {
        std::error_code error;
        const std::filesystem::path to = path(name);
        std::filesystem::create_directories(to.parent_path(), error);
        std::filesystem::copy_file(localPath, to, std::filesystem::copy_options::overwrite_existing, error);
        return error ? vornengine::Status::failed(name + ": " + error.message()) : vornengine::Status::ok();
    }
    vornengine::Status get(const std::string &name, const std::string &localPath) override {
        std::error_code error;
        if (!std::filesystem::exists(path(name))) {
            return vornengine::Status::notFound(name + ": not found");
        }
        std::filesystem::copy_file(path(name), localPath, std::filesystem::copy_options::overwrite_existing, error);
        return error ? vornengine::Status::failed(name + ": " + error.message()) : vornengine::Status::ok();
    }
    vornengine::Status size(const std::string &name, int64_t &bytes) override {
        std::error_code error;
        bytes = static_cast<int64_t>(std::filesystem::file_size(path(name), error));
        return error ? vornengine::Status::notFound(name + ": not found") : vornengine::Status::ok();
    }
    vornengine::Status list(const std::string &dir, std::vector<vornengine::StoredFile> &files) override {
        std::error_code error;
        const std::filesystem::path base = path(dir);
        if (!std::filesystem::exists(base)) {
            return vornengine::Status::ok();
        }
        for (const auto &entry : std::filesystem::recursive_directory_iterator(base, error)) {
            if (entry.is_regular_file()) {
                files.push_back({std::filesystem::relative(entry.path(), m_root).string(),
                                 static_cast<int64_t>(entry.file_size())});
            }
        }
        return vornengine::Status::ok();
    }
    vornengine::Status remove(const std::string &name) override {
        std::error_code error;
        return std::filesystem::remove(path(name), error) ? vornengine::Status::ok()
                                                          : vornengine::Status::notFound(name + ": not found");
    }
    int lanes() const override { return m_lanes; }

    std::filesystem::path path(const std::string &name) const { return std::filesystem::path(m_root) / name; }

private:
    std::string m_root;
    int m_lanes;
};

} // namespace enginetest

#endif
