// Commands on single files and directories inside the target, through the plug-in's transfer agent.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <list>
#include <memory>

#include "commands.h"
#include "json_output.h"
#include "progress.h"
#include "target_records.h"
#include "vorn/backup/file_info.h"

namespace vorncli {

using namespace VORN::Backup;

namespace {

enum class Format { Plain, Long, Json };

struct TwoPaths {
    std::string from;
    std::string to;
};

struct ListArgs {
    std::string path;
    std::string snapshot;
    bool recursive = false;
    bool longFormat = false;
    bool json = false;
};

struct StatArgs {
    std::string path;
    bool json = false;
};

struct RemoveArgs {
    std::string path;
    bool recursive = false;
};

// A local file that can be read, checked before the agent starts; false with `failure` set.
bool checkReadableFile(const std::string &path, long long &size, Failure &failure) {
    struct stat st;
    const int fd = ::open(path.c_str(), O_RDONLY);
    const bool examined = fd >= 0 && fstat(fd, &st) == 0;
    if (!examined) {
        failure = localFailure(path, errno);
    } else if (!S_ISREG(st.st_mode)) {
        failure = {FailureClass::Failed, path + ": not a regular file"};
    }
    if (fd >= 0) {
        close(fd);
    }
    size = examined ? st.st_size : 0;
    return examined && S_ISREG(st.st_mode);
}

// A download's destination: a new or regular file in an existing, writable directory.
bool checkWritableDestination(const std::string &path, Failure &failure) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        failure = {FailureClass::Failed, path + ": is a directory"};
        return false;
    }
    const std::string::size_type slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        failure = localFailure(dir, errno);
        return false;
    }
    return true;
}

// The blob's size for the progress bar; only asked for when a bar is drawn.
long long remoteSize(TransferAgent &agent, const std::string &path) {
    FileInfo info(path);
    return agent.stat(path, info) && info.isRegType() ? info.getSize() : 0;
}

std::string localTime(long seconds) {
    const time_t time = seconds;
    struct tm parts;
    char text[32];
    localtime_r(&time, &parts);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

Json::Value entryJson(const FileInfo &entry) {
    Json::Value json(Json::objectValue);
    json["name"] = entry.getRpath();
    json["type"] = entry.isDirType() ? "dir" : "file";
    if (!entry.isDirType()) {
        json["size"] = Json::Int64(entry.getSize());
        json["mtime"] = Json::Int64(entry.getMtime());
    }
    return json;
}

// One listed entry; in JSON it joins `all`, printed once the listing is complete.
void printEntry(const FileInfo &entry, Format format, Json::Value &all) {
    const char *name = entry.getRpath().c_str();
    switch (format) {
    case Format::Json:
        all.append(entryJson(entry));
        break;
    case Format::Long:
        if (entry.isDirType()) {
            printf("%10s  %19s  %s/\n", "-", "-", name);
        } else {
            printf("%10s  %s  %s\n", humanSize(entry.getSize()).c_str(),
                   localTime(entry.getMtime()).c_str(), name);
        }
        break;
    case Format::Plain:
        if (entry.isDirType()) {
            printf("d\t%s\n", name);
        } else {
            printf("f\t%lld\t%ld\t%s\n", entry.getSize(), entry.getMtime(), name);
        }
        break;
    }
}

// The entries of one listing page, without the target's own records at its top.
void printPage(const std::list<FileInfo> &entries, const std::string &dir, Format format,
               Json::Value &all) {
    for (const FileInfo &entry : entries) {
        if (!(dir.empty() && isTargetRecord(entry.getRpath()))) {
            printEntry(entry, format, all);
        }
    }
}

// What `path` is: false (after a report) when it is missing or cannot be asked about.
bool statPath(Session &session, TransferAgent &agent, const std::string &path, FileInfo &info,
              int &status) {
    info = FileInfo(path);
    if (!agent.stat(path, info)) {
        status = session.failTransfer(agent, path);
        return false;
    }
    return true;
}

int runPut(Session &session, const TwoPaths &args) {
    std::unique_ptr<TransferAgent> agent = session.transferAgent();
    if (!agent) {
        return session.status();
    }
    long long size = 0;
    Failure local;
    if (!checkReadableFile(args.from, size, local)) {
        return session.fail(local);
    }
    Progress progress(size, session.showProgress());
    if (!agent->sendFile(args.from, args.to, progress.callback())) {
        progress.finish();
        return session.failTransfer(*agent, args.to);
    }
    return EXIT_SUCCESS;
}

int runGet(Session &session, const TwoPaths &args) {
    std::unique_ptr<TransferAgent> agent = session.transferAgent();
    if (!agent) {
        return session.status();
    }
    Failure local;
    if (!checkWritableDestination(args.to, local)) {
        return session.fail(local);
    }
    const bool showBar = session.showProgress();
    Progress progress(showBar ? remoteSize(*agent, args.from) : 0, showBar);
    if (!agent->recvFile(args.from, args.to, progress.callback())) {
        progress.finish();
        return session.failTransfer(*agent, args.from);
    }
    return EXIT_SUCCESS;
}

int runStat(Session &session, const StatArgs &args) {
    std::unique_ptr<TransferAgent> agent = session.transferAgent();
    if (!agent) {
        return session.status();
    }
    FileInfo info(args.path);
    int status = EXIT_SUCCESS;
    if (!statPath(session, *agent, args.path, info, status)) {
        return status;
    }
    if (args.json) {
        Json::Value json = entryJson(info);
        json.removeMember("name");
        if (info.isRegType()) {
            json["etag"] = info.getChecksum();
        }
        printJson(json);
    } else if (info.isDirType()) {
        puts("type=dir");
    } else {
        printf("type=file size=%lld mtime=%ld etag=%s\n", info.getSize(), info.getMtime(),
               info.getChecksum().c_str());
    }
    return EXIT_SUCCESS;
}

int runList(Session &session, const ListArgs &args) {
    if (!args.snapshot.empty()) {
        return listSnapshot(session, args.snapshot, args.path, args.recursive, args.longFormat, args.json);
    }
    std::unique_ptr<TransferAgent> agent = session.transferAgent();
    if (!agent) {
        return session.status();
    }
    const Format format = args.json ? Format::Json : args.longFormat ? Format::Long : Format::Plain;
    Json::Value all(Json::arrayValue);
    // A listing of a missing path is empty: ask first, so that it fails instead.
    if (!args.path.empty()) {
        FileInfo info(args.path);
        int status = EXIT_SUCCESS;
        if (!statPath(session, *agent, args.path, info, status)) {
            return status;
        }
        if (info.isRegType()) {
            printEntry(info, format, all);
            if (format == Format::Json) {
                printJson(all);
            }
            return EXIT_SUCCESS;
        }
    }
    // A recursive listing can be large: print each page as it arrives.
    std::string marker;
    do {
        std::list<FileInfo> entries;
        const bool listed = args.recursive
                                ? agent->listDirEx(args.path, entries, marker, true)
                                : agent->listDir(args.path, entries);
        if (!listed) {
            return session.failTransfer(*agent, args.path);
        }
        printPage(entries, args.path, format, all);
    } while (args.recursive && !marker.empty());
    if (format == Format::Json) {
        printJson(all);
    }
    return EXIT_SUCCESS;
}

int runRemove(Session &session, const RemoveArgs &args) {
    std::unique_ptr<TransferAgent> agent = session.transferAgent();
    if (!agent) {
        return session.status();
    }
    FileInfo info(args.path);
    int status = EXIT_SUCCESS;
    if (!statPath(session, *agent, args.path, info, status)) {
        return status;
    }
    if (info.isDirType() && !args.recursive) {
        return session.fail(args.path + ": is a directory (rm -r removes it and all below it)");
    }
    const bool removed =
        info.isDirType() ? agent->removeDirRecursive(args.path) : agent->removeFile(args.path);
    return removed ? EXIT_SUCCESS : session.failTransfer(*agent, args.path);
}

// Blob storage has no empty directories; saying so beats a directory that vanishes at once.
int runMkdir(Session &session, const std::string &path) {
    return session.fail(path + ": directories exist only while they hold files; put a file "
                               "below it instead",
                        FailureClass::Usage);
}

} // namespace

