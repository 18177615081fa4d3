#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "codec.h"

using namespace vornengine;

namespace {

std::string randomText(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string data(n, '\0');
    for (char &c : data) {
        c = static_cast<char>(rng());
    }
    return data;
}

std::string repetitiveText(size_t n) {
    std::string text;
    while (text.size() < n) {
        text += "line " + std::to_string(text.size() % 977) + ": the quick brown fox\n";
    }
    text.resize(n);
    return text;
}

struct Sample {
    const char *name;
    std::string data;
    bool compress;
    bool shrinks; // stored smaller than the data
};

std::vector<Sample> samples() {
    return {
        {"empty", "", true, false},
        {"short text", "hello", true, false},
        {"text", repetitiveText(1 << 20), true, true},
        {"text, not compressed", repetitiveText(100000), false, false},
        {"random", randomText(1 << 20, 1), true, false},
        {"text then random", repetitiveText(800000) + randomText(200000, 3), true, true},
    };
}

} // namespace

TEST(Codec, RoundTripsPlainAndEncrypted) {
    const MasterKey key = MasterKey::generate();
    const Codec codecs[] = {Codec(), Codec(key)};
    for (const Codec &codec : codecs) {
        for (const Sample &s : samples()) {
            const std::string stored = codec.encode(s.data.data(), s.data.size(), s.compress);
            std::string plain = "leftover";
            ASSERT_TRUE(codec.decode(stored.data(), stored.size(), plain).isOk()) << s.name;
            EXPECT_EQ(plain, s.data) << s.name;
            EXPECT_EQ(stored.size() < s.data.size(), s.shrinks) << s.name;
            EXPECT_LE(stored.size(), s.data.size() + Codec::overhead()) << s.name;
            if (codec.encrypted() && s.data.size() > 64) {
                EXPECT_EQ(stored.find(s.data.substr(s.data.size() / 2, 64)), std::string::npos) << s.name;
                EXPECT_NE(codec.encode(s.data.data(), s.data.size(), s.compress), stored)
                    << s.name << ": every seal has its own nonce";
            }
        }
    }
}

TEST(Codec, AnyDamageIsAnIntegrityFailure) {
    const MasterKey key = MasterKey::generate();
    const Codec sealed(key);
    for (const Sample &s : samples()) {
        const std::string stored = sealed.encode(s.data.data(), s.data.size(), s.compress);
        const size_t step = std::max<size_t>(1, stored.size() / 300);
        for (size_t at = 0; at < stored.size(); at += step) {
            std::string damaged = stored;
            damaged[at] ^= 0x01;
            std::string plain;
            const Status status = sealed.decode(damaged.data(), damaged.size(), plain);
            ASSERT_EQ(status.code(), Status::Code::Integrity) << s.name << " byte " << at;
            EXPECT_EQ(status.message(), "authentication failed");
        }
        std::string plain;
        EXPECT_EQ(sealed.decode(stored.data(), stored.size() - 1, plain).code(), Status::Code::Integrity);
        EXPECT_EQ(Codec(MasterKey::generate()).decode(stored.data(), stored.size(), plain).message(),
                  "authentication failed")
            << s.name << ": another key";
    }

    // Without a key only the format itself can be checked.
    const Codec plainCodec;
    const std::string text = repetitiveText(100000);
    const std::string compressed = plainCodec.encode(text.data(), text.size());
    struct Case {
        std::string stored;
        const char *message;
    };
    const Case cases[] = {
        {"", "unknown format"},
        {std::string(1, '\x02') + "abc", "unknown format"},
        {compressed.substr(0, compressed.size() / 2), "corrupt compressed data"},
        {std::string(1, '\x01') + "not zstd at all", "corrupt compressed data"},
    };
    for (const Case &c : cases) {
        std::string plain;
        const Status status = plainCodec.decode(c.stored.data(), c.stored.size(), plain);
        EXPECT_EQ(status.code(), Status::Code::Integrity) << c.message;
        EXPECT_EQ(status.message(), c.message);
    }
}

TEST(Codec, ContentIdsAreKeyedWhenEncrypted) {
    const MasterKey key = MasterKey::generate();
    const std::string data = "some content";
    const ObjectId plain = Codec().contentId(data.data(), data.size());
    EXPECT_EQ(plain, sha256(data.data(), data.size()));
    const ObjectId keyed = Codec(key).contentId(data.data(), data.size());
    EXPECT_NE(keyed, plain);
    EXPECT_NE(Codec(MasterKey::generate()).contentId(data.data(), data.size()), keyed);
    EXPECT_NE(key.chunkerSeed(), MasterKey::generate().chunkerSeed());
}

TEST(Codec, SharedBetweenThreads) {
    const Codec codec(MasterKey::generate());
    const std::vector<Sample> inputs = samples();
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int &failed : failures) {
        threads.emplace_back([&] {
            for (int round = 0; round < 5; ++round) {
                for (const Sample &s : inputs) {
                    const std::string stored = codec.encode(s.data.data(), s.data.size(), s.compress);
                    std::string plain;
                    failed += !codec.decode(stored.data(), stored.size(), plain).isOk() || plain != s.data;
                }
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}
