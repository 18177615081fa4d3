// Chunker: content-defined cut points (FastCDC with normalized chunking over a gear hash), so an
// edit inside a large file changes only the chunks around it.
#ifndef VORN_ENGINE_CHUNKER_H
#define VORN_ENGINE_CHUNKER_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace vornengine {

// Chunk sizes in bytes; min <= average <= max, min >= 64 (the gear hash's window).
struct ChunkerLimits {
    size_t min = 256 * 1024;
    size_t average = 1024 * 1024;
    size_t max = 4 * 1024 * 1024;
};

class Chunker {
public:
    // The seed derives the gear table, so a keyed target's cut points do not fingerprint its
    // content. Seed 0 is a fixed table. Cut points are part of the stored format: the same seed
    // and limits must always give the same chunks.
    explicit Chunker(uint64_t seed = 0, ChunkerLimits limits = {});

    // Length of the first chunk of data[0,n). Without atEnd, 0 when no cut point lies within
    // n (< max): more data is needed. With atEnd, the rest (up to max) is a chunk.
    // Whenever it is not 0, the answer is the same for any longer n over the same bytes.
    size_t cut(const uint8_t *data, size_t n, bool atEnd) const;

    const ChunkerLimits &limits() const { return m_limits; }

private:
    std::array<uint64_t, 256> m_gear;
    ChunkerLimits m_limits;
    uint64_t m_strictMask; // before the average length: harder to match
    uint64_t m_looseMask;  // after it: easier
};

} // namespace vornengine

#endif
