#include "codec.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <zstd.h>

#include <cstring>
#include <new>

#include "sodium_ready.h"

namespace vornengine {

namespace {

constexpr size_t kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr uint8_t kRaw = 0;
constexpr uint8_t kZstd = 1;
constexpr int kZstdLevel = 3;
// A payload longer than this is judged by compressing its first bytes only, so that random
// data costs a small fraction of a full compression.
constexpr size_t kProbeBytes = 64 * 1024;
// Larger claims in a frame header are refused rather than allocated.
constexpr unsigned long long kMaxDecodedBytes = 1ULL << 30;

ZSTD_CCtx *compressionContext() {
    thread_local std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)> ctx(ZSTD_createCCtx(),
                                                                         ZSTD_freeCCtx);
    return ctx.get();
}

ZSTD_DCtx *decompressionContext() {
    thread_local std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx *)> ctx(ZSTD_createDCtx(),
                                                                         ZSTD_freeDCtx);
    return ctx.get();
}

// zstd output of data[0,n) into out (capacity ZSTD_compressBound(n)); 0 when it fails.
size_t compressInto(uint8_t *out, size_t capacity, const void *data, size_t n) {
    const size_t written = ZSTD_compressCCtx(compressionContext(), out, capacity, data, n, kZstdLevel);
    return ZSTD_isError(written) ? 0 : written;
}

bool probablyCompressible(const void *data, size_t n) {
    if (n <= kProbeBytes) {
        return true;
    }
    thread_local std::string probe(ZSTD_compressBound(kProbeBytes), '\0');
    const size_t written =
        compressInto(reinterpret_cast<uint8_t *>(&probe[0]), probe.size(), data, kProbeBytes);
    return written != 0 && written < kProbeBytes - kProbeBytes / 64;
}

Status decompress(const uint8_t *data, size_t n, std::string &plain) {
    const unsigned long long size = ZSTD_getFrameContentSize(data, n);
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN || size > kMaxDecodedBytes) {
        return Status::integrity("corrupt compressed data");
    }
    plain.resize(static_cast<size_t>(size));
    const size_t written = ZSTD_decompressDCtx(decompressionContext(), &plain[0], plain.size(), data, n);
    if (ZSTD_isError(written) || written != size) {
        return Status::integrity("corrupt compressed data");
    }
    return Status::ok();
}

// flag byte + payload -> the content.
Status unpack(const uint8_t *data, size_t n, std::string &plain) {
    if (n == 0) {
        return Status::integrity("unknown format");
    }
    switch (data[0]) {
    case kRaw:
        plain.assign(reinterpret_cast<const char *>(data) + 1, n - 1);
        return Status::ok();
    case kZstd:
        return decompress(data + 1, n - 1, plain);
    default:
        return Status::integrity("unknown format");
    }
}

} // namespace

// Content ids under the naming key; the prepared HMAC state is copied for each id so that
// several threads can name content at once.
struct Codec::Keys {
    std::array<uint8_t, 32> encryption;
    EVP_MAC_CTX *naming = nullptr;

    explicit Keys(const MasterKey &key) : encryption(key.encryption) {
        EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        naming = mac ? EVP_MAC_CTX_new(mac) : nullptr;
        EVP_MAC_free(mac);
        char digest[] = "SHA256";
        const OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
        if (naming == nullptr ||
            EVP_MAC_init(naming, key.naming.data(), key.naming.size(), params) != 1) {
            EVP_MAC_CTX_free(naming);
            throw std::bad_alloc();
        }
    }
    ~Keys() {
        sodium_memzero(encryption.data(), encryption.size());
        EVP_MAC_CTX_free(naming);
    }
    Keys(const Keys &) = delete;
    Keys &operator=(const Keys &) = delete;
};

MasterKey::~MasterKey() {
    sodium_memzero(encryption.data(), encryption.size());
    sodium_memzero(naming.data(), naming.size());
}

