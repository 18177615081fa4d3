#include "vorn/backup/agent_client.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <json/reader.h>
#include <json/writer.h>

#include "file_util.h"
#include "vorn/backup/path.h"

namespace VORN {
namespace Backup {

namespace {

const int CLOSE_TIMEOUT_MS = 2000;
const int READY_TIMEOUT_MS = 60000;
const int POLL_SLICE_MS = 50;
const int DEFAULT_RETRY_BASE_MS = 500;
const size_t READ_CHUNK = 64 * 1024;
// A response this long without a line end means the agent is not speaking the protocol.
const size_t MAX_LINE = 256u << 20;

long long nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool cancelled(const boost::function<bool()> &hook) {
    return hook && hook();
}

int retryBaseMs() {
    const char *value = getenv("VORN_AGENT_RETRY_BASE_MS");
    if (!value || !*value) {
        return DEFAULT_RETRY_BASE_MS;
    }
    char *end = nullptr;
    const long ms = strtol(value, &end, 10);
    return *end == '\0' && ms >= 0 && ms <= 3600000 ? static_cast<int>(ms)
                                                    : DEFAULT_RETRY_BASE_MS;
}

// An object whose envelope members, where present, have their types: callers read them with
// asBool/asInt/asString, which throw on anything else.
bool parseResponse(const std::string &text, Json::Value &value) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors) ||
        !value.isObject()) {
        return false;
    }
    return (!value.isMember("success") || value["success"].isBool()) &&
           (!value.isMember("error_code") || value["error_code"].isInt()) &&
           (!value.isMember("error_message") || value["error_message"].isString());
}

// Writes all of `data` to `fd`; a reader that has gone away gives EPIPE, never SIGPIPE.
bool writeAllNoSigpipe(int fd, const std::string &data) {
    sigset_t pipeSet, oldSet, pending;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);

    bool ok = true;
    size_t done = 0;
    int err = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            err = errno;
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (err == EPIPE && !alreadyPending) {
        // Consume the SIGPIPE this write raised, so that it is not delivered on unblocking.
        const struct timespec zero = {0, 0};
        sigtimedwait(&pipeSet, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    errno = err;
    return ok;
}

// Ends the agent, giving it `graceMs` to leave on its own after the end of its input.
void endAgent(VORN_PIPE *&pipe, VORN_PROCESS &process, std::string &readBuffer, int graceMs) {
    if (pipe) {
        VORNPipeClose(pipe, graceMs);
        pipe = nullptr;
    }
    process.pid = -1;
    readBuffer.clear();
}

} // namespace

