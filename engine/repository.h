// Repository: a snapshot target opened for work: its config and keys, the codec they give, and
// the reading and writing of every kind of record in it.
#ifndef VORN_ENGINE_REPOSITORY_H
#define VORN_ENGINE_REPOSITORY_H

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "chunker.h"
#include "codec.h"
#include "index.h"
#include "keys.h"
#include "object_id.h"
#include "snapshot.h"
#include "status.h"
#include "store.h"
#include "tree.h"

namespace vornengine {

struct RepositoryConfig {
    int version = 0;
    std::string id; // random, names the target's local cache
    std::string encryption;
    ChunkerLimits chunker;
};

// Gives the passphrase; asked only for an encrypted target. Access when there is none.
using PassphraseSource = std::function<Status(std::string &passphrase)>;

// A key record as `key list` shows it.
struct KeyListing {
    ObjectId id;
    KeyInfo info;
    bool current = false; // the one that opened the target
};

class Repository {
public:
    // `cacheRoot`: a local directory for copies of index records and tree packs ("" for none).
    Repository(Store &store, const std::string &cacheRoot);

    // Makes the target a snapshot target: a key record wrapping a new master key (when
    // `passphrase` is not empty), then the config. Failed when it is one already.
    static Status initialize(Store &store, const std::string &passphrase, const KeyInfo &info);

    // Reads the config and, for an encrypted target, unlocks a key record. NotFound when the
    // target holds no config; Access for a wrong or missing passphrase; Integrity when the
    // config and the key records disagree.
    Status open(const PassphraseSource &passphrase);

    const RepositoryConfig &config() const { return m_config; }
    const Codec &codec() const { return m_codec; }
    Store &store() { return m_store; }
    Chunker chunker() const;
    int lanes() const { return m_store.lanes(); }

    void setCancel(std::function<bool()> cancelled) { m_cancelled = std::move(cancelled); }
    bool cancelled() const { return m_cancelled && m_cancelled(); }
    const std::function<bool()> &cancelHook() const { return m_cancelled; }

    // Records stored whole (index, snapshots, locks): encoded through the codec and named by
    // the SHA-256 of the stored bytes. Loading checks the name before decoding.
    Status saveRecord(const char *dir, const std::string &plain, ObjectId &id);
    Status loadRecord(const char *dir, const ObjectId &id, std::string &plain);
    Status removeRecord(const char *dir, const ObjectId &id);
    // The ids in `dir`; names that are not ids are left out.
    Status listIds(const char *dir, std::vector<ObjectId> &ids);

    Status savePack(const std::string &bytes, ObjectId &id);
    // The pack's bytes, checked against its name.
    Status loadPack(const ObjectId &id, std::string &bytes);

    // Keeps a copy of a tree pack this process stored, so the next backup finds its trees
    // without a download.
    void cacheTreePack(const ObjectId &id, const std::string &bytes);

    // Reads every index record into index() (copies kept in the local cache). The ids read
    // are indexRecords().
    Status loadIndex();
    Index &index() { return m_index; }
    const std::vector<ObjectId> &indexRecords() const { return m_indexRecords; }

    Status loadSnapshots(std::vector<Snapshot> &snapshots);
    // A tree blob through the index; its pack is kept (memory and local cache) for the next.
    Status loadTree(const ObjectId &id, Tree &tree);

    // Key records of an encrypted target.
    Status listKeys(std::vector<KeyListing> &keys);
    Status addKey(const std::string &passphrase, const KeyInfo &info, ObjectId &id);
    Status removeKey(const ObjectId &id);

private:
    Status saveNamed(const std::string &name, const std::string &bytes);
    Status loadNamed(const std::string &name, std::string &bytes);
    Status loadChecked(const std::string &dir, const ObjectId &id, std::string &stored);
    Status unlock(const std::string &configText, const PassphraseSource &passphrase);
    Status loadIndexRecord(const ObjectId &id, std::vector<PackContents> &packs);
    Status treePack(const ObjectId &pack, std::shared_ptr<const std::string> &bytes);
    std::string cachePath(const std::string &kind, const ObjectId &id) const;
    void keepCopy(const std::string &kind, const ObjectId &id, const std::string &bytes);

    Store &m_store;
    std::string m_cacheRoot;
    RepositoryConfig m_config;
    std::string m_configText;
    MasterKey m_key;
    ObjectId m_keyId;
    Codec m_codec;
    Index m_index;
    std::vector<ObjectId> m_indexRecords;
    std::function<bool()> m_cancelled;
    std::mutex m_packsMutex;
    std::map<ObjectId, std::shared_ptr<const std::string>> m_treePacks;
};

} // namespace vornengine

#endif
