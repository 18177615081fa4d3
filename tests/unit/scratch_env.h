// Test helpers of the framework and platform suites: environment changes undone at scope end,
// a scratch directory removed with everything in it, file contents and reaped children.
#ifndef VORN_TESTS_SCRATCH_ENV_H
#define VORN_TESTS_SCRATCH_ENV_H

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>

namespace vorntest {

class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

    // Undone in reverse, so a variable changed twice gets its first value back.
    ~ScopedEnv() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            it->second ? setenv(it->first.c_str(), it->second->c_str(), 1)
                       : unsetenv(it->first.c_str());
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
    void save(const std::string &name) {
        const char *old = getenv(name.c_str());
        m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
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
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The child `pid` has ended and been reaped by its parent.
inline bool isReaped(pid_t pid) {
    int status;
    return waitpid(pid, &status, WNOHANG) < 0 && errno == ECHILD;
}

// Byte o % 251 at offset o: no period that a buffer size could hide.
inline std::string patternText(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(i % 251);
    }
    return text;
}

} // namespace vorntest

#endif
