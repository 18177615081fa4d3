// AgentClient against small Python agents: framing, dead and broken agents, cancellation, retries.
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <sys/wait.h>

#include <gtest/gtest.h>
#include <json/value.h>

#include "fake_agent.h"
#include "scratch_env.h"
#include "vorn/backup/agent_client.h"

using VORN::Backup::AgentClient;
using vorntest::isReaped;
using vorntest::json;
using Clock = std::chrono::steady_clock;

namespace {

// Answers each request with its "reply" member (default success), adding the number of
// requests seen so far and the request itself; "sleep", "exit" and "raw" script misbehaviour.
const char *const ECHO_AGENT = R"(
import json, sys, time
print('ready', flush=True)
for count, line in enumerate(sys.stdin, 1):
    req = json.loads(line)
    time.sleep(req.get('sleep', 0))
    if 'exit' in req:
        sys.exit(req['exit'])
    reply = dict(req.pop('reply', {'success': True}), count=count, request=req)
    print(req['raw'] if 'raw' in req else json.dumps(reply), flush=True)
)";

class ScriptClient : public AgentClient {
public:
    bool connect(const std::string &, const std::string &, bool) override { return false; }
    bool isSuccessResponse(const Json::Value &response) const override {
        return response.get("success", false).asBool();
    }
    bool fillCanceledResponse(Json::Value &response) const override {
        response = json(R"({"success": false, "error_code": -3})");
        return true;
    }

    // Starts `code`, which must write "ready" first.
    bool start(const char *code = ECHO_AGENT) {
        std::string line;
        m_pipe = VORNPipeOpen(&m_process, "/usr/bin/python", "-c", code, nullptr);
        m_pid = m_process.pid;
        return m_pipe && readString(line) && line == "ready";
    }
    pid_t pid() const { return m_pid; }
    // The agent started last has been ended and reaped, and none is left.
    bool ended() { return !isConnected() && isReaped(m_pid); }

private:
    pid_t m_pid = -1;
};

// A request for the echo agent with one scripting member.
Json::Value request(const char *member, const Json::Value &value) {
    Json::Value req(Json::objectValue);
    req["fn"] = "test";
    req[member] = value;
    return req;
}

TEST(AgentClientSend, FramesBothFormsAndRefusesUnpairedKeys) {
    ScriptClient client;
    ASSERT_TRUE(client.start());
    Json::Value response;
    EXPECT_FALSE(client.send(&response, "fn", "listBlobs", "Prefix", nullptr));
    EXPECT_FALSE(response["success"].asBool() || response.isMember("error_code"));
    ASSERT_TRUE(client.send(&response, "fn", "getBlob", "container", "c", "blob",
                            "a\nb\"c", nullptr));
    // Control characters travel escaped, so the line framing holds.
    EXPECT_EQ(response["request"],
              json(R"({"fn": "getBlob", "container": "c", "blob": "a\nb\"c"})"));

    ASSERT_TRUE(client.send(request("counter", 7), response));
    EXPECT_EQ(response["request"]["counter"], 7);
    EXPECT_EQ(response["count"], 2); // the unpaired request never reached the agent
}

// A dead agent fails every request without SIGPIPE and is reaped; a running one is ended and
// reaped when its client goes.
TEST(AgentClientSend, DeadAgentFailsWithoutSigpipeAndEveryAgentIsReaped) {
    pid_t runningPid;
    {
        ScriptClient client, running;
        ASSERT_TRUE(client.start("print('ready', flush=True)") && running.start());
        runningPid = running.pid();
        siginfo_t exited{};
        waitid(P_PID, client.pid(), &exited, WEXITED | WNOWAIT); // exited, not yet reaped
        // Large enough that the write itself meets the closed pipe.
        Json::Value response;
        EXPECT_FALSE(client.send(request("reply", std::string(1 << 20, 'x')), response));
        EXPECT_FALSE(response["success"].asBool() || response.isMember("error_code"));
        sigset_t pending;
        EXPECT_TRUE(sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 0);
        EXPECT_TRUE(client.ended());
        EXPECT_FALSE(client.send(&response, "fn", "x", nullptr) || response.isMember("error_code"));
    }
    EXPECT_TRUE(isReaped(runningPid));
}

// After a line that is not a well-typed envelope, or none at all, the stream cannot be
// trusted: the agent is ended and the request is not retried.
TEST(AgentClientSend, BrokenExchangeEndsTheAgentWithoutErrorCode) {
    std::vector<Json::Value> requests = {request("exit", 0)};
    for (const char *line : {R"(not json)", R"([1, 2])", R"("text")", "", R"({"success": true)",
                             R"({"success": "yes"})", R"({"success": false, "error_code": "404"})",
                             R"({"success": false, "error_message": 7})"}) {
        requests.push_back(request("raw", line));
    }
    for (const Json::Value &req : requests) {
        SCOPED_TRACE(req.toStyledString());
        ScriptClient client;
        client.setRetryPolicy(5, 5, [](const Json::Value &) { return true; });
        ASSERT_TRUE(client.start());
        Json::Value response;
        EXPECT_FALSE(client.send(req, response));
        EXPECT_FALSE(response["success"].asBool() || response.isMember("error_code"));
        EXPECT_TRUE(client.ended());
    }
}

// A request cancelled before it is sent, or while waiting to be sent again, leaves the agent
// running for the next one; one cancelled while the agent works ends the agent.
TEST(AgentClientCancel, KeepsTheAgentBeforeSendingOrARetryAndEndsABusyOne) {
    vorntest::ScopedEnv env;
    env.set("VORN_AGENT_RETRY_BASE_MS", "60000");
    ScriptClient client;
    client.setRetryPolicy(10, 60, [](const Json::Value &r) { return r["error_code"] == 503; });
    ASSERT_TRUE(client.start());
    client.setCancelHook([] { return true; });
    Json::Value response;
    EXPECT_FALSE(client.send(&response, "fn", "x", nullptr));
    EXPECT_EQ(response["error_code"], -3);

    // Far below the waits asked for: the request was abandoned, not waited for.
    Clock::time_point cancelAt = Clock::now() + std::chrono::milliseconds(100);
    client.setCancelHook([&cancelAt] { return Clock::now() >= cancelAt; });
    EXPECT_FALSE(client.send(request("reply", json(R"({"error_code": 503})")), response));
    EXPECT_LT(Clock::now() - cancelAt, std::chrono::seconds(10));
    EXPECT_EQ(response["error_code"], -3);
    cancelAt = Clock::time_point::max();
    ASSERT_TRUE(client.send(&response, "fn", "x", nullptr));
    EXPECT_EQ(response["count"], 2); // nothing of the first, one attempt of the second

    cancelAt = Clock::now() + std::chrono::milliseconds(100);
    EXPECT_FALSE(client.send(request("sleep", 30), response));
    EXPECT_LT(Clock::now() - cancelAt, std::chrono::seconds(10));
    EXPECT_EQ(response["error_code"], -3);
    EXPECT_TRUE(client.ended());
}

} // namespace
