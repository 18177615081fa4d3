#include <gtest/gtest.h>

#include "object_id.h"

using namespace vornengine;

TEST(ObjectId, HexRoundTripAndRejects) {
    const ObjectId abc = sha256("abc", 3);
    EXPECT_EQ(abc.hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ObjectId parsed;
    ASSERT_TRUE(ObjectId::parse("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", parsed));
    EXPECT_EQ(parsed, abc);
    EXPECT_FALSE(parsed.isNull());
    EXPECT_TRUE(ObjectId().isNull());

    const std::string good = abc.hex();
    for (const std::string &bad : {std::string(), good.substr(1), good + "0", "g" + good.substr(1),
                                  good.substr(0, 63) + " "}) {
        ObjectId out = abc;
        EXPECT_FALSE(ObjectId::parse(bad, out)) << bad;
        EXPECT_EQ(out, abc) << "a refused text leaves the id alone";
    }
}

TEST(ObjectId, StreamingHashMatchesOneShotAndStartsOver) {
    const std::string text(100000, 'x');
    Sha256 hash;
    hash.update(text.data(), 1);
    hash.update(text.data() + 1, text.size() - 1);
    EXPECT_EQ(hash.finish(), sha256(text.data(), text.size()));
    hash.update("abc", 3);
    EXPECT_EQ(hash.finish(), sha256("abc", 3));
}
