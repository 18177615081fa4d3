// Shared ground for end-to-end engine tests: a temporary target on a DirectoryStore, repositories
// opened on it, and backups into it.
#ifndef VORN_TESTS_ENGINE_FIXTURE_H
#define VORN_TESTS_ENGINE_FIXTURE_H

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "backup.h"
#include "directory_store.h"
#include "local_file.h"
#include "repository.h"

namespace enginetest {

inline std::string randomBytes(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string data(n, '\0');
    for (char &c : data) {
        c = static_cast<char>(rng());
    }
    return data;
}

// Writes `bytes` to `path`, creating the directories above it.
inline void put(const std::filesystem::path &path, const std::string &bytes) {
    std::filesystem::create_directories(path.parent_path());
    ASSERT_TRUE(vornengine::writeLocalFile(path.string(), bytes).isOk());
}

// Counts what is stored, and stops working after `budget` changes to names starting with
// `limited`, as a link lost or a process killed in the middle of a run: a put then fails
// (Unavailable), a removal is refused (Access), as by credentials that may write but not delete.
// Lock records always pass: a dead process's lock goes stale by itself.
class FailingStore : public DirectoryStore {
public:
    FailingStore(const std::string &root, int budget, const std::string &limited = "", int lanes = 2)
        : DirectoryStore(root, lanes), m_budget(budget), m_limited(limited) {}
    vornengine::Status put(const std::string &local, const std::string &name) override {
        ++m_puts;
        return spend(name) ? DirectoryStore::put(local, name) : vornengine::Status::unavailable("link lost");
    }
    vornengine::Status remove(const std::string &name) override {
        return spend(name) ? DirectoryStore::remove(name) : vornengine::Status::access("removal not permitted");
    }
    // Every put asked for, lock records and refused ones included.
    int puts() const { return m_puts; }

private:
    bool spend(const std::string &name) {
        return name.rfind("locks/", 0) == 0 || name.rfind(m_limited, 0) != 0 || m_budget-- > 0;
    }
    std::atomic<int> m_budget;
    const std::string m_limited;
    std::atomic<int> m_puts{0};
};

// Each test gets its own directory, named after it, holding a fresh unencrypted target "store".
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
        m_root = std::filesystem::temp_directory_path() /
                 (std::string(test->test_suite_name()) + "-" + std::to_string(getpid()) + "-" + test->name());
        std::filesystem::remove_all(m_root);
        newTarget("store");
    }
    // Directories a test closed are opened again so that everything can go.
    void TearDown() override {
        std::error_code ignored;
        for (auto item = std::filesystem::recursive_directory_iterator(m_root, ignored);
             item != std::filesystem::recursive_directory_iterator(); item.increment(ignored)) {
            if (item->is_directory(ignored) && !item->is_symlink(ignored)) {
                chmod(item->path().c_str(), 0700);
            }
        }
        std::filesystem::remove_all(m_root, ignored);
    }

    // Makes m_root/name a new target (encrypted when `passphrase` is not empty) and the one the
    // helpers below work on.
    void newTarget(const std::string &name, const std::string &passphrase = "") {
        m_target = m_root / name;
        m_passphrase = passphrase;
        m_store = std::make_unique<DirectoryStore>(m_target.string());
        ASSERT_TRUE(vornengine::Repository::initialize(*m_store, passphrase, vornengine::KeyInfo::current()).isOk());
    }

    // The target opened through `store` (the test's own by default), without a local cache.
    std::unique_ptr<vornengine::Repository> open(vornengine::Store *store = nullptr) {
        auto repository = std::make_unique<vornengine::Repository>(store ? *store : *m_store, "");
        EXPECT_TRUE(repository->open([this](std::string &p) { p = m_passphrase; return vornengine::Status::ok(); }).isOk());
        return repository;
    }

    static vornengine::BackupRequest backupOf(const std::filesystem::path &source) {
        vornengine::BackupRequest request;
        request.source = source.string();
        request.hostname = "host";
        return request;
    }

    vornengine::Snapshot backup(const std::filesystem::path &source) {
        vornengine::Snapshot snapshot;
        EXPECT_TRUE(vornengine::runBackup(*open(), backupOf(source), {}, snapshot).isOk());
        return snapshot;
    }

    // The stored files below `dir` of the target, sorted ("data/ab12...").
    std::vector<std::string> names(const std::string &dir) {
        std::vector<vornengine::StoredFile> files;
        EXPECT_TRUE(m_store->list(dir, files).isOk());
        std::vector<std::string> result;
        for (const vornengine::StoredFile &file : files) {
            result.push_back(file.name);
        }
        std::sort(result.begin(), result.end());
        return result;
    }

    std::filesystem::path m_root, m_target;
    std::string m_passphrase;
    std::unique_ptr<DirectoryStore> m_store;
};

} // namespace enginetest

#endif
