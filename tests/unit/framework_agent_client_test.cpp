// AgentClient against small Python agents: framing, dead and broken agents, cancellation, retries.
#include <chrono>
#include <csignal>
#include <cerrno>
#include <string>

#include <sys/wait.h>

#include <gtest/gtest.h>
#include <json/value.h>

#include "scratch_env.h"
#include "vorn/backup/agent_client.h"

using VORN::Backup::AgentClient;
using Clock = std::chrono::steady_clock;

namespace {

// Answers each request with its "reply" member (default success), adding the number of
// requests seen so far and the request itself; "sleep", "exit" and "raw" script misbehaviour.
const char *const ECHO_AGENT = R"(
import json, sys, time
print('ready', flush=True)
count = 0
for line in sys.stdin:
    count += 1
    req = json.loads(line)
    if 'sleep' in req:
        time.sleep(req['sleep'])
    if 'exit' in req:
        sys.exit(req['exit'])
    if 'raw' in req:
        print(req['raw'], flush=True)
        continue
    reply = dict(req.pop('reply', {'success': True}))
    reply['count'] = count
    reply['request'] = req
    print(json.dumps(reply), flush=True)
)";

bool retryServerAndNetworkErrors(const Json::Value &response) {
    const int code = response.get("error_code", -1).asInt();
    return (code >= 500 && code <= 599) || code == -4;
}

class ScriptClient : public AgentClient {
public:
    bool connect(const std::string &, const std::string &, bool) override { return false; }
    bool isSuccessResponse(const Json::Value &response) const override {
        return response.get("success", false).asBool();
    }
    bool fillCanceledResponse(Json::Value &response) const override {
        response = Json::Value(Json::objectValue);
        response["success"] = false;
        response["error_code"] = -3;
        return true;
    }

    // Starts `code` and reads its first line.
    bool start(const char *code, std::string &firstLine) {
        m_pipe = VORNPipeOpen(&m_process, "/usr/bin/python", "-c", code, nullptr);
        return m_pipe && readString(firstLine);
    }
    bool start(const char *code = ECHO_AGENT) {
        std::string line;
        return start(code, line) && line == "ready";
    }
    pid_t pid() const { return m_process.pid; }
};

bool isReaped(pid_t pid) {
    int status;
    return waitpid(pid, &status, WNOHANG) < 0 && errno == ECHILD;
}

// Waits (without reaping) until `pid` has exited.
void waitForExit(pid_t pid) {
    siginfo_t info{};
    waitid(P_PID, pid, &info, WEXITED | WNOWAIT);
}

Json::Value request(const Json::Value &reply) {
    Json::Value req(Json::objectValue);
    req["fn"] = "test";
    req["reply"] = reply;
    return req;
}

Json::Value failure(int code) {
    Json::Value reply(Json::objectValue);
    reply["success"] = false;
    reply["error_code"] = code;
    return reply;
}

Json::Value success() {
    Json::Value reply(Json::objectValue);
    reply["success"] = true;
    return reply;
}

bool sigpipePending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

TEST(AgentClientSend, RoundTripsBothForms) {
    ScriptClient client;
    ASSERT_TRUE(client.start());
    EXPECT_TRUE(client.isConnected());

    Json::Value response;
    ASSERT_TRUE(client.send(&response, "fn", "getBlob", "container", "c", "blob",
                            "a\nb\"c", nullptr));
    EXPECT_EQ(response["request"]["fn"], "getBlob");
    EXPECT_EQ(response["request"]["container"], "c");
    // Control characters travel escaped, so the line framing holds.
    EXPECT_EQ(response["request"]["blob"], "a\nb\"c");

    Json::Value req(Json::objectValue);
    req["fn"] = "createBlobBlock";
    req["counter"] = 7;
    ASSERT_TRUE(client.send(req, response));
    EXPECT_EQ(response["request"]["counter"], 7);
    EXPECT_EQ(response["count"], 2);
}