void addFileCommands(CommandTable &commands) {
    Session &session = commands.session();

    auto put = std::make_shared<TwoPaths>();
    CLI::App *cmd = commands.add("put", "store a local file as REMOTE inside the target",
                                 [&session, put] { return runPut(session, *put); });
    cmd->add_option("LOCAL", put->from, "local file")->required();
    cmd->add_option("REMOTE", put->to, "path inside the target")->required();

    auto get = std::make_shared<TwoPaths>();
    cmd = commands.add("get", "fetch REMOTE inside the target into a local file",
                       [&session, get] { return runGet(session, *get); });
    cmd->add_option("REMOTE", get->from, "path inside the target")->required();
    cmd->add_option("LOCAL", get->to, "local file")->required();

    auto stat = std::make_shared<StatArgs>();
    cmd = commands.add("stat", "print a path's type, size, time and checksum",
                       [&session, stat] { return runStat(session, *stat); });
    cmd->add_option("PATH", stat->path, "path inside the target")->required();
    cmd->add_flag("--json", stat->json, "as a JSON object");

    auto list = std::make_shared<ListArgs>();
    cmd = commands.add("ls",
                       "list a directory (or show a file): d NAME, or f SIZE MTIME NAME "
                       "(tab-separated)",
                       [&session, list] { return runList(session, *list); });
    cmd->add_flag("-r,--recursive", list->recursive, "every file below the directory");
    cmd->add_flag("-l", list->longFormat, "human-readable sizes and local times");
    cmd->add_flag("--json", list->json, "as a JSON array");
    cmd->add_option("PATH", list->path, "path inside the target (default: the target)");
    cmd->add_option("--snapshot", list->snapshot, "browse this snapshot (id, prefix or latest) instead");

    auto mkdirPath = std::make_shared<std::string>();
    cmd = commands.add("mkdir", "(refused: directories exist only while they hold files)",
                       [&session, mkdirPath] { return runMkdir(session, *mkdirPath); });
    cmd->add_option("PATH", *mkdirPath, "path inside the target")->required();

    auto remove = std::make_shared<RemoveArgs>();
    cmd = commands.add("rm", "remove a file, or with -r a directory tree",
                       [&session, remove] { return runRemove(session, *remove); });
    cmd->add_flag("-r,--recursive", remove->recursive, "remove the directory and all below it");
    cmd->add_option("PATH", remove->path, "path inside the target")->required();
}

} // namespace vorncli
