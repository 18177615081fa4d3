// Status: the outcome of an engine operation, with the class of failure a user is told about.
#ifndef VORN_ENGINE_STATUS_H
#define VORN_ENGINE_STATUS_H

#include <string>

namespace vornengine {

class Status {
public:
    // Each failing code is its own class of failure, so a caller can tell them apart.
    enum class Code {
        Ok,
        Failed,      // any other reason
        Usage,       // the request itself is malformed
        NotFound,    // a target, snapshot, object or local path that does not exist
        Access,      // credentials, passphrase or permission refused
        Unavailable, // the service cannot be reached now; worth retrying later
        Integrity,   // stored data does not match what it claims to be
        Interrupted, // the user cancelled
    };

    Status() = default;
    static Status ok() { return Status(); }
    static Status failed(const std::string &message) { return Status(Code::Failed, message); }
    static Status usage(const std::string &message) { return Status(Code::Usage, message); }
    static Status notFound(const std::string &message) { return Status(Code::NotFound, message); }
    static Status access(const std::string &message) { return Status(Code::Access, message); }
    static Status unavailable(const std::string &message) { return Status(Code::Unavailable, message); }
    static Status integrity(const std::string &message) { return Status(Code::Integrity, message); }
    static Status interrupted() { return Status(Code::Interrupted, "interrupted"); }

    bool isOk() const { return m_code == Code::Ok; }
    Code code() const { return m_code; }
    const std::string &message() const { return m_message; }

    // The same failure with "subject: " in front of its message.
    Status about(const std::string &subject) const {
        return isOk() ? *this : Status(m_code, subject + ": " + m_message);
    }

private:
    Status(Code code, const std::string &message) : m_code(code), m_message(message) {}

    Code m_code = Code::Ok;
    std::string m_message;
};

} // namespace vornengine

#endif
