#include "keys.h"

#include <json/value.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <stdexcept>
#include <vector>

#include "json_text.h"
#include "sodium_ready.h"

namespace vornengine {

namespace {

constexpr size_t kSaltBytes = crypto_pwhash_SALTBYTES;
constexpr size_t kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr size_t kWrappingKeyBytes = crypto_aead_xchacha20poly1305_ietf_KEYBYTES;
constexpr size_t kCheckBytes = 32;
constexpr size_t kKeyBytes = 64; // encryption and naming keys, in that order

// Bytes that are wiped before their memory is given back.
class SecretBytes {
public:
    explicit SecretBytes(size_t n) : m_bytes(n) {}
    ~SecretBytes() { sodium_memzero(m_bytes.data(), m_bytes.size()); }
    SecretBytes(const SecretBytes &) = delete;
    SecretBytes &operator=(const SecretBytes &) = delete;
    uint8_t *data() { return m_bytes.data(); }
    size_t size() const { return m_bytes.size(); }

private:
    std::vector<uint8_t> m_bytes;
};

struct KeyRecord {
    KdfParams params{};
    std::string salt, nonce, check, wrapped; // raw bytes
    KeyInfo info;
};

std::string base64(const std::string &bytes) {
    std::string text(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&text[0], text.size(), reinterpret_cast<const uint8_t *>(bytes.data()),
                      bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    text.pop_back(); // the terminating NUL
    return text;
}

bool fromBase64(const Json::Value &value, size_t minBytes, size_t maxBytes, std::string &bytes) {
    if (!value.isString()) {
        return false;
    }
    const std::string text = value.asString();
    std::string decoded(text.size(), '\0');
    size_t length = 0;
    const char *end = nullptr;
    if (sodium_base642bin(reinterpret_cast<uint8_t *>(&decoded[0]), decoded.size(), text.data(),
                          text.size(), nullptr, &length, &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size() || length < minBytes || length > maxBytes) {
        return false;
    }
    decoded.resize(length);
    bytes.swap(decoded);
    return true;
}

void appendField(std::string &out, const std::string &field) {
    const uint32_t length = static_cast<uint32_t>(field.size());
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>(length >> shift & 0xff));
    }
    out += field;
}

// Everything in the record except what the seal itself produces, length-prefixed so that no two
// records share it.
std::string authenticatedData(const KeyRecord &record) {
    std::string data = "vorn key record 1";
    appendField(data, "argon2id");
    appendField(data, std::to_string(record.params.opsLimit));
    appendField(data, std::to_string(record.params.memLimit));
    appendField(data, record.salt);
    appendField(data, record.info.created);
    appendField(data, record.info.hostname);
    appendField(data, record.info.username);
    return data;
}

// Fails only when memory for Argon2id cannot be had.
bool deriveWrappingKey(const std::string &passphrase, const KeyRecord &record, SecretBytes &out) {
    return crypto_pwhash(out.data(), out.size(), passphrase.data(), passphrase.size(),
                         reinterpret_cast<const uint8_t *>(record.salt.data()), record.params.opsLimit,
                         record.params.memLimit, crypto_pwhash_ALG_ARGON2ID13) == 0;
}

// Tells a wrong passphrase from a changed record: a keyed hash of the wrapping key.
std::string checkValue(SecretBytes &wrappingKey) {
    static const char label[] = "vorn key check";
    std::string check(kCheckBytes, '\0');
    crypto_generichash(reinterpret_cast<uint8_t *>(&check[0]), check.size(),
                       reinterpret_cast<const uint8_t *>(label), sizeof label - 1, wrappingKey.data(),
                       wrappingKey.size());
    return check;
}

bool parseRecord(const std::string &text, KeyRecord &record) {
    Json::Value root;
    if (!parseJsonText(text, root) || !root.isObject() ||
        root["kdf"] != "argon2id" || !root["ops"].isUInt64() || !root["mem"].isUInt64() ||
        !root["created"].isString() || !root["hostname"].isString() || !root["username"].isString()) {
        return false;
    }
    record.params.opsLimit = root["ops"].asUInt64();
    if (root["mem"].asUInt64() > crypto_pwhash_MEMLIMIT_SENSITIVE) { // before narrowing to size_t
        return false;
    }
    record.params.memLimit = static_cast<size_t>(root["mem"].asUInt64());
    record.info.created = root["created"].asString();
    record.info.hostname = root["hostname"].asString();
    record.info.username = root["username"].asString();
    return record.params.valid() && fromBase64(root["salt"], kSaltBytes, kSaltBytes, record.salt) &&
           fromBase64(root["nonce"], kNonceBytes, kNonceBytes, record.nonce) &&
           fromBase64(root["check"], kCheckBytes, kCheckBytes, record.check) &&
           fromBase64(root["wrapped"], kKeyBytes + kTagBytes, text.size(), record.wrapped);
}

std::string recordText(const KeyRecord &record) {
    Json::Value root(Json::objectValue);
    root["kdf"] = "argon2id";
    root["ops"] = Json::UInt64(record.params.opsLimit);
    root["mem"] = Json::UInt64(record.params.memLimit);
    root["salt"] = base64(record.salt);
    root["nonce"] = base64(record.nonce);
    root["check"] = base64(record.check);
    root["wrapped"] = base64(record.wrapped);
    root["created"] = record.info.created;
    root["hostname"] = record.info.hostname;
    root["username"] = record.info.username;
    return jsonText(root);
}

std::string randomBytes(size_t n) {
    std::string bytes(n, '\0');
    randombytes_buf(&bytes[0], n);
    return bytes;
}

} // namespace

KdfParams KdfParams::standard() {
    return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}

bool KdfParams::valid() const {
    return opsLimit >= crypto_pwhash_OPSLIMIT_MIN && opsLimit <= crypto_pwhash_OPSLIMIT_SENSITIVE &&
           memLimit >= crypto_pwhash_MEMLIMIT_MIN && memLimit <= crypto_pwhash_MEMLIMIT_SENSITIVE;
}

KeyInfo KeyInfo::current() {
    KeyInfo info;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char created[32];
    std::strftime(created, sizeof created, "%Y-%m-%dT%H:%M:%SZ", &utc);
    info.created = created;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0) {
        info.hostname = host;
    }
    const uid_t uid = geteuid();
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    info.username = found != nullptr ? found->pw_name : std::to_string(uid);
    return info;
}