TEST(AgentClientSend, RefusesAnUnpairedKeyWithoutSending) {
    ScriptClient client;
    ASSERT_TRUE(client.start());
    Json::Value response;
    EXPECT_FALSE(client.send(&response, "fn", "listBlobs", "Prefix", nullptr));
    EXPECT_FALSE(response["success"].asBool());
    EXPECT_FALSE(response.isMember("error_code"));
    ASSERT_TRUE(client.send(&response, "fn", "listBlobs", nullptr));
    EXPECT_EQ(response["count"], 1);
}

TEST(AgentClientSend, DeadAgentFailsWithoutSigpipe) {
    ScriptClient client;
    ASSERT_TRUE(client.start("print('ready', flush=True)"));
    const pid_t pid = client.pid();
    waitForExit(pid);

    // Large enough that the write itself meets the closed pipe.
    Json::Value req = request(Json::Value(std::string(1 << 20, 'x')));
    Json::Value response;
    EXPECT_FALSE(client.send(req, response));
    EXPECT_FALSE(response["success"].asBool());
    EXPECT_FALSE(response.isMember("error_code"));
    EXPECT_FALSE(sigpipePending());
    EXPECT_FALSE(client.isConnected());
    EXPECT_TRUE(isReaped(pid));

    // Without an agent every later request fails the same way.
    EXPECT_FALSE(client.send(&response, "fn", "x", nullptr));
    EXPECT_FALSE(response.isMember("error_code"));
}

TEST(AgentClientSend, AgentExitingDuringARequestIsNotRetried) {
    ScriptClient client;
    client.setRetryPolicy(5, 5, [](const Json::Value &) { return true; });
    ASSERT_TRUE(client.start());
    const pid_t pid = client.pid();
    Json::Value req(Json::objectValue);
    req["fn"] = "x";
    req["exit"] = 0;
    Json::Value response;
    EXPECT_FALSE(client.send(req, response));
    EXPECT_FALSE(response.isMember("error_code"));
    EXPECT_FALSE(client.isConnected());
    EXPECT_TRUE(isReaped(pid));
}

TEST(AgentClientSend, IsConnectedNoticesAnExitedAgent) {
    ScriptClient client;
    ASSERT_TRUE(client.start("print('ready', flush=True)"));
    const pid_t pid = client.pid();
    waitForExit(pid);
    EXPECT_FALSE(client.isConnected());
    EXPECT_TRUE(isReaped(pid));
    client.close(); // harmless once closed
}

class GarbageResponse : public ::testing::TestWithParam<const char *> {};

TEST_P(GarbageResponse, EndsTheAgentAndFailsWithoutErrorCode) {
    ScriptClient client;
    client.setRetryPolicy(5, 5, [](const Json::Value &) { return true; });
    ASSERT_TRUE(client.start());
    const pid_t pid = client.pid();
    Json::Value req(Json::objectValue);
    req["fn"] = "x";
    req["raw"] = GetParam();
    Json::Value response;
    EXPECT_FALSE(client.send(req, response));
    EXPECT_FALSE(response["success"].asBool());
    EXPECT_FALSE(response.isMember("error_code"));
    EXPECT_FALSE(client.isConnected());
    EXPECT_TRUE(isReaped(pid));
}

INSTANTIATE_TEST_SUITE_P(Lines, GarbageResponse,
                         ::testing::Values("not json", "[1, 2]", "\"text\"", "",
                                           "{\"success\": true", "{\"success\": \"yes\"}",
                                           "{\"success\": false, \"error_code\": \"404\"}",
                                           "{\"success\": false, \"error_message\": 7}"));

