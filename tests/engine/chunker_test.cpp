#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "chunker.h"

using namespace vornengine;

namespace {

std::vector<uint8_t> randomData(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t v = rng();
        std::memcpy(&data[i], &v, std::min<size_t>(8, n - i));
    }
    return data;
}

// Chunk lengths of the whole buffer at once.
std::vector<size_t> chunkAll(const Chunker &chunker, const std::vector<uint8_t> &data) {
    std::vector<size_t> lengths;
    for (size_t at = 0; at < data.size();) {
        lengths.push_back(chunker.cut(data.data() + at, data.size() - at, true));
        at += lengths.back();
    }
    return lengths;
}

// Chunk lengths when the data arrives `window` bytes at a time, as from a file being read.
std::vector<size_t> chunkStreamed(const Chunker &chunker, const std::vector<uint8_t> &data, size_t window) {
    std::vector<size_t> lengths;
    size_t start = 0;
    size_t available = 0;
    while (start < data.size()) {
        available = std::min(data.size(), std::max(available, start) + window);
        const bool atEnd = available == data.size();
        const size_t n = chunker.cut(data.data() + start, available - start, atEnd);
        if (n != 0) {
            lengths.push_back(n);
            start += n;
        }
    }
    return lengths;
}

} // namespace

TEST(Chunker, BoundsHoldAndCutsDoNotDependOnHowDataArrives) {
    const ChunkerLimits limits;
    const Chunker chunker;
    struct Case {
        const char *name;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {"random", randomData(24 << 20, 1)},
        {"zeros", std::vector<uint8_t>(9 << 20, 0)}, // no cut point: max-sized chunks
        {"shorter than min", randomData(1000, 2)},
    };
    for (const Case &c : cases) {
        const std::vector<size_t> lengths = chunkAll(chunker, c.data);
        size_t total = 0;
        for (size_t i = 0; i < lengths.size(); ++i) {
            total += lengths[i];
            EXPECT_LE(lengths[i], limits.max) << c.name;
            if (i + 1 < lengths.size()) {
                EXPECT_GE(lengths[i], limits.min) << c.name;
            }
        }
        EXPECT_EQ(total, c.data.size()) << c.name;
        EXPECT_EQ(chunkStreamed(chunker, c.data, 300 * 1024), lengths) << c.name;
    }
    // No cut point inside a short buffer: more data is needed.
    EXPECT_EQ(chunker.cut(cases[1].data.data(), 2 << 20, false), 0u);
    EXPECT_EQ(chunker.cut(cases[1].data.data(), 0, true), 0u);
}

TEST(Chunker, EditInTheMiddleChangesOnlyTheChunksAroundIt) {
    const Chunker chunker;
    const std::vector<uint8_t> before = randomData(32 << 20, 3);
    std::vector<uint8_t> after = before;
    const size_t editAt = 16 << 20;
    for (size_t i = 0; i < 4096; ++i) {
        after[editAt + i] ^= 0x5a;
    }
    after.insert(after.begin() + editAt, 100, 7); // and a shift of everything behind it

    const std::vector<size_t> a = chunkAll(chunker, before);
    const std::vector<size_t> b = chunkAll(chunker, after);
    ASSERT_GT(a.size(), 16u) << "about 1 MiB on average";
    size_t head = 0; // identical leading chunks
    while (head < std::min(a.size(), b.size()) && a[head] == b[head]) {
        ++head;
    }
    size_t tail = 0; // identical trailing chunks
    while (tail < std::min(a.size(), b.size()) - head && a[a.size() - 1 - tail] == b[b.size() - 1 - tail]) {
        ++tail;
    }
    EXPECT_LE(a.size() - head - tail, 2u);
    EXPECT_LE(b.size() - head - tail, 2u);
    size_t firstChanged = 0;
    for (size_t i = 0; i < head; ++i) {
        firstChanged += a[i];
    }
    EXPECT_LE(firstChanged, editAt);
    EXPECT_GT(firstChanged + ChunkerLimits().max, editAt) << "the chunks before the edit survive";
}

TEST(Chunker, SeedChangesCutPoints) {
    const std::vector<uint8_t> data = randomData(16 << 20, 4);
    const std::vector<size_t> fixed = chunkAll(Chunker(0), data);
    EXPECT_NE(chunkAll(Chunker(1), data), fixed);
    EXPECT_NE(chunkAll(Chunker(0xfeedface), data), chunkAll(Chunker(1), data));
}
