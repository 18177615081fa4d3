#include <gtest/gtest.h>

#include <sodium.h>

#include "keys.h"

using namespace vornengine;

namespace {

// The cheapest limits libsodium accepts: the tests check the record, not Argon2id's cost.
const KdfParams kFast{crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};

KeyInfo someInfo() { return {"2025-01-02T03:04:05Z", "host-a", "alice"}; }

// The record with `member`'s value (JSON text after the member's name) replaced.
std::string withMember(const std::string &record, const std::string &member, const std::string &value) {
    const size_t name = record.find("\"" + member + "\":");
    const size_t start = name + member.size() + 3;
    const size_t end = record.find_first_of(",}", start);
    return record.substr(0, start) + value + record.substr(end);
}

} // namespace

TEST(Keys, WrapAndUnwrap) {
    const MasterKey key = MasterKey::generate();
    const std::string record = wrapMasterKey(key, "config digest", "correct horse", kFast, someInfo());
    const std::string second = wrapMasterKey(key, "config digest", "other phrase", kFast, someInfo());

    for (const auto &[text, passphrase] : {std::make_pair(record, "correct horse"),
                                           std::make_pair(second, "other phrase")}) {
        MasterKey opened = MasterKey::generate();
        std::string bound;
        ASSERT_TRUE(unwrapMasterKey(text, passphrase, opened, bound).isOk());
        EXPECT_EQ(opened.encryption, key.encryption);
        EXPECT_EQ(opened.naming, key.naming);
        EXPECT_EQ(bound, "config digest");
    }
    EXPECT_EQ(record.find("correct horse"), std::string::npos);

    KeyInfo info;
    ASSERT_TRUE(describeKeyRecord(record, info).isOk());
    EXPECT_EQ(info.created, "2025-01-02T03:04:05Z");
    EXPECT_EQ(info.hostname, "host-a");
    EXPECT_EQ(info.username, "alice");
    EXPECT_TRUE(KdfParams::standard().valid());
}

TEST(Keys, RefusalsByClass) {
    const MasterKey key = MasterKey::generate();
    const std::string record = wrapMasterKey(key, "bound", "secret", kFast, someInfo());
    struct Case {
        const char *name;
        std::string text;
        std::string passphrase;
        Status::Code code;
        const char *message;
    };
    const Case cases[] = {
        {"wrong passphrase", record, "Secret", Status::Code::Access, "wrong passphrase"},
        {"empty passphrase", record, "", Status::Code::Access, "wrong passphrase"},
        {"not JSON", "key", "secret", Status::Code::Integrity, "malformed key record"},
        {"empty object", "{}", "secret", Status::Code::Integrity, "malformed key record"},
        {"other kdf", withMember(record, "kdf", "\"scrypt\""), "secret", Status::Code::Integrity,
         "malformed key record"},
        {"short salt", withMember(record, "salt", "\"AAAA\""), "secret", Status::Code::Integrity,
         "malformed key record"},
        {"memory beyond limits", withMember(record, "mem", "1099511627776"), "secret",
         Status::Code::Integrity, "malformed key record"},
        {"changed host", withMember(record, "hostname", "\"host-b\""), "secret", Status::Code::Integrity,
         "key record fails authentication"},
        {"changed key", withMember(record, "wrapped", "\"" + std::string(108, 'A') + "\""), "secret",
         Status::Code::Integrity, "key record fails authentication"},
    };
    for (const Case &c : cases) {
        MasterKey opened = MasterKey::generate();
        std::string bound;
        const Status status = unwrapMasterKey(c.text, c.passphrase, opened, bound);
        EXPECT_EQ(status.code(), c.code) << c.name;
        EXPECT_EQ(status.message(), c.message) << c.name;
    }
    KeyInfo info;
    EXPECT_EQ(describeKeyRecord("[]", info).code(), Status::Code::Integrity);
}