std::string wrapMasterKey(const MasterKey &key, const std::string &bound, const std::string &passphrase,
                          const KdfParams &params, const KeyInfo &info) {
    requireSodium();
    if (!params.valid()) {
        throw std::invalid_argument("key derivation limits out of range");
    }
    KeyRecord record;
    record.params = params;
    record.info = info;
    record.salt = randomBytes(kSaltBytes);
    record.nonce = randomBytes(kNonceBytes);
    SecretBytes wrappingKey(kWrappingKeyBytes);
    if (!deriveWrappingKey(passphrase, record, wrappingKey)) {
        throw std::bad_alloc();
    }
    record.check = checkValue(wrappingKey);

    SecretBytes plain(kKeyBytes + bound.size());
    std::memcpy(plain.data(), key.encryption.data(), 32);
    std::memcpy(plain.data() + 32, key.naming.data(), 32);
    std::memcpy(plain.data() + kKeyBytes, bound.data(), bound.size());
    const std::string ad = authenticatedData(record);
    record.wrapped.resize(plain.size() + kTagBytes);
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        reinterpret_cast<uint8_t *>(&record.wrapped[0]), nullptr, plain.data(), plain.size(),
        reinterpret_cast<const uint8_t *>(ad.data()), ad.size(), nullptr,
        reinterpret_cast<const uint8_t *>(record.nonce.data()), wrappingKey.data());
    return recordText(record);
}

Status unwrapMasterKey(const std::string &text, const std::string &passphrase, MasterKey &key,
                       std::string &bound) {
    requireSodium();
    KeyRecord record;
    if (!parseRecord(text, record)) {
        return Status::integrity("malformed key record");
    }
    SecretBytes wrappingKey(kWrappingKeyBytes);
    if (!deriveWrappingKey(passphrase, record, wrappingKey)) {
        return Status::failed("not enough memory to derive the key from the passphrase");
    }
    if (sodium_memcmp(checkValue(wrappingKey).data(), record.check.data(), kCheckBytes) != 0) {
        return Status::access("wrong passphrase");
    }
    const std::string ad = authenticatedData(record);
    SecretBytes plain(record.wrapped.size() - kTagBytes);
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            plain.data(), nullptr, nullptr, reinterpret_cast<const uint8_t *>(record.wrapped.data()),
            record.wrapped.size(), reinterpret_cast<const uint8_t *>(ad.data()), ad.size(),
            reinterpret_cast<const uint8_t *>(record.nonce.data()), wrappingKey.data()) != 0) {
        return Status::integrity("key record fails authentication");
    }
    std::memcpy(key.encryption.data(), plain.data(), 32);
    std::memcpy(key.naming.data(), plain.data() + 32, 32);
    bound.assign(reinterpret_cast<const char *>(plain.data()) + kKeyBytes, plain.size() - kKeyBytes);
    return Status::ok();
}

Status describeKeyRecord(const std::string &text, KeyInfo &info) {
    KeyRecord record;
    if (!parseRecord(text, record)) {
        return Status::integrity("malformed key record");
    }
    info = record.info;
    return Status::ok();
}

} // namespace vornengine
