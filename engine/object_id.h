// ObjectId: the 32-byte name of a stored object or a piece of content, and SHA-256 to make one.
#ifndef VORN_ENGINE_OBJECT_ID_H
#define VORN_ENGINE_OBJECT_ID_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

struct evp_md_ctx_st; // OpenSSL's EVP_MD_CTX

namespace vornengine {

class ObjectId {
public:
    ObjectId(); // all zero: "no object"

    static ObjectId fromBytes(const uint8_t *p32);
    // Exactly 64 hex digits (either case); false, leaving `out` alone, for anything else.
    static bool parse(const std::string &hex, ObjectId &out);

    std::string hex() const; // 64 lower-case hex digits
    const std::array<uint8_t, 32> &bytes() const { return m_bytes; }
    bool isNull() const;

    bool operator==(const ObjectId &other) const { return m_bytes == other.m_bytes; }
    bool operator!=(const ObjectId &other) const { return m_bytes != other.m_bytes; }
    bool operator<(const ObjectId &other) const { return m_bytes < other.m_bytes; }

private:
    std::array<uint8_t, 32> m_bytes;
};

// For unordered containers: ids are hash outputs already, so their first bytes are enough.
struct ObjectIdHash {
    size_t operator()(const ObjectId &id) const {
        uint64_t head;
        std::memcpy(&head, id.bytes().data(), sizeof head);
        return static_cast<size_t>(head);
    }
};

ObjectId sha256(const void *data, size_t n);

// SHA-256 of data given in pieces.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void update(const void *data, size_t n);
    // The digest of everything given so far; the object then starts over, empty.
    ObjectId finish();

private:
    ::evp_md_ctx_st *m_ctx;
};

} // namespace vornengine

#endif
