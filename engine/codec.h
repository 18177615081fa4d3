// Codec: the name and the stored form of a piece of content or a record — compressed with zstd,
// and sealed with XChaCha20-Poly1305 when the target is encrypted.
#ifndef VORN_ENGINE_CODEC_H
#define VORN_ENGINE_CODEC_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "object_id.h"
#include "status.h"

namespace vornengine {

// The secret of an encrypted target; wiped when it goes out of scope.
struct MasterKey {
    std::array<uint8_t, 32> encryption; // seals stored objects
    std::array<uint8_t, 32> naming;     // keys content ids and the chunker's seed

    ~MasterKey();
    static MasterKey generate();
    // The chunker's seed, derived from the naming key (never the raw key bytes).
    uint64_t chunkerSeed() const;
};

class Codec {
public:
    Codec(); // plain: ids are SHA-256, nothing is sealed
    explicit Codec(const MasterKey &key);

    bool encrypted() const { return m_keys != nullptr; }

    // Id of a piece of content: SHA-256, or HMAC-SHA-256 under the naming key when encrypted.
    ObjectId contentId(const void *data, size_t n) const;

    // Stored form: seal(flag byte (0 raw, 1 zstd) + payload); seal is the identity when plain,
    // XChaCha20-Poly1305 with a random 24-byte nonce in front when encrypted.
    // compress=false stores raw without trying; a payload that does not shrink is stored raw.
    std::string encode(const void *data, size_t n, bool compress = true) const;

    // The inverse. Status::integrity("authentication failed" / "corrupt compressed data" /
    // "unknown format") on anything wrong; `plain` is then unspecified. `plain` must not hold
    // the bytes being decoded.
    Status decode(const void *data, size_t n, std::string &plain) const;

    // Bytes added at most beyond the payload when encrypted (nonce, flag, tag).
    static size_t overhead();

private:
    struct Keys;
    std::shared_ptr<const Keys> m_keys; // null when plain; immutable, so shared by copies
};

} // namespace vornengine

#endif
