// FakeAgent: installs the scripted fake azure_agent under a VORN_SYSROOT tree for one test.
#ifndef VORN_TESTS_FAKE_AGENT_H
#define VORN_TESTS_FAKE_AGENT_H

#include <string>
#include <vector>

#include <json/value.h>

#include "scratch_env.h"
#include "vorn/backup/repository.h"

namespace vorntest {

class FakeAgent {
public:
    // Makes a scratch directory with the sysroot tree, points VORN_SYSROOT, TMPDIR and the
    // fake's variables at it and starts with an empty scenario (first line "start").
    // The environment is restored and the scratch directory removed at the end.
    FakeAgent();

    // The first line the agent writes; std::string() with `none` true writes nothing.
    FakeAgent &startLine(const std::string &line);
    FakeAgent &noStartLine();
    // Appends a scripted step; `respond` appends {"response": response}.
    FakeAgent &step(const Json::Value &step);
    FakeAgent &respond(const Json::Value &response);
    FakeAgent &respondOk();
    FakeAgent &fail(int errorCode, const std::string &message = "");
    // The step used once the scripted ones are exhausted.
    FakeAgent &byDefault(const Json::Value &step);
    // Removes the agent script, so that starting it fails.
    void removeScript();

    // Every request received so far, over every agent process, in order.
    std::vector<Json::Value> requests() const;
    // The log entries of the requests (with "fileInputSize"/"fileInputSha1" where known).
    std::vector<Json::Value> requestEntries() const;
    // The agent variables each start saw, one object per start.
    std::vector<Json::Value> starts() const;

    // A path below the scratch directory.
    std::string path(const std::string &name) const;
    // Regular files left in the scratch directory's temp area (TMPDIR), for leak checks.
    std::vector<std::string> tempFiles() const;

private:
    void writeScenario() const;
    // The log entries carrying `member`: whole, or that member only.
    std::vector<Json::Value> logged(const char *member, bool whole) const;

    ScratchDir m_scratch;
    const std::string m_dir;
    std::string m_tmpDir;
    Json::Value m_scenario;
    ScopedEnv m_env;
};

// A repository for the plug-in: cloud target type, the given container and credentials.
VORN::Backup::Repository makeRepository(const std::string &container = "backups",
                                        bool withKey = true, bool withSecret = true);

// Parses JSON text written in a test; throws on a typo.
Json::Value json(const std::string &text);

// Agent responses and scripted steps: a failure with its code and message, a success carrying
// blob properties (the ETag is BLOB_ETAG), and a step answering `response`.
const char *const BLOB_ETAG = "\"0x8DC0FFEE\"";
Json::Value failure(int errorCode, const std::string &message = "");
Json::Value blobProperties(long long size, long long mtime = 1700000000);
Json::Value answer(const Json::Value &response);

// Makes a file of `size` bytes (sparse when `sparse`), content o % 251 at offset o otherwise.
void makeFile(const std::string &path, long long size, bool sparse = false);
// True when the file at `path` holds exactly `size` bytes of the o % 251 pattern.
bool hasPattern(const std::string &path, long long size);

} // namespace vorntest

#endif
