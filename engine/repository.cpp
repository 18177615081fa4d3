#include "repository.h"

#include <json/json.h>
#include <sodium.h>
#include <filesystem>
#include <system_error>

#include "format.h"
#include "json_text.h"
#include "local_file.h"
#include "parallel.h"
#include "vorn/backup/scoped_temp_file.h"

namespace vornengine {

using VORN::Backup::ScopedTempFile;

namespace {

std::string recordName(const std::string &dir, const ObjectId &id) {
    return dir + "/" + id.hex();
}

std::string configTextFor(const std::string &encryption) {
    unsigned char random[16];
    randombytes_buf(random, sizeof random);
    const ChunkerLimits limits;
    Json::Value json(Json::objectValue);
    json["version"] = FORMAT_VERSION;
    json["id"] = hexOf(std::string(reinterpret_cast<char *>(random), sizeof random));
    json["encryption"] = encryption;
    json["chunker"]["min"] = Json::UInt64(limits.min);
    json["chunker"]["average"] = Json::UInt64(limits.average);
    json["chunker"]["max"] = Json::UInt64(limits.max);
    return jsonText(json);
}

Status parseConfig(const std::string &text, RepositoryConfig &config) {
    Json::Value json;
    const Status malformed = Status::integrity("config: malformed");
    try {
        if (!parseJsonText(text, json) || !json.isObject()) {
            return malformed;
        }
        config.version = json["version"].asInt();
        config.id = json["id"].asString();
        config.encryption = json["encryption"].asString();
        config.chunker.min = json["chunker"]["min"].asUInt64();
        config.chunker.average = json["chunker"]["average"].asUInt64();
        config.chunker.max = json["chunker"]["max"].asUInt64();
    } catch (const Json::Exception &) {
        return malformed;
    }
    if (config.version != FORMAT_VERSION) {
        return Status::failed("config: format version " + std::to_string(config.version) +
                              " is not supported (this program reads version " +
                              std::to_string(FORMAT_VERSION) + ")");
    }
    if (config.id.size() != 32 || (config.encryption != ENCRYPTION_NONE &&
                                   config.encryption != ENCRYPTION_XCHACHA) ||
        config.chunker.min == 0 || config.chunker.min > config.chunker.average ||
        config.chunker.average > config.chunker.max || config.chunker.max > PACK_SIZE) {
        return malformed;
    }
    return Status::ok();
}

// What a key record binds the master key to: the config it was made for.
std::string configDigest(const std::string &configText) {
    return sha256(configText.data(), configText.size()).hex();
}

} // namespace

Repository::Repository(Store &store, const std::string &cacheRoot)
    : m_store(store), m_cacheRoot(cacheRoot) {}

Status Repository::initialize(Store &store, const std::string &passphrase, const KeyInfo &info) {
    int64_t size = 0;
    Status exists = store.size(CONFIG_NAME, size);
    if (exists.isOk()) {
        return Status::failed("the target is a snapshot target already");
    }
    if (exists.code() != Status::Code::NotFound) {
        return exists;
    }
    const bool encrypt = !passphrase.empty();
    const std::string configText = configTextFor(encrypt ? ENCRYPTION_XCHACHA : ENCRYPTION_NONE);
    Repository repository(store, "");
    if (encrypt) {
        // The key comes first: a config is what makes a snapshot target, and it must never be
        // there without a key to open it.
        const MasterKey key = MasterKey::generate();
        const std::string record = wrapMasterKey(key, configDigest(configText), passphrase,
                                                 KdfParams::standard(), info);
        Status saved = repository.saveNamed(recordName(KEYS_DIR, sha256(record.data(), record.size())), record);
        if (!saved.isOk()) {
            return saved;
        }
    }
    return repository.saveNamed(CONFIG_NAME, configText);
}

Status Repository::open(const PassphraseSource &passphrase) {
    Status status = loadNamed(CONFIG_NAME, m_configText);
    if (status.code() == Status::Code::NotFound) {
        return Status::notFound("not a snapshot target");
    }
    if (!status.isOk() || !(status = parseConfig(m_configText, m_config)).isOk()) {
        return status;
    }
    return unlock(m_configText, passphrase);
}

Status Repository::unlock(const std::string &configText, const PassphraseSource &passphrase) {
    std::vector<ObjectId> keys;
    Status status = listIds(KEYS_DIR, keys);
    if (!status.isOk()) {
        return status;
    }
    if (m_config.encryption == ENCRYPTION_NONE) {
        if (!keys.empty()) {
            return Status::integrity("config: says the target is not encrypted, but it holds key records");
        }
        m_codec = Codec();
        return Status::ok();
    }
    if (keys.empty()) {
        return Status::integrity("the target is encrypted but holds no key record");
    }
    std::string secret;
    if (!(status = passphrase(secret)).isOk()) {
        return status;
    }
    for (const ObjectId &id : keys) {
        std::string record, bound;
        if (!(status = loadChecked(KEYS_DIR, id, record)).isOk()) {
            return status;
        }
        status = unwrapMasterKey(record, secret, m_key, bound);
        if (status.code() == Status::Code::Access) {
            continue; // another passphrase's record
        }
        if (!status.isOk()) {
            return status.about(recordName(KEYS_DIR, id));
        }
        sodium_memzero(&secret[0], secret.size());
        if (bound != configDigest(configText)) {
            return Status::integrity("config: does not match the key records (changed or replaced)");
        }
        m_keyId = id;
        m_codec = Codec(m_key);
        return Status::ok();
    }
    sodium_memzero(&secret[0], secret.size());
    return Status::access("wrong passphrase: no key record of the target opens with it");
}

Chunker Repository::chunker() const {
    return Chunker(m_codec.encrypted() ? m_key.chunkerSeed() : 0, m_config.chunker);
}

Status Repository::saveNamed(const std::string &name, const std::string &bytes) {
    ScopedTempFile file;
    if (!file.isValid()) {
        return Status::failed("no temporary file for " + name);
    }
    Status status = writeLocalFile(file.getPath(), bytes);
    return status.isOk() ? m_store.put(file.getPath(), name).about(name) : status;
}

Status Repository::loadNamed(const std::string &name, std::string &bytes) {
    ScopedTempFile file;
    if (!file.isValid()) {
        return Status::failed("no temporary file for " + name);
    }
    Status status = m_store.get(name, file.getPath());
    return status.isOk() ? readLocalFile(file.getPath(), bytes) : status.about(name);
}

Status Repository::loadChecked(const std::string &dir, const ObjectId &id, std::string &stored) {
    const std::string cached = dir == INDEX_DIR ? cachePath(INDEX_DIR, id) : "";
    if (!cached.empty() && readLocalFile(cached, stored).isOk() &&
        sha256(stored.data(), stored.size()) == id) {
        return Status::ok();
    }
    const std::string name = recordName(dir, id);
    Status status = loadNamed(name, stored);
    if (!status.isOk()) {
        return status;
    }
    if (sha256(stored.data(), stored.size()) != id) {
        return Status::integrity(name + ": content does not match its name");
    }
    if (!cached.empty()) {
        keepCopy(dir, id, stored);
    }
    return Status::ok();
}

Status Repository::saveRecord(const char *dir, const std::string &plain, ObjectId &id) {
    const std::string stored = m_codec.encode(plain.data(), plain.size());
    id = sha256(stored.data(), stored.size());
    Status status = saveNamed(recordName(dir, id), stored);
    if (status.isOk() && std::string(dir) == INDEX_DIR) {
        // The next run reads its own index records from the cache.
        keepCopy(INDEX_DIR, id, stored);
    }
    return status;
}

Status Repository::loadRecord(const char *dir, const ObjectId &id, std::string &plain) {
    std::string stored;
    Status status = loadChecked(dir, id, stored);
    if (!status.isOk()) {
        return status;
    }
    return m_codec.decode(stored.data(), stored.size(), plain).about(recordName(dir, id));
}

Status Repository::removeRecord(const char *dir, const ObjectId &id) {
    return m_store.remove(recordName(dir, id)).about(recordName(dir, id));
}

Status Repository::listIds(const char *dir, std::vector<ObjectId> &ids) {
    std::vector<StoredFile> files;
    Status status = m_store.list(dir, files);
    if (!status.isOk()) {
        return status.about("listing " + std::string(dir));
    }
    const std::string prefix = std::string(dir) + "/";
    for (const StoredFile &file : files) {
        ObjectId id;
        if (file.name.compare(0, prefix.size(), prefix) == 0 &&
            ObjectId::parse(file.name.substr(prefix.size()), id)) {
            ids.push_back(id);
        }
    }
    return Status::ok();
}

Status Repository::savePack(const std::string &bytes, ObjectId &id) {
    id = sha256(bytes.data(), bytes.size());
    return saveNamed(recordName(DATA_DIR, id), bytes);
}

Status Repository::loadPack(const ObjectId &id, std::string &bytes) {
    return loadChecked(DATA_DIR, id, bytes);
}

std::string Repository::cachePath(const std::string &kind, const ObjectId &id) const {
    if (m_cacheRoot.empty() || m_config.id.empty()) {
        return "";
    }
    const std::string dir = m_cacheRoot + "/" + m_config.id + "/" + kind;
    std::error_code error; // a cache that cannot be made is only slower
    std::filesystem::create_directories(dir, error);
    return dir + "/" + id.hex();
}

Status Repository::loadIndexRecord(const ObjectId &id, std::vector<PackContents> &packs) {
    std::string plain;
    Status status = loadRecord(INDEX_DIR, id, plain);
    return status.isOk() ? decodeIndexRecord(plain, packs).about(recordName(INDEX_DIR, id)) : status;
}

Status Repository::loadIndex() {
    m_indexRecords.clear();
    Status status = listIds(INDEX_DIR, m_indexRecords);
    if (!status.isOk()) {
        return status;
    }
    std::vector<std::vector<PackContents>> loaded(m_indexRecords.size());
    status = runParallel(
        m_indexRecords.size(), lanes(),
        [&](size_t i) { return loadIndexRecord(m_indexRecords[i], loaded[i]); }, m_cancelled);
    if (!status.isOk()) {
        return status;
    }
    for (const auto &packs : loaded) {
        for (const PackContents &pack : packs) {
            m_index.add(pack);
        }
    }
    return Status::ok();
}

Status Repository::loadSnapshots(std::vector<Snapshot> &snapshots) {
    std::vector<ObjectId> ids;
    Status status = listIds(SNAPSHOTS_DIR, ids);
    if (!status.isOk()) {
        return status;
    }
    snapshots.assign(ids.size(), Snapshot());
    return runParallel(
        ids.size(), lanes(),
        [&](size_t i) {
            std::string plain;
            Status loaded = loadRecord(SNAPSHOTS_DIR, ids[i], plain);
            snapshots[i].id = ids[i];
            return loaded.isOk() ? decodeSnapshot(plain, snapshots[i]).about(recordName(SNAPSHOTS_DIR, ids[i]))
                                 : loaded;
        },
        m_cancelled);
}

Status Repository::treePack(const ObjectId &pack, std::shared_ptr<const std::string> &bytes) {
    {
        std::lock_guard<std::mutex> lock(m_packsMutex);
        const auto found = m_treePacks.find(pack);
        if (found != m_treePacks.end()) {
            bytes = found->second;
            return Status::ok();
        }
    }
    auto loaded = std::make_shared<std::string>();
    const std::string cached = cachePath("packs", pack);
    if (cached.empty() || !readLocalFile(cached, *loaded).isOk() ||
        sha256(loaded->data(), loaded->size()) != pack) {
        Status status = loadPack(pack, *loaded);
        if (!status.isOk()) {
            return status;
        }
        keepCopy("packs", pack, *loaded);
    }
    std::lock_guard<std::mutex> lock(m_packsMutex);
    bytes = m_treePacks.emplace(pack, std::move(loaded)).first->second;
    return Status::ok();
}

void Repository::cacheTreePack(const ObjectId &id, const std::string &bytes) {
    keepCopy("packs", id, bytes);
}

void Repository::keepCopy(const std::string &kind, const ObjectId &id, const std::string &bytes) {
    const std::string cached = cachePath(kind, id);
    if (!cached.empty()) {
        writeLocalFile(cached, bytes); // a cache that cannot be written is only slower
    }
}

Status Repository::loadTree(const ObjectId &id, Tree &tree) {
    BlobLocation where;
    if (!m_index.find(id, where) || where.entry.type != BlobType::Tree) {
        return Status::notFound("tree " + id.hex() + ": not in the index");
    }
    std::shared_ptr<const std::string> pack;
    Status status = treePack(where.pack, pack);
    if (!status.isOk()) {
        return status;
    }
    std::string plain;
    status = openBlob(m_codec, *pack, where.entry, plain);
    return status.isOk() ? decodeTree(plain, tree).about("tree " + id.hex()) : status;
}

Status Repository::listKeys(std::vector<KeyListing> &keys) {
    std::vector<ObjectId> ids;
    Status status = listIds(KEYS_DIR, ids);
    for (size_t i = 0; status.isOk() && i < ids.size(); ++i) {
        std::string record;
        KeyListing listing;
        listing.id = ids[i];
        listing.current = ids[i] == m_keyId;
        status = loadChecked(KEYS_DIR, ids[i], record);
        if (status.isOk()) {
            status = describeKeyRecord(record, listing.info).about(recordName(KEYS_DIR, ids[i]));
        }
        keys.push_back(listing);
    }
    return status;
}

Status Repository::addKey(const std::string &passphrase, const KeyInfo &info, ObjectId &id) {
    if (!m_codec.encrypted()) {
        return Status::usage("the target is not encrypted: it has no keys");
    }
    const std::string record = wrapMasterKey(m_key, configDigest(m_configText), passphrase,
                                             KdfParams::standard(), info);
    id = sha256(record.data(), record.size());
    return saveNamed(recordName(KEYS_DIR, id), record);
}

Status Repository::removeKey(const ObjectId &id) {
    std::vector<ObjectId> ids;
    Status status = listIds(KEYS_DIR, ids);
    if (!status.isOk()) {
        return status;
    }
    bool known = false;
    for (const ObjectId &key : ids) {
        known = known || key == id;
    }
    if (!known) {
        return Status::notFound("no key " + id.hex());
    }
    if (ids.size() == 1) {
        return Status::usage("refusing to remove the last key: the target could never be opened again");
    }
    return m_store.remove(recordName(KEYS_DIR, id)).about(recordName(KEYS_DIR, id));
}

} // namespace vornengine
