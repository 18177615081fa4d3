// Commands on single files and directories below the target, through the plug-in's transfer agent.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <list>
#include <memory>

#include "commands.h"
#include "progress.h"
#include "vorn/backup/file_info.h"

namespace vorncli {

using namespace VORN::Backup;

namespace {

struct TwoPaths {
    std::string from;
    std::string to;
};

struct ListArgs {
    std::string path;
    bool recursive = false;
};

struct RemoveArgs {
    std::string path;
    bool recursive = false;
};

long long localSize(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// The blob's size for the progress bar; only asked for when a bar is drawn.
long long remoteSize(TransferAgent &agent, const std::string &path) {
    FileInfo info(path);
    return agent.stat(path, info) && info.isRegType() ? info.getSize() : 0;
}

void printEntry(const FileInfo &entry) {
    if (entry.isDirType()) {
        printf("d\t%s\n", entry.getRpath().c_str());
    } else {
        printf("f\t%lld\t%ld\t%s\n", entry.getSize(), entry.getMtime(), entry.getRpath().c_str());
    }
}

int runPut(Session &session, const TwoPaths &args) {
    std::unique_ptr<TransferAgent> agent = session.transferAgent();
    if (!agent) {
        return session.status();
    }
    Progress progress(localSize(args.from), session.showProgress());
    if (!agent->sendFile(args.from, args.to, progress.callback())) {
        progress.finish();
        return session.failTransfer(*agent);
    }
    return EXIT_SUCCESS;
}

int runGet(Session &session, const TwoPaths &args) {
    std::unique_ptr<TransferAgent> agent = session.transferAgent();
    if (!agent) {
        return session.status();
    }
    const bool showBar = session.showProgress();
    Progress progress(showBar ? remoteSize(*agent, args.from) : 0, showBar);
    if (!agent->recvFile(args.from, args.to, progress.callback())) {
        progress.finish();
        return session.failTransfer(*agent);
    }
    return EXIT_SUCCESS;
}

int runStat(Session &session, const std::string &path) {
    std::unique_ptr<TransferAgent> agent = session.transferAgent();
    if (!agent) {
        return session.status();
    }
    FileInfo info(path);
    if (!agent->stat(path, info)) {
        return session.failTransfer(*agent);
    }
    if (info.isDirType()) {
        puts("type=dir");
    } else {
        printf("type=file size=%lld mtime=%ld etag=%s\n", info.getSize(), info.getMtime(),
               info.getChecksum().c_str());
    }
    return EXIT_SUCCESS;
}

int runList(Session &session, const ListArgs &args) {
    std::unique_ptr<TransferAgent> agent = session.transferAgent();
    if (!agent) {
        return session.status();
    }
    std::list<FileInfo> entries;
    if (!args.recursive) {
        if (!agent->listDir(args.path, entries)) {
            return session.failTransfer(*agent);
        }
        for (const FileInfo &entry : entries) {
            printEntry(entry);
        }
        return EXIT_SUCCESS;
    }
    // A recursive listing can be large: print each page as it arrives.
    std::string marker;
    do {
        entries.clear();
        if (!agent->listDirEx(args.path, entries, marker, true)) {
            return session.failTransfer(*agent);
        }
        for (const FileInfo &entry : entries) {
            printEntry(entry);
        }
    } while (!marker.empty());
    return EXIT_SUCCESS;
}

int runMkdir(Session &session, const std::string &path) {
    std::unique_ptr<TransferAgent> agent = session.transferAgent();
    if (!agent) {
        return session.status();
    }
    return agent->createDir(path) ? EXIT_SUCCESS : session.failTransfer(*agent);
}

int runRemove(Session &session, const RemoveArgs &args) {
    std::unique_ptr<TransferAgent> agent = session.transferAgent();
    if (!agent) {
        return session.status();
    }
    const bool removed =
        args.recursive ? agent->removeDirRecursive(args.path) : agent->removeFile(args.path);
    return removed ? EXIT_SUCCESS : session.failTransfer(*agent);
}

} // namespace

void addFileCommands(CommandTable &commands) {
    Session &session = commands.session();

    auto put = std::make_shared<TwoPaths>();
    CLI::App *cmd = commands.add("put", "store a local file as REMOTE below the target",
                                 [&session, put] { return runPut(session, *put); });
    cmd->add_option("LOCAL", put->from, "local file")->required();
    cmd->add_option("REMOTE", put->to, "path below the target")->required();

    auto get = std::make_shared<TwoPaths>();
    cmd = commands.add("get", "fetch REMOTE below the target into a local file",
                       [&session, get] { return runGet(session, *get); });
    cmd->add_option("REMOTE", get->from, "path below the target")->required();
    cmd->add_option("LOCAL", get->to, "local file")->required();

    auto statPath = std::make_shared<std::string>();
    cmd = commands.add("stat", "print a path's type, size, time and checksum",
                       [&session, statPath] { return runStat(session, *statPath); });
    cmd->add_option("PATH", *statPath, "path below the target")->required();

    auto list = std::make_shared<ListArgs>();
    cmd = commands.add("ls", "list a directory: d NAME, or f SIZE MTIME NAME (tab-separated)",
                       [&session, list] { return runList(session, *list); });
    cmd->add_flag("-r,--recursive", list->recursive, "every file below the directory");
    cmd->add_option("PATH", list->path, "directory below the target (default: the target)");

    auto mkdirPath = std::make_shared<std::string>();
    cmd = commands.add("mkdir", "create a directory (it exists once a file lies below it)",
                       [&session, mkdirPath] { return runMkdir(session, *mkdirPath); });
    cmd->add_option("PATH", *mkdirPath, "path below the target")->required();

    auto remove = std::make_shared<RemoveArgs>();
    cmd = commands.add("rm", "remove a file, or with -r a directory tree",
                       [&session, remove] { return runRemove(session, *remove); });
    cmd->add_flag("-r,--recursive", remove->recursive, "remove the directory and all below it");
    cmd->add_option("PATH", remove->path, "path below the target")->required();
}

} // namespace vorncli
