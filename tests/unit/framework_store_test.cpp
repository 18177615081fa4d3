// Framework records kept in files: option maps, tasks, caches and repository conversions.
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "scratch_env.h"
#include "vorn/backup/cache.h"
#include "vorn/backup/option_map.h"
#include "vorn/backup/repository.h"
#include "vorn/backup/target_manager.h"
#include "vorn/backup/task.h"

namespace fs = std::filesystem;
using namespace VORN::Backup;
using vorntest::readFile;
using vorntest::ScratchDir;

namespace {

const char *const SECRET = "c2VjcmV0LWtleQ==";

OptionMap sampleOptions() {
    OptionMap options;
    options.optSet("name", std::string("nightly"));
    options.optSet("trans_encrypt", true);
    options.optSet("limit", 42LL);
    options.optSet("buckets", std::list<std::string>{"a", "b"});
    options.optSetSecret("remote_secret", SECRET);
    return options;
}

TEST(OptionMap, SectionExportLeavesSecretsOutAndKeepsOtherSections) {
    ScratchDir scratch;
    const std::string file = scratch.path("export.json");
    std::ofstream(file).close(); // an empty file is filled like a missing one
    const OptionMap options = sampleOptions();
    OptionMap imported;
    imported.optSet("x", std::string("y"));
    ASSERT_TRUE(imported.optSectionExport(file, "other", false));
    ASSERT_TRUE(options.optSectionExport(file, "task_config", false));
    EXPECT_EQ(readFile(file).find(SECRET), std::string::npos);
    ASSERT_TRUE(imported.optSectionImport(file, "task_config"));
    EXPECT_EQ(imported.toJson(), options.toJson());
    ASSERT_TRUE(imported.optSectionImport(file, "other"));
    EXPECT_EQ(imported.optString("x"), "y");
    // With replace the file holds the one section only.
    ASSERT_TRUE(options.optSectionExport(file, "task_config", true));
    EXPECT_FALSE(imported.optSectionImport(file, "other"));
    // A file that is not JSON is left as it is rather than overwritten.
    std::ofstream(file) << "{not json";
    EXPECT_FALSE(options.optSectionExport(file, "s", false));
    EXPECT_EQ(readFile(file), "{not json");
    EXPECT_FALSE(options.optSectionExport(scratch.path("missing/file"), "s", true));
}

TEST(Task, SavesAndLoadsWithoutSecrets) {
    ScratchDir scratch;
    vorntest::ScopedEnv env;
    env.unset("VORN_CONFIG_DIR").set("HOME", scratch.dir());
    EXPECT_EQ(Task::storeDir(), scratch.path(".config/vorn/tasks"));
    env.set("VORN_CONFIG_DIR", scratch.dir());
    EXPECT_EQ(Task::storeDir(), scratch.path("tasks"));
    Task task(12);
    task.getOptions() = sampleOptions();
    ASSERT_TRUE(task.save());
    EXPECT_EQ(readFile(scratch.path("tasks/12.json")).find(SECRET), std::string::npos);
    Task loaded;
    EXPECT_TRUE(loaded.load(12) && loaded.getOptions().toJson() == sampleOptions().toJson());
    std::ofstream(scratch.path("tasks/3.json")) << "[]";
    EXPECT_FALSE(loaded.load(3));
    EXPECT_EQ(loaded.getId(), 12);
}

TEST(BasicCache, StoresSectionsAndTimestamps) {
    ScratchDir scratch;
    BasicCache cache(scratch.path("sub/cache.json"));
    ASSERT_TRUE(cache.setSection("TaskConfig", sampleOptions()));
    ASSERT_TRUE(cache.setTimestamp("TaskConfig", 1700000000L));
    BasicCache reread(scratch.path("sub/cache.json"));
    OptionMap options;
    long timestamp = 0;
    EXPECT_TRUE(reread.getSection("TaskConfig", options) &&
                options.toJson() == sampleOptions().toJson());
    EXPECT_TRUE(reread.getTimestamp("TaskConfig", timestamp) && timestamp == 1700000000L);
    EXPECT_FALSE(reread.getTimestamp("Absent", timestamp));
    EXPECT_EQ(readFile(scratch.path("sub/cache.json")).find(SECRET), std::string::npos);
    // An unreadable file is started afresh.
    std::ofstream(scratch.path("sub/cache.json")) << "{\"TaskConfig\": 3, broken";
    EXPECT_FALSE(reread.getTimestamp("TaskConfig", timestamp));
    EXPECT_TRUE(reread.setTimestamp("TaskConfig", 9L));
}

TEST(TargetInfoCache, KeepsEveryTargetIdInsideTheCacheDirectory) {
    ScratchDir scratch;
    vorntest::ScopedEnv env;
    env.set("VORN_CACHE_DIR", scratch.path("cache"));
    const fs::path repositoryDir = scratch.path("cache/targets/7");
    for (const std::string id : {"host_1", "../../escape", "a/b", ".", "A b"}) {
        TargetInfoCache cache(7, id);
        EXPECT_EQ(fs::path(cache.getFile()).parent_path(), repositoryDir) << id;
        ASSERT_TRUE(cache.setTimestamp("TaskConfig", 1L)) << id;
    }
    // One file for each id, and nothing written elsewhere.
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(scratch.dir()), {}), 3 + 5);
}

TEST(TargetManagerBase, ConvertsRepositoriesWithoutLosingSecrets) {
    Repository repository(5, Repository::SZV_TARGET_CLOUD, "azure", sampleOptions());
    TargetManager manager(repository);
    Json::Value json;
    ASSERT_TRUE(manager.loadJsonByRepository(repository, json));
    EXPECT_EQ(json.toStyledString().find(SECRET), std::string::npos);
    bool changed = true;
    ASSERT_TRUE(manager.loadRepositoryByJson(repository, json, changed));
    EXPECT_FALSE(changed);
    EXPECT_EQ(repository.getOptions().optSecret("remote_secret"), SECRET);
    json["options"]["name"] = "weekly";
    ASSERT_TRUE(manager.loadRepositoryByJson(repository, json, changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(repository.getOptions().optString("name"), "weekly");
    EXPECT_EQ(repository.getOptions().optSecret("remote_secret"), SECRET);
    json["options"] = "not an object";
    EXPECT_FALSE(manager.loadRepositoryByJson(repository, json, changed));
    EXPECT_EQ(manager.getErrorCode(), TM_ERR_INVALID_INPUT);
    EXPECT_EQ(repository.getOptions().optString("name"), "weekly");
}

} // namespace
