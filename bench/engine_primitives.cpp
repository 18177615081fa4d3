// Throughput of the backup engine's primitives on one core: chunking, hashing, compression and
// sealing, each over the same buffers the engine sees (MiB-sized chunks).
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "chunker.h"
#include "codec.h"
#include "object_id.h"

using namespace vornengine;

namespace {

constexpr size_t kChunk = 1024 * 1024;

std::string randomBytes(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string data(n, '\0');
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const uint64_t v = rng();
        std::memcpy(&data[i], &v, 8);
    }
    return data;
}

// Log-like lines: a clock that moves forward, a few hosts and processes, words and counters.
// Compresses about as well as source code or documentation (zstd: about 5x).
std::string textBytes(size_t n, uint64_t seed) {
    static const char *const words[] = {"backup", "chunk", "restore", "index", "snapshot", "error",
                                        "request", "upload", "container", "prune", "the", "of",
                                        "tree", "file", "directory", "latency", "bytes", "ok"};
    std::mt19937_64 rng(seed);
    std::string text;
    text.reserve(n + 256);
    char head[96];
    unsigned long long millis = 0;
    while (text.size() < n) {
        millis += rng() % 2000;
        const unsigned long long s = millis / 1000;
        std::snprintf(head, sizeof head, "2024-05-%02llu %02llu:%02llu:%02llu.%03llu host%u svc[%u]: ",
                      s / 86400 % 28 + 1, s / 3600 % 24, s / 60 % 60, s % 60, millis % 1000,
                      unsigned(rng() % 4), 1000 + unsigned(rng() % 8));
        text += head;
        for (int w = 4 + int(rng() % 10); w > 0; --w) {
            text += words[rng() % (sizeof words / sizeof *words)];
            text += ' ';
        }
        text += std::to_string(rng() % 1000);
        text += '\n';
    }
    text.resize(n);
    return text;
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Runs `pass` (which handles `bytes` bytes) repeatedly for about a second of this thread's CPU
// time; prints MiB per CPU second, which other work on a shared machine barely changes, and
// MiB per wall-clock second, which it does.
void measure(const char *name, size_t bytes, const std::function<void()> &pass) {
    using Clock = std::chrono::steady_clock;
    pass(); // warm caches and thread-local contexts
    size_t passes = 0;
    const Clock::time_point wallStart = Clock::now();
    const double cpuStart = threadCpuSeconds();
    double cpu = 0;
    do {
        pass();
        ++passes;
        cpu = threadCpuSeconds() - cpuStart;
    } while (cpu < 1.0);
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    const double mib = double(bytes) * double(passes) / (1024.0 * 1024.0);
    std::printf("%-34s %9.0f %9.0f\n", name, mib / cpu, mib / wall);
}

std::vector<std::string> split(const std::string &data) {
    std::vector<std::string> chunks;
    for (size_t at = 0; at < data.size(); at += kChunk) {
        chunks.push_back(data.substr(at, kChunk));
    }
    return chunks;
}

void measureCodec(const char *name, const Codec &codec, const std::string &data, bool compress) {
    const std::vector<std::string> chunks = split(data);
    std::vector<std::string> stored(chunks.size());
    size_t storedBytes = 0;
    measure((std::string(name) + " encode").c_str(), data.size(), [&] {
        storedBytes = 0;
        for (size_t i = 0; i < chunks.size(); ++i) {
            stored[i] = codec.encode(chunks[i].data(), chunks[i].size(), compress);
            storedBytes += stored[i].size();
        }
    });
    std::string plain;
    measure((std::string(name) + " decode").c_str(), data.size(), [&] {
        for (const std::string &s : stored) {
            if (!codec.decode(s.data(), s.size(), plain).isOk()) {
                std::printf("decode failed\n");
            }
        }
    });
    std::printf("%-34s %9.3f\n", (std::string(name) + " stored/plain").c_str(),
                double(storedBytes) / double(data.size()));
}

} // namespace

int main() {
    const size_t total = 64 * kChunk;
    const std::string random = randomBytes(total, 1);
    const std::string text = textBytes(total, 2);
    const Codec plain;
    const MasterKey key = MasterKey::generate();
    const Codec sealed(key);

    std::printf("one thread, %zu MiB per pass, %zu KiB pieces for hashing and codec\n",
                total / kChunk, kChunk / 1024);
    std::printf("%-34s %9s %9s\n", "", "MiB/cpu-s", "MiB/s");
    const std::pair<const char *, Chunker> chunkers[] = {{"chunker, fixed table", Chunker()},
                                                         {"chunker, keyed table", Chunker(key.chunkerSeed())}};
    for (const auto &[name, chunker] : chunkers) {
        size_t chunks = 0;
        measure(name, total, [&, &chunker = chunker] {
            chunks = 0;
            const uint8_t *p = reinterpret_cast<const uint8_t *>(random.data());
            for (size_t left = random.size(); left > 0; ++chunks) {
                const size_t n = chunker.cut(p, left, true);
                p += n;
                left -= n;
            }
        });
        std::printf("%-34s %9.0f KiB\n", "  mean chunk", double(total) / chunks / 1024.0);
    }
    const std::vector<std::string> pieces = split(random);
    measure("sha256", total, [&] {
        for (const std::string &p : pieces) {
            sha256(p.data(), p.size());
        }
    });
    measure("hmac-sha256 (keyed content id)", total, [&] {
        for (const std::string &p : pieces) {
            sealed.contentId(p.data(), p.size());
        }
    });
    measureCodec("zstd text", plain, text, true);
    measureCodec("zstd random", plain, random, true);
    measureCodec("seal/open only (random)", sealed, random, false);
    measureCodec("zstd+seal text", sealed, text, true);
    measureCodec("zstd+seal random", sealed, random, true);
    return 0;
}
