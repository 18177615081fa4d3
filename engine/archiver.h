// Archiver: walks a local directory depth first and stores it as tree records, reading again
// only the files that differ from the parent snapshot.
#ifndef VORN_ENGINE_ARCHIVER_H
#define VORN_ENGINE_ARCHIVER_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "file_saver.h"
#include "node_reader.h"
#include "packer.h"
#include "repository.h"
#include "snapshot.h"
#include "status.h"

namespace vornengine {

// What a backup run tells its caller as it goes; every member may be empty.
struct BackupObserver {
    // An entry that could not be saved, or was saved with a caveat, and why.
    std::function<void(const std::string &relative, const std::string &reason)> problem;
    // `what`: "new", "changed" or "unchanged".
    std::function<void(const std::string &relative, const char *what)> file;
    std::function<void(int64_t bytes)> read;
};

// True for a relative path the run leaves out (a directory with everything below it).
using ExcludeRule = std::function<bool(const std::string &relative, bool isDir)>;

class Archiver {
public:
    Archiver(Repository &repository, Packer &packer, const ExcludeRule &excluded,
             const BackupObserver &observer);

    // Stores the directory at `path` (`relative` below the source; "" for the source itself)
    // and everything below it; `parentTree` is the same directory in the parent snapshot (null
    // when none). Fails only for what stops the whole run; an entry that cannot be read is
    // reported, left out and counted.
    Status saveDir(const std::string &path, const std::string &relative,
                   const ObjectId &parentTree, ObjectId &tree);

    const BackupSummary &summary() const { return m_summary; }

private:
    Status saveEntry(const std::string &path, const std::string &relative, const Node *previous,
                     Node &node, bool &keep);
    Status saveFile(const std::string &path, const std::string &relative, const Node *previous,
                    Node &node, bool &keep);
    // Reads the file's content into the node; Failed for this file only.
    Status readFile(const std::string &path, const std::string &relative, Node &node);
    bool reusable(const Node &now, const Node *previous) const;
    void problem(const std::string &relative, const std::string &reason);
    bool isLocalProblem(const Status &status) const;

    Repository &m_repository;
    Packer &m_packer;
    FileSaver m_saver;
    NodeReader m_reader;
    ExcludeRule m_excluded;
    BackupObserver m_observer;
    BackupSummary m_summary;
    // Content of files with several links, so each is read once.
    std::map<std::pair<uint64_t, uint64_t>, std::vector<ObjectId>> m_linked;
};

} // namespace vornengine

#endif
