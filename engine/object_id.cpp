#include "object_id.h"

#include <openssl/evp.h>

#include <new>

namespace vornengine {

namespace {

// Fetched once: OpenSSL 3 would otherwise look the algorithm up, under a lock, on every use.
const EVP_MD *sha256Algorithm() {
    static EVP_MD *const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (md == nullptr) {
        throw std::bad_alloc();
    }
    return md;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

ObjectId::ObjectId() { m_bytes.fill(0); }

ObjectId ObjectId::fromBytes(const uint8_t *p32) {
    ObjectId id;
    std::memcpy(id.m_bytes.data(), p32, id.m_bytes.size());
    return id;
}

bool ObjectId::parse(const std::string &hex, ObjectId &out) {
    if (hex.size() != 64) {
        return false;
    }
    ObjectId id;
    for (size_t i = 0; i < 32; ++i) {
        const int high = hexValue(hex[2 * i]);
        const int low = hexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        id.m_bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    out = id;
    return true;
}

std::string ObjectId::hex() const {
    static const char digits[] = "0123456789abcdef";
    std::string text(64, '0');
    for (size_t i = 0; i < 32; ++i) {
        text[2 * i] = digits[m_bytes[i] >> 4];
        text[2 * i + 1] = digits[m_bytes[i] & 0xf];
    }
    return text;
}

bool ObjectId::isNull() const {
    for (uint8_t b : m_bytes) {
        if (b != 0) {
            return false;
        }
    }
    return true;
}

ObjectId sha256(const void *data, size_t n) {
    uint8_t digest[EVP_MAX_MD_SIZE];
    if (EVP_Digest(data, n, digest, nullptr, sha256Algorithm(), nullptr) != 1) {
        throw std::bad_alloc();
    }
    return ObjectId::fromBytes(digest);
}

Sha256::Sha256() : m_ctx(EVP_MD_CTX_new()) {
    if (m_ctx == nullptr || EVP_DigestInit_ex(m_ctx, sha256Algorithm(), nullptr) != 1) {
        EVP_MD_CTX_free(m_ctx);
        throw std::bad_alloc();
    }
}

Sha256::~Sha256() { EVP_MD_CTX_free(m_ctx); }

void Sha256::update(const void *data, size_t n) { EVP_DigestUpdate(m_ctx, data, n); }

ObjectId Sha256::finish() {
    uint8_t digest[EVP_MAX_MD_SIZE];
    EVP_DigestFinal_ex(m_ctx, digest, nullptr);
    EVP_DigestInit_ex(m_ctx, sha256Algorithm(), nullptr);
    return ObjectId::fromBytes(digest);
}

} // namespace vornengine
