// AgentClient: the framework's side of a child agent process that answers one JSON request per line.
#ifndef VORN_BACKUP_AGENT_CLIENT_H
#define VORN_BACKUP_AGENT_CLIENT_H

#include <cstdio>
#include <string>

#include <boost/function.hpp>
#include <json/value.h>

#include "vorn/backup/errors.h"
#include "vorn/platform.h"

namespace VORN {
namespace Backup {

// Requests and responses travel as one compact JSON text per line. `send` retries a failed
// response while the retry predicate allows it, at most `maxAttempts` sends in all, waiting
// base * 2^(n-1) between them (base 500 ms, or $VORN_AGENT_RETRY_BASE_MS) capped at
// `maxDelaySeconds`. While it waits for a response it polls the cancel hook every 50 ms; on
// cancellation the agent is ended and the response is the subclass's cancelled response.
// `value` as one line of JSON text.
std::string compactJson(const Json::Value &value);

class AgentClient {
public:
    AgentClient();
    virtual ~AgentClient();
    AgentClient(const AgentClient &) = delete;
    AgentClient &operator=(const AgentClient &) = delete;

    // Starts the agent and waits for it to be ready.
    virtual bool connect(const std::string &accessKey, const std::string &secretKey,
                         bool useHttps) = 0;
    virtual bool isSuccessResponse(const Json::Value &response) const = 0;
    virtual bool fillCanceledResponse(Json::Value &response) const = 0;

    void setRetryPolicy(int maxAttempts, int maxDelaySeconds,
                        boost::function<bool(const Json::Value &)> retryable);
    bool setCancelHook(boost::function<bool()> hook);

    // Ends the agent (end of input, a bounded wait, then a signal) and reaps it. Harmless
    // without an agent.
    void close();
    // True while an agent runs; notices one that has exited.
    bool isConnected();
    // Reads one line from the agent, without its line end.
    bool readString(std::string &line);

    // Variadic form: null-terminated C strings "fn", action, then key and value alternately,
    // ended by a null pointer. Both forms return true only for a success response; otherwise
    // `response` holds the failed (or cancelled) response.
    bool send(Json::Value *response, ...);
    bool send(const Json::Value &request, Json::Value &response);

    // The HTTP user agent of the framework.
    static std::string getVornUserAgent();
    // The wait before retry number `attempt` (1 for the first): baseMs * 2^(attempt-1),
    // capped at `maxDelaySeconds`.
    static long long retryDelayMs(int attempt, int baseMs, int maxDelaySeconds);

    // Appends the whole content of the file at `path` to `file` at its position.
    static bool appendFileToFp(const std::string &path, FILE *file,
                               boost::function<bool()> cancelHook, TransferError &error);
    // Copies the next `length` bytes of `source` into the file at `destination`, replacing it.
    static bool copyPartToFile(FILE *source, const std::string &destination, long long length,
                               boost::function<bool()> cancelHook, TransferError &error);

protected:
    VORN_PIPE *m_pipe;
    VORN_PROCESS m_process;
    boost::function<bool()> m_cancelHook;

private:
    bool sendOnce(const std::string &line, Json::Value &response);
    bool writeLine(const std::string &line);
    // 1 line read, 0 cancelled, -1 agent gone, broken or silent for `timeoutMs` (< 0: no limit).
    int readLine(std::string &line, int timeoutMs);
    void fillFailedResponse(Json::Value &response, const std::string &message) const;
    bool waitBeforeRetry(int attempt) const;

    int m_maxAttempts;
    int m_maxDelaySeconds;
    boost::function<bool(const Json::Value &)> m_retryable;
    std::string m_readBuffer;
};

} // namespace Backup
} // namespace VORN

#endif