MasterKey MasterKey::generate() {
    requireSodium();
    MasterKey key;
    randombytes_buf(key.encryption.data(), key.encryption.size());
    randombytes_buf(key.naming.data(), key.naming.size());
    return key;
}

uint64_t MasterKey::chunkerSeed() const {
    // BLAKE2b rather than the HMAC of content ids, so that no content can have the seed's id.
    static const char label[] = "vorn chunker seed";
    uint8_t digest[crypto_generichash_BYTES];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const uint8_t *>(label),
                       sizeof label - 1, naming.data(), naming.size());
    uint64_t seed = 0;
    for (int i = 7; i >= 0; --i) {
        seed = seed << 8 | digest[i];
    }
    return seed;
}

Codec::Codec() = default;

Codec::Codec(const MasterKey &key) {
    requireSodium();
    m_keys = std::make_shared<const Keys>(key);
}

ObjectId Codec::contentId(const void *data, size_t n) const {
    if (!m_keys) {
        return sha256(data, n);
    }
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_dup(m_keys->naming);
    uint8_t digest[32];
    size_t length = 0;
    const bool done = ctx != nullptr &&
                      EVP_MAC_update(ctx, static_cast<const uint8_t *>(data), n) == 1 &&
                      EVP_MAC_final(ctx, digest, &length, sizeof digest) == 1 && length == sizeof digest;
    EVP_MAC_CTX_free(ctx);
    if (!done) {
        throw std::bad_alloc();
    }
    return ObjectId::fromBytes(digest);
}

std::string Codec::encode(const void *data, size_t n, bool compress) const {
    const size_t front = m_keys ? kNonceBytes : 0;
    const size_t back = m_keys ? kTagBytes : 0;
    std::string out;
    uint8_t flag = kRaw;
    size_t payload = n;
    if (compress && probablyCompressible(data, n)) {
        const size_t bound = ZSTD_compressBound(n);
        out.resize(front + 1 + bound + back);
        const size_t written = compressInto(reinterpret_cast<uint8_t *>(&out[front + 1]), bound, data, n);
        if (written != 0 && written < n) {
            flag = kZstd;
            payload = written;
        }
    }
    out.resize(front + 1 + payload + back);
    if (flag == kRaw && n != 0) {
        std::memcpy(&out[front + 1], data, n);
    }
    out[front] = static_cast<char>(flag);
    if (m_keys) {
        uint8_t *nonce = reinterpret_cast<uint8_t *>(&out[0]);
        uint8_t *sealed = nonce + front;
        randombytes_buf(nonce, kNonceBytes);
        crypto_aead_xchacha20poly1305_ietf_encrypt(sealed, nullptr, sealed, 1 + payload, nullptr, 0,
                                                   nullptr, nonce, m_keys->encryption.data());
    }
    return out;
}

Status Codec::decode(const void *data, size_t n, std::string &plain) const {
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    if (!m_keys) {
        return unpack(bytes, n, plain);
    }
    if (n < kNonceBytes + 1 + kTagBytes) {
        return Status::integrity("authentication failed");
    }
    std::string opened(n - kNonceBytes - kTagBytes, '\0');
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(reinterpret_cast<uint8_t *>(&opened[0]), nullptr,
                                                   nullptr, bytes + kNonceBytes, n - kNonceBytes,
                                                   nullptr, 0, bytes, m_keys->encryption.data()) != 0) {
        return Status::integrity("authentication failed");
    }
    if (!opened.empty() && opened[0] == static_cast<char>(kRaw)) {
        // The payload is already in a buffer of its own: drop the flag instead of copying it.
        opened.erase(0, 1);
        plain.swap(opened);
        return Status::ok();
    }
    return unpack(reinterpret_cast<const uint8_t *>(opened.data()), opened.size(), plain);
}

size_t Codec::overhead() { return kNonceBytes + 1 + kTagBytes; }

} // namespace vornengine
