#include "fake_agent.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

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

std::vector<Json::Value> FakeAgent::logged(const char *member, bool whole) const {
    std::vector<Json::Value> out;
    std::ifstream in(m_dir + "/agent.log");
    std::string line;
    while (std::getline(in, line)) {
        const Json::Value entry = line.empty() ? Json::Value() : json(line);
        if (entry.isMember(member)) {
            out.push_back(whole ? entry : entry[member]);
        }
    }
    return out;
}

std::vector<Json::Value> FakeAgent::requestEntries() const { return logged("request", true); }

std::vector<Json::Value> FakeAgent::requests() const { return logged("request", false); }

std::vector<Json::Value> FakeAgent::starts() const { return logged("env", false); }

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
    writeFile(path, sparse ? std::string() : patternText(static_cast<size_t>(size)));
    if (sparse) {
        fs::resize_file(path, static_cast<std::uintmax_t>(size));
    }
}

bool hasPattern(const std::string &path, long long size) {
    return fs::is_regular_file(path) && readFile(path) == patternText(static_cast<size_t>(size));
}

} // namespace vorntest
