// Key records: a target's master key wrapped by a key derived from a passphrase (Argon2id), as
// JSON text that also says who made it.
#ifndef VORN_ENGINE_KEYS_H
#define VORN_ENGINE_KEYS_H

#include <string>

#include "codec.h"
#include "status.h"

namespace vornengine {

// Argon2id cost, recorded in every key record so that it can be raised for new records.
struct KdfParams {
    unsigned long long opsLimit;
    size_t memLimit; // bytes
    static KdfParams standard(); // libsodium's "interactive" limits
    // Between libsodium's minimum and its "sensitive" limits (1 GiB): a record asking for more
    // is refused, so a changed record cannot make unlocking exhaust the machine.
    bool valid() const;
};

struct KeyInfo {
    std::string created; // RFC 3339
    std::string hostname;
    std::string username;
    static KeyInfo current(); // now, this host and the effective user
};

// The record's text: JSON with kdf "argon2id", ops, mem, salt, nonce, check, wrapped (base64)
// and the KeyInfo. `bound` is sealed together with the key, and everything else in the record is
// authenticated with it, so a record or a bound value that was changed does not open.
// `params` must be valid().
std::string wrapMasterKey(const MasterKey &key, const std::string &bound, const std::string &passphrase,
                          const KdfParams &params, const KeyInfo &info);

// Status::access("wrong passphrase") when the passphrase is not this record's;
// Status::integrity("malformed key record") when the text is not a key record, and
// Status::integrity("key record fails authentication") when the passphrase is right but the
// record was changed.
Status unwrapMasterKey(const std::string &record, const std::string &passphrase, MasterKey &key,
                       std::string &bound);

// The record's KeyInfo, without the passphrase (so not authenticated).
Status describeKeyRecord(const std::string &record, KeyInfo &info);

} // namespace vornengine

#endif
