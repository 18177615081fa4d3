// The layout of a snapshot target: where each kind of record lives and the sizes that shape it.
//
// A snapshot target is a target directory holding:
//   config              plain JSON: format version, target id, encryption and chunker settings
//   keys/ID             key records: the master key wrapped by a passphrase (encrypted targets)
//   data/ID             packs: stored blobs (content chunks or tree records) followed by a header
//                       that lists them, then the header's length (4 bytes, little endian)
//   index/ID            index records: which blobs each pack holds, and where
//   snapshots/ID        snapshot records: time, host, paths, tags and the id of the root tree
//   locks/ID            lock records: who works on the target, shared or exclusive
// Every ID above is the SHA-256 of the stored bytes, so a changed object no longer matches its
// name. Blobs are named by the content id of their plain bytes (Codec::contentId).
#ifndef VORN_ENGINE_FORMAT_H
#define VORN_ENGINE_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace vornengine {

const int FORMAT_VERSION = 1;

const char *const CONFIG_NAME = "config";
const char *const KEYS_DIR = "keys";
const char *const DATA_DIR = "data";
const char *const INDEX_DIR = "index";
const char *const SNAPSHOTS_DIR = "snapshots";
const char *const LOCKS_DIR = "locks";

// The encryption names a config records.
const char *const ENCRYPTION_NONE = "none";
const char *const ENCRYPTION_XCHACHA = "xchacha20-poly1305";

// What a blob holds.
enum class BlobType : uint8_t { Data = 0, Tree = 1 };

// A pack is closed once its blobs reach this size: few requests for many small files, and
// large enough that a pack upload runs at the link's speed.
const size_t PACK_SIZE = 16u << 20;

// One header entry: type (1), blob id (32), stored length (4), plain length (4).
const size_t PACK_ENTRY_SIZE = 1 + 32 + 4 + 4;

// New packs are named in an index record once this many have been stored since the last one,
// so an interrupted backup leaves its uploads findable by the next run.
const size_t PACKS_PER_INDEX_FLUSH = 4;

// A lock not refreshed for this long belongs to a process that is gone.
const int64_t LOCK_STALE_SECONDS = 30 * 60;
// A running command refreshes its lock this often.
const int64_t LOCK_REFRESH_SECONDS = 5 * 60;

} // namespace vornengine

#endif
