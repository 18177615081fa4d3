// AgentClient against small Python agents: framing, dead and broken agents, cancellation, retries.
#include <chrono>
#include <csignal>
#include <string>

#include <gtest/gtest.h>
#include <json/value.h>

#include "fake_agent.h"
#include "scratch_env.h"
#include "vorn/backup/agent_client.h"

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

class ScriptClient : public VORN::Backup::AgentClient {
public:
    bool connect(const std::string &, const std::string &, bool) override { return false; }
    bool isSuccessResponse(const Json::Value &r) const override { return r["success"] == true; }
    bool fillCanceledResponse(Json::Value &response) const override {
        response = json(R"({"success": false, "error_code": -3})");
        return true;
    }

    bool start(const char *code = ECHO_AGENT) { // `code` writes "ready" first
        std::string line;
        m_pipe = VORNPipeOpen(&m_process, "/usr/bin/python", "-c", code, nullptr);
        pid = m_process.pid;
        return m_pipe && readString(line) && line == "ready";
    }
    // The agent started last has been ended and reaped, and none is left.
    bool ended() { return !isConnected() && vorntest::isReaped(pid); }

    pid_t pid = -1; // of the agent started last
};

// A request for the echo agent with one scripting member.
Json::Value request(const char *member, const Json::Value &value) {
    Json::Value req = json(R"({"fn": "test"})");
    req[member] = value;
    return req;
}

// The request fails with no error code, so nothing retries it, and the agent is ended.
bool failsAndEndsTheAgent(ScriptClient &client, const Json::Value &req) {
    Json::Value response;
    return !client.send(req, response) && !response.isMember("error_code") && client.ended();
}

TEST(AgentClientSend, FramesBothFormsAndRefusesUnpairedKeys) {
    ScriptClient client;
    ASSERT_TRUE(client.start());
    Json::Value response;
    EXPECT_FALSE(client.send(&response, "fn", "listBlobs", "Prefix", nullptr));
    ASSERT_TRUE(client.send(&response, "fn", "getBlob", "container", "c", "blob",
                            "a\nb\"c", nullptr));
    // Control characters travel escaped, so the line framing holds.
    EXPECT_EQ(response["request"],
              json(R"({"fn": "getBlob", "container": "c", "blob": "a\nb\"c"})"));
    ASSERT_TRUE(client.send(request("counter", 7), response));
    EXPECT_EQ(response["request"]["counter"], 7);
    EXPECT_EQ(response["count"], 2); // the unpaired request never reached the agent
}

// A dead agent fails every request without SIGPIPE; dead or running, every agent is reaped.
TEST(AgentClientSend, DeadAgentFailsWithoutSigpipeAndEveryAgentIsReaped) {
    pid_t runningPid;
    {
        ScriptClient client, running;
        ASSERT_TRUE(client.start("print('ready', flush=True)") && running.start());
        runningPid = running.pid;
        siginfo_t exited{};
        waitid(P_PID, client.pid, &exited, WEXITED | WNOWAIT); // exited, not yet reaped
        // Large enough that the write itself meets the closed pipe.
        EXPECT_TRUE(failsAndEndsTheAgent(client, request("reply", std::string(1 << 20, 'x'))));
        sigset_t pending;
        EXPECT_TRUE(sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 0);
        EXPECT_TRUE(failsAndEndsTheAgent(client, request("fn", "x")));
    }
    EXPECT_TRUE(vorntest::isReaped(runningPid));
}

// After a line that is no well-typed envelope, or none at all, the stream cannot be trusted.
TEST(AgentClientSend, BrokenExchangeEndsTheAgentWithoutErrorCode) {
    for (const Json::Value &req :
         {request("exit", 0), request("raw", "not json"), request("raw", "[1, 2]"),
          request("raw", ""), request("raw", R"({"success": "yes"})"),
          request("raw", R"({"success": false, "error_code": "404"})"),
          request("raw", R"({"success": false, "error_message": 7})")}) {
        SCOPED_TRACE(req.toStyledString());
        ScriptClient client;
        client.setRetryPolicy(5, 5, [](const Json::Value &) { return true; });
        ASSERT_TRUE(client.start());
        EXPECT_TRUE(failsAndEndsTheAgent(client, req));
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
    Clock::time_point cancelAt;
    client.setCancelHook([&cancelAt] { return Clock::now() >= cancelAt; });
    // Far below the waits asked for: the request was abandoned, not waited for.
    Json::Value response;
    const auto cancelledAfter = [&](int ms, const Json::Value &req) {
        cancelAt = Clock::now() + std::chrono::milliseconds(ms);
        return !client.send(req, response) && response["error_code"] == -3 &&
               Clock::now() - cancelAt < std::chrono::seconds(10);
    };
    EXPECT_TRUE(cancelledAfter(0, request("fn", "x")));
    EXPECT_TRUE(cancelledAfter(100, request("reply", json(R"({"error_code": 503})"))));
    cancelAt = Clock::time_point::max();
    ASSERT_TRUE(client.send(request("fn", "x"), response));
    EXPECT_EQ(response["count"], 2); // nothing of the first, one attempt of the second
    EXPECT_TRUE(cancelledAfter(100, request("sleep", 30)));
    EXPECT_TRUE(client.ended());
}

} // namespace
