#include "fake_agent.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include <json/reader.h>

#include "vorn/backup/agent_client.h"

namespace fs = std::filesystem;

namespace vorntest {

namespace {

// The agent path the plug-in starts, below the sysroot.
const char *const AGENT_SCRIPT_PATH = "/usr/vorn/vornbackup/addon/azure_blob/python/azure_agent.py";

} // namespace

Json::Value json(const std::string &text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
        throw std::runtime_error("bad JSON: " + text);
    }
    return value;
}

Json::Value failure(int errorCode, const std::string &message) {
    Json::Value failed(Json::objectValue);
    failed["success"] = false;
    failed["error_code"] = errorCode;
    failed["error_message"] = message;
    return failed;
}

Json::Value blobProperties(long long size, long long mtime) {
    Json::Value response(Json::objectValue);
    response["success"] = true;
    response["Properties"]["LastModified"] = Json::Int64(mtime);
    response["Properties"]["ContentLength"] = Json::Int64(size);
    response["Properties"]["ETag"] = BLOB_ETAG;
    return response;
}

Json::Value answer(const Json::Value &response) {
    Json::Value step(Json::objectValue);
    step["response"] = response;
    return step;
}

FakeAgent::FakeAgent() : m_dir(m_scratch.dir()), m_scenario(Json::objectValue) {
    m_tmpDir = m_dir + "/tmp";
    fs::create_directories(m_tmpDir);
    const fs::path script = fs::path(m_dir + "/root" + AGENT_SCRIPT_PATH);
    fs::create_directories(script.parent_path());
    fs::copy_file(FAKE_AGENT_SOURCE, script);

    m_env.set("VORN_SYSROOT", m_dir + "/root")
        .set("TMPDIR", m_tmpDir)
        .set("FAKE_AGENT_SCENARIO", m_dir + "/scenario.json")
        .set("FAKE_AGENT_LOG", m_dir + "/agent.log")
        .set("VORN_AGENT_RETRY_BASE_MS", "1");
    m_scenario["start"] = "start";
    m_scenario["steps"] = Json::Value(Json::arrayValue);
    writeScenario();
}

FakeAgent &FakeAgent::startLine(const std::string &line) {
    m_scenario["start"] = line;
    writeScenario();
    return *this;
}

FakeAgent &FakeAgent::noStartLine() {
    m_scenario["start"] = Json::Value(Json::nullValue);
    writeScenario();
    return *this;
}

FakeAgent &FakeAgent::step(const Json::Value &step) {
    m_scenario["steps"].append(step);
    writeScenario();
    return *this;
}

FakeAgent &FakeAgent::respond(const Json::Value &response) {
    return step(answer(response));
}

FakeAgent &FakeAgent::respondOk() {
    Json::Value ok(Json::objectValue);
    ok["success"] = true;
    return respond(ok);
}

FakeAgent &FakeAgent::fail(int errorCode, const std::string &message) {
    return respond(failure(errorCode, message));
}

FakeAgent &FakeAgent::byDefault(const Json::Value &step) {
    m_scenario["default"] = step;
    writeScenario();
    return *this;
}

void FakeAgent::removeScript() {
    fs::remove(fs::path(m_dir + "/root" + AGENT_SCRIPT_PATH));
}

std::vector<Json::Value> FakeAgent::logEntries() const {
    std::vector<Json::Value> entries;
    std::ifstream in(m_dir + "/agent.log");
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            entries.push_back(json(line));
        }
    }
    return entries;
}

std::vector<Json::Value> FakeAgent::requestEntries() const {
    std::vector<Json::Value> out;
    for (const Json::Value &entry : logEntries()) {
        if (entry.isMember("request")) {
            out.push_back(entry);
        }
    }
    return out;
}

std::vector<Json::Value> FakeAgent::requests() const {
    std::vector<Json::Value> out;
    for (const Json::Value &entry : requestEntries()) {
        out.push_back(entry["request"]);
    }
    return out;
}

std::vector<Json::Value> FakeAgent::starts() const {
    std::vector<Json::Value> out;
    for (const Json::Value &entry : logEntries()) {
        if (entry.isMember("env")) {
            out.push_back(entry["env"]);
        }
    }
    return out;
}

std::string FakeAgent::path(const std::string &name) const {
    return m_dir + "/" + name;
}

std::vector<std::string> FakeAgent::tempFiles() const {
    std::vector<std::string> files;
    for (const auto &entry : fs::directory_iterator(m_tmpDir)) {
        files.push_back(entry.path().string());
    }
    return files;
}

void FakeAgent::writeScenario() const {
    const std::string tmp = m_dir + "/scenario.json.new";
    {
        std::ofstream out(tmp);
        out << VORN::Backup::compactJson(m_scenario) << "\n";
    }
    fs::rename(tmp, m_dir + "/scenario.json");
}

VORN::Backup::Repository makeRepository(const std::string &container, bool withKey,
                                        bool withSecret) {
    VORN::Backup::OptionMap options;
    options.optSet(VORN::Backup::Repository::SZK_REMOTE_BUCKET, container);
    if (withKey) {
        options.optSet(VORN::Backup::Repository::SZK_REMOTE_KEY, std::string("devaccount"));
    }
    if (withSecret) {
        options.optSetSecret(VORN::Backup::Repository::SZK_REMOTE_SECRET,
                             std::string("c2VjcmV0LWtleQ=="));
    }
    return VORN::Backup::Repository(7, VORN::Backup::Repository::SZV_TARGET_CLOUD, "azure",
                                    options);
}

void makeFile(const std::string &path, long long size, bool sparse) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + path);
    }
    if (sparse) {
        if (ftruncate(fd, size) != 0) {
            close(fd);
            throw std::runtime_error("cannot size " + path);
        }
        close(fd);
        return;
    }
    std::string chunk(1 << 20, '\0');
    long long done = 0;
    while (done < size) {
        const long long n = std::min<long long>(chunk.size(), size - done);
        for (long long i = 0; i < n; ++i) {
            chunk[i] = static_cast<char>((done + i) % 251);
        }
        if (write(fd, chunk.data(), n) != n) {
            close(fd);
            throw std::runtime_error("cannot write " + path);
        }
        done += n;
    }
    close(fd);
}

bool hasPattern(const std::string &path, long long size) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::vector<char> chunk(1 << 20);
    long long done = 0;
    while (in) {
        in.read(chunk.data(), chunk.size());
        const std::streamsize n = in.gcount();
        for (std::streamsize i = 0; i < n; ++i) {
            if (static_cast<unsigned char>(chunk[i]) != (done + i) % 251) {
                return false;
            }
        }
        done += n;
    }
    return done == size;
}

} // namespace vorntest