std::string compactJson(const Json::Value &value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

AgentClient::AgentClient() : m_pipe(nullptr), m_maxAttempts(1), m_maxDelaySeconds(0) {
    m_process.pid = -1;
}

AgentClient::~AgentClient() {
    close();
}

void AgentClient::setRetryPolicy(int maxAttempts, int maxDelaySeconds,
                                 boost::function<bool(const Json::Value &)> retryable) {
    m_maxAttempts = std::max(1, maxAttempts);
    m_maxDelaySeconds = std::max(0, maxDelaySeconds);
    m_retryable = retryable;
}

bool AgentClient::setCancelHook(boost::function<bool()> hook) {
    m_cancelHook = hook;
    return true;
}

void AgentClient::close() {
    endAgent(m_pipe, m_process, m_readBuffer, CLOSE_TIMEOUT_MS);
}

bool AgentClient::isConnected() {
    if (!m_pipe) {
        return false;
    }
    // WNOWAIT leaves the child to be reaped by close().
    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(P_PID, m_pipe->pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0) {
        return true;
    }
    close();
    return false;
}

bool AgentClient::readString(std::string &line) {
    return m_pipe && readLine(line, READY_TIMEOUT_MS) == 1;
}

int AgentClient::readLine(std::string &line, int timeoutMs) {
    const long long deadline = timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
    std::vector<char> chunk(READ_CHUNK);
    for (;;) {
        const std::string::size_type end = m_readBuffer.find('\n');
        if (end != std::string::npos) {
            line = m_readBuffer.substr(0, end);
            m_readBuffer.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return 1;
        }
        if (cancelled(m_cancelHook)) {
            return 0;
        }
        int slice = POLL_SLICE_MS;
        if (deadline >= 0) {
            const long long left = deadline - nowMs();
            if (left <= 0) {
                return -1;
            }
            slice = static_cast<int>(std::min<long long>(slice, left));
        }
        struct pollfd pfd = {m_pipe->fromChild, POLLIN, 0};
        const int ready = poll(&pfd, 1, slice);
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t n = read(m_pipe->fromChild, chunk.data(), chunk.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0 || m_readBuffer.size() + static_cast<size_t>(n) > MAX_LINE) {
            return -1;
        }
        m_readBuffer.append(chunk.data(), static_cast<size_t>(n));
    }
}

bool AgentClient::writeLine(const std::string &line) {
    return m_pipe && writeAllNoSigpipe(m_pipe->toChild, line + "\n");
}

void AgentClient::fillFailedResponse(Json::Value &response, const std::string &message) const {
    response = Json::Value(Json::objectValue);
    response["success"] = false;
    response["error_message"] = message;
}

bool AgentClient::sendOnce(const std::string &line, Json::Value &response) {
    if (!m_pipe) {
        fillFailedResponse(response, "agent is not running");
        return false;
    }
    if (cancelled(m_cancelHook)) {
        fillCanceledResponse(response);
        return false;
    }
    if (!writeLine(line)) {
        const std::string reason = strerror(errno);
        close();
        fillFailedResponse(response, "could not write to agent: " + reason);
        return false;
    }
    std::string answer;
    switch (readLine(answer, -1)) {
    case 0:
        // The agent is busy with the request and would not notice the end of its input.
        endAgent(m_pipe, m_process, m_readBuffer, 0);
        fillCanceledResponse(response);
        return false;
    case -1:
        close();
        fillFailedResponse(response, "agent exited without a response");
        return false;
    }
    Json::Value parsed;
    if (!parseResponse(answer, parsed)) {
        // After a line that is not a response the stream cannot be trusted any more.
        close();
        fillFailedResponse(response, "malformed response from agent");
        return false;
    }
    response = parsed;
    return isSuccessResponse(response);
}

long long AgentClient::retryDelayMs(int attempt, int baseMs, int maxDelaySeconds) {
    const long long capMs = static_cast<long long>(maxDelaySeconds) * 1000;
    const int shift = std::min(std::max(attempt - 1, 0), 30);
    return std::min(static_cast<long long>(baseMs) << shift, capMs);
}

bool AgentClient::waitBeforeRetry(int attempt) const {
    const long long deadline = nowMs() + retryDelayMs(attempt, retryBaseMs(), m_maxDelaySeconds);
    for (;;) {
        if (cancelled(m_cancelHook)) {
            return false;
        }
        const long long left = deadline - nowMs();
        if (left <= 0) {
            return true;
        }
        sleepMs(static_cast<int>(std::min<long long>(left, POLL_SLICE_MS)));
    }
}

bool AgentClient::send(const Json::Value &request, Json::Value &response) {
    const std::string line = compactJson(request);
    if (line.find('\n') != std::string::npos) {
        fillFailedResponse(response, "request cannot be framed as one line");
        return false;
    }
    for (int attempt = 1;; ++attempt) {
        if (sendOnce(line, response)) {
            return true;
        }
        // Without an agent (ended, broken or cancelled) there is nothing to retry on.
        if (!m_pipe || attempt >= m_maxAttempts || !m_retryable || !m_retryable(response)) {
            return false;
        }
        if (!waitBeforeRetry(attempt)) {
            fillCanceledResponse(response);
            return false;
        }
    }
}

bool AgentClient::send(Json::Value *response, ...) {
    Json::Value local;
    Json::Value &out = response ? *response : local;
    Json::Value request(Json::objectValue);
    va_list ap;
    va_start(ap, response);
    bool wellFormed = true;
    for (const char *key = va_arg(ap, const char *); key; key = va_arg(ap, const char *)) {
        const char *value = va_arg(ap, const char *);
        if (!value) {
            wellFormed = false;
            break;
        }
        request[key] = value;
    }
    va_end(ap);
    if (!wellFormed || !request.isMember("fn")) {
        fillFailedResponse(out, "bad request: keys and values must come in pairs after fn");
        return false;
    }
    return send(request, out);
}

std::string AgentClient::getVornUserAgent() {
    return "VORN-Backup/1.0 (Linux)";
}

bool AgentClient::appendFileToFp(const std::string &path, FILE *file,
                                 boost::function<bool()> cancelHook, TransferError &error) {
    if (!file) {
        error = TRANSFER_ERR_INVALID;
        return false;
    }
    const auto append = [file, &error](const char *data, size_t length) {
        if (fwrite(data, 1, length, file) != length) {
            error = getTransferErrorByLibcFileIo(errno);
            return false;
        }
        return true;
    };
    if (!streamFile(path, append, cancelHook, error)) {
        return false;
    }
    // Buffered data that cannot be written (a full disk) must fail here, not go unnoticed.
    if (fflush(file) != 0) {
        error = getTransferErrorByLibcFileIo(errno);
        return false;
    }
    return true;
}

bool AgentClient::copyPartToFile(FILE *source, const std::string &destination,
                                 long long length, boost::function<bool()> cancelHook,
                                 TransferError &error) {
    if (!source || length < 0) {
        error = TRANSFER_ERR_INVALID;
        return false;
    }
    FILE *out = fopen64(destination.c_str(), "wb");
    if (!out) {
        error = getTransferErrorByLibcFileIo(errno);
        return false;
    }
    std::vector<char> buffer(static_cast<size_t>(std::min<long long>(length, STREAM_BUFFER)));
    bool ok = true;
    long long remaining = length;
    while (ok && remaining > 0) {
        if (cancelled(cancelHook)) {
            error = TRANSFER_ERR_CANCELLED;
            ok = false;
            break;
        }
        const size_t want = static_cast<size_t>(std::min<long long>(remaining, buffer.size()));
        const size_t n = fread(buffer.data(), 1, want, source);
        if (n < want) {
            // A source shorter than announced has changed under us.
            error = ferror(source) ? getTransferErrorByLibcFileIo(errno) : TRANSFER_ERR_LOCAL_IO;
            ok = false;
        }
        if (n > 0 && fwrite(buffer.data(), 1, n, out) != n) {
            error = getTransferErrorByLibcFileIo(errno);
            ok = false;
        }
        remaining -= static_cast<long long>(n);
    }
    if (fclose(out) != 0 && ok) {
        error = getTransferErrorByLibcFileIo(errno);
        ok = false;
    }
    return ok;
}

} // namespace Backup
} // namespace VORN
