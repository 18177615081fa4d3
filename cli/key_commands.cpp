// key list, add, remove and passwd: the passphrases that open an encrypted target.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "commands.h"
#include "passphrase.h"
#include "snapshot_target.h"

namespace vorncli {

using vornengine::Status;

namespace {

struct KeyArgs {
    std::string newPasswordFile;
    std::string id;
};

int runList(Session &session) {
    SnapshotTarget target(session);
    if (!target.open(1)) {
        return session.status();
    }
    std::vector<vornengine::KeyListing> keys;
    const Status status = target.repository().listKeys(keys);
    for (const vornengine::KeyListing &key : keys) {
        printf("%s %s  %s  %s@%s\n", key.current ? "*" : " ", key.id.hex().substr(0, 8).c_str(),
               key.info.created.c_str(), key.info.username.c_str(), key.info.hostname.c_str());
    }
    return status.isOk() ? EXIT_SUCCESS : target.fail(status);
}

// Adds a key for the new passphrase; its id through `added`.
int addKey(Session &session, SnapshotTarget &target, const KeyArgs &args, vornengine::ObjectId &added) {
    std::string passphrase;
    Status status = readNewPassphrase(args.newPasswordFile, passphrase);
    if (status.isOk()) {
        status = target.repository().addKey(passphrase, vornengine::KeyInfo::current(), added);
    }
    if (!status.isOk()) {
        return target.fail(status);
    }
    (void)session;
    return EXIT_SUCCESS;
}

int runAdd(Session &session, const KeyArgs &args) {
    SnapshotTarget target(session);
    vornengine::ObjectId added;
    if (!target.open(1) || addKey(session, target, args, added) != EXIT_SUCCESS) {
        return session.status();
    }
    printf("key %s added\n", added.hex().substr(0, 8).c_str());
    return EXIT_SUCCESS;
}

// The key whose id starts with `prefix`, exactly one.
Status findKey(vornengine::Repository &repository, const std::string &prefix, vornengine::ObjectId &id) {
    std::vector<vornengine::KeyListing> keys;
    Status status = repository.listKeys(keys);
    int matches = 0;
    for (const vornengine::KeyListing &key : keys) {
        if (!prefix.empty() && key.id.hex().compare(0, prefix.size(), prefix) == 0) {
            id = key.id;
            ++matches;
        }
    }
    if (!status.isOk()) {
        return status;
    }
    return matches == 1 ? Status::ok()
           : matches == 0 ? Status::notFound("no key " + prefix)
                          : Status::usage("key id " + prefix + " is ambiguous: give more of it");
}

int runRemove(Session &session, const KeyArgs &args) {
    SnapshotTarget target(session);
    if (!target.open(1)) {
        return session.status();
    }
    vornengine::ObjectId id;
    Status status = findKey(target.repository(), args.id, id);
    if (status.isOk()) {
        status = target.repository().removeKey(id);
    }
    if (!status.isOk()) {
        return target.fail(status);
    }
    printf("key %s removed\n", id.hex().substr(0, 8).c_str());
    return EXIT_SUCCESS;
}

// A new passphrase replaces the one given: the new key is stored before the old one goes.
int runPasswd(Session &session, const KeyArgs &args) {
    SnapshotTarget target(session);
    vornengine::ObjectId added;
    if (!target.open(1) || addKey(session, target, args, added) != EXIT_SUCCESS) {
        return session.status();
    }
    std::vector<vornengine::KeyListing> keys;
    Status status = target.repository().listKeys(keys);
    for (const vornengine::KeyListing &key : keys) {
        if (status.isOk() && key.current) {
            status = target.repository().removeKey(key.id);
        }
    }
    if (!status.isOk()) {
        return target.fail(status);
    }
    printf("passphrase changed (key %s)\n", added.hex().substr(0, 8).c_str());
    return EXIT_SUCCESS;
}

} // namespace

void addKeyCommands(CommandTable &commands) {
    Session &session = commands.session();
    auto args = std::make_shared<KeyArgs>();
    // key's own run picks the subcommand parsed; they are made after it.
    auto parts = std::make_shared<std::vector<std::pair<CLI::App *, int (*)(Session &, const KeyArgs &)>>>();
    CLI::App *key = commands.add("key", "the passphrases of an encrypted target: list, add, remove, passwd",
                                 [&session, args, parts] {
                                     for (const auto &[command, run] : *parts) {
                                         if (command->parsed()) {
                                             return run(session, *args);
                                         }
                                     }
                                     return EXIT_FAILURE;
                                 });
    key->require_subcommand(1);
    CLI::App *list = key->add_subcommand("list", "list the keys (* marks the one in use)");
    CLI::App *add = key->add_subcommand("add", "add a passphrase");
    add->add_option("--new-password-file", args->newPasswordFile, "file holding the new passphrase");
    CLI::App *remove = key->add_subcommand("remove", "remove a key (never the last one)");
    remove->add_option("ID", args->id, "key id or a unique prefix")->required();
    CLI::App *passwd = key->add_subcommand("passwd", "replace the passphrase in use");
    passwd->add_option("--new-password-file", args->newPasswordFile, "file holding the new passphrase");
    *parts = {{list, [](Session &s, const KeyArgs &) { return runList(s); }},
              {add, runAdd},
              {remove, runRemove},
              {passwd, runPasswd}};
}

} // namespace vorncli
