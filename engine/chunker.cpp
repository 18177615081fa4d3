#include "chunker.h"

#include <algorithm>

namespace vornengine {

namespace {

uint64_t splitMix64(uint64_t &state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

unsigned log2Floor(size_t v) {
    unsigned bits = 0;
    while (v > 1) {
        v >>= 1;
        ++bits;
    }
    return bits;
}

// The top `bits` bits: bit k of the gear hash depends on the last k+1 bytes only, so the high
// bits see the widest window.
uint64_t topBits(unsigned bits) { return bits == 0 ? 0 : ~0ULL << (64 - bits); }

// Normalization level 2: four times less likely than average before the average length, four
// times more likely after it, which narrows the spread of chunk sizes.
constexpr unsigned kNormalization = 2;

} // namespace

Chunker::Chunker(uint64_t seed, ChunkerLimits limits) : m_limits(limits) {
    uint64_t state = seed ^ 0x766f726e63686e6bULL;
    for (uint64_t &g : m_gear) {
        g = splitMix64(state);
    }
    const unsigned bits = log2Floor(std::max<size_t>(limits.average, 1));
    m_strictMask = topBits(std::min(63u, bits + kNormalization));
    m_looseMask = topBits(bits > kNormalization ? bits - kNormalization : 1);
}

size_t Chunker::cut(const uint8_t *data, size_t n, bool atEnd) const {
    if (n <= m_limits.min) {
        return atEnd ? n : 0;
    }
    const size_t end = std::min(n, m_limits.max);
    const size_t normal = std::min(end, m_limits.average);
    // The hash starts afresh at min: bytes before it can never hold a cut point.
    uint64_t hash = 0;
    size_t i = m_limits.min;
    for (; i < normal; ++i) {
        hash = (hash << 1) + m_gear[data[i]];
        if ((hash & m_strictMask) == 0) {
            return i + 1;
        }
    }
    for (; i < end; ++i) {
        hash = (hash << 1) + m_gear[data[i]];
        if ((hash & m_looseMask) == 0) {
            return i + 1;
        }
    }
    return (atEnd || end == m_limits.max) ? end : 0;
}

} // namespace vornengine
