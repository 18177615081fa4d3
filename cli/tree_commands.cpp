// Whole-tree commands: every regular file below a local directory to the target, and back.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <list>
#include <memory>
#include <system_error>
#include <vector>

#include "commands.h"
#include "progress.h"
#include "target_records.h"
#include "vorn/backup/file_info.h"

namespace vorncli {

using namespace VORN::Backup;
namespace fs = std::filesystem;

namespace {

struct TreeFile {
    std::string relative; // path below the tree's root, with "/" separators
    long long size;
};

long long totalSize(const std::vector<TreeFile> &files) {
    long long total = 0;
    for (const TreeFile &file : files) {
        total += file.size;
    }
    return total;
}

// Every regular file below `root` (symbolic links are not followed), in name order.
bool collectLocalTree(const fs::path &root, std::vector<TreeFile> &files, std::string &error) {
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        error = root.string() + ": not a directory";
        return false;
    }
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_symlink(ec) && it->is_regular_file(ec)) {
            const std::string relative = it->path().lexically_relative(root).generic_string();
            if (isTargetRecord(relative)) {
                error = relative + ": name reserved for the target's own records";
                return false;
            }
            files.push_back({relative, static_cast<long long>(it->file_size(ec))});
        }
        if (ec) {
            break;
        }
    }
    if (ec) {
        error = root.string() + ": " + ec.message();
        return false;
    }
    std::sort(files.begin(), files.end(),
              [](const TreeFile &a, const TreeFile &b) { return a.relative < b.relative; });
    return true;
}

// A listed name that stays inside the restore directory.
bool isContainedName(const std::string &name) {
    const fs::path path(name);
    if (name.empty() || path.is_absolute()) {
        return false;
    }
    for (const fs::path &part : path) {
        if (part == "..") {
            return false;
        }
    }
    return true;
}

// Every file below the target, page by page; the target's own records are left out.
bool collectRemoteTree(Session &session, TransferAgent &agent, std::vector<TreeFile> &files,
                       int &status) {
    std::string marker;
    do {
        std::list<FileInfo> entries;
        if (!agent.listDirEx("", entries, marker, true)) {
            status = session.failTransfer(agent);
            return false;
        }
        for (const FileInfo &entry : entries) {
            if (!entry.isRegType() || isTargetRecord(entry.getRpath())) {
                continue;
            }
            if (!isContainedName(entry.getRpath())) {
                status = session.fail("refusing to restore \"" + entry.getRpath() +
                                      "\": it leads outside the directory");
                return false;
            }
            files.push_back({entry.getRpath(), entry.getSize()});
        }
    } while (!marker.empty());
    return true;
}

bool makeDirectories(const fs::path &dir, std::string &error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        error = dir.string() + ": " + ec.message();
        return false;
    }
    return true;
}

int runBackup(Session &session, const std::string &localDir) {
    const fs::path root(localDir);
    std::vector<TreeFile> files;
    std::string error;
    if (!collectLocalTree(root, files, error)) {
        return session.fail(error);
    }
    std::unique_ptr<TransferAgent> agent = session.transferAgent();
    if (!agent) {
        return EXIT_FAILURE;
    }
    Progress progress(totalSize(files), session.showProgress());
    for (const TreeFile &file : files) {
        if (!agent->sendFile((root / file.relative).string(), file.relative, progress.callback())) {
            progress.finish();
            return session.failTransfer(*agent, file.relative);
        }
    }
    progress.finish();
    printf("backed up %s\n", progress.summary(files.size()).c_str());
    return EXIT_SUCCESS;
}

int runRestore(Session &session, const std::string &localDir) {
    std::unique_ptr<TransferAgent> agent = session.transferAgent();
    if (!agent) {
        return EXIT_FAILURE;
    }
    std::vector<TreeFile> files;
    int status = EXIT_SUCCESS;
    if (!collectRemoteTree(session, *agent, files, status)) {
        return status;
    }
    const fs::path root(localDir);
    std::string error;
    if (!makeDirectories(root, error)) {
        return session.fail(error);
    }
    Progress progress(totalSize(files), session.showProgress());
    for (const TreeFile &file : files) {
        const fs::path local = root / file.relative;
        if (!makeDirectories(local.parent_path(), error)) {
            progress.finish();
            return session.fail(error);
        }
        if (!agent->recvFile(file.relative, local.string(), progress.callback())) {
            progress.finish();
            return session.failTransfer(*agent, file.relative);
        }
    }
    progress.finish();
    printf("restored %s\n", progress.summary(files.size()).c_str());
    return EXIT_SUCCESS;
}

} // namespace

void addTreeCommands(CommandTable &commands) {
    Session &session = commands.session();

    auto backupDir = std::make_shared<std::string>();
    CLI::App *cmd = commands.add("backup", "store every file below LOCALDIR in the target",
                                 [&session, backupDir] { return runBackup(session, *backupDir); });
    cmd->add_option("LOCALDIR", *backupDir, "local directory")->required();

    auto restoreDir = std::make_shared<std::string>();
    cmd = commands.add("restore", "fetch every file of the target into LOCALDIR",
                       [&session, restoreDir] { return runRestore(session, *restoreDir); });
    cmd->add_option("LOCALDIR", *restoreDir, "local directory (created when missing)")->required();
}

} // namespace vorncli
