#include "archiver.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vornengine {

namespace {

std::string join(const std::string &relative, const std::string &name) {
    return relative.empty() ? name : relative + "/" + name;
}

Status listNames(const std::string &path, std::vector<std::string> &names) {
    DIR *dir = opendir(path.c_str());
    if (!dir) {
        return Status::failed(strerror(errno));
    }
    while (const struct dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return Status::ok();
}

const Node *findNode(const Tree &tree, const std::string &name) {
    const auto found = std::lower_bound(tree.nodes.begin(), tree.nodes.end(), name,
                                        [](const Node &node, const std::string &key) { return node.name < key; });
    return found != tree.nodes.end() && found->name == name ? &*found : nullptr;
}

} // namespace

Archiver::Archiver(Repository &repository, Packer &packer, const ExcludeRule &excluded,
                   const BackupObserver &observer)
    : m_repository(repository), m_packer(packer), m_saver(repository, packer),
      m_excluded(excluded), m_observer(observer) {}

bool Archiver::isLocalProblem(const Status &status) const {
    // A failure of the packer stops the run; only a local one is this entry's own.
    return status.code() == Status::Code::Failed && m_packer.status().isOk();
}

void Archiver::problem(const std::string &relative, const std::string &reason) {
    if (m_observer.problem) {
        m_observer.problem(relative, reason);
    }
}

Status Archiver::saveDir(const std::string &path, const std::string &relative,
                         const ObjectId &parentTree, ObjectId &tree) {
    std::vector<std::string> names;
    Status status = listNames(path, names);
    if (!status.isOk()) {
        return status;
    }
    Tree previous;
    if (!parentTree.isNull() && !m_repository.loadTree(parentTree, previous).isOk()) {
        previous.nodes.clear(); // an unreadable parent only costs reading everything again
    }
    Tree current;
    for (const std::string &name : names) {
        const std::string childRelative = join(relative, name);
        Node node;
        bool keep = false;
        status = saveEntry(path + "/" + name, childRelative, findNode(previous, name), node, keep);
        if (!status.isOk()) {
            return status;
        }
        if (keep) {
            current.nodes.push_back(std::move(node));
        }
    }
    ++m_summary.dirs;
    std::string text = encodeTree(current);
    tree = m_repository.codec().contentId(text.data(), text.size());
    m_packer.save(BlobType::Tree, tree, std::move(text));
    return m_packer.status();
}

Status Archiver::saveEntry(const std::string &path, const std::string &relative,
                           const Node *previous, Node &node, bool &keep) {
    if (m_repository.cancelled()) {
        return Status::interrupted();
    }
    std::string error;
    if (!m_reader.read(path, relative.substr(relative.rfind('/') + 1), node, error)) {
        if (errno != ENOENT) { // gone since the directory was listed: nothing to save
            problem(relative, error);
            ++m_summary.problems;
        }
        return Status::ok();
    }
    const bool isDir = node.type == NodeType::Dir;
    if (m_excluded && m_excluded(relative, isDir)) {
        return Status::ok();
    }
    if (node.type == NodeType::File) {
        return saveFile(path, relative, previous, node, keep);
    }
    if (isDir) {
        const ObjectId parentTree =
            previous && previous->type == NodeType::Dir ? previous->subtree : ObjectId();
        Status status = saveDir(path, relative, parentTree, node.subtree);
        if (isLocalProblem(status)) { // this directory only
            problem(relative, status.message());
            ++m_summary.problems;
            return Status::ok();
        }
        keep = status.isOk();
        return status;
    }
    ++m_summary.others;
    keep = true;
    return Status::ok();
}

bool Archiver::reusable(const Node &now, const Node *previous) const {
    if (!previous || previous->type != NodeType::File || previous->size != now.size ||
        previous->mtimeNs != now.mtimeNs || previous->inode != now.inode) {
        return false;
    }
    // A piece missing from the target (lost, or pruned by mistake) is stored again.
    return std::all_of(previous->content.begin(), previous->content.end(),
                       [this](const ObjectId &id) { return m_repository.index().has(id); });
}

Status Archiver::saveFile(const std::string &path, const std::string &relative,
                          const Node *previous, Node &node, bool &keep) {
    const auto linkKey = std::make_pair(node.device, node.inode);
    const char *what = previous ? "changed" : "new";
    if (reusable(node, previous)) {
        node.content = previous->content;
        what = "unchanged";
    } else if (node.links > 1 && m_linked.count(linkKey)) {
        node.content = m_linked[linkKey]; // another name of a file read in this run
    } else {
        Status status = readFile(path, relative, node);
        if (isLocalProblem(status)) {
            problem(relative, status.message());
            ++m_summary.problems;
            return Status::ok();
        }
        if (!status.isOk()) {
            return status;
        }
    }
    ++(what[0] == 'u' ? m_summary.filesUnchanged : previous ? m_summary.filesChanged : m_summary.filesNew);
    if (m_observer.file) {
        m_observer.file(relative, what);
    }
    if (node.links > 1) {
        m_linked[linkKey] = node.content;
    }
    keep = true;
    return Status::ok();
}

Status Archiver::readFile(const std::string &path, const std::string &relative, Node &node) {
    bool changed = false;
    const int64_t sizeBefore = node.size;
    Status status = m_saver.save(path, node, changed, [this](int64_t bytes) {
        m_summary.bytesRead += bytes;
        if (m_observer.read) {
            m_observer.read(bytes);
        }
    });
    if (status.isOk() && changed) {
        problem(relative, "changed while it was read (" + std::to_string(sizeBefore) + " -> " +
                              std::to_string(node.size) + " bytes); the snapshot holds what was read");
    }
    return status;
}

} // namespace vornengine