TEST(AgentClientCancel, EndsABusyAgentAndAnswersCancelled) {
    ScriptClient client;
    ASSERT_TRUE(client.start());
    const pid_t pid = client.pid();
    const Clock::time_point cancelAt = Clock::now() + std::chrono::milliseconds(200);
    client.setCancelHook([cancelAt] { return Clock::now() >= cancelAt; });

    Json::Value req(Json::objectValue);
    req["fn"] = "x";
    req["sleep"] = 30;
    Json::Value response;
    EXPECT_FALSE(client.send(req, response));
    // Far below the agent's 30 s: the request was abandoned, not waited for.
    EXPECT_LT(Clock::now() - cancelAt, std::chrono::seconds(10));
    EXPECT_EQ(response["error_code"], -3);
    EXPECT_FALSE(client.isConnected());
    EXPECT_TRUE(isReaped(pid));
}

TEST(AgentClientCancel, CancelledBeforeSendingKeepsTheAgent) {
    ScriptClient client;
    ASSERT_TRUE(client.start());
    client.setCancelHook([] { return true; });
    Json::Value response;
    EXPECT_FALSE(client.send(&response, "fn", "x", nullptr));
    EXPECT_EQ(response["error_code"], -3);
    EXPECT_TRUE(client.isConnected());
    client.setCancelHook(boost::function<bool()>());
    ASSERT_TRUE(client.send(&response, "fn", "x", nullptr));
    EXPECT_EQ(response["count"], 1); // the cancelled request never reached the agent
}

TEST(AgentClientCancel, InterruptsTheWaitBeforeARetry) {
    vorntest::ScopedEnv env;
    env.set("VORN_AGENT_RETRY_BASE_MS", "60000");
    ScriptClient client;
    client.setRetryPolicy(10, 60, retryServerAndNetworkErrors);
    ASSERT_TRUE(client.start());
    const Clock::time_point cancelAt = Clock::now() + std::chrono::milliseconds(100);
    client.setCancelHook([cancelAt] { return Clock::now() >= cancelAt; });
    Json::Value response;
    EXPECT_FALSE(client.send(request(failure(503)), response));
    EXPECT_LT(Clock::now() - cancelAt, std::chrono::seconds(10));
    EXPECT_EQ(response["error_code"], -3);
    client.setCancelHook(boost::function<bool()>());
    ASSERT_TRUE(client.send(request(success()), response));
    EXPECT_EQ(response["count"], 2); // one attempt, then this request
}

TEST(AgentClientReadString, GivesUpWhenCancelled) {
    ScriptClient client;
    client.setCancelHook([] { return true; });
    std::string line;
    EXPECT_FALSE(client.start("import sys; sys.stdin.read()", line));
}

struct RetryCase {
    const char *name;
    Json::Value reply;
    int expectedRequests;
};

void PrintTo(const RetryCase &c, std::ostream *out) {
    *out << c.name;
}

class RetryTest : public ::testing::TestWithParam<RetryCase> {};

TEST_P(RetryTest, SendsAsOftenAsThePolicyAllows) {
    vorntest::ScopedEnv env;
    env.set("VORN_AGENT_RETRY_BASE_MS", "1");
    ScriptClient client;
    client.setRetryPolicy(4, 5, retryServerAndNetworkErrors);
    ASSERT_TRUE(client.start());
    Json::Value response;
    const bool ok = client.send(request(GetParam().reply), response);
    EXPECT_EQ(ok, GetParam().reply.get("success", false).asBool());
    EXPECT_EQ(response["count"], GetParam().expectedRequests);
}

INSTANTIATE_TEST_SUITE_P(
    Responses, RetryTest,
    ::testing::Values(RetryCase{"serverError", failure(503), 4},
                      RetryCase{"networkFailure", failure(-4), 4},
                      RetryCase{"clientError", failure(404), 1},
                      RetryCase{"noErrorCode", Json::Value(Json::objectValue), 1},
                      RetryCase{"success", success(), 1}),
    [](const ::testing::TestParamInfo<RetryCase> &info) { return info.param.name; });

TEST(AgentClientLifecycle, DestructorEndsAndReapsTheAgent) {
    pid_t pid;
    {
        ScriptClient client;
        ASSERT_TRUE(client.start());
        pid = client.pid();
    }
    EXPECT_TRUE(isReaped(pid));
}

} // namespace
