// Test helpers of the framework and platform suites: environment changes undone at scope end,
// and a scratch directory removed with everything in it.
#ifndef VORN_TESTS_SCRATCH_ENV_H
#define VORN_TESTS_SCRATCH_ENV_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace vorntest {

class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

    ~ScopedEnv() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->wasSet) {
                setenv(it->name.c_str(), it->value.c_str(), 1);
            } else {
                unsetenv(it->name.c_str());
            }
        }
    }

    ScopedEnv &set(const std::string &name, const std::string &value) {
        save(name);
        setenv(name.c_str(), value.c_str(), 1);
        return *this;
    }

    ScopedEnv &unset(const std::string &name) {
        save(name);
        unsetenv(name.c_str());
        return *this;
    }

private:
    struct Saved {
        std::string name;
        bool wasSet;
        std::string value;
    };

    void save(const std::string &name) {
        const char *old = getenv(name.c_str());
        m_saved.push_back(Saved{name, old != nullptr, old ? old : ""});
    }

    std::vector<Saved> m_saved;
};

class ScratchDir {
public:
    ScratchDir() {
        char templ[] = "/tmp/vorn-unit-XXXXXX";
        m_dir = mkdtemp(templ);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &dir() const { return m_dir; }
    std::string path(const std::string &name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
};

inline void writeFile(const std::string &path, const std::string &content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace vorntest

#endif
